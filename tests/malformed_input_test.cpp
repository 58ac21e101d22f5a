// Malformed data files: every interesting truncation of a valid file and every single broken
// header field, converted under each family of type letters (combined text, combined CSV,
// per-sensor files, HDF5). Each run must print exactly the named message, leave exactly the named
// files with exactly the named bytes, exit 0 and leave the input as it was. The HDF5 file is
// compared by its contents, read back with the HDF5 library, against the tests' own decoding of
// the data file; it exists only when the header passed its tests.
#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "datafile/data_file.h"
#include "test_support.h"
#if MEASCONV_HAVE_HDF5
#include "hdf5_contents.h"
#endif

namespace {

using test::combined_header;
using test::crlf;
using test::sensor_header;
using test::Scratch;

// Relative path -> bytes of everything a run leaves beside the input; a directory is "name/".
using Files = std::map<std::string, std::string>;

enum class Family { combined_text, combined_csv, split, hdf5 };
constexpr Family FAMILIES[] = {Family::combined_text, Family::combined_csv, Family::split,
#if MEASCONV_HAVE_HDF5
                               Family::hdf5
#endif
};

const char* letters_of(Family family) {
    switch (family) {
    case Family::combined_text: return "tpw";
    case Family::combined_csv: return "cpw";
    case Family::split: return "sct";
    case Family::hdf5: return "h";
    }
    return "";
}

// What a run must print and leave, for each family.
struct Expected {
    std::string message;
    Files text;
    Files csv;
    Files split;

