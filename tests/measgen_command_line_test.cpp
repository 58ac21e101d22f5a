// measgen's command line: help, version, wrong options, `--`, and every option's effect on the file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "datafile/data_file.h"
#include "measconv_version.h"
#include "measgen/command_line.h"
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
         std::string("measgen: bad value for --records: 'abc' (expected N, a decimal number from 0 to "
                     "9223372036854775807)\n") + TRY_HELP},
        {{"x.dat", "--records", "-1"}, 2, "",
         std::string("measgen: bad value for --records: '-1' (expected N, a decimal number from 0 to "
                     "9223372036854775807)\n") + TRY_HELP},
        {{"x.dat", "--sensors", "128"}, 2, "",
         std::string("measgen: bad value for --sensors: '128' (expected N, a decimal number from 0 to 127; more "
                     "only with --refused-sensor-count, which makes a file measconv refuses)\n") + TRY_HELP},
        {{"x.dat", "--count-byte", "256"}, 2, "",
         std::string("measgen: bad value for --count-byte: '256' (expected B, a decimal number from 0 to 255)\n") +
             TRY_HELP},
        {{"x.dat", "--file-version", "1"}, 2, "",
         std::string("measgen: bad value for --file-version: '1' (expected MAJ.MIN)\n") + TRY_HELP},
        {{"x.dat", "--record", "5"}, 2, "",
         std::string("measgen: bad value for --record: '5' (expected OFFSET,COUNTER[,VALUE:WAVELENGTH...])\n") +
             TRY_HELP},
        {{"x.dat", "--wave", "0"}, 2, "",
         std::string("measgen: bad value for --wave: '0' (expected SECONDS, a decimal number from 1 to 4294967295)\n") +
             TRY_HELP},
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
                               "--refused-sensor-count N",
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

// Numbers are decimal: every form either gives the file of the number it reads as, or is
// refused with the option, the value and what is expected.
struct NumberRow {
    std::vector<std::string> args;          // besides the output x.dat
    std::function<void(FileShape&)> shape;  // empty: the value is refused
    std::string expected;                   // for a refusal: what the message says is expected
};

float float_of_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

