// The HDF5 output (type letter h): the file read back with the HDF5 library must hold every
// value of the data file exactly, in the fixed layout; failures leave no .h5 file, and a file
// that existed before is replaced only by a complete one.
#include <gtest/gtest.h>

#include <hdf5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>

#include "convert/hdf5_output.h"
#include "datafile/data_file.h"
#include "hdf5_contents.h"
#include "test_support.h"

namespace {

using test::list_dir;
using test::read_file;
using test::run_measconv;
using test::Scratch;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

std::string bytes_of(const FileShape& shape) {
    const std::vector<unsigned char> bytes = data_file_bytes(shape);
    return std::string(bytes.begin(), bytes.end());
}

float float_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// No temporary file is left where the conversion wrote.
bool has_partial_files(const std::string& dir) {
    for (const std::string& name : list_dir(dir))
        if (name.find(".part") != std::string::npos) return true;
    return false;
}

// --- Every value as stored ---

FileShape special_values_shape() {
    FileShape shape = test::sample_shape();
    shape.sensors = {{1, "AB1"}, {2, "AB2"}, {3, "AB3"}};
    const float quiet_nan_payload = float_bits(0x7fc12345);
    const float signalling_nan = float_bits(0x7f800001);
    const float negative_nan = float_bits(0xffc00000);
    const float smallest_subnormal = float_bits(0x00000001);
    shape.records = {
        {5, 7, {{1.5f, 1550000}, {2.25f, 0}, {-0.0f, 1500000}}},
        {6, 8, {{quiet_nan_payload, 1600000}, {signalling_nan, 1650000}, {negative_nan, 1499999}}},
        {7, 9, {{INFINITY, 1650001}, {-INFINITY, -1}, {smallest_subnormal, INT32_MIN}}},
        {8, -1, {{0.00004f, INT32_MAX}, {-3.4028235e38f, 1500000}, {1e-45f, 1550000}}},
    };
    return shape;
}

FileShape wrapping_times_shape(std::int32_t start) {
    FileShape shape = test::sample_shape();
    shape.start_time = start;
    shape.records = {{1, 1, {}}, {-1, 2, {}}, {INT32_MAX, 3, {}}, {INT32_MIN, 4, {}}, {0, INT32_MIN, {}}};
    return shape;
}

FileShape pattern_shape(int sensors, std::uint64_t records, std::uint32_t invalid_every, std::int32_t start = 0) {
    FileShape shape = test::sample_shape();
    shape.sensors = numbered_sensors(sensors);
    shape.pattern_records = records;
    shape.records_per_second = 7;
    shape.invalid_every = invalid_every;
    shape.start_time = start;
    return shape;
}

FileShape odd_texts_shape() {
    FileShape shape = test::sample_shape();
    shape.title = "Thirty bytes of title, no NUL!";
    shape.company = "";
    shape.idn = "IDN with \xff\xfe bytes";
    shape.unit_serial = "Unit serial, 20 b.!!";
    shape.sensors = {{0, "A sensor serial of 31 bytes!!!!"}, {255, ""}, {7, "../x"}};
    shape.records = {{1, 2, {{1.0f, 1500000}, {2.0f, 1500001}, {3.0f, 1500002}}}};
    return shape;
}

struct ExactCase {
    const char* name;
    FileShape shape;
    const char* letters;
};

std::vector<ExactCase> exact_cases() {
    FileShape partial = pattern_shape(2, 3, 0);
    partial.trailing_bytes = 11;
    return {
        {"NaN payloads, infinities, -0, subnormals, invalid readings", special_values_shape(), "h"},
        {"a start time at the top of 32 bits: times wrap around", wrapping_times_shape(INT32_MAX), "H"},
        {"a start time at the bottom of 32 bits", wrapping_times_shape(INT32_MIN), "h"},
        {"no sensors", pattern_shape(0, 6, 0), "tpwch"},
        {"127 sensors over several chunks", pattern_shape(127, 5000, 13, 1700000000), "h"},
        {"no records", pattern_shape(2, 0, 0), "h"},
        {"a trailing partial record", partial, "sch"},
        {"one sensor over several chunks", pattern_shape(1, 300000, 5, -100), "h"},
        {"texts that fill their fields, empty texts, bytes beyond ASCII", odd_texts_shape(), "h"},
        {"every letter at once", pattern_shape(4, 20000, 3, 1300000000), "tpwcsh"},
    };
}

TEST(Hdf5Output, HoldsEveryValueOfTheDataFileAsStored) {
    for (const ExactCase& c : exact_cases()) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        const std::string input = bytes_of(c.shape);
        test::write_file(scratch.path("in.dat"), input);
        const test::RunResult run = run_measconv({c.letters, "in.dat", "out"}, scratch.dir.string());
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(h5test::first_difference(h5test::read_hdf5(scratch.path("out.h5")), h5test::expected_hdf5(input)),
                  "");
        EXPECT_FALSE(has_partial_files(scratch.dir.string()));
        EXPECT_EQ(read_file(scratch.path("in.dat")), input);
    }
}

