// Parallel conversions: every number of threads gives the files, the standard output and the
// exit code of one thread, for single files cut into many blocks and for lists whose entries
// touch each other's files; progress goes to standard error only; bad settings stop the run.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <regex>

#include "test_support.h"

namespace {

using test::file_tree;
using test::tree_difference;
using test::read_file;
using test::RunResult;
using test::Scratch;
namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;
using Env = std::vector<std::pair<std::string, std::string>>;

// The sanitizers reserve terabytes of address space for their shadow memory at start: under
// them a process cannot run under an address-space limit at all, so those rows are left out
// there (the ordinary build runs them).
#if defined(MEASCONV_THREAD_SANITIZER) || defined(MEASCONV_ADDRESS_SANITIZER)
constexpr bool ADDRESS_SPACE_LIMITS = false;
#else
constexpr bool ADDRESS_SPACE_LIMITS = true;
#endif

#ifdef MEASCONV_THREAD_SANITIZER
// ThreadSanitizer makes every conversion some ten times slower: there the tables look for
// races with three threads (pieces finished out of order) and fewer letter sets.
const std::vector<std::string> THREAD_COUNTS = {"3"};
constexpr bool EVERY_LETTER_SET = false;
#else
// Against one thread: two (this machine's cores), three (pieces finished out of order) and eight.
const std::vector<std::string> THREAD_COUNTS = {"2", "3", "8"};
constexpr bool EVERY_LETTER_SET = true;
#endif


struct Outcome {
    RunResult run;
    Tree tree;
};

// Copies the files of `inputs` into the fresh directory `dir`, lets prepare add what the case
// needs, and runs measconv there with MEASCONV_JOBS=jobs.
Outcome run_in_copy(const std::string& inputs, const std::string& dir, const std::string& jobs,
                    const std::vector<std::string>& args, void (*prepare)(const std::string&) = nullptr) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy(inputs, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    if (prepare != nullptr) prepare(dir);
    Outcome outcome;
    outcome.run = test::run_measconv_with({{"MEASCONV_JOBS", jobs}}, args, dir, "Europe/Berlin");
    outcome.tree = file_tree(dir);
    return outcome;
}

// --- Single files, many record blocks ---

// Readings whose lines are far longer than usual, so the memory outputs of a piece must grow.
std::vector<GenRecord> extreme_records(std::size_t count, std::size_t sensors) {
    const float values[] = {FLT_MAX, -FLT_MAX, 1e-45f, std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::infinity(), 16777217.0f, -0.0f};
    const std::int32_t wavelengths[] = {1500000, 1650000, INT32_MIN, 1549999, -1};
    std::vector<GenRecord> records;
    for (std::size_t r = 0; r < count; ++r) {
        GenRecord record{static_cast<std::int32_t>(r / 3) - 100, static_cast<std::int32_t>(r * 7919), {}};
        for (std::size_t i = 0; i < sensors; ++i)
            record.readings.push_back({values[(r + i) % std::size(values)], wavelengths[(r * 3 + i) % std::size(wavelengths)]});
        records.push_back(record);
    }
    return records;
}

// Every set of type letters that writes something: t or c, with p, w or s; then some with the
// .h5 file (h), which takes its records from the same pieces.
std::vector<std::string> every_letter_set() {
    std::vector<std::string> sets;
    const char letters[] = "pwsct";
    for (unsigned mask = 0; mask < 32; ++mask) {
        std::string set;
        for (unsigned bit = 0; bit < 5; ++bit)
            if (mask & (1u << bit)) set += letters[bit];
        if (set.find_first_of("ct") != std::string::npos && set.find_first_of("pws") != std::string::npos)
            sets.push_back(set);
    }
    for (const char* with_hdf5 : {"tpwcsh", "pch", "wtsh", "h"}) sets.push_back(with_hdf5);
    return sets;
}

struct FileCase {
    const char* name;
    FileShape shape;
    std::vector<std::string> letter_sets;
};

std::vector<FileCase> file_cases() {
    // Four sensors over 2.3 read blocks (26214 records each), long lines first, a partial record last.
    FileShape four = test::sample_shape();
    four.sensors = numbered_sensors(4);
    four.records = extreme_records(3000, 4);
    four.pattern_records = 57000;
    four.records_per_second = 1000;
    four.start_time = 1679792400 - 30;  // across a daylight-saving change where TZ has one
    four.invalid_every = 7;
    four.trailing_bytes = 21;
    // The most sensors a file can have: 254 per-sensor files, 1024-byte records.
    FileShape most = test::sample_shape();
    most.sensors = numbered_sensors(127);
    most.pattern_records = 2300;
    most.records_per_second = 3;
    most.invalid_every = 11;
    // No sensor at all: 8-byte records, lines of prefixes only.
    FileShape none = test::sample_shape();
    none.sensors = {};
    none.pattern_records = 300000;
    none.records_per_second = 10;
    if (!EVERY_LETTER_SET) return {{"4 sensors", four, {"tpwcsh", "sc"}}, {"127 sensors", most, {"tpwcs"}}};
    return {{"4 sensors", four, every_letter_set()},
            {"127 sensors", most, {"tpwcs", "sct", "wc", "pts", "scth"}},
            {"no sensor", none, {"tpwcs", "cp", "tw", "tpwch"}}};
}

TEST(ParallelSingleFile, EveryLetterSetGivesTheBytesOfOneThread) {
    for (const FileCase& c : file_cases()) {
        Scratch scratch;
        fs::create_directory(scratch.path("inputs"));
        ASSERT_TRUE(write_data_file(c.shape, scratch.path("inputs/in.dat")));
        for (const std::string& letters : c.letter_sets) {
            SCOPED_TRACE(std::string(c.name) + ", " + letters);
            const Outcome one = run_in_copy(scratch.path("inputs"), scratch.path("run"), "1", {letters, "in.dat", "out"});
            EXPECT_EQ(one.run.exit_code, 0);
            EXPECT_EQ(one.run.out, "");
            EXPECT_GT(one.tree.size(), 1u);
            for (const std::string& jobs : THREAD_COUNTS) {
                const Outcome many =
                    run_in_copy(scratch.path("inputs"), scratch.path("run"), jobs, {letters, "in.dat", "out"});
                EXPECT_EQ(many.run.exit_code, 0) << jobs << " threads";
                EXPECT_EQ(many.run.out, one.run.out) << jobs << " threads";
                EXPECT_EQ(tree_difference(one.tree, many.tree), "") << jobs << " threads";
            }
        }
    }
}

TEST(ParallelSingleFile, APipedFileGivesTheBytesOfOneThread) {
    Scratch scratch;
    FileShape shape = file_cases().front().shape;
    ASSERT_TRUE(write_data_file(shape, scratch.path("in.dat")));
    const RunResult one = test::run_measconv_with({{"MEASCONV_JOBS", "1"}}, {"tpwcs", "in.dat", "one"}, scratch.dir.string());
    const RunResult many = test::run_command(
        {"/bin/bash", "-c", "cat in.dat | MEASCONV_JOBS=3 \"$MEASCONV\" tpwcs /dev/stdin many"}, scratch.dir.string());
    EXPECT_EQ(one.out, "");
    EXPECT_EQ(many.out, "");
    for (const char* suffix : {"_pv.txt", "_wl.txt", "_pv.csv", "_wl.csv", "/SN0001.txt", "/SN0004.csv"})
        EXPECT_TRUE(read_file(scratch.path(std::string("one") + suffix)) == read_file(scratch.path(std::string("many") + suffix)))
            << suffix;
}

// --- Write failures: the same writes, the same stop and the same message, whatever the threads ---

struct WriteFailureCase {
    const char* name;
    int sensors;
    const char* letters;
    std::vector<std::string> full;  // made links to /dev/full
    int size_limit_kib;             // a limit on the size of every file written (ulimit -f), or 0
};

TEST(ParallelSingleFile, AFailedWriteStopsWhereOneThreadStops) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    const WriteFailureCase cases[] = {
        {"one combined file on a full disk", 4, "tpwc", {"out_pv.csv"}, 0},
        {"two combined files on a full disk", 4, "tpwc", {"out_wl.txt", "out_pv.csv"}, 0},
        // Within the first read block (26214 records) the combined file fills its buffer after
        // some 16000 records, the per-sensor file after some 24000: one thread writes the
        // block's per-sensor lines first, and so stops at the per-sensor file.
        {"a per-sensor and a combined file on a full disk", 4, "tpwcs", {"out/SN0001.csv", "out_pv.csv"}, 0},
        {"two per-sensor files on a full disk", 127, "sct", {"out/SN0100.csv", "out/SN0005.txt"}, 0},
        // A limit fails the write that crosses it, after writing what fits: the files stop at
        // the same bytes only if every flush is the same.
        {"combined files over a size limit", 4, "tpwc", {}, 1500},
        {"all files over a size limit", 4, "tpwcs", {}, 1100},
        {"per-sensor files over a size limit", 127, "sct", {}, 60},
        // The .h5 file takes the records of each piece after its lines: it fails and stops
        // the pass at the same piece on every thread count, and is left out.
        {"a combined file on a full disk beside the .h5 file", 4, "tpwch", {"out_pv.csv"}, 0},
        {"the .h5 file and the others over a size limit", 4, "tpwcsh", {}, 1100},
        {"per-sensor files and the .h5 file over a size limit", 127, "scth", {}, 60},
    };
    for (const WriteFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        FileShape shape = test::sample_shape();
        shape.sensors = numbered_sensors(c.sensors);
        shape.pattern_records = static_cast<std::uint64_t>(2600000 / (8 + 8 * c.sensors));
        shape.records_per_second = 1000;
        fs::create_directories(scratch.path("inputs/out"));
        ASSERT_TRUE(write_data_file(shape, scratch.path("inputs/in.dat")));
        for (const std::string& name : c.full) fs::create_symlink("/dev/full", scratch.path("inputs/" + name));
        // SIGXFSZ ignored, a write beyond the limit fails with EFBIG.
        const std::string limit =
            c.size_limit_kib > 0 ? "trap '' XFSZ; ulimit -f " + std::to_string(c.size_limit_kib) + "; " : "";
        const std::string script = limit + "\"$MEASCONV\" " + c.letters + " in.dat out";
        // The links to /dev/full are left out of the trees: reading one would never end.
        const std::set<std::string> full(c.full.begin(), c.full.end());
        Tree expected;
        std::string expected_out;
        std::vector<std::string> thread_counts = {"1"};
        thread_counts.insert(thread_counts.end(), THREAD_COUNTS.begin(), THREAD_COUNTS.end());
        for (const std::string& jobs : thread_counts) {
            fs::remove_all(scratch.path("run"));
            fs::copy(scratch.path("inputs"), scratch.path("run"),
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            const RunResult run = test::run_command({"/bin/bash", "-c", script}, scratch.path("run"), "UTC",
                                                    {{"MEASCONV_JOBS", jobs}});
            const Tree tree = file_tree(scratch.path("run"), full);
            EXPECT_EQ(run.exit_code, 0) << jobs << " threads";
            if (jobs == "1") {
                // Every output the failure leaves incomplete is named, one line each.
                EXPECT_EQ(run.out.rfind("Can not write '", 0), 0u) << run.out;
                const auto lines = std::count(run.out.begin(), run.out.end(), '\n');
                EXPECT_GE(lines, 1) << run.out;
                EXPECT_EQ(2 * lines, std::count(run.out.begin(), run.out.end(), '\'')) << run.out;  // 'FILE' each
                expected = tree;
                expected_out = run.out;
                continue;
            }
            EXPECT_EQ(run.out, expected_out) << jobs << " threads";
            EXPECT_EQ(tree_difference(expected, tree), "") << jobs << " threads";
        }
    }
}

// --- Lists whose entries touch each other's files ---

// A large entry takes long, a small one is done at once: run out of order, the large one
// would finish last and leave its bytes where list order leaves the small one's.
FileShape large_shape() {
    FileShape shape = test::sample_shape();
    shape.sensors = numbered_sensors(64);
    shape.pattern_records = 5000;  // 2.5 read blocks
    shape.records_per_second = 100;
    return shape;
}

FileShape small_shape(const std::vector<GenSensor>& sensors) {
    FileShape shape = test::sample_shape();
    shape.sensors = sensors;
    shape.pattern_records = 3;
    return shape;
}

void make_sub_and_link(const std::string& dir) {
    fs::create_directory(dir + "/sub");
    fs::create_directory_symlink(".", dir + "/lnk");
}

void make_hard_link(const std::string& dir) {
    // alias.dat and hl_pv.txt are one file: the first entry's output is the second one's input.
    fs::copy_file(dir + "/small.dat", dir + "/hl_pv.txt");
    fs::create_hard_link(dir + "/hl_pv.txt", dir + "/alias.dat");
}

void make_directory_d(const std::string& dir) { fs::create_directory(dir + "/d"); }

struct ListCase {
    const char* name;
    const char* letters;
    std::string list;
    void (*prepare)(const std::string&);
};

// A list long enough that looking through it for shared files takes a while, so that its first
// entries are converted (and told of) meanwhile in list order and the threads take over from
// there, one of those entries most likely still in progress: entries that share files sit
// before, across and after that point.
std::string list_with_a_head_start() {
    std::string list;
    for (int i = 0; i < 24; ++i) list += "large.dat,h" + std::to_string(i % 12) + "\n";
    list += "h3_pv.txt,r1\nsmall.dat,h5,tp\n";
    for (int i = 0; i < 60000; ++i) {
        list += "missing/" + std::to_string(i) + ".dat,m/" + std::to_string(i) + "\n";
        if (i % 20000 == 0) list += "small.dat,h" + std::to_string(i % 7) + "\nh" + std::to_string(i % 7) + "_pv.txt,r2\n";
    }
    return list + "large.dat,h0\nh0_wl.csv,r3\nh11_pv.csv,h1\n";
}

const ListCase LIST_CASES[] = {
    {"the same output base twice", "tpwc", "large.dat,out,tpwc\nsmall.dat,out,tp\n", nullptr},
    {"an output base makes a later entry's input", "tp", "large.dat,made\nmade_pv.txt,x\nlarge.dat,y\n", nullptr},
    // dir/c_pv.txt: the first entry's per-sensor file of sensor "c_pv", then the second one's combined file.
    {"a split directory holds a later entry's combined files", "sct", "large_c.dat,dir\nsmall.dat,dir/c,tpwc\n",
     nullptr},
    {"a per-sensor file is an earlier entry's combined file", "tp", "large.dat,d/x\nsmall_x.dat,d,st\n",
     make_directory_d},
    {"one output by other spellings and through a link", "tpwc",
     "large.dat,o\nsmall.dat,./o,tp\nsmall.dat,sub/../o,cp\nsmall.dat,lnk/o,tw\nlarge.dat,p\n./p_pv.txt,q1\n"
     "lnk//p_pv.txt,q2\n",
     make_sub_and_link},
    {"an output that is a later input through a hard link", "tp", "large.dat,hl\nalias.dat,r\n", make_hard_link},
    {"failing entries among good ones", "tpwc",
     "missing.dat,m\nlarge.dat,b1\nbad.dat,b2\nsmall.dat,s1,sct\nmissing2.dat,m2\nlarge.dat,b3,sc\nsub,b4\n"
     "small.dat,s2,tp\n",
     make_sub_and_link},
    {"a long list whose first entries run while it is looked through", "tpwc", list_with_a_head_start(), nullptr},
};

TEST(ParallelBatch, ListsGiveTheFilesAndMessagesOfOneThread) {
    Scratch scratch;
    const std::string inputs = scratch.path("inputs");
    fs::create_directory(inputs);
    ASSERT_TRUE(write_data_file(large_shape(), inputs + "/large.dat"));
    FileShape large_c = large_shape();
    large_c.sensors.front().serial = "c_pv";
    ASSERT_TRUE(write_data_file(large_c, inputs + "/large_c.dat"));
    ASSERT_TRUE(write_data_file(small_shape(numbered_sensors(2)), inputs + "/small.dat"));
    ASSERT_TRUE(write_data_file(small_shape({{1, "x_pv"}, {2, "y"}}), inputs + "/small_x.dat"));
    FileShape bad = small_shape(numbered_sensors(2));
    bad.version_minor = 2;
    ASSERT_TRUE(write_data_file(bad, inputs + "/bad.dat"));
    for (const ListCase& c : LIST_CASES) {
        SCOPED_TRACE(c.name);
        test::write_file(inputs + "/list.txt", c.list);
        const Outcome one = run_in_copy(inputs, scratch.path("run"), "1", {c.letters, "list.txt"}, c.prepare);
        EXPECT_EQ(one.run.exit_code, 0);
        for (const std::string& jobs : THREAD_COUNTS) {
            const Outcome many = run_in_copy(inputs, scratch.path("run"), jobs, {c.letters, "list.txt"}, c.prepare);
            EXPECT_EQ(many.run.exit_code, 0) << jobs << " threads";
            EXPECT_EQ(many.run.out, one.run.out) << jobs << " threads";
            EXPECT_EQ(tree_difference(one.tree, many.tree), "") << jobs << " threads";
        }
    }
}

// A long list of failing entries costs little beside its paths, and two threads no more time
// than one: the look for entries that share files keeps two words a key, and while it runs the
// first entries are converted in list order; entries that fail at once are taken several at a
// time. With split outputs too, whose directories the look finds by hash as well.
TEST(ParallelBatch, ALongListOfFailingEntriesCostsLittleOnAnyThreadCount) {
    Scratch scratch;
    const std::string dir = scratch.path("run");
    fs::create_directory(dir);
    constexpr int ENTRIES = 100000;
    std::string list;
    for (int i = 0; i < ENTRIES; ++i) list += "missing/" + std::to_string(i) + ".dat,out/" + std::to_string(i) + "\n";
    test::write_file(dir + "/fail.lst", list);
    test::write_file(dir + "/empty.lst", "");
    // Without the outputs' directory (no file is looked at), and with it (read once, as its
    // names are looked for many times).
    const std::pair<const char*, bool> cases[] = {{"tpwc", false}, {"tpwcs", false}, {"tpwc", true}};
    for (const auto& [letters, with_directory] : cases) {
        SCOPED_TRACE(std::string(letters) + (with_directory ? ", out/ there" : ""));
        if (with_directory) fs::create_directory(dir + "/out");
        double seconds[2] = {};
        const char* const jobs[2] = {"1", "2"};
        for (int run = 0; run < 2; ++run) {
            const auto start = std::chrono::steady_clock::now();
            const RunResult result = test::run_measconv_with({{"MEASCONV_JOBS", jobs[run]}}, {letters, "fail.lst"}, dir);
            const RunResult empty = test::run_measconv_with({{"MEASCONV_JOBS", jobs[run]}}, {letters, "empty.lst"}, dir);
            seconds[run] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            EXPECT_EQ(result.exit_code, 0) << jobs[run] << " threads";
            EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), ENTRIES) << jobs[run] << " threads";
            const std::string last = "Can not open 'missing/99999.dat' to read data.\n";
            EXPECT_EQ(result.out.substr(result.out.size() - std::min(result.out.size(), last.size())), last);
#if !defined(MEASCONV_THREAD_SANITIZER) && !defined(MEASCONV_ADDRESS_SANITIZER)
            // Per entry beyond what the program takes for an empty list, its paths included. Not
            // under the sanitizers, whose shadow memory the bound does not allow for.
            EXPECT_LT(static_cast<double>(result.peak_kib - empty.peak_kib) * 1024.0 / ENTRIES, 300.0)
                << jobs[run] << " threads";
#endif
        }
#if !defined(MEASCONV_THREAD_SANITIZER) && !defined(MEASCONV_ADDRESS_SANITIZER)
        // Not under the sanitizers, whose slower threads the bound does not allow for. Two threads
        // take about nine tenths of one thread's time on an idle machine (bench/list_scaling.py);
        // the bound leaves room for the other tests running beside this one.
        EXPECT_LT(seconds[1], 1.5 * seconds[0] + 0.2) << "one thread " << seconds[0] << " s";
#else
        (void)seconds;
#endif
    }
}