TEST(MeasgenCommandLine, NumbersAreDecimal) {
    const std::string RECORDS = "N, a decimal number from 0 to 9223372036854775807";
    const std::string START = "SECONDS, a decimal number from -2147483648 to 2147483647";
    const std::string RECORD = "OFFSET,COUNTER[,VALUE:WAVELENGTH...]";
    const std::string REFUSED_COUNT = "N, a decimal number from 128 to 255";
    std::string serials_128;
    for (int i = 0; i < 128; ++i) serials_128.append(i > 0 ? "," : "").append(std::to_string(i));
    // clang-format off
    const NumberRow rows[] = {
        {{"--records", "010"}, [](FileShape& s) { s.pattern_records = 10; }, ""},
        {{"--records", "0000000000000000000000003"}, [](FileShape& s) { s.pattern_records = 3; }, ""},
        {{"--records", "1", "--seed", "08"}, [](FileShape& s) { s.pattern_records = 1; s.seed = 8; }, ""},
        {{"--records", "1", "--start", "+5"}, [](FileShape& s) { s.pattern_records = 1; s.start_time = 5; }, ""},
        {{"--records", "-0"}, [](FileShape&) {}, ""},
        {{"--start", "-2147483648"}, [](FileShape& s) { s.start_time = INT32_MIN; }, ""},
        {{"--start", "2147483647"}, [](FileShape& s) { s.start_time = INT32_MAX; }, ""},
        {{"--count-byte", "0200"}, [](FileShape& s) { s.count_byte = 200; }, ""},
        {{"--records", "2", "--wave", "08"}, [](FileShape& s) { s.pattern_records = 2; s.wave_period = 8; }, ""},
        {{"--sensors", "127"}, [](FileShape& s) { s.sensors = numbered_sensors(127); }, ""},
        {{"--refused-sensor-count", "128", "--records", "2"},
         [](FileShape& s) { s.sensors = numbered_sensors(128); s.pattern_records = 2; }, ""},
        {{"--refused-sensor-count", "255"}, [](FileShape& s) { s.sensors = numbered_sensors(255); }, ""},
        {{"--sensors", "6", "--record", "010,-08,1e3:01550000,.5:+1500000,-0:0,nan:1,-inf:2,nan(4194303):3"},
         [](FileShape& s) {
             s.sensors = numbered_sensors(6);
             s.records = {{10, -8, {{1000.0f, 1550000}, {0.5f, 1500000}, {-0.0f, 0}, {float_of_bits(0x7fc00000), 1},
                                    {-INFINITY, 2}, {float_of_bits(0x7fffffff), 3}}}};
         }, ""},
        {{"--record", "1,2,-nan(74565):-2147483648,2.5E-3:2147483647,+inf:5,1e-45:6"},
         [](FileShape& s) {
             s.records = {{1, 2, {{float_of_bits(0xffc12345), INT32_MIN}, {0.0025f, INT32_MAX}, {INFINITY, 5},
                                  {1e-45f, 6}}}};
         }, ""},
        {{"--records", "12", "--time-jump", "010:-05", "--counter-jump", "1:4294967295"},
         [](FileShape& s) { s.pattern_records = 12; s.time_jumps = {{10, -5}}; s.counter_jumps = {{1, 4294967295}}; },
         ""},
        {{"--records", "6", "--invalid-stretch", "2:3:4", "--invalid-stretch", "04:01"},
         [](FileShape& s) { s.pattern_records = 6; s.invalid_stretches = {{2, 3, 4}, {4, 1, 0}}; }, ""},
        {{"--file-version", "01.03"}, [](FileShape&) {}, ""},
        {{"--file-version", "-128.127"}, [](FileShape& s) { s.version_major = -128; s.version_minor = 127; }, ""},

        {{"--records", "0x10"}, {}, RECORDS},
        {{"--records", "1e3"}, {}, RECORDS},
        {{"--records", " 5"}, {}, RECORDS},
        {{"--records", "5 "}, {}, RECORDS},
        {{"--records", ""}, {}, RECORDS},
        {{"--records", "+"}, {}, RECORDS},
        {{"--records", "--5"}, {}, RECORDS},
        {{"--records", "1_000"}, {}, RECORDS},
        {{"--records", "1,000"}, {}, RECORDS},
        {{"--records", "5."}, {}, RECORDS},
        {{"--records", "9223372036854775808"}, {}, RECORDS},
        {{"--records", "99999999999999999999"}, {}, RECORDS},
        {{"--start", "2147483648"}, {}, START},
        {{"--start", "-2147483649"}, {}, START},
        {{"--seed", "4294967296"}, {}, "S, a decimal number from 0 to 4294967295"},
        {{"--rate", "0"}, {}, "N, a decimal number from 1 to 4294967295"},
        {{"--sensors", "0x7f"}, {}, "N, a decimal number from 0 to 127; more only with --refused-sensor-count, "
                                    "which makes a file measconv refuses"},
        {{"--refused-sensor-count", "127"}, {}, REFUSED_COUNT},
        {{"--refused-sensor-count", "256"}, {}, REFUSED_COUNT},
        {{"--serials", serials_128}, {}, "A,B,... of at most 127 serials"},
        {{"--record", "0x5,7"}, {}, RECORD},
        {{"--record", "5, 7"}, {}, RECORD},
        {{"--record", "4294967296,0"}, {}, RECORD},
        {{"--record", "5,7,1.5:2147483648"}, {}, RECORD},
        {{"--record", "5,7,0x1p3:1550000"}, {}, RECORD},
        {{"--record", "5,7,1e39:1550000"}, {}, RECORD},
        {{"--record", "5,7,1.5.2:1550000"}, {}, RECORD},
        {{"--record", "5,7,e5:1550000"}, {}, RECORD},
        {{"--record", "5,7,1e:1550000"}, {}, RECORD},
        {{"--record", "5,7,:1550000"}, {}, RECORD},
        {{"--record", "5,7,infinity:1550000"}, {}, RECORD},
        {{"--record", "5,7,nan(0x12345):0"}, {}, RECORD},
        {{"--record", "5,7,nan(4194304):0"}, {}, RECORD},
        {{"--time-jump", "1:4294967296"}, {}, "R:S"},
        {{"--time-jump", "0x1:5"}, {}, "R:S"},
        {{"--counter-jump", "1e1:5"}, {}, "R:N"},
        {{"--invalid-stretch", "1:2:0"}, {}, "R:N[:SENSOR]"},
        {{"--file-version", "1.128"}, {}, "MAJ.MIN"},
        {{"--file-version", "0x1.3"}, {}, "MAJ.MIN"},
        {{"--file-version", "1.3.0"}, {}, "MAJ.MIN"},
    };
    // clang-format on
    // The command line as the program parses it (its messages and files are checked through the
    // program above); the file is the bytes of the shape it gives.
    for (const NumberRow& row : rows) {
        std::vector<std::string> args = {"x.dat"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const MeasgenCommandLine line = parse_measgen_command_line(args);
        const std::string trace = ::testing::PrintToString(row.args);
        if (!row.shape) {
            const std::string& value = row.args[row.args.size() - 1];
            const std::string& option = row.args[row.args.size() - 2];
            EXPECT_EQ(line.command, MeasgenCommand::usage_error) << trace;
            EXPECT_EQ(line.error, "bad value for " + option + ": '" + value + "' (expected " + row.expected + ")")
                << trace;
            continue;
        }
        FileShape shape;
        shape.sensors = numbered_sensors(4);
        row.shape(shape);
        ASSERT_EQ(line.command, MeasgenCommand::write) << trace << line.error;
        EXPECT_EQ(line.options.output, "x.dat");
        EXPECT_EQ(data_file_bytes(line.options.shape), data_file_bytes(shape)) << trace;
    }
}

// The options together: an invalid stretch of a sensor the file does not have.
TEST(MeasgenCommandLine, AnInvalidStretchNamesASensorOfTheFile) {
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--invalid-stretch", "1:2:5"}, "measgen: --invalid-stretch names sensor 5; the file has 4\n"},
        {{"--invalid-stretch", "1:2:2", "--sensors", "1"}, "measgen: --invalid-stretch names sensor 2; the file has 1\n"},
        {{"--sensors", "0", "--invalid-stretch", "0:1:1"}, "measgen: --invalid-stretch names sensor 1; the file has 0\n"},
    };
    for (const auto& [options, message] : rows) {
        Scratch scratch;
        std::vector<std::string> args = {"x.dat"};
        args.insert(args.end(), options.begin(), options.end());
        const GenRun run = run_measgen(args, scratch);
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.err, message + TRY_HELP);
        EXPECT_TRUE(test::list_dir(scratch.path("work")).empty());
    }
}

// measconv refuses every file of --refused-sensor-count, with the count it reads.
TEST(MeasgenCommandLine, MeasconvRefusesEveryRefusedSensorCount) {
    for (const int count : {128, 200, 255}) {
        Scratch scratch;
        ASSERT_EQ(run_measgen({"in.dat", "--refused-sensor-count", std::to_string(count), "--records", "3"}, scratch)
                      .exit_code,
                  0);
        const test::RunResult run = test::run_measconv({"tpw", "in.dat", "out"}, scratch.path("work"));
        EXPECT_EQ(run.out, "Input file sensor count error: " + std::to_string(count - 256) + "\n") << count;
    }
}

TEST(MeasgenCommandLine, AnUnwritableOutputExitsOne) {
    Scratch scratch;
    const GenRun run = run_measgen({"missing-dir/x.dat", "--records", "1"}, scratch);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "measgen: cannot write missing-dir/x.dat\n");
}

}  // namespace