// The same file read with literal expectations, independent of the tests' own decoding.
TEST(Hdf5Output, TheWorkedExampleRecordLiterally) {
    FileShape shape = test::sample_shape();
    shape.records = {test::example_record(), {-5, 8, {{float_bits(0x7fc12345), 1650001}, {-0.0f, 1500000}}}};
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), bytes_of(shape));
    ASSERT_EQ(run_measconv({"h", "in.dat", "out"}, scratch.dir.string()).out, "");
    const h5test::Contents c = h5test::read_hdf5(scratch.path("out.h5"));
    ASSERT_EQ(c.error, "");
    using h5test::le_bytes;
    using h5test::UNLIMITED;
    using h5test::Value;
    const std::map<std::string, Value> attributes = {
        {"title", {"string11 nullpad", {}, {}, "Strain test"}},
        {"company", {"string12 nullpad", {}, {}, "Example Labs"}},
        {"idn", {"string7 nullpad", {}, {}, "MU-4000"}},
        {"unit_serial", {"string9 nullpad", {}, {}, "SA2024001"}},
        {"version", {"string3 nullpad", {}, {}, "1.3"}},
        {"format", {"string15 nullpad", {}, {}, "measconv-hdf5 2"}},
        {"start_time", {"int32le", {}, {}, le_bytes(315626635, 4)}},
        {"valid_wavelength_min", {"int32le", {}, {}, le_bytes(1500000, 4)}},
        {"valid_wavelength_max", {"int32le", {}, {}, le_bytes(1650000, 4)}},
        {"Conventions", {"string6 nullpad", {}, {}, "CF-1.8"}},
    };
    EXPECT_EQ(c.attributes, attributes);
    const std::map<std::string, Value> datasets = {
        {"time_offset", {"int32le", {2}, {UNLIMITED}, le_bytes(5, 4) + le_bytes(static_cast<std::uint32_t>(-5), 4)}},
        {"counter", {"int32le", {2}, {UNLIMITED}, le_bytes(7, 4) + le_bytes(8, 4)}},
        {"time", {"int64le", {2}, {UNLIMITED}, le_bytes(315626640, 8) + le_bytes(315626630, 8)}},
        {"wavelength",
         {"int32le",
          {2, 2},
          {UNLIMITED, 2},
          le_bytes(1550000, 4) + le_bytes(0, 4) + le_bytes(1650001, 4) + le_bytes(1500000, 4)}},
        {"physical_value",
         {"float32le",
          {2, 2},
          {UNLIMITED, 2},
          le_bytes(0x3fc00000, 4) + le_bytes(0x40100000, 4) + le_bytes(0x7fc12345, 4) + le_bytes(0x80000000, 4)}},
        {"sensor_id", {"uint8", {2}, {2}, "\x01\x02"}},
        {"sensor_serial",
         {"string1 nullpad", {2, 31}, {2, 31}, "AB1" + std::string(28, '\0') + "AB2" + std::string(28, '\0')}},
        {"record", {"float32be", {2}, {UNLIMITED}, std::string(8, '\0')}},
        {"sensor", {"float32be", {2}, {2}, std::string(8, '\0')}},
        {"serial_length", {"float32be", {31}, {31}, std::string(124, '\0')}},
    };
    EXPECT_EQ(c.datasets, datasets);
    const std::map<std::string, std::vector<std::string>> dimensions = {
        {"time_offset", {"record"}},
        {"counter", {"record"}},
        {"time", {"record"}},
        {"wavelength", {"record", "sensor"}},
        {"physical_value", {"record", "sensor"}},
        {"sensor_id", {"sensor"}},
        {"sensor_serial", {"sensor", "serial_length"}},
        {"record", {""}},
        {"sensor", {""}},
        {"serial_length", {""}},
    };
    EXPECT_EQ(c.dimensions, dimensions);
    EXPECT_EQ(c.dataset_attributes, h5test::expected_dataset_attributes());
}

