// Split mode: one text and one CSV file per sensor in the directory named by the output base.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "convert/sensor_names.h"
#include "convert/split_output.h"
#include "test_support.h"

namespace {

using test::crlf;
using test::read_file;
using test::run_measconv;
using test::Scratch;
using test::sensor_header;

const std::string CSV_HEADER = "Datetime,Counter,Wavelength,PhysicValue\n";

struct SplitRun {
    Scratch scratch;
    test::RunResult run;

    SplitRun(const FileShape& shape, const std::string& type, const std::string& base = "out") {
        test::write_file(scratch.path("in.dat"), data_file_bytes(shape));
        run = run_measconv({type, "in.dat", base}, scratch.dir.string());
    }
    std::string file(const std::string& name) const { return read_file(scratch.path(name)); }
    std::vector<std::string> dir(const std::string& name = "") const {
        return test::list_dir(name.empty() ? scratch.dir.string() : scratch.path(name));
    }
};

FileShape example_shape() {
    FileShape shape = test::sample_shape();
    shape.records = {test::example_record()};
    return shape;
}

TEST(SplitOutputs, TheWorkedExampleRecordPerSensor) {
    const SplitRun r(example_shape(), "sct");
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.dir(), (std::vector<std::string>{"in.dat", "out"}));
    EXPECT_EQ(r.dir("out"), (std::vector<std::string>{"AB1.csv", "AB1.txt", "AB2.csv", "AB2.txt"}));
    EXPECT_EQ(r.file("out/AB1.csv"), CSV_HEADER + "1980-01-02 02:04:00,7,1550000,1.5000\n");
    EXPECT_EQ(r.file("out/AB1.txt"), sensor_header("AB1") + "000005\t7\t1550000\t1.5000\n");
    EXPECT_EQ(r.file("out/AB2.csv"), CSV_HEADER + "1980-01-02 02:04:00,7,0,\t\n");
    EXPECT_EQ(r.file("out/AB2.txt"), sensor_header("AB2") + "000005\t7\t0\tnil\n");
}

TEST(SplitOutputs, ManyRecordsKeepTheirOrderAndCombinedFilesFollow) {
    FileShape shape = example_shape();
    shape.records.push_back({-5, 8, {{-1.25f, 1650000}, {3.0f, 1500000}}});
    shape.records.push_back({6, 9, {{2.0f, 1650001}, {0.00006f, -1}}});
    const SplitRun r(shape, "SCTP");
    EXPECT_EQ(r.file("out/AB1.csv"), CSV_HEADER +
                                         "1980-01-02 02:04:00,7,1550000,1.5000\n"
                                         "1980-01-02 02:03:50,8,1650000,-1.2500\n"
                                         "1980-01-02 02:04:01,9,1650001,\t\n");
    EXPECT_EQ(r.file("out/AB2.txt"), sensor_header("AB2") +
                                         "000005\t7\t0\tnil\n"
                                         "-00005\t8\t1500000\t3.0000\n"
                                         "000006\t9\t-1\tnil\n");
    EXPECT_EQ(r.file("out_pv.csv"), crlf("Datetime,Counter,01.AB1,02.AB2\n"
                                         "1980-01-02 02:04:00,7,1.5000, \n"
                                         "1980-01-02 02:03:50,8,-1.2500,3.0000\n"
                                         "1980-01-02 02:04:01,9, , \n"));
    EXPECT_EQ(r.dir(), (std::vector<std::string>{"in.dat", "out", "out_pv.csv", "out_pv.txt"}));
}

TEST(SplitOutputs, LettersChooseTheKindsOfFile) {
    EXPECT_TRUE(SplitRun(example_shape(), "s").dir("out").empty());
    EXPECT_EQ(SplitRun(example_shape(), "s").dir(), (std::vector<std::string>{"in.dat", "out"}));
    EXPECT_EQ(SplitRun(example_shape(), "sc").dir("out"), (std::vector<std::string>{"AB1.csv", "AB2.csv"}));
    EXPECT_EQ(SplitRun(example_shape(), "stpw").dir("out"), (std::vector<std::string>{"AB1.txt", "AB2.txt"}));
}

TEST(SplitOutputs, NoRecordsLeavesHeadersOnly) {
    FileShape shape = test::sample_shape();
    const SplitRun r(shape, "sct");
    EXPECT_EQ(r.file("out/AB1.csv"), CSV_HEADER);
    EXPECT_EQ(r.file("out/AB2.txt"), sensor_header("AB2"));
}

TEST(SplitOutputs, AnExistingDirectoryIsUsed) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), data_file_bytes(example_shape()));
    std::filesystem::create_directory(scratch.path("out"));
    test::write_file(scratch.path("out/keep.me"), "x");
    EXPECT_EQ(run_measconv({"sc", "in.dat", "out"}, scratch.dir.string()).out, "");
    EXPECT_EQ(test::list_dir(scratch.path("out")), (std::vector<std::string>{"AB1.csv", "AB2.csv", "keep.me"}));
}