// --- Limits: open files, address space, file size ---

// Every line a run under a limit may print: the table's messages for outputs that cannot be
// created or written, and for a conversion that ran out of memory.
bool only_documented_messages(const std::string& out) {
    static const std::regex line(R"((Can not open '[^']*' to export\.|Can not write '[^']*'\.|)"
                                 R"(Not enough memory to convert '[^']*'\.)\n)");
    std::size_t at = 0;
    std::smatch match;
    while (at < out.size()) {
        const std::string rest = out.substr(at);
        if (!std::regex_search(rest, match, line, std::regex_constants::match_continuous)) return false;
        at += static_cast<std::size_t>(match.length(0));
    }
    return true;
}

bool has_temporary_file(const Tree& tree) {
    for (const auto& [name, bytes] : tree)
        if (name.find(".part") != std::string::npos) return true;
    return false;
}

struct LimitCase {
    const char* what;
    const char* limit;  // shell words before the command
    const char* args;
    std::vector<std::string> jobs;
    bool as_unlimited;  // the limit is high enough: the result is that of a run without it
};

TEST(ParallelLimits, EveryThreadCountEndsAsDocumentedAndAsOneThreadUnderLimits) {
    Scratch scratch;
    const std::string inputs = scratch.path("inputs");
    fs::create_directory(inputs);
    // Sixteen entries of 64 sensors (some 134 descriptors each), forty small entries, and a file
    // of many read blocks that the parallel pass formats on every thread.
    std::string wide_list, small_list;
    FileShape wide = test::sample_shape();
    wide.sensors = numbered_sensors(64);
    wide.pattern_records = 200;
    ASSERT_TRUE(write_data_file(wide, inputs + "/wide.dat"));
    ASSERT_TRUE(write_data_file(small_shape(numbered_sensors(4)), inputs + "/small.dat"));
    for (int i = 0; i < 16; ++i) wide_list += "wide.dat,w" + std::to_string(i) + "\n";
    for (int i = 0; i < 40; ++i) small_list += "small.dat,s" + std::to_string(i) + "\n";
    test::write_file(inputs + "/wide.lst", wide_list);
    test::write_file(inputs + "/small.lst", small_list);
    FileShape blocks = test::sample_shape();
    blocks.sensors = numbered_sensors(16);
    blocks.pattern_records = 30000;
    blocks.records_per_second = 50;
    ASSERT_TRUE(write_data_file(blocks, inputs + "/blocks.dat"));

    const std::vector<std::string> one_two_sixteen = {"1", "2", "16"};
    const std::vector<std::string> one_two_eight = {"1", "2", "8"};
    const LimitCase cases[] = {
        {"64 open files, a list", "ulimit -n 64;", "tpwcsh wide.lst", one_two_sixteen, false},
        {"1024 open files, a list", "ulimit -n 1024;", "tpwcsh wide.lst", one_two_sixteen, true},
        {"8 MiB of address space, a list", "prlimit --as=$((8 << 20))", "tpwcsh small.lst", one_two_eight, false},
        {"16 MiB, a list", "prlimit --as=$((16 << 20))", "tpwcsh small.lst", one_two_eight, false},
        {"24 MiB, a list", "prlimit --as=$((24 << 20))", "tpwcsh small.lst", one_two_eight, false},
        {"32 MiB, a list", "prlimit --as=$((32 << 20))", "tpwcsh small.lst", one_two_eight, false},
        {"64 MiB, a list", "prlimit --as=$((64 << 20))", "tpwcsh small.lst", one_two_eight, true},
        {"128 MiB, a list", "prlimit --as=$((128 << 20))", "tpwcsh small.lst", one_two_eight, true},
        {"16 MiB, a file of many blocks", "prlimit --as=$((16 << 20))", "tpwcs blocks.dat b", one_two_eight, false},
        {"24 MiB, a file of many blocks", "prlimit --as=$((24 << 20))", "tpwcsh blocks.dat b", one_two_eight, false},
        {"48 MiB, a file of many blocks", "prlimit --as=$((48 << 20))", "tpwcs blocks.dat b", one_two_eight, false},
        {"128 MiB, a file of many blocks", "prlimit --as=$((128 << 20))", "tpwcsh blocks.dat b", one_two_eight,
         true},
        {"a file-size limit of 12 KiB, a file", "ulimit -f 12;", "tpwcsh blocks.dat b", {"1", "2"}, false},
        {"a file-size limit of 1000 KiB, a file", "ulimit -f 1000;", "tpwcs blocks.dat b", {"1", "2", "8"}, false},
        {"a file-size limit of 40 KiB, a list", "ulimit -f 40;", "tpwcsh small.lst", {"1", "2"}, false},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (!ADDRESS_SPACE_LIMITS && std::string(c.limit).rfind("prlimit", 0) == 0) continue;
        const std::string command = std::string("(") + c.limit + " \"$MEASCONV\" " + c.args + ")";
        const auto run_with = [&](const std::string& jobs, const std::string& limited) {
            const std::string dir = scratch.path("run");
            fs::remove_all(dir);
            fs::copy(inputs, dir, fs::copy_options::recursive);
            Outcome outcome;
            outcome.run = test::run_shell("export MEASCONV_JOBS=" + jobs + "; " + limited, dir);
            outcome.tree = file_tree(dir);
            return outcome;
        };
        const Outcome unlimited = run_with("1", std::string("\"$MEASCONV\" ") + c.args);
        std::optional<Outcome> one;
        for (const std::string& jobs : c.jobs) {
            SCOPED_TRACE(jobs + " threads");
            const Outcome run = run_with(jobs, command);
            // Never an abort or a crash: the loader's own message when it cannot even map the
            // C library, else a documented end.
            if (run.run.exit_code == 127) {
                EXPECT_NE(run.run.err.find("error while loading shared libraries"), std::string::npos) << run.run.err;
                continue;
            }
            EXPECT_EQ(run.run.exit_code, 0) << run.run.err;
            EXPECT_EQ(run.run.err, "");
            EXPECT_TRUE(only_documented_messages(run.run.out)) << run.run.out.substr(0, 2000);
            EXPECT_FALSE(has_temporary_file(run.tree));
            if (c.as_unlimited) {
                EXPECT_EQ(run.run.out, unlimited.run.out);
                EXPECT_EQ(tree_difference(unlimited.tree, run.tree), "");
            }
            // Descriptors and file sizes are no matter of timing: every thread count gives one thread's result.
            const bool timing_free = std::string(c.limit).rfind("prlimit", 0) != 0;
            if (!one) {
                one = run;
            } else if (timing_free) {
                EXPECT_EQ(run.run.out, one->run.out);
                EXPECT_EQ(tree_difference(one->tree, run.tree), "");
            }
        }
    }
}

