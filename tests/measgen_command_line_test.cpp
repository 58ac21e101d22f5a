// measgen's command line: help, version, wrong options, `--`, and every option's effect on the file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <functional>

#include "datafile/data_file.h"
#include "measconv_version.h"
#include "test_support.h"

#ifndef MEASGEN_BINARY
#error "MEASGEN_BINARY must name the generator under test"
#endif

namespace {

using test::read_file;
using test::Scratch;

struct GenRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs measgen in dir; its standard output and error go to files outside dir.
GenRun run_measgen(const std::vector<std::string>& args, const Scratch& scratch) {
    const std::string dir = scratch.path("work");
    std::filesystem::create_directories(dir);
    // Appended piece by piece: GCC 12 warns (-Wrestrict) wrongly about "literal" + std::string.
    std::string command = "cd ";
    command.append(shell_quoted(dir)).append(" && exec ").append(shell_quoted(MEASGEN_BINARY));
    for (const std::string& arg : args) command.append(" ").append(shell_quoted(arg));
    command.append(" >").append(shell_quoted(scratch.path("stdout")));
    command.append(" 2>").append(shell_quoted(scratch.path("stderr"))).append(" </dev/null");
    const int status = std::system(command.c_str());
    GenRun run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_file(scratch.path("stdout"));
    run.err = read_file(scratch.path("stderr"));
    return run;
}

constexpr char TRY_HELP[] = "Try 'measgen --help' for the options.\n";

// A command line that writes nothing: its exit code, standard output and standard error.
struct NoFileRow {
    std::vector<std::string> args;
    int exit_code;
    std::string out;
    std::string err;
};

TEST(MeasgenCommandLine, RunsThatWriteNoFile) {
    // clang-format off
    const NoFileRow rows[] = {
        {{"--version"}, 0, std::string("measgen ") + MEASCONV_VERSION + "\n", ""},
        {{"x.dat", "--version"}, 0, std::string("measgen ") + MEASCONV_VERSION + "\n", ""},
        {{"--bogus", "x.dat"}, 2, "", std::string("measgen: unknown option --bogus\n") + TRY_HELP},
        {{"x.dat", "-r"}, 2, "",
         std::string("measgen: unknown option -r (an output name starting with '-' needs -- before it)\n") + TRY_HELP},
        {{"-x.dat"}, 2, "",
         std::string("measgen: unknown option -x.dat (an output name starting with '-' needs -- before it)\n") +
             TRY_HELP},
        {{"x.dat", "--records"}, 2, "", std::string("measgen: missing value for --records\n") + TRY_HELP},
        {{"x.dat", "--records", "abc"}, 2, "",
         std::string("measgen: bad value for --records: 'abc' (expected N)\n") + TRY_HELP},
        {{"x.dat", "--records", "-1"}, 2, "",
         std::string("measgen: bad value for --records: '-1' (expected N)\n") + TRY_HELP},
        {{"x.dat", "--sensors", "727"}, 2, "",
         std::string("measgen: bad value for --sensors: '727' (expected N)\n") + TRY_HELP},
        {{"x.dat", "--count-byte", "256"}, 2, "",
         std::string("measgen: bad value for --count-byte: '256' (expected B)\n") + TRY_HELP},
        {{"x.dat", "--file-version", "1"}, 2, "",
         std::string("measgen: bad value for --file-version: '1' (expected MAJ.MIN)\n") + TRY_HELP},
        {{"x.dat", "--record", "5"}, 2, "",
         std::string("measgen: bad value for --record: '5' (expected OFFSET,COUNTER[,VALUE:WAVELENGTH...])\n") +
             TRY_HELP},
        {{"x.dat", "--wave", "0"}, 2, "", std::string("measgen: bad value for --wave: '0' (expected SECONDS)\n") + TRY_HELP},
        {{"x.dat", "--time-jump", "5"}, 2, "",
         std::string("measgen: bad value for --time-jump: '5' (expected R:S)\n") + TRY_HELP},
        {{"x.dat", "--counter-jump", "-1:3"}, 2, "",
         std::string("measgen: bad value for --counter-jump: '-1:3' (expected R:N)\n") + TRY_HELP},
        {{"x.dat", "--invalid-stretch", "1:-2"}, 2, "",
         std::string("measgen: bad value for --invalid-stretch: '1:-2' (expected R:N[:SENSOR])\n") + TRY_HELP},
        {{"x.dat", "--invalid-stretch", "1:2:3:4"}, 2, "",
         std::string("measgen: bad value for --invalid-stretch: '1:2:3:4' (expected R:N[:SENSOR])\n") + TRY_HELP},
        {{}, 2, "", std::string("measgen: no output file named\n") + TRY_HELP},
        {{"--records", "3"}, 2, "", std::string("measgen: no output file named\n") + TRY_HELP},
        {{"a.dat", "b.dat"}, 2, "", std::string("measgen: more than one output file named: a.dat, b.dat\n") + TRY_HELP},
        {{"--", "a.dat", "--records"}, 2, "",
         std::string("measgen: more than one output file named: a.dat, --records\n") + TRY_HELP},
    };
    // clang-format on
    for (const NoFileRow& row : rows) {
        Scratch scratch;
        const GenRun run = run_measgen(row.args, scratch);
        const std::string args = ::testing::PrintToString(row.args);
        EXPECT_EQ(run.exit_code, row.exit_code) << args;
        EXPECT_EQ(run.out, row.out) << args;
        EXPECT_EQ(run.err, row.err) << args;
        EXPECT_TRUE(test::list_dir(scratch.path("work")).empty()) << args;
    }
}

TEST(MeasgenCommandLine, HelpListsEveryOptionOnStandardOutput) {
    Scratch scratch;
    const GenRun run = run_measgen({"--help", "--bogus"}, scratch);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out.starts_with("usage: measgen [OPTION...] [--] OUTPUT\n")) << run.out;
    for (const char* option : {"--help",
                               "--version",
                               "--sensors N",
                               "--serials",
                               "--records N",
                               "--rate N",
                               "--start",
                               "--invalid-every",
                               "--seed",
                               "--title",
                               "--company",
                               "--idn",
                               "--unit-serial",
                               "--record OFFSET",
                               "--wave SECONDS",
                               "--time-jump R:S",
                               "--counter-jump R:N",
                               "--invalid-stretch R:N[:SENSOR]",
                               "--non-finite-every K",
                               "--magic",
                               "--file-version MAJ.MIN",
                               "--count-byte",
                               "--trailing-bytes",
                               "--truncate"})
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    EXPECT_TRUE(test::list_dir(scratch.path("work")).empty());
}