// Chunks run along the records, the same number of records for every record dataset: as many
// as fit in 1 MiB of a [n, s] dataset, at most 65,536. A file with fewer records has one chunk
// of just its records (a partial chunk would be stored whole). The sensor table and the
// dimensions of fixed length are not chunked.
TEST(Hdf5Output, ChunksRunAlongTheRecords) {
    struct Case {
        int sensors;
        std::uint64_t records;
        std::uint64_t chunk;  // records per chunk
    };
    const Case cases[] = {
        {64, 10000, 4096},   // 1 MiB holds 4096 rows of 64 values
        {64, 4096, 4096},    // just the first chunk
        {64, 4095, 4095},    // the first chunk never filled
        {127, 5000, 2064},   // 1 MiB holds 2064 rows of 127 values
        {127, 3, 3},
        {4, 250, 250},       // the bundled sample's shape
        {1, 300000, 65536},  // the 1-D limit
        {0, 5, 5},           // [n, 0] is stored in chunks one column wide
        {2, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.sensors) + " sensors, " + std::to_string(c.records) + " records");
        Scratch scratch;
        test::write_file(scratch.path("in.dat"), bytes_of(pattern_shape(c.sensors, c.records, 0)));
        ASSERT_EQ(run_measconv({"h", "in.dat", "out"}, scratch.dir.string()).out, "");
        const h5test::Contents contents = h5test::read_hdf5(scratch.path("out.h5"));
        const auto s = static_cast<std::uint64_t>(c.sensors);
        for (const char* name : {"time_offset", "counter", "time", "record"})
            EXPECT_EQ(contents.storage.at(name).chunk, (std::vector<std::uint64_t>{c.chunk})) << name;
        for (const char* name : {"wavelength", "physical_value"})
            EXPECT_EQ(contents.storage.at(name).chunk, (std::vector<std::uint64_t>{c.chunk, s == 0 ? 1 : s})) << name;
        for (const char* name : {"sensor_id", "sensor_serial", "sensor", "serial_length"})
            EXPECT_TRUE(contents.storage.at(name).chunk.empty()) << name;
    }
}

// The file's bytes depend on the data file's bytes alone: read from a path, or through a pipe
// (whose length is not known beforehand) in pieces of any length, compressed or not.
TEST(Hdf5Output, TheSameBytesFromAPipeAsFromAPath) {
    struct Case {
        const char* name;
        std::string data;
    };
    const Case cases[] = {
        {"the bundled sample", read_file(MEASCONV_SOURCE_DIR "/examples/sample.dat")},
        {"no records", bytes_of(pattern_shape(3, 0, 0))},
        {"a few records", bytes_of(pattern_shape(2, 3, 0))},
        {"several chunks", bytes_of(pattern_shape(64, 6000, 11))},
        {"127 sensors, several chunks and a partial one", bytes_of(pattern_shape(127, 5000, 13))},
    };
    // The pipe is fed in pieces of 4093 bytes, so blocks of records end anywhere.
    const std::string feed = "dd if=in.dat bs=4093 status=none | \"$MEASCONV\" h /dev/stdin piped";
    for (const Case& c : cases) {
        for (const char* compression : {"none", "deflate:1"}) {
            SCOPED_TRACE(std::string(c.name) + ", " + compression);
            Scratch scratch;
            test::write_file(scratch.path("in.dat"), c.data);
            const std::vector<std::pair<std::string, std::string>> env = {{"MEASCONV_HDF5_COMPRESSION", compression}};
            ASSERT_EQ(test::run_measconv_with(env, {"h", "in.dat", "path"}, scratch.dir.string()).out, "");
            const test::RunResult piped = test::run_command({"bash", "-c", feed}, scratch.dir.string(), "UTC", env);
            ASSERT_EQ(piped.out + piped.err, "");
            const std::string bytes = read_file(scratch.path("path.h5"));
            EXPECT_EQ(h5test::first_difference(h5test::read_hdf5(scratch.path("path.h5")), h5test::expected_hdf5(c.data)),
                      "");
            EXPECT_TRUE(read_file(scratch.path("piped.h5")) == bytes);
            // Of the same order as the data file: the partial last chunk of the first set is the
            // most a file wastes.
            EXPECT_LT(bytes.size(), 2 * c.data.size() + 64 * 1024);
        }
    }
}

