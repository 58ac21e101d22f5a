// Single-mode conversions to the combined files, compared byte for byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <limits>

#include "datafile/data_file.h"
#include "test_support.h"

namespace {

using test::crlf;
using test::read_file;
using test::run_measconv;
using test::Scratch;

const std::string PV_HEADER = test::combined_header("Physic Value");
const std::string WL_HEADER = test::combined_header("Wavelength");
const std::string CSV_COLUMNS = "Datetime,Counter,01.AB1,02.AB2\n";

// Converts shape with the given type letters in a scratch directory, as "in.dat" to base "out".
struct Conversion {
    Scratch scratch;
    test::RunResult run;

    Conversion(const FileShape& shape, const std::string& type, const std::string& tz = "UTC") {
        test::write_file(scratch.path("in.dat"), data_file_bytes(shape));
        run = run_measconv({type, "in.dat", "out"}, scratch.dir.string(), tz);
    }
    std::string file(const std::string& name) const { return read_file(scratch.path(name)); }
    std::vector<std::string> files() const { return test::list_dir(scratch.dir.string()); }
};

FileShape shape_with(std::vector<GenRecord> records) {
    FileShape shape = test::sample_shape();
    shape.records = std::move(records);
    return shape;
}

TEST(CombinedOutputs, TheWorkedExampleRecordInAllFourFiles) {
    const Conversion c(shape_with({test::example_record()}), "tpwc");
    EXPECT_EQ(c.run.out, "");
    EXPECT_EQ(c.run.exit_code, 0);
    EXPECT_EQ(c.file("out_pv.csv"), crlf(CSV_COLUMNS + "1980-01-02 02:04:00,7,1.5000, \n"));
    EXPECT_EQ(c.file("out_wl.csv"), crlf(CSV_COLUMNS + "1980-01-02 02:04:00,7,1550000, \n"));
    EXPECT_EQ(c.file("out_wl.txt"), crlf(WL_HEADER + "000005\t7\t1550000\t0\n"));
    EXPECT_EQ(c.file("out_pv.txt"), crlf(PV_HEADER + "000005\t7\t1.5000\tnil\n"));
}

TEST(CombinedOutputs, TypeLettersSelectPairsOfBits) {
    const FileShape shape = shape_with({test::example_record()});
    EXPECT_EQ(Conversion(shape, "cp").files(), (std::vector<std::string>{"in.dat", "out_pv.csv"}));
    EXPECT_EQ(Conversion(shape, "tpw").files(), (std::vector<std::string>{"in.dat", "out_pv.txt", "out_wl.txt"}));
    EXPECT_EQ(Conversion(shape, "WC").files(), (std::vector<std::string>{"in.dat", "out_wl.csv"}));
    EXPECT_EQ(Conversion(shape, "tc").files(), (std::vector<std::string>{"in.dat"}));
    EXPECT_EQ(Conversion(shape, "pw").files(), (std::vector<std::string>{"in.dat"}));
}

TEST(CombinedOutputs, RecordsAreWrittenInFileOrderWithTheirOwnTimes) {
    const Conversion c(shape_with({{0, 1, {{0.0f, 1500000}, {-0.5f, 1650000}}},
                                   {3600, 2, {{12.34567f, 1600000}, {100.0f, 1499999}}},
                                   {-5, -3, {{3.0f, 1650001}, {-1.25f, 1550000}}}}),
                       "tpwc");
    EXPECT_EQ(c.file("out_pv.csv"), crlf(CSV_COLUMNS + "1980-01-02 02:03:55,1,0.0000,-0.5000\n"
                                                       "1980-01-02 03:03:55,2,12.3457, \n"
                                                       "1980-01-02 02:03:50,-3, ,-1.2500\n"));
    EXPECT_EQ(c.file("out_wl.csv"), crlf(CSV_COLUMNS + "1980-01-02 02:03:55,1,1500000,1650000\n"
                                                       "1980-01-02 03:03:55,2,1600000, \n"
                                                       "1980-01-02 02:03:50,-3, ,1550000\n"));
    EXPECT_EQ(c.file("out_wl.txt"), crlf(WL_HEADER + "000000\t1\t1500000\t1650000\n"
                                                     "003600\t2\t1600000\t1499999\n"
                                                     "-00005\t-3\t1650001\t1550000\n"));
    EXPECT_EQ(c.file("out_pv.txt"), crlf(PV_HEADER + "000000\t1\t0.0000\t-0.5000\n"
                                                     "003600\t2\t12.3457\tnil\n"
                                                     "-00005\t-3\tnil\t-1.2500\n"));
}

TEST(CombinedOutputs, EveryReadingInvalid) {
    const Conversion c(shape_with({{1, 1, {{9.0f, 0}, {9.0f, -1}}}}), "tpwc");
    EXPECT_EQ(c.file("out_pv.txt"), crlf(PV_HEADER + "000001\t1\tnil\tnil\n"));
    EXPECT_EQ(c.file("out_wl.txt"), crlf(WL_HEADER + "000001\t1\t0\t-1\n"));
    EXPECT_EQ(c.file("out_pv.csv"), crlf(CSV_COLUMNS + "1980-01-02 02:03:56,1, , \n"));
    EXPECT_EQ(c.file("out_wl.csv"), crlf(CSV_COLUMNS + "1980-01-02 02:03:56,1, , \n"));
}

TEST(CombinedOutputs, NumbersPrintAsPrintfPrintsThem) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Conversion c(shape_with({{INT32_MAX, INT32_MIN, {{inf, 1500000}, {-inf, 1500000}}},
                                   {INT32_MIN, INT32_MAX, {{nan, 1500000}, {-nan, 1500000}}},
                                   {999999, 0, {{3.4028235e38f, 1500000}, {1e-45f, 1500000}}},
                                   {1000000, 0, {{0.00006f, 1500000}, {-0.0f, 1500000}}}}),
                       "tp");
    EXPECT_EQ(c.file("out_pv.txt"), crlf(PV_HEADER + "2147483647\t-2147483648\tinf\t-inf\n"
                                                     "-2147483648\t2147483647\tnan\t-nan\n"
                                                     "999999\t0\t340282346638528859811704183484516925440.0000\t0.0000\n"
                                                     "1000000\t0\t0.0001\t-0.0000\n"));
}