    const Files& files(Family family) const {
        return family == Family::combined_text ? text : family == Family::combined_csv ? csv : split;
    }
};

// An .h5 file is given as the description of what it holds.
Files outputs_in(const test::fs::path& dir) {
    Files files = test::file_tree(dir.string(), {"in.dat"});
#if MEASCONV_HAVE_HDF5
    for (auto& [name, bytes] : files)
        if (test::fs::path(name).extension() == ".h5")
            bytes = h5test::describe(h5test::read_hdf5((dir / name).string()));
#endif
    return files;
}

// The HDF5 family leaves out.h5 holding the data file's contents when the header passes its
// tests, and nothing otherwise.
Files expected_hdf5_files(const std::string& input, const std::string& message) {
    Files files;
#if MEASCONV_HAVE_HDF5
    if (message.empty() && input.size() >= HEADER_SIZE)
        files["out.h5"] = h5test::describe(h5test::expected_hdf5(input));
#else
    (void)input;
    (void)message;
#endif
    return files;
}

// Converts bytes as "in.dat" to base "out" under every family and compares everything.
void expect_conversions(const std::vector<unsigned char>& bytes, const Expected& expected) {
    const std::string input(bytes.begin(), bytes.end());
    for (Family family : FAMILIES) {
        SCOPED_TRACE(letters_of(family));
        Scratch scratch;
        test::write_file(scratch.path("in.dat"), input);
        const test::RunResult run = test::run_measconv({letters_of(family), "in.dat", "out"}, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, expected.message);
        EXPECT_EQ(outputs_in(scratch.dir),
                  family == Family::hdf5 ? expected_hdf5_files(input, expected.message) : expected.files(family));
        EXPECT_EQ(test::read_file(scratch.path("in.dat")), input);
    }
}

// --- The valid file every case starts from: two sensors, three records ---

FileShape valid_shape() {
    FileShape shape = test::sample_shape();
    shape.records = {test::example_record(),
                    {-5, 8, {{-1.25f, 1650000}, {3.0f, 1500000}}},
                    {6, 9, {{2.0f, 1650001}, {0.00006f, -1}}}};
    return shape;
}

constexpr std::size_t RECORD_SIZE = 24;  // 8 + 8 * 2 sensors

std::vector<unsigned char> valid_file() { return data_file_bytes(valid_shape()); }

const std::string CSV_COLUMNS = "Datetime,Counter,01.AB1,02.AB2\n";
const std::string SENSOR_CSV_HEADER = "Datetime,Counter,Wavelength,PhysicValue\n";

// The lines of the three records in each output.
const std::vector<std::string> PV_TEXT = {"000005\t7\t1.5000\tnil\n", "-00005\t8\t-1.2500\t3.0000\n", "000006\t9\tnil\tnil\n"};
const std::vector<std::string> WL_TEXT = {"000005\t7\t1550000\t0\n", "-00005\t8\t1650000\t1500000\n",
                                          "000006\t9\t1650001\t-1\n"};
const std::vector<std::string> PV_CSV = {"1980-01-02 02:04:00,7,1.5000, \n", "1980-01-02 02:03:50,8,-1.2500,3.0000\n",
                                         "1980-01-02 02:04:01,9, , \n"};
const std::vector<std::string> WL_CSV = {"1980-01-02 02:04:00,7,1550000, \n", "1980-01-02 02:03:50,8,1650000,1500000\n",
                                         "1980-01-02 02:04:01,9, , \n"};
const std::vector<std::string> AB1_CSV = {"1980-01-02 02:04:00,7,1550000,1.5000\n",
                                          "1980-01-02 02:03:50,8,1650000,-1.2500\n",
                                          "1980-01-02 02:04:01,9,1650001,\t\n"};
const std::vector<std::string> AB1_TEXT = {"000005\t7\t1550000\t1.5000\n", "-00005\t8\t1650000\t-1.2500\n",
                                           "000006\t9\t1650001\tnil\n"};
const std::vector<std::string> AB2_CSV = {"1980-01-02 02:04:00,7,0,\t\n", "1980-01-02 02:03:50,8,1500000,3.0000\n",
                                          "1980-01-02 02:04:01,9,-1,\t\n"};
const std::vector<std::string> AB2_TEXT = {"000005\t7\t0\tnil\n", "-00005\t8\t1500000\t3.0000\n", "000006\t9\t-1\tnil\n"};

std::string first(const std::vector<std::string>& lines, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += lines[i];
    return text;
}

// The outputs of the valid file when only its first `records` records are whole.
Expected converted(std::size_t records) {
    Expected e;
    e.text = {{"out_pv.txt", crlf(combined_header("Physic Value") + first(PV_TEXT, records))},
              {"out_wl.txt", crlf(combined_header("Wavelength") + first(WL_TEXT, records))}};
    e.csv = {{"out_pv.csv", crlf(CSV_COLUMNS + first(PV_CSV, records))},
             {"out_wl.csv", crlf(CSV_COLUMNS + first(WL_CSV, records))}};
    e.split = {{"out/", ""},
               {"out/AB1.csv", SENSOR_CSV_HEADER + first(AB1_CSV, records)},
               {"out/AB1.txt", sensor_header("AB1") + first(AB1_TEXT, records)},
               {"out/AB2.csv", SENSOR_CSV_HEADER + first(AB2_CSV, records)},
               {"out/AB2.txt", sensor_header("AB2") + first(AB2_TEXT, records)}};
    return e;
}

// Not converted: the selected combined files stay empty, the per-sensor directory stays empty.
Expected rejected(const std::string& message) {
    return {message,
            {{"out_pv.txt", ""}, {"out_wl.txt", ""}},
            {{"out_pv.csv", ""}, {"out_wl.csv", ""}},
            {{"out/", ""}}};
}

std::vector<unsigned char> truncated(std::size_t size) {
    std::vector<unsigned char> bytes = valid_file();
    bytes.resize(size);
    return bytes;
}

std::vector<unsigned char> with_byte(std::size_t offset, unsigned char value) {
    std::vector<unsigned char> bytes = valid_file();
    bytes[offset] = value;
    return bytes;
}

TEST(MalformedInput, TheValidFileItself) { expect_conversions(valid_file(), converted(3)); }

TEST(MalformedInput, TruncatedFiles) {
    const std::size_t header = HEADER_SIZE;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, header - 1}) {
        SCOPED_TRACE(size);
        expect_conversions(truncated(size), rejected(""));
    }
    {
        SCOPED_TRACE("exactly the header");
        expect_conversions(truncated(header), converted(0));
    }
    {
        SCOPED_TRACE("the header and part of a record");
        expect_conversions(truncated(header + RECORD_SIZE / 2), converted(0));
    }
    for (std::size_t records : {1, 2, 3}) {
        SCOPED_TRACE("one byte short of " + std::to_string(records) + " records");
        expect_conversions(truncated(header + records * RECORD_SIZE - 1), converted(records - 1));
    }
}

TEST(MalformedInput, MagicBytes) {
    expect_conversions(with_byte(0, 'X'), rejected("Input file format error. [SART]:[XART]\n"));
    expect_conversions(with_byte(1, 'B'), rejected("Input file format error. [SART]:[SBRT]\n"));
    expect_conversions(with_byte(0, 's'), rejected("Input file format error. [SART]:[sART]\n"));
    expect_conversions(with_byte(0, 0), rejected("Input file format error. [SART]:[]\n"));
    // The text runs on to the first NUL: here the unused byte 4 and then the title.
    std::vector<unsigned char> bytes = with_byte(1, 'Y');
    bytes[4] = '-';
    expect_conversions(bytes, rejected("Input file format error. [SART]:[SYRT-Strain test]\n"));
    // Only the first two bytes are tested.
    bytes = with_byte(2, 0xff);
    bytes[3] = 0;
    expect_conversions(bytes, converted(3));
}