TEST(SplitOutputs, EmptySerialGivesBareExtensions) {
    FileShape shape = example_shape();
    shape.sensors[1].serial = "";
    const SplitRun r(shape, "sct");
    EXPECT_EQ(r.dir("out"), (std::vector<std::string>{".csv", ".txt", "AB1.csv", "AB1.txt"}));
    EXPECT_EQ(r.file("out/.txt"), sensor_header("") + "000005\t7\t0\tnil\n");
}

TEST(SplitNames, SeparatorsInSerialsCannotLeaveTheDirectory) {
    FileShape shape = example_shape();
    shape.sensors = {{1, "../x"}, {2, "..\\..\\y/z"}};
    const SplitRun r(shape, "sct");
    EXPECT_EQ(r.dir(), (std::vector<std::string>{"in.dat", "out"}));
    EXPECT_EQ(r.dir("out"), (std::vector<std::string>{".._.._y_z.csv", ".._.._y_z.txt", ".._x.csv", ".._x.txt"}));
    EXPECT_EQ(r.file("out/.._x.txt"), sensor_header("../x") + "000005\t7\t1550000\t1.5000\n");
}

TEST(SplitNames, DuplicateSerialsGetNumberedFilesOfTheirOwn) {
    FileShape shape = example_shape();
    shape.sensors = {{1, "A"}, {2, "a"}, {3, "A_2"}, {4, "A"}};
    shape.records = {{1, 1, {{1.0f, 1500000}, {2.0f, 1500000}, {3.0f, 1500000}, {4.0f, 1500000}}}};
    const SplitRun r(shape, "sc");
    EXPECT_EQ(r.dir("out"), (std::vector<std::string>{"A.csv", "A_2_2.csv", "A_3.csv", "a_2.csv"}));
    EXPECT_EQ(r.file("out/A.csv"), CSV_HEADER + "1980-01-02 02:03:56,1,1500000,1.0000\n");
    EXPECT_EQ(r.file("out/a_2.csv"), CSV_HEADER + "1980-01-02 02:03:56,1,1500000,2.0000\n");
    EXPECT_EQ(r.file("out/A_2_2.csv"), CSV_HEADER + "1980-01-02 02:03:56,1,1500000,3.0000\n");
    EXPECT_EQ(r.file("out/A_3.csv"), CSV_HEADER + "1980-01-02 02:03:56,1,1500000,4.0000\n");
}

TEST(SplitNames, StemsInTableOrder) {
    const std::vector<SensorEntry> sensors = {{1, "x"}, {2, "X_2"}, {3, "x"}, {4, "x/"}, {5, "X\\"}, {6, ""}, {7, ""}};
    EXPECT_EQ(split_file_stems(sensors), (std::vector<std::string>{"x", "X_2", "x_3", "x_", "X__2", "", "_2"}));
}

// Serial, stem under the POSIX rules (every release so far: separators only), stem under the
// Windows rules (also device names, refused characters, a final dot or space).
struct StemRow {
    std::string serial;
    std::string posix;
    std::string windows;
};

const StemRow STEM_TABLE[] = {
    {"SN0001", "SN0001", "SN0001"},
    {"", "", ""},
    {"../x", ".._x", ".._x"},
    {"a\\b/c", "a_b_c", "a_b_c"},
    {"CON", "CON", "_CON"},
    {"con", "con", "_con"},
    {"PRN", "PRN", "_PRN"},
    {"aux", "aux", "_aux"},
    {"Nul", "Nul", "_Nul"},
    {"COM1", "COM1", "_COM1"},
    {"com9", "com9", "_com9"},
    {"LPT1", "LPT1", "_LPT1"},
    {"lPt9", "lPt9", "_lPt9"},
    {"CON.txt", "CON.txt", "_CON.txt"},
    {"nul.a.b", "nul.a.b", "_nul.a.b"},
    {"AUX  .csv", "AUX  .csv", "_AUX  .csv"},
    {"CON/x", "CON_x", "CON_x"},
    {"COM0", "COM0", "COM0"},
    {"COM10", "COM10", "COM10"},
    {"LPT", "LPT", "LPT"},
    {"CONX", "CONX", "CONX"},
    {"XCON", "XCON", "XCON"},
    {" CON", " CON", " CON"},
    {"CON.", "CON.", "CON_"},
    {"CON ", "CON ", "CON_"},
    {"a<b>c", "a<b>c", "a_b_c"},
    {"d:e", "d:e", "d_e"},
    {"q\"u|o?t*e", "q\"u|o?t*e", "q_u_o_t_e"},
    {"tab\there", "tab\there", "tab_here"},
    {"\x01\x1f\x20", "\x01\x1f\x20", "___"},
    {"del\x7f", "del\x7f", "del\x7f"},
    {"\xe4\xc4", "\xe4\xc4", "\xe4\xc4"},
    {"x.", "x.", "x_"},
    {"x ", "x ", "x_"},
    {"x. .", "x. .", "x. _"},
    {".", ".", "_"},
    {"..", "..", "._"},
    {"a.b", "a.b", "a.b"},
    {" a b ", " a b ", " a b_"},
};