TEST(CombinedOutputs, NoSensors) {
    FileShape shape = shape_with({{4, 9, {}}, {5, 10, {}}});
    shape.sensors.clear();
    const Conversion c(shape, "tpwc");
    const auto typed = [](const std::string& type) {
        std::string text = test::combined_header(type);
        text.replace(text.find("## Count            : 2"), 23, "## Count            : 0");
        return text.erase(text.find("# Column03"), text.find("*End*") - text.find("# Column03"));
    };
    EXPECT_EQ(c.file("out_pv.csv"), crlf("Datetime,Counter\n1980-01-02 02:03:59,9\n1980-01-02 02:04:00,10\n"));
    EXPECT_EQ(c.file("out_wl.csv"), crlf("Datetime,Counter\n1980-01-02 02:03:59,9\n1980-01-02 02:04:00,10\n"));
    EXPECT_EQ(c.file("out_pv.txt"), crlf(typed("Physic Value") + "000004\t9\n000005\t10\n"));
    EXPECT_EQ(c.file("out_wl.txt"), crlf(typed("Wavelength") + "000004\t9\n000005\t10\n"));
}

TEST(CombinedOutputs, NoRecordsLeavesTheHeadersOnly) {
    const Conversion c(shape_with({}), "tpwc");
    EXPECT_EQ(c.file("out_pv.txt"), crlf(PV_HEADER));
    EXPECT_EQ(c.file("out_wl.txt"), crlf(WL_HEADER));
    EXPECT_EQ(c.file("out_pv.csv"), crlf(CSV_COLUMNS));
    EXPECT_EQ(c.file("out_wl.csv"), crlf(CSV_COLUMNS));
}