TEST(MalformedInput, VersionBytes) {
    const std::string message = "Input file Version  format error, need version: 1.3\n";
    for (unsigned char major : {0x00, 0x02, 0x03, 0x81, 0xff}) {
        SCOPED_TRACE("major " + std::to_string(major));
        expect_conversions(with_byte(header_field::VERSION_MAJOR, major), rejected(message));
    }
    for (unsigned char minor : {0x00, 0x01, 0x02, 0x04, 0x83, 0xff}) {
        SCOPED_TRACE("minor " + std::to_string(minor));
        expect_conversions(with_byte(header_field::VERSION_MINOR, minor), rejected(message));
    }
}

TEST(MalformedInput, CountBytesOf128AndAboveAreNegative) {
    expect_conversions(with_byte(header_field::SENSOR_COUNT, 128), rejected("Input file sensor count error: -128\n"));
    expect_conversions(with_byte(header_field::SENSOR_COUNT, 200), rejected("Input file sensor count error: -56\n"));
    expect_conversions(with_byte(header_field::SENSOR_COUNT, 255), rejected("Input file sensor count error: -1\n"));
}

// With a count of 0 the same bytes are read as nine 8-byte records: the time offset and counter
// of each come from whatever four-byte words lie there.
TEST(MalformedInput, CountZeroReadsTheRecordBytesAsEightByteRecords) {
    const std::string header_lines = "## Strain test\n"
                                     "## Type             : %\n"
                                     "## Version          : 1.3\n"
                                     "## Company          : Example Labs\n"
                                     "## IDN              : MU-4000\n"
                                     "## SN               : SA2024001\n"
                                     "## Count            : 0\n"
                                     "## Time             : Wed Jan 02 02:03:55 1980\n"
                                     "# Column01= Record Time\n"
                                     "# Column02= Counter\n"
                                     "*End*\n";
    const auto header = [&](const std::string& type) {
        std::string text = header_lines;
        return text.replace(text.find('%'), 1, type);
    };
    const std::string text_lines = "000005\t7\n"
                                   "1069547520\t1550000\n"
                                   "1074790400\t0\n"
                                   "-00005\t8\n"
                                   "-1080033280\t1650000\n"
                                   "1077936128\t1500000\n"
                                   "000006\t9\n"
                                   "1073741824\t1650001\n"
                                   "947628162\t-1\n";
    const std::string csv_lines = "Datetime,Counter\n"
                                  "1980-01-02 02:04:00,7\n"
                                  "2013-11-23 02:35:55,1550000\n"
                                  "2014-01-22 18:57:15,0\n"
                                  "1980-01-02 02:03:50,8\n"
                                  "1945-10-11 16:49:15,1650000\n"
                                  "2014-02-28 04:46:03,1500000\n"
                                  "1980-01-02 02:04:01,9\n"
                                  "2014-01-10 15:40:59,1650001\n"
                                  "2010-01-12 00:06:37,-1\n";
    Expected e;
    e.text = {{"out_pv.txt", crlf(header("Physic Value") + text_lines)},
              {"out_wl.txt", crlf(header("Wavelength") + text_lines)}};
    e.csv = {{"out_pv.csv", crlf(csv_lines)}, {"out_wl.csv", crlf(csv_lines)}};
    e.split = {{"out/", ""}};
    expect_conversions(with_byte(header_field::SENSOR_COUNT, 0), e);
}

