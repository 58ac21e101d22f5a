// Inputs that are not regular files, and data files and lists whose reads fail.
// Read errors are injected with strace at reads found by counting them in a dry run, so the
// cases do not depend on how many reads the C library happens to make.
#include <gtest/gtest.h>

#include "datafile/data_file.h"
#include "test_support.h"

namespace {

using test::file_tree;
using test::read_file;
using test::run_shell;
using test::Scratch;
using Tree = std::map<std::string, std::string>;

const char* const LETTER_SETS[] = {"tpwc", "sct", "tpwsc", "swt", "ctp"};

// Four sensors and enough records to span two 1 MiB record blocks and many pipe buffers.
FileShape large_shape() {
    FileShape shape = test::sample_shape();
    shape.sensors = numbered_sensors(4);
    shape.pattern_records = 30000;
    shape.records_per_second = 7;
    shape.invalid_every = 5;
    return shape;
}

struct Source {
    const char* name;
    const char* script;  // converts with letters $L into base "out"
};

const Source SOURCES[] = {
    {"regular file", R"("$MEASCONV" "$L" in.dat out)"},
    {"pipe", R"("$MEASCONV" "$L" <(cat in.dat) out)"},
    {"fifo",
     R"(mkfifo fifo && { cat in.dat > fifo & } && "$MEASCONV" "$L" fifo out; status=$?; wait; rm fifo; exit $status)"},
    {"piped stdin", R"(cat in.dat | "$MEASCONV" "$L" /dev/stdin out)"},
};

TEST(InputSources, EveryReadableInputConvertsAsTheSameBytesInARegularFile) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(large_shape(), scratch.path("in.dat")));
    for (const char* letters : LETTER_SETS) {
        Tree expected;
        std::string expected_out;
        for (const Source& source : SOURCES) {
            test::fs::remove_all(scratch.path("run"));
            test::fs::create_directory(scratch.path("run"));
            test::fs::copy_file(scratch.path("in.dat"), scratch.path("run/in.dat"));
            const test::RunResult run =
                run_shell(std::string("L=") + letters + "; " + source.script, scratch.path("run"));
            const Tree outputs = file_tree(scratch.path("run"), {"in.dat"});
            EXPECT_EQ(run.exit_code, 0) << source.name << " " << letters;
            if (source.name == SOURCES[0].name) {
                expected = outputs;
                expected_out = run.out;
                EXPECT_GT(outputs.size(), 1u) << letters;
                continue;
            }
            EXPECT_EQ(run.out, expected_out) << source.name << " " << letters;
            EXPECT_EQ(outputs.size(), expected.size()) << source.name << " " << letters;
            EXPECT_TRUE(outputs == expected) << source.name << " " << letters << ": outputs differ";
        }
    }
}

// --- Read errors injected with strace ---

// The reads a command makes on one file, as (offset, bytes delivered), in order.
std::vector<std::pair<std::size_t, std::size_t>> reads_of(const std::string& file, const std::string& command,
                                                          const std::string& cwd) {
    std::vector<std::pair<std::size_t, std::size_t>> reads;
    std::size_t offset = 0;
    for (long got : test::traced_results("read", file, command, cwd)) {
        reads.emplace_back(offset, static_cast<std::size_t>(got));
        offset += static_cast<std::size_t>(got);
    }
    return reads;
}

// Runs command with the when-th read of file (1-based) failing with EIO.
test::RunResult run_with_failing_read(const std::string& file, std::size_t when, const std::string& command,
                                      const std::string& cwd) {
    return run_shell(test::strace_command() + " -o /dev/null -e trace=read -P " + file +
                         " -e inject=read:error=EIO:when=" + std::to_string(when) + " " + command,
                     cwd);
}

struct ReadPoint {
    const char* name;
    // The 1-based number of the read to fail, from the reads of a dry run and the file size.
    std::size_t (*pick)(const std::vector<std::pair<std::size_t, std::size_t>>& reads, std::size_t size);
};

std::size_t first_read(const std::vector<std::pair<std::size_t, std::size_t>>&, std::size_t) { return 1; }

std::size_t first_record_read(const std::vector<std::pair<std::size_t, std::size_t>>& reads, std::size_t) {
    for (std::size_t i = 0; i < reads.size(); ++i)
        if (reads[i].first >= HEADER_SIZE) return i + 1;
    return 0;
}

std::size_t middle_read(const std::vector<std::pair<std::size_t, std::size_t>>& reads, std::size_t size) {
    for (std::size_t i = 0; i < reads.size(); ++i)
        if (reads[i].first <= size / 2 && size / 2 < reads[i].first + reads[i].second) return i + 1;
    return 0;
}