// --- Settings from the environment ---

TEST(ParallelSettings, ValuesThatCannotBeUsedStopTheRunBeforeAnything) {
    struct Case {
        const char* variable;
        const char* value;
        const char* wanted;  // "" for a value that is used
        const char* shown = nullptr;  // how the message shows the value, when not as it is
    };
    const char* const JOBS = "a positive integer";
    const char* const SHARD = "K/N with 0 <= K < N";
    const char* const PROGRESS = "0 or 1";
    const char* const COMPRESSION = "none, deflate or deflate:LEVEL with LEVEL 1 to 9";
    const Case cases[] = {
        {"MEASCONV_JOBS", "", JOBS},       {"MEASCONV_JOBS", "0", JOBS},       {"MEASCONV_JOBS", "000", JOBS},
        {"MEASCONV_JOBS", "-1", JOBS},     {"MEASCONV_JOBS", "+2", JOBS},      {"MEASCONV_JOBS", " 2", JOBS},
        {"MEASCONV_JOBS", "2 ", JOBS},     {"MEASCONV_JOBS", "1.5", JOBS},     {"MEASCONV_JOBS", "two", JOBS},
        {"MEASCONV_JOBS", "0x10", JOBS},   {"MEASCONV_JOBS", "1", ""},         {"MEASCONV_JOBS", "007", ""},
        {"MEASCONV_JOBS", "99999999999999999999999", ""},
        {"MEASCONV_SHARD", "", SHARD},     {"MEASCONV_SHARD", "1", SHARD},     {"MEASCONV_SHARD", "2/2", SHARD},
        {"MEASCONV_SHARD", "3/2", SHARD},  {"MEASCONV_SHARD", "0/0", SHARD},   {"MEASCONV_SHARD", "-1/2", SHARD},
        {"MEASCONV_SHARD", "1/-2", SHARD}, {"MEASCONV_SHARD", "a/2", SHARD},   {"MEASCONV_SHARD", "1/2/3", SHARD},
        {"MEASCONV_SHARD", "/2", SHARD},   {"MEASCONV_SHARD", "1/", SHARD},    {"MEASCONV_SHARD", "0 /2", SHARD},
        {"MEASCONV_SHARD", "99999999999999999999999/1", SHARD},                {"MEASCONV_SHARD", "0/1", ""},
        {"MEASCONV_SHARD", "00/02", ""},   {"MEASCONV_PROGRESS", "", PROGRESS}, {"MEASCONV_PROGRESS", "2", PROGRESS},
        {"MEASCONV_PROGRESS", "yes", PROGRESS}, {"MEASCONV_PROGRESS", " 1", PROGRESS}, {"MEASCONV_PROGRESS", "0", ""},
        {"MEASCONV_HDF5_COMPRESSION", "", COMPRESSION},          {"MEASCONV_HDF5_COMPRESSION", "gzip", COMPRESSION},
        {"MEASCONV_HDF5_COMPRESSION", "Deflate", COMPRESSION},   {"MEASCONV_HDF5_COMPRESSION", "NONE", COMPRESSION},
        {"MEASCONV_HDF5_COMPRESSION", "deflate:", COMPRESSION},  {"MEASCONV_HDF5_COMPRESSION", "deflate:0", COMPRESSION},
        {"MEASCONV_HDF5_COMPRESSION", "deflate:10", COMPRESSION}, {"MEASCONV_HDF5_COMPRESSION", "deflate:01", COMPRESSION},
        {"MEASCONV_HDF5_COMPRESSION", "deflate:-1", COMPRESSION}, {"MEASCONV_HDF5_COMPRESSION", "deflate 1", COMPRESSION},
        {"MEASCONV_HDF5_COMPRESSION", "deflate1", COMPRESSION},  {"MEASCONV_HDF5_COMPRESSION", "none ", COMPRESSION},
        {"MEASCONV_HDF5_COMPRESSION", "none", ""},               {"MEASCONV_HDF5_COMPRESSION", "deflate", ""},
        {"MEASCONV_HDF5_COMPRESSION", "deflate:1", ""},          {"MEASCONV_HDF5_COMPRESSION", "deflate:9", ""},
        // Control characters are shown escaped: the message stays one line.
        {"MEASCONV_JOBS", "2\n3", JOBS, "2\\n3"},          {"MEASCONV_SHARD", "0/2\n", SHARD, "0/2\\n"},
        {"MEASCONV_PROGRESS", "\t1\x1b[31m", PROGRESS, "\\t1\\x1b[31m"},
    };
    Scratch scratch;
    ASSERT_TRUE(write_data_file(small_shape(numbered_sensors(2)), scratch.path("in.dat")));
    test::write_file(scratch.path("list.txt"), "in.dat,listed\n");
    const std::vector<std::string> before = test::list_dir(scratch.dir.string());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "='" + c.value + "'");
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"tp", "list.txt"}, std::vector<std::string>{"tp", "in.dat", "single"}}) {
            const RunResult run = test::run_measconv_with({{c.variable, c.value}}, args, scratch.dir.string());
            if (*c.wanted != '\0') {
                EXPECT_EQ(run.exit_code, 2);
                EXPECT_EQ(run.err, std::string("measconv: ") + c.variable + " must be " + c.wanted + ", not '" +
                                       (c.shown != nullptr ? c.shown : c.value) + "'\n");
                EXPECT_EQ(run.out, "");
                EXPECT_EQ(test::list_dir(scratch.dir.string()), before);
            } else {
                EXPECT_EQ(run.exit_code, 0);
                EXPECT_EQ(run.err, "");
                EXPECT_EQ(run.out, "");
                EXPECT_NE(read_file(scratch.path(args.size() == 2 ? "listed_pv.txt" : "single_pv.txt")).find("*End*"),
                          std::string::npos);
                fs::remove(scratch.path("listed_pv.txt"));
                fs::remove(scratch.path("single_pv.txt"));
            }
        }
    }
}