// With a count of 1 the records are 16 bytes: four whole ones and 8 bytes left over. The
// second record's reading is the bytes of -5 and 8: a NaN at an invalid wavelength.
TEST(MalformedInput, CountOneReadsSixteenByteRecords) {
    const auto header = [](const std::string& type) {
        std::string text = combined_header(type);
        text.replace(text.find("Count            : 2"), 20, "Count            : 1");
        return text.erase(text.find("# Column04"), std::string("# Column04= ID: 2, SN: AB2\n").size());
    };
    Expected e;
    e.text = {{"out_pv.txt", crlf(header("Physic Value") +
                                  "000005\t7\t1.5000\n"
                                  "1074790400\t0\tnil\n"
                                  "-1080033280\t1650000\t3.0000\n"
                                  "000006\t9\tnil\n")},
              {"out_wl.txt", crlf(header("Wavelength") +
                                  "000005\t7\t1550000\n"
                                  "1074790400\t0\t8\n"
                                  "-1080033280\t1650000\t1500000\n"
                                  "000006\t9\t1650001\n")}};
    e.csv = {{"out_pv.csv", crlf("Datetime,Counter,01.AB1\n"
                                 "1980-01-02 02:04:00,7,1.5000\n"
                                 "2014-01-22 18:57:15,0, \n"
                                 "1945-10-11 16:49:15,1650000,3.0000\n"
                                 "1980-01-02 02:04:01,9, \n")},
             {"out_wl.csv", crlf("Datetime,Counter,01.AB1\n"
                                 "1980-01-02 02:04:00,7,1550000\n"
                                 "2014-01-22 18:57:15,0, \n"
                                 "1945-10-11 16:49:15,1650000,1500000\n"
                                 "1980-01-02 02:04:01,9, \n")}};
    e.split = {{"out/", ""},
               {"out/AB1.csv", SENSOR_CSV_HEADER +
                                   "1980-01-02 02:04:00,7,1550000,1.5000\n"
                                   "2014-01-22 18:57:15,0,8,\t\n"
                                   "1945-10-11 16:49:15,1650000,1500000,3.0000\n"
                                   "1980-01-02 02:04:01,9,1650001,\t\n"},
               {"out/AB1.txt", sensor_header("AB1") +
                                   "000005\t7\t1550000\t1.5000\n"
                                   "1074790400\t0\t8\tnil\n"
                                   "-1080033280\t1650000\t1500000\t3.0000\n"
                                   "000006\t9\t1650001\tnil\n"}};
    expect_conversions(with_byte(header_field::SENSOR_COUNT, 1), e);
}

// With a count of 127 the table's 125 unused entries are sensors with id 0 and an empty serial,
// and the 72 record bytes are less than one 1024-byte record.
TEST(MalformedInput, CountOf127UsesTheUnusedTableEntries) {
    std::string columns;
    std::string csv_columns = "Datetime,Counter,01.AB1,02.AB2";
    for (int column = 5; column <= 129; ++column) {
        columns += "# Column" + std::string(column < 10 ? "0" : "") + std::to_string(column) + "= ID: 0, SN: \n";
        csv_columns += ",00.";
    }
    csv_columns += "\n";
    const auto header = [&](const std::string& type) {
        std::string text = combined_header(type);
        text.replace(text.find("Count            : 2"), 20, "Count            : 127");
        return text.insert(text.find("*End*"), columns);
    };
    Expected e;
    e.text = {{"out_pv.txt", crlf(header("Physic Value"))}, {"out_wl.txt", crlf(header("Wavelength"))}};
    e.csv = {{"out_pv.csv", crlf(csv_columns)}, {"out_wl.csv", crlf(csv_columns)}};
    // The empty serials name ".txt", then "_2.txt", "_3.txt" ... "_125.txt".
    e.split = {{"out/", ""},
               {"out/AB1.csv", SENSOR_CSV_HEADER},
               {"out/AB1.txt", sensor_header("AB1")},
               {"out/AB2.csv", SENSOR_CSV_HEADER},
               {"out/AB2.txt", sensor_header("AB2")},
               {"out/.csv", SENSOR_CSV_HEADER},
               {"out/.txt", sensor_header("")}};
    for (int suffix = 2; suffix <= 125; ++suffix) {
        e.split["out/_" + std::to_string(suffix) + ".csv"] = SENSOR_CSV_HEADER;
        e.split["out/_" + std::to_string(suffix) + ".txt"] = sensor_header("");
    }
    expect_conversions(with_byte(header_field::SENSOR_COUNT, 127), e);
}