TEST(SplitNames, StemOfEachSerialUnderBothRules) {
    for (const StemRow& row : STEM_TABLE) {
        EXPECT_EQ(sensor_file_stem(row.serial, NameRules::posix), row.posix) << "serial '" << row.serial << "'";
        EXPECT_EQ(sensor_file_stem(row.serial, NameRules::windows), row.windows) << "serial '" << row.serial << "'";
        EXPECT_FALSE(is_windows_device_name(row.windows)) << row.windows;
    }
}

TEST(SplitNames, ThisBuildUsesThePosixRules) {
    // Stored trees and callers depend on the names of the Linux build staying as they are.
    EXPECT_EQ(PLATFORM_NAME_RULES, NameRules::posix);
    const std::vector<SensorEntry> sensors = {{1, "CON"}, {2, "x."}, {3, "a:b"}};
    EXPECT_EQ(split_file_stems(sensors), (std::vector<std::string>{"CON", "x.", "a:b"}));
}

TEST(SplitNames, WindowsStemsStayUniqueAfterTheirCharactersAreReplaced) {
    const std::vector<SensorEntry> sensors = {{1, "CON"}, {2, "_CON"}, {3, "con"}, {4, "x."},
                                              {5, "x_"},  {6, "a:b"},  {7, "a?b"}, {8, "A|B"}};
    EXPECT_EQ(split_file_stems(sensors, NameRules::windows),
              (std::vector<std::string>{"_CON", "_CON_2", "_con_3", "x_", "x__2", "a_b", "a_b_2", "A_B_3"}));
    EXPECT_EQ(split_file_stems(sensors, NameRules::posix),
              (std::vector<std::string>{"CON", "_CON", "con_2", "x.", "x_", "a:b", "a?b", "A|B"}));
}

TEST(SplitNames, WindowsDeviceNames) {
    for (const char* device : {"CON", "prn", "Aux", "nul", "COM1", "com5", "LPT9", "con.txt", "NUL .csv", "lpt3.a.b"})
        EXPECT_TRUE(is_windows_device_name(device)) << device;
    for (const char* file : {"", "CO", "CONS", "COM", "COM0", "LPT10", "_CON", "x.CON", " NUL", "COM\x01"})
        EXPECT_FALSE(is_windows_device_name(file)) << file;
}

TEST(SplitOutputs, AnEmptyOutputBaseNamesNoDirectory) {
    const SplitRun r(example_shape(), "sct", "");
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.dir(), std::vector<std::string>{"in.dat"});
}

TEST(SplitOutputs, ThePerSensorFileThatIsTheInputIsNamedAndNotOpened) {
    Scratch scratch;
    const std::vector<unsigned char> input = data_file_bytes(example_shape());
    std::filesystem::create_directory(scratch.path("out"));
    test::write_file(scratch.path("out/AB1.csv"), input);
    const test::RunResult run = run_measconv({"sct", "out/AB1.csv", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'out/AB1.csv' to export.\n");
    EXPECT_EQ(read_file(scratch.path("out/AB1.csv")), std::string(input.begin(), input.end()));
    EXPECT_EQ(read_file(scratch.path("out/AB1.txt")), sensor_header("AB1") + "000005\t7\t1550000\t1.5000\n");
    EXPECT_EQ(read_file(scratch.path("out/AB2.csv")), CSV_HEADER + "1980-01-02 02:04:00,7,0,\t\n");
}

TEST(SplitOutputs, AFullDiskOnOnePerSensorFileLeavesTheOthersComplete) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), data_file_bytes(example_shape()));
    std::filesystem::create_directory(scratch.path("out"));
    std::filesystem::create_symlink("/dev/full", scratch.path("out/AB2.txt"));
    const test::RunResult run = run_measconv({"sctp", "in.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not write 'out/AB2.txt'.\n");
    EXPECT_EQ(read_file(scratch.path("out_pv.txt")), test::crlf(test::combined_header("Physic Value") + "000005\t7\t1.5000\tnil\n"));
    EXPECT_EQ(read_file(scratch.path("out/AB1.csv")), CSV_HEADER + "1980-01-02 02:04:00,7,1550000,1.5000\n");
}

}  // namespace