// --- Progress on standard error ---

// What a terminal shows at the end: the last line after every carriage return has done its work.
std::string visible_last_line(const std::string& written) {
    std::string line;
    std::size_t column = 0;
    for (char c : written) {
        if (c == '\n') {
            line.clear();
            column = 0;
        } else if (c == '\r') {
            column = 0;
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            ++column;
        }
    }
    return line.substr(0, line.find_last_not_of(' ') + 1);
}

TEST(ParallelProgress, ShowsOnStandardErrorOnlyAndIsErasedAtTheEnd) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(large_shape(), scratch.path("large.dat")));
    ASSERT_TRUE(write_data_file(small_shape(numbered_sensors(2)), scratch.path("small.dat")));
    test::write_file(scratch.path("list.txt"), "large.dat,a\nmissing.dat,b\nsmall.dat,c\nlarge.dat,d,sc\n");
    const std::string messages = "Can not open 'missing.dat' to read data.\n";
    struct Case {
        const char* progress;  // MEASCONV_PROGRESS, or null for unset (standard error is a file here)
        const char* jobs;
        bool shown;
    };
    const Case cases[] = {{"1", "1", true}, {"1", "2", true}, {"0", "2", false}, {nullptr, "2", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.progress ? c.progress : "unset") + ", " + c.jobs + " threads");
        Env env = {{"MEASCONV_JOBS", c.jobs}};
        if (c.progress != nullptr) env.push_back({"MEASCONV_PROGRESS", c.progress});
        const RunResult run = test::run_measconv_with(env, {"tpwc", "list.txt"}, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, messages);
        if (c.shown) {
            EXPECT_EQ(run.err.rfind("\rmeasconv: 0/4 files, 0 MB written, 0 MB/s", 0), 0u) << run.err;
            EXPECT_EQ(run.err.find('\n'), std::string::npos);
            EXPECT_EQ(run.err.back(), '\r');
            EXPECT_EQ(visible_last_line(run.err), "");
        } else {
            EXPECT_EQ(run.err, "");
        }
    }
}