// Each text fills its whole field, so no NUL ends it; the bytes that follow each field
// (the version, the next field, the count, the next sensor's id) must not show.
TEST(MalformedInput, TextsWithoutNul) {
    FileShape shape = valid_shape();
    shape.title = "Thirty bytes of title, no NUL!";
    shape.company = "Twenty byte company!";
    shape.idn = "IDN of twenty bytes!";
    shape.unit_serial = "Unit serial, 20 b.!!";
    shape.sensors[0].serial = "A sensor serial of 31 bytes!!!!";
    const auto header = [](const std::string& type) {
        return "## Thirty bytes of title, no NUL!\n"
               "## Type             : " + type + "\n"
               "## Version          : 1.3\n"
               "## Company          : Twenty byte company!\n"
               "## IDN              : IDN of twenty bytes!\n"
               "## SN               : Unit serial, 20 b.!!\n"
               "## Count            : 2\n"
               "## Time             : Wed Jan 02 02:03:55 1980\n"
               "# Column01= Record Time\n"
               "# Column02= Counter\n"
               "# Column03= ID: 1, SN: A sensor serial of 31 bytes!!!!\n"
               "# Column04= ID: 2, SN: AB2\n"
               "*End*\n";
    };
    const auto sensor = [](const std::string& serial) {
        return "## Thirty bytes of title, no NUL!\n"
               "## Type             : Wavelength & PhysicValue\n"
               "## Version          : 1.3\n"
               "## Company          : Twenty byte company!\n"
               "## IDN              : IDN of twenty bytes!\n"
               "## SA SN            : Unit serial, 20 b.!!\n"
               "## Sensor SN        : " + serial + "\n"
               "## Time             : Wed Jan 02 02:03:55 1980\n"
               "# Column01= Record Time\n"
               "# Column02= Counter\n"
               "# Column03= Wavelength\n"
               "# Column04= PhysicValue\n"
               "*End*\n";
    };
    const std::string csv_columns = "Datetime,Counter,01.A sensor serial of 31 bytes!!!!,02.AB2\n";
    Expected e;
    e.text = {{"out_pv.txt", crlf(header("Physic Value") + first(PV_TEXT, 3))},
              {"out_wl.txt", crlf(header("Wavelength") + first(WL_TEXT, 3))}};
    e.csv = {{"out_pv.csv", crlf(csv_columns + first(PV_CSV, 3))}, {"out_wl.csv", crlf(csv_columns + first(WL_CSV, 3))}};
    e.split = {{"out/", ""},
               {"out/A sensor serial of 31 bytes!!!!.csv", SENSOR_CSV_HEADER + first(AB1_CSV, 3)},
               {"out/A sensor serial of 31 bytes!!!!.txt", sensor("A sensor serial of 31 bytes!!!!") + first(AB1_TEXT, 3)},
               {"out/AB2.csv", SENSOR_CSV_HEADER + first(AB2_CSV, 3)},
               {"out/AB2.txt", sensor("AB2") + first(AB2_TEXT, 3)}};
    expect_conversions(data_file_bytes(shape), e);
}

// The start time at either end of 32 bits: the record times wrap around to the other end.
TEST(MalformedInput, StartTimesAtTheEndsOfThirtyTwoBits) {
    struct Case {
        std::int32_t start;
        std::string header_time;
        std::vector<std::string> record_times;  // offsets 5, -5, 6
    };
    const Case cases[] = {
        {INT32_MAX, "Tue Jan 19 03:14:07 2038", {"1901-12-13 20:45:56", "2038-01-19 03:14:02", "1901-12-13 20:45:57"}},
        {INT32_MIN, "Fri Dec 13 20:45:52 1901", {"1901-12-13 20:45:57", "2038-01-19 03:14:03", "1901-12-13 20:45:58"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header_time);
        FileShape shape = valid_shape();
        shape.start_time = c.start;
        const auto timed = [&](std::string text) {
            const std::size_t at = text.find("Wed Jan 02 02:03:55 1980");
            return at == std::string::npos ? text : text.replace(at, 24, c.header_time);
        };
        const auto csv_lines = [&](const std::vector<std::string>& lines) {
            std::string text;
            for (std::size_t i = 0; i < 3; ++i) text += c.record_times[i] + lines[i].substr(19);
            return text;
        };
        Expected e;
        e.text = {{"out_pv.txt", crlf(timed(combined_header("Physic Value")) + first(PV_TEXT, 3))},
                  {"out_wl.txt", crlf(timed(combined_header("Wavelength")) + first(WL_TEXT, 3))}};
        e.csv = {{"out_pv.csv", crlf(CSV_COLUMNS + csv_lines(PV_CSV))},
                 {"out_wl.csv", crlf(CSV_COLUMNS + csv_lines(WL_CSV))}};
        e.split = {{"out/", ""},
                   {"out/AB1.csv", SENSOR_CSV_HEADER + csv_lines(AB1_CSV)},
                   {"out/AB1.txt", timed(sensor_header("AB1")) + first(AB1_TEXT, 3)},
                   {"out/AB2.csv", SENSOR_CSV_HEADER + csv_lines(AB2_CSV)},
                   {"out/AB2.txt", timed(sensor_header("AB2")) + first(AB2_TEXT, 3)}};
        expect_conversions(data_file_bytes(shape), e);
    }
}

}  // namespace