// A command line that writes a file: the file must be data_file_bytes of the shape the
// options describe; a file without a whole record is reported on standard error.
struct FileRow {
    std::vector<std::string> args;
    std::string output;
    std::function<void(FileShape&)> shape;
    bool no_records;
};

TEST(MeasgenCommandLine, EachOptionShapesTheFile) {
    // clang-format off
    const FileRow rows[] = {
        {{"x.dat"}, "x.dat", [](FileShape&) {}, true},
        {{"--records", "3", "x.dat"}, "x.dat", [](FileShape& s) { s.pattern_records = 3; }, false},
        {{"--records", "2", "--", "-x.dat"}, "-x.dat", [](FileShape& s) { s.pattern_records = 2; }, false},
        {{"--", "--version"}, "--version", [](FileShape&) {}, true},
        {{"x.dat", "--sensors", "2", "--records", "5", "--rate", "10", "--start", "-2147483648", "--invalid-every",
          "2", "--seed", "9"},
         "x.dat",
         [](FileShape& s) {
             s.sensors = numbered_sensors(2);
             s.pattern_records = 5;
             s.records_per_second = 10;
             s.start_time = INT32_MIN;
             s.invalid_every = 2;
             s.seed = 9;
         },
         false},
        {{"x.dat", "--serials", "a,,CON", "--title", "T", "--company", "C", "--idn", "I", "--unit-serial", "U",
          "--record", "5,7,1.5:1550000,-2:3"},
         "x.dat",
         [](FileShape& s) {
             s.sensors = {{1, "a"}, {2, ""}, {3, "CON"}};
             s.title = "T";
             s.company = "C";
             s.idn = "I";
             s.unit_serial = "U";
             s.records = {{5, 7, {{1.5f, 1550000}, {-2.0f, 3}}}};
         },
         false},
        {{"x.dat", "--magic", "XY", "--file-version", "1.2", "--count-byte", "200", "--records", "1",
          "--trailing-bytes", "3"},
         "x.dat",
         [](FileShape& s) {
             s.magic = "XY";
             s.version_major = 1;
             s.version_minor = 2;
             s.count_byte = 200;
             s.pattern_records = 1;
             s.trailing_bytes = 3;
         },
         false},
        {{"x.dat", "--records", "50", "--wave", "7", "--time-jump", "10:60", "--time-jump", "20:-30",
          "--counter-jump", "30:7", "--invalid-stretch", "5:4:2", "--invalid-stretch", "40:3", "--non-finite-every",
          "9"},
         "x.dat",
         [](FileShape& s) {
             s.pattern_records = 50;
             s.wave_period = 7;
             s.time_jumps = {{10, 60}, {20, -30}};
             s.counter_jumps = {{30, 7}};
             s.invalid_stretches = {{5, 4, 2}, {40, 3, 0}};
             s.non_finite_every = 9;
         },
         false},
        // 4 sensors: records of 40 bytes; 39 bytes past the header hold no whole record, 40 hold one.
        {{"x.dat", "--records", "3", "--truncate", "23383"}, "x.dat",
         [](FileShape& s) {
             s.pattern_records = 3;
             s.truncate_to = 23383;
         },
         true},
        {{"x.dat", "--records", "3", "--truncate", "23384"}, "x.dat",
         [](FileShape& s) {
             s.pattern_records = 3;
             s.truncate_to = 23384;
         },
         false},
        {{"x.dat", "--records", "3", "--truncate", "10"}, "x.dat",
         [](FileShape& s) {
             s.pattern_records = 3;
             s.truncate_to = 10;
         },
         true},
    };
    // clang-format on
    for (const FileRow& row : rows) {
        Scratch scratch;
        const GenRun run = run_measgen(row.args, scratch);
        const std::string args = ::testing::PrintToString(row.args);
        FileShape shape;
        shape.sensors = numbered_sensors(4);
        row.shape(shape);
        const std::vector<unsigned char> expected = data_file_bytes(shape);
        EXPECT_EQ(run.exit_code, 0) << args;
        EXPECT_EQ(run.out, "") << args;
        EXPECT_EQ(run.err, row.no_records ? "measgen: 0 records written to " + row.output + "\n" : "") << args;
        EXPECT_EQ(test::list_dir(scratch.path("work")), std::vector<std::string>{row.output}) << args;
        EXPECT_EQ(read_file(scratch.path("work/" + row.output)), std::string(expected.begin(), expected.end())) << args;
    }
}

TEST(MeasgenCommandLine, AnUnwritableOutputExitsOne) {
    Scratch scratch;
    const GenRun run = run_measgen({"missing-dir/x.dat", "--records", "1"}, scratch);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "measgen: cannot write missing-dir/x.dat\n");
}

}  // namespace