// MEASCONV_HDF5_COMPRESSION deflates the record datasets after the shuffle filter; every value
// reads back as stored, and only the storage differs.
TEST(Hdf5Output, CompressionKeepsEveryValue) {
    struct Case {
        const char* setting;  // nullptr: not set
        std::vector<std::string> filters;
    };
    const Case cases[] = {
        {nullptr, {}},
        {"none", {}},
        {"deflate", {"shuffle", "deflate 1"}},
        {"deflate:1", {"shuffle", "deflate 1"}},
        {"deflate:9", {"shuffle", "deflate 9"}},
    };
    const std::pair<const char*, std::string> inputs[] = {
        {"special values", bytes_of(special_values_shape())},
        {"several chunks", bytes_of(pattern_shape(64, 6000, 11, 1700000000))},
        {"no records", bytes_of(pattern_shape(2, 0, 0))},
        {"no sensors", bytes_of(pattern_shape(0, 70000, 0))},
    };
    for (const auto& [input_name, input] : inputs) {
        std::uint64_t uncompressed = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(input_name) + ", " + (c.setting ? c.setting : "not set"));
            Scratch scratch;
            test::write_file(scratch.path("in.dat"), input);
            std::vector<std::pair<std::string, std::string>> env;
            if (c.setting) env.push_back({"MEASCONV_HDF5_COMPRESSION", c.setting});
            const test::RunResult run = test::run_measconv_with(env, {"hcp", "in.dat", "out"}, scratch.dir.string());
            ASSERT_EQ(run.out + run.err, "");
            const h5test::Contents contents = h5test::read_hdf5(scratch.path("out.h5"));
            EXPECT_EQ(h5test::first_difference(contents, h5test::expected_hdf5(input)), "");
            for (const char* name : {"time_offset", "counter", "time", "wavelength", "physical_value"})
                EXPECT_EQ(contents.storage.at(name).filters, c.filters) << name;
            for (const char* name : {"sensor_id", "sensor_serial", "record", "sensor", "serial_length"})
                EXPECT_TRUE(contents.storage.at(name).filters.empty()) << name;
            const std::uint64_t size = fs::file_size(scratch.path("out.h5"));
            if (c.filters.empty()) {
                uncompressed = size;
            } else if (std::string(input_name) == "several chunks") {
                EXPECT_LT(size, uncompressed * 9 / 10);
            }
        }
    }
}

TEST(Hdf5Output, TheSameBytesInEveryTimeZoneAndRun) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), bytes_of(pattern_shape(3, 1000, 7, 1711846800)));
    const std::string zones[] = {"UTC", "Europe/Berlin", "America/New_York", "Europe/Berlin"};
    std::string first;
    for (const std::string& zone : zones) {
        SCOPED_TRACE(zone);
        ASSERT_EQ(run_measconv({"h", "in.dat", "out"}, scratch.dir.string(), zone).out, "");
        const std::string bytes = read_file(scratch.path("out.h5"));
        if (first.empty()) first = bytes;
        EXPECT_EQ(bytes, first);
    }
    EXPECT_GT(first.size(), 1000u * 3 * 8);
}

// --- Batch mode ---

TEST(Hdf5Output, BatchEntriesWithAndWithoutH) {
    Scratch scratch;
    const std::string one = bytes_of(pattern_shape(2, 10, 3));
    const std::string two = bytes_of(pattern_shape(5, 40, 0, -7));
    test::write_file(scratch.path("one.dat"), one);
    test::write_file(scratch.path("two.dat"), two);
    FileShape bad = pattern_shape(2, 10, 3);
    bad.version_minor = 2;
    test::write_file(scratch.path("bad.dat"), bytes_of(bad));
    test::write_file(scratch.path("list.txt"),
                     "one.dat,a,h\n"      // h alone
                     "two.dat,b\n"        // carries h over
                     "bad.dat,c\n"        // h, but a header failure
                     "two.dat,d,cw\n"     // no h
                     "one.dat,e,Hcp\n");  // h among others
    const test::RunResult run = run_measconv({"tp", "list.txt"}, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "Input file Version  format error, need version: 1.3\n");
    EXPECT_EQ(list_dir(scratch.dir.string()),
              (Names{"a.h5", "b.h5", "bad.dat", "d_wl.csv", "e.h5", "e_pv.csv", "list.txt", "one.dat", "two.dat"}));
    EXPECT_EQ(h5test::read_hdf5(scratch.path("a.h5")), h5test::expected_hdf5(one));
    EXPECT_EQ(h5test::read_hdf5(scratch.path("b.h5")), h5test::expected_hdf5(two));
    EXPECT_EQ(h5test::read_hdf5(scratch.path("e.h5")), h5test::expected_hdf5(one));
}