std::size_t last_data_read(const std::vector<std::pair<std::size_t, std::size_t>>& reads, std::size_t) {
    for (std::size_t i = reads.size(); i > 0; --i)
        if (reads[i - 1].second > 0) return i;
    return 0;
}

TEST(ReadErrors, ADataFileThatFailsToReadIsReportedAndKeepsWhatWasWritten) {
    if (!test::strace_can_trace()) GTEST_SKIP() << "strace cannot trace here: the read-error cases were not run";
    const ReadPoint points[] = {{"header", first_read},
                                {"first record block", first_record_read},
                                {"middle block", middle_read},
                                {"last block", last_data_read}};
    Scratch scratch;
    ASSERT_TRUE(write_data_file(large_shape(), scratch.path("in.dat")));
    const std::size_t size = test::fs::file_size(scratch.path("in.dat"));
    // One thread, and the parallel pass (which reads in the same blocks).
    for (const auto& [jobs, letters] : {std::pair{"1", "tpwsc"}, std::pair{"1", "ctp"}, std::pair{"1", "sct"},
                                        std::pair{"3", "tpwsc"}, std::pair{"3", "ctp"}}) {
        SCOPED_TRACE(std::string(jobs) + " threads");
        const std::string command =
            std::string("env MEASCONV_JOBS=") + jobs + " \"$MEASCONV\" " + letters + " in.dat out";
        const auto reads = reads_of("in.dat", command, scratch.dir.string());
        ASSERT_GE(reads.size(), 4u);
        const Tree complete = file_tree(scratch.dir.string(), {"in.dat"});
        for (const ReadPoint& point : points) {
            const std::size_t when = point.pick(reads, size);
            ASSERT_GT(when, 0u) << point.name;
            for (const auto& [name, bytes] : complete) test::fs::remove_all(scratch.path(name));
            const test::RunResult run = run_with_failing_read("in.dat", when, command, scratch.dir.string());
            EXPECT_EQ(run.exit_code, 0) << point.name;
            EXPECT_EQ(run.out, "Can not read 'in.dat'.\n") << point.name << " " << letters;
            // Every output holds a beginning of its complete text, and at least one lost its end.
            const Tree partial = file_tree(scratch.dir.string(), {"in.dat"});
            bool something_lost = partial.size() < complete.size();
            for (const auto& [name, bytes] : partial) {
                ASSERT_EQ(complete.count(name), 1u) << name;
                const std::string& whole = complete.at(name);
                EXPECT_EQ(whole.compare(0, bytes.size(), bytes), 0) << name << " is not a beginning of its text";
                something_lost = something_lost || bytes.size() < whole.size();
            }
            EXPECT_TRUE(something_lost) << point.name << " " << letters;
            if (point.pick == first_read) {  // nothing of the file was read: no per-sensor file
                for (const auto& [name, bytes] : partial) EXPECT_TRUE(bytes.empty() || name == "out/") << name;
            }
        }
    }
}

TEST(ReadErrors, AListThatFailsToReadConvertsNothingAndExitsWithTwo) {
    if (!test::strace_can_trace()) GTEST_SKIP() << "strace cannot trace here: the read-error cases were not run";
    Scratch scratch;
    // Some 300 KB of entries whose inputs do not exist: a list that were read would print a line each.
    std::string list;
    for (int i = 0; list.size() < 300000; ++i)
        list += "missing_" + std::to_string(i) + ".dat, out_" + std::to_string(i) + ", tp\n";
    test::write_file(scratch.path("list.txt"), list);
    const std::string command = "\"$MEASCONV\" tp list.txt";
    const auto reads = reads_of("list.txt", command, scratch.dir.string());
    ASSERT_GE(reads.size(), 3u);
    const std::size_t size = list.size();
    const std::pair<const char*, std::size_t> points[] = {{"first", first_read(reads, size)},
                                                          {"middle", middle_read(reads, size)},
                                                          {"last", last_data_read(reads, size)}};
    for (const auto& [name, when] : points) {
        ASSERT_GT(when, 0u) << name;
        const test::RunResult run = run_with_failing_read("list.txt", when, command, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 2) << name;
        EXPECT_EQ(run.out, "Failed to open list.txt\n") << name;
        EXPECT_EQ(test::list_dir(scratch.dir.string()), std::vector<std::string>{"list.txt"}) << name;
    }
}

}  // namespace