TEST(ParallelProgress, ASingleFileShowsItsPercentageOnlyBeyond256MB) {
    Scratch scratch;
    // Sparse files: a header, then records of zeros up to the size (the letters write nothing).
    for (const auto& [name, size] : {std::pair<const char*, std::uintmax_t>{"large.dat", 300u << 20},
                                     std::pair<const char*, std::uintmax_t>{"small.dat", 200u << 20}}) {
        FileShape shape = test::sample_shape();
        shape.sensors = numbered_sensors(1);
        ASSERT_TRUE(write_data_file(shape, scratch.path(name)));
        fs::resize_file(scratch.path(name), size);
    }
    for (const char* jobs : {"1", "2"}) {
        const RunResult large = test::run_measconv_with({{"MEASCONV_JOBS", jobs}, {"MEASCONV_PROGRESS", "1"}},
                                                        {"p", "large.dat", "out"}, scratch.dir.string());
        EXPECT_EQ(large.out, "");
        EXPECT_TRUE(std::regex_search(large.err, std::regex("^\rmeasconv: [0-9]+%"))) << large.err;
        EXPECT_EQ(large.err.find('\n'), std::string::npos);
        EXPECT_EQ(visible_last_line(large.err), "");
        const RunResult small = test::run_measconv_with({{"MEASCONV_JOBS", jobs}, {"MEASCONV_PROGRESS", "1"}},
                                                        {"p", "small.dat", "out"}, scratch.dir.string());
        EXPECT_EQ(small.out, "");
        EXPECT_EQ(small.err, "");
    }
}

TEST(ParallelProgress, ShowsOnATerminalWithoutBeingAsked) {
    if (test::run_shell("command -v script", "/").exit_code != 0) GTEST_SKIP() << "no script(1) here";
    Scratch scratch;
    ASSERT_TRUE(write_data_file(small_shape(numbered_sensors(2)), scratch.path("small.dat")));
    test::write_file(scratch.path("list.txt"), "small.dat,a\nmissing.dat,b\n");
    // script gives the command a terminal; standard output goes to a file, standard error stays on it.
    const RunResult run = test::run_shell(
        "script -qefc '\"$MEASCONV\" tpwc list.txt >stdout.txt' typescript >/dev/null", scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_file(scratch.path("stdout.txt")), "Can not open 'missing.dat' to read data.\n");
    const std::string terminal = read_file(scratch.path("typescript"));
    EXPECT_NE(terminal.find("\rmeasconv: 0/2 files"), std::string::npos) << terminal;
    EXPECT_EQ(terminal.find("Can not open"), std::string::npos);
}

}  // namespace