// --- Failures ---

struct FailureCase {
    const char* name;
    std::function<void(const Scratch&)> setup;  // with in.dat (the example file) in place
    std::vector<std::string> args;
    std::string message;
    Names names;                                                  // what the scratch directory holds after
    std::vector<std::pair<std::string, std::string>> file_bytes;  // files that keep (or get) these bytes
};

FileShape example_shape() {
    FileShape shape = test::sample_shape();
    shape.records = {test::example_record()};
    return shape;
}

void replace_input(const Scratch& scratch, const FileShape& shape) {
    test::write_file(scratch.path("in.dat"), bytes_of(shape));
}

std::vector<FailureCase> failure_cases() {
    const std::string input = bytes_of(example_shape());
    FileShape bad_magic = example_shape();
    bad_magic.magic = "XY";
    FileShape bad_count = example_shape();
    bad_count.count_byte = 200;
    FileShape short_file = example_shape();
    short_file.truncate_to = 100;
    return {
        {"the .h5 name is a directory",
         [](const Scratch& s) { fs::create_directory(s.path("out.h5")); },
         {"cph", "in.dat", "out"},
         "Can not open 'out.h5' to export.\n",
         {"in.dat", "out.h5", "out_pv.csv"},
         {{"out_pv.csv", ""}, {"in.dat", input}}},
        {"the .h5 name is a hard link to the input",
         [](const Scratch& s) { fs::create_hard_link(s.path("in.dat"), s.path("out.h5")); },
         {"h", "in.dat", "out"},
         "Can not open 'out.h5' to export.\n",
         {"in.dat", "out.h5"},
         {{"in.dat", input}, {"out.h5", input}}},
        {"the .h5 name is a symbolic link to the input",
         [](const Scratch& s) { fs::create_symlink("in.dat", s.path("out.h5")); },
         {"h", "in.dat", "out"},
         "Can not open 'out.h5' to export.\n",
         {"in.dat", "out.h5"},
         {{"in.dat", input}, {"out.h5", input}}},
        {"the input is the .h5 name of the output base",
         [](const Scratch& s) { fs::rename(s.path("in.dat"), s.path("x.h5")); },
         {"h", "x.h5", "x"},
         "Can not open 'x.h5' to export.\n",
         {"x.h5"},
         {{"x.h5", input}}},
        {"the directory does not exist",
         [](const Scratch&) {},
         {"h", "in.dat", "no/out"},
         "Can not open 'no/out.h5' to export.\n",
         {"in.dat"},
         {}},
        {"a bad magic leaves an existing file as it was",
         [=](const Scratch& s) {
             replace_input(s, bad_magic);
             test::write_file(s.path("out.h5"), "old");
         },
         {"h", "in.dat", "out"},
         "Input file format error. [SART]:[XY]\n",
         {"in.dat", "out.h5"},
         {{"out.h5", "old"}}},
        {"a bad sensor count",
         [=](const Scratch& s) { replace_input(s, bad_count); },
         {"tph", "in.dat", "out"},
         "Input file sensor count error: -56\n",
         {"in.dat", "out_pv.txt"},
         {{"out_pv.txt", ""}}},
        {"a file shorter than its header",
         [=](const Scratch& s) { replace_input(s, short_file); },
         {"hs", "in.dat", "out"},
         "",
         {"in.dat", "out"},
         {}},
        {"an existing file is replaced by the complete one",
         [](const Scratch& s) { test::write_file(s.path("out.h5"), "old"); },
         {"h", "in.dat", "out"},
         "",
         {"in.dat", "out.h5"},
         {}},
        {"a name with no room for the temporary suffix: a short temporary name",
         [](const Scratch&) {},
         {"h", "in.dat", std::string(252, 'b')},
         "",
         {std::string(252, 'b') + ".h5", "in.dat"},
         {}},
        {"a symbolic link at the .h5 name is replaced, the file it leads to is kept",
         [](const Scratch& s) {
             test::write_file(s.path("kept.txt"), "kept");
             fs::create_symlink("kept.txt", s.path("out.h5"));
         },
         {"h", "in.dat", "out"},
         "",
         {"in.dat", "kept.txt", "out.h5"},
         {{"kept.txt", "kept"}}},
    };
}