TEST(CombinedOutputs, TextsEndAtTheirWidthAndEveryLfIsStoredAsCrLf) {
    FileShape shape = shape_with({});
    shape.title = "Line one\nline two, and the rest is cut here";
    shape.company = std::string(20, 'C');
    shape.sensors = {{7, std::string(31, 'S')}, {255, "two\nlines"}};
    const Conversion c(shape, "tpc");
    EXPECT_EQ(c.file("out_pv.txt"),
              "## Line one\r\nline two, and the res\r\n"
              "## Type             : Physic Value\r\n"
              "## Version          : 1.3\r\n"
              "## Company          : CCCCCCCCCCCCCCCCCCCC\r\n"
              "## IDN              : MU-4000\r\n"
              "## SN               : SA2024001\r\n"
              "## Count            : 2\r\n"
              "## Time             : Wed Jan 02 02:03:55 1980\r\n"
              "# Column01= Record Time\r\n"
              "# Column02= Counter\r\n"
              "# Column03= ID: 7, SN: SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS\r\n"
              "# Column04= ID: 255, SN: two\r\nlines\r\n"
              "*End*\r\n");
    EXPECT_EQ(c.file("out_pv.csv"), "Datetime,Counter,07.SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS,255.two\r\nlines\r\n");
}

TEST(CombinedOutputs, LongHeadersAndLinesAreWrittenWhole) {
    FileShape shape = test::sample_shape();
    shape.sensors.clear();
    for (int i = 0; i < 127; ++i)
        shape.sensors.push_back({static_cast<std::uint8_t>(i), std::string(30, 'a' + i % 26)});
    GenRecord record{1, 2, {}};
    for (int i = 0; i < 127; ++i) record.readings.push_back({-3.0e38f, 1500000});
    shape.records = {record};
    const Conversion c(shape, "tpc");

    std::string columns = "Datetime,Counter";
    std::string column_lines;
    std::string cells;
    for (int i = 0; i < 127; ++i) {
        const std::string serial(30, static_cast<char>('a' + i % 26));
        columns += "," + std::string(i < 10 ? "0" : "") + std::to_string(i) + "." + serial;
        column_lines += "# Column" + std::string(i + 3 < 10 ? "0" : "") + std::to_string(i + 3) +
                        "= ID: " + std::to_string(i) + ", SN: " + serial + "\n";
        cells += ",-300000000549775575777803994281145270272.0000";
    }
    const std::string csv = c.file("out_pv.csv");
    EXPECT_EQ(csv, crlf(columns + "\n1980-01-02 02:03:56,2" + cells + "\n"));
    const std::string text = c.file("out_pv.txt");
    EXPECT_NE(text.find(crlf("# Column02= Counter\n" + column_lines + "*End*\n000001\t2\t")), std::string::npos);
    EXPECT_EQ(text.size(), text.rfind("\r\n") + 2);
}