TEST(Hdf5Output, FailuresLeaveNoPartialFile) {
    for (const FailureCase& c : failure_cases()) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        test::write_file(scratch.path("in.dat"), bytes_of(example_shape()));
        c.setup(scratch);
        const test::RunResult run = run_measconv(c.args, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, c.message);
        EXPECT_EQ(list_dir(scratch.dir.string()), c.names);
        for (const auto& [name, bytes] : c.file_bytes) EXPECT_EQ(read_file(scratch.path(name)), bytes) << name;
        // A conversion that succeeded has left a complete file, a regular file of its own.
        for (const std::string& name : c.names) {
            if (!c.message.empty() || !name.ends_with(".h5")) continue;
            EXPECT_FALSE(fs::is_symlink(scratch.path(name)));
            EXPECT_EQ(h5test::read_hdf5(scratch.path(name)), h5test::expected_hdf5(read_file(scratch.path("in.dat"))));
        }
    }
}

TEST(Hdf5Output, AReadOnlyDirectory) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), bytes_of(example_shape()));
    fs::create_directory(scratch.path("locked"));
    fs::permissions(scratch.path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    if (access(scratch.path("locked").c_str(), W_OK) == 0) GTEST_SKIP() << "running as root: the directory is writable";
    const test::RunResult run = run_measconv({"h", "in.dat", "locked/out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'locked/out.h5' to export.\n");
    EXPECT_TRUE(list_dir(scratch.path("locked")).empty());
}

// A full disk: the output's directory is a 256 KiB tmpfs (mounted in a namespace of its own,
// where the machine allows it), or the process may not write files beyond 256 KiB. Either way
// the data (some 1.6 MB) does not fit: the write failure is reported, and the .h5 file that was
// there before keeps its bytes; no temporary file remains. In batch mode every entry reports its
// own failure.
TEST(Hdf5Output, AFullDiskReportsTheWriteAndKeepsTheOldFile) {
    const std::string measconv = test::measconv_path();
    struct Case {
        const char* name;
        std::vector<std::string> probe;    // fails where the way is not available
        std::vector<std::string> command;  // run in the scratch directory: in.dat there, output base disk/out
        std::string out;
    };
    const std::string after = "--\nout.h5\nold";
    const std::string one_failure = "Can not write 'disk/out.h5'.\n" + after;
    const Case cases[] = {
        {"a small tmpfs",
         {"unshare", "--user", "--map-root-user", "--mount", "true"},
         {"unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
          "mount -t tmpfs -o size=256k none disk || exit 99; printf old >disk/out.h5; \"$0\" h in.dat disk/out; "
          "echo '--'; ls -A disk; cat disk/out.h5",
          measconv},
         one_failure},
        {"a file size limit",
         {"true"},
         {"sh", "-c",
          "printf old >disk/out.h5; trap '' XFSZ; (ulimit -f 256; exec \"$0\" h in.dat disk/out); echo '--'; "
          "ls -A disk; cat disk/out.h5",
          measconv},
         one_failure},
        // Deflating, the library has been in use since the settings were read (whether it can
        // deflate): the file whose writes failed must not crash the library's end either.
        {"a file size limit, deflated",
         {"true"},
         {"sh", "-c",
          "printf old >disk/out.h5; trap '' XFSZ; (ulimit -f 8; MEASCONV_HDF5_COMPRESSION=deflate:1 exec \"$0\" h "
          "in.dat disk/out); echo \"-- $?\"; ls -A disk; cat disk/out.h5",
          measconv},
         "Can not write 'disk/out.h5'.\n-- 0\nout.h5\nold"},
        {"a file size limit in batch mode",
         {"true"},
         {"sh", "-c",
          "printf 'in.dat,disk/out\\nin.dat,disk/out,hp\\n' >list; printf old >disk/out.h5; trap '' XFSZ; "
          "(ulimit -f 256; exec \"$0\" h list); echo '--'; ls -A disk; cat disk/out.h5",
          measconv},
         "Can not write 'disk/out.h5'.\nCan not write 'disk/out.h5'.\n" + after},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        if (test::run_command(c.probe, scratch.dir.string()).exit_code != 0) {
            std::cout << "skipped: " << c.name << " is not available here\n";
            continue;
        }
        test::write_file(scratch.path("in.dat"), bytes_of(pattern_shape(8, 20000, 0)));
        fs::create_directory(scratch.path("disk"));
        const test::RunResult run = test::run_command(c.command, scratch.dir.string());
        EXPECT_EQ(run.out, c.out);
    }
}

// --- The functions the conversion calls ---

std::vector<unsigned char> records_of(const FileShape& shape) {
    const std::vector<unsigned char> file = data_file_bytes(shape);
    return {file.begin() + static_cast<std::ptrdiff_t>(HEADER_SIZE), file.end()};
}

// However the reader cuts the records into blocks, the file is the same: the chunks are filled
// and written whole. Here two chunks of 65,536 records (the first full exactly at a block's end
// in one split, one record after it in another) and a partial third.
TEST(Hdf5Api, BlocksOfAnyLengthGiveTheSameFile) {
    Scratch scratch;
    const FileShape shape = pattern_shape(3, 140000, 9);
    test::write_file(scratch.path("in.dat"), bytes_of(shape));
    const std::vector<unsigned char> records = records_of(shape);
    const DataFileHeader header = decode_header(data_file_bytes(shape).data());
    const std::size_t size = record_size(3);
    const std::vector<std::vector<std::size_t>> splits = {
        {140000}, {1, 65535, 74464}, {65536, 1, 74463}, {7, 992, 3000, 1000, 65001, 69999, 1}, {65535, 2, 74463}};
    std::string first;
    for (const std::vector<std::size_t>& split : splits) {
        SCOPED_TRACE(split.size());
        Hdf5Output out;
        ASSERT_EQ(create_hdf5_output(scratch.path("out.h5"), scratch.path("in.dat"), header, {}, out).status,
                  ConvertStatus::ok);
        std::size_t at = 0;
        for (std::size_t count : split) {
            ASSERT_TRUE(append_hdf5_records(out, records.data() + at * size, count));
            at += count;
        }
        EXPECT_TRUE(has_partial_files(scratch.dir.string()));
        EXPECT_EQ(list_dir(scratch.dir.string()).size(), 2u);
        EXPECT_EQ(finish_hdf5_output(out).status, ConvertStatus::ok);
        EXPECT_FALSE(out.is_open());
        EXPECT_EQ(list_dir(scratch.dir.string()), (Names{"in.dat", "out.h5"}));
        const std::string bytes = read_file(scratch.path("out.h5"));
        if (first.empty()) {
            first = bytes;
            EXPECT_EQ(h5test::first_difference(h5test::read_hdf5(scratch.path("out.h5")),
                                               h5test::expected_hdf5(bytes_of(shape))),
                      "");
        }
        EXPECT_TRUE(bytes == first);
        fs::remove(scratch.path("out.h5"));
    }
    ASSERT_EQ(run_measconv({"h", "in.dat", "converted"}, scratch.dir.string()).out, "");
    EXPECT_TRUE(read_file(scratch.path("converted.h5")) == first);
}

TEST(Hdf5Api, AnOutputNotFinishedLeavesNothing) {
    Scratch scratch;
    const FileShape shape = pattern_shape(2, 100, 0);
    test::write_file(scratch.path("in.dat"), bytes_of(shape));
    const DataFileHeader header = decode_header(data_file_bytes(shape).data());
    const std::vector<unsigned char> records = records_of(shape);
    for (std::size_t appended : {0, 100}) {
        SCOPED_TRACE(appended);
        {
            Hdf5Output out;
            ASSERT_EQ(create_hdf5_output(scratch.path("out.h5"), scratch.path("in.dat"), header, {}, out).status,
                      ConvertStatus::ok);
            ASSERT_TRUE(append_hdf5_records(out, records.data(), appended));
            EXPECT_EQ(list_dir(scratch.dir.string()).size(), 2u);
        }
        EXPECT_EQ(list_dir(scratch.dir.string()), Names{"in.dat"});
    }
}

TEST(Hdf5Api, AClosedOutputTakesRecordsAndFinishesQuietly) {
    Hdf5Output out;
    const unsigned char record[8] = {};
    EXPECT_TRUE(append_hdf5_records(out, record, 1));
    EXPECT_EQ(finish_hdf5_output(out).status, ConvertStatus::ok);
    EXPECT_TRUE(hdf5_supported());
}

}  // namespace