TEST(CombinedOutputs, LocalTimeFollowsTheProcessZoneAcrossDaylightSaving) {
    // 2021-03-28 00:59:59 UTC is the last second of winter time in central Europe.
    FileShape shape = shape_with({{0, 1, {}}, {1, 2, {}}, {3600, 3, {}}});
    shape.sensors.clear();
    shape.start_time = 1616893199;
    const Conversion c(shape, "cp", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(c.file("out_pv.csv"), crlf("Datetime,Counter\n"
                                         "2021-03-28 01:59:59,1\n"
                                         "2021-03-28 03:00:00,2\n"
                                         "2021-03-28 03:59:59,3\n"));
    const Conversion text(shape, "tp", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_NE(text.file("out_pv.txt").find("## Time             : Sun Mar 28 01:59:59 2021\r\n"), std::string::npos);
}

TEST(CombinedOutputs, TimesBefore1970AndAcrossThe32BitWrap) {
    FileShape shape = shape_with({{0, 0, {}}, {1, 1, {}}});
    shape.sensors.clear();
    shape.start_time = INT32_MAX;
    const Conversion c(shape, "tpc");
    EXPECT_EQ(c.file("out_pv.csv"), crlf("Datetime,Counter\n2038-01-19 03:14:07,0\n1901-12-13 20:45:52,1\n"));
    EXPECT_NE(c.file("out_pv.txt").find("Tue Jan 19 03:14:07 2038\r\n"), std::string::npos);

    shape.start_time = -86400 * 365;
    const Conversion before(shape, "tp");
    EXPECT_NE(before.file("out_pv.txt").find("Wed Jan 01 00:00:00 1969\r\n"), std::string::npos);
}

// --- Failures: messages, result files, and what stays on disk ---

TEST(ConversionFailures, InputThatCannotBeRead) {
    Scratch scratch;
    std::filesystem::create_directory(scratch.path("folder.dat"));
    test::RunResult run = run_measconv({"tpwcs", "folder.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'folder.dat' to read data.\n");
    run = run_measconv({"tpwcs", "nothing here.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'nothing here.dat' to read data.\n");
    EXPECT_EQ(test::list_dir(scratch.dir.string()), std::vector<std::string>{"folder.dat"});
}

TEST(ConversionFailures, AnOutputThatCannotBeCreatedEndsTheConversion) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), data_file_bytes(shape_with({test::example_record()})));
    std::filesystem::create_directory(scratch.path("out_pv.csv"));  // blocks the third file
    const test::RunResult run = run_measconv({"tpwc", "in.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'out_pv.csv' to export.\n");
    EXPECT_EQ(read_file(scratch.path("out_pv.txt")), "");
    EXPECT_EQ(read_file(scratch.path("out_wl.txt")), "");
    EXPECT_FALSE(std::filesystem::exists(scratch.path("out_wl.csv")));

    const test::RunResult missing = run_measconv({"cw", "in.dat", "no/such/dir/out"}, scratch.dir.string());
    EXPECT_EQ(missing.out, "Can not open 'no/such/dir/out_wl.csv' to export.\n");
}

TEST(ConversionFailures, TheInputIsNeverAnOutput) {
    Scratch scratch;
    const std::vector<unsigned char> input = data_file_bytes(shape_with({test::example_record()}));
    test::write_file(scratch.path("in.dat"), input);
    std::filesystem::create_symlink("in.dat", scratch.path("out_wl.txt"));
    test::RunResult run = run_measconv({"tpw", "in.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'out_wl.txt' to export.\n");
    EXPECT_EQ(read_file(scratch.path("in.dat")), std::string(input.begin(), input.end()));

    // The same file under another spelling of its name.
    std::filesystem::create_directory(scratch.path("d"));
    std::filesystem::rename(scratch.path("in.dat"), scratch.path("d/x_pv.csv"));
    run = run_measconv({"cp", "d/x_pv.csv", "d/../d/x"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'd/../d/x_pv.csv' to export.\n");
    EXPECT_EQ(read_file(scratch.path("d/x_pv.csv")), std::string(input.begin(), input.end()));
}

TEST(ConversionFailures, AFullDiskIsReportedOnce) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    Scratch scratch;
    FileShape shape = test::sample_shape();
    shape.pattern_records = 20000;
    test::write_file(scratch.path("in.dat"), data_file_bytes(shape));
    std::filesystem::create_symlink("/dev/full", scratch.path("out_wl.txt"));
    const test::RunResult run = run_measconv({"tpwc", "in.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not write 'out_wl.txt'.\n");
    EXPECT_EQ(run.exit_code, 0);
}

TEST(ConversionFailures, LongPathsAreAccepted) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), data_file_bytes(shape_with({test::example_record()})));
    const std::string base(180, 'b');
    const test::RunResult run = run_measconv({"cp", "in.dat", base}, scratch.dir.string());
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(scratch.path(base + "_pv.csv")), crlf(CSV_COLUMNS + "1980-01-02 02:04:00,7,1.5000, \n"));
}

}  // namespace
