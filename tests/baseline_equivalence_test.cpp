// The fast record loops against the straightforward ones (a snprintf per cell, a localtime
// call per record), byte for byte: first the loops themselves with tiny buffers, so every
// flush and buffer boundary is crossed, then whole conversions by measconv and
// measconv-baseline on generated data files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "baseline/baseline_records.h"
#include "convert/combined_output.h"
#include "convert/split_output.h"
#include "datafile/data_file.h"
#include "measgen/generator.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t BERLIN_SPRING_2023 = 1679792400;  // the clocks of TZ=Europe/Berlin jump 02:00 -> 03:00

std::string file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& name)
        : path_(fs::temp_directory_path() / (name + "_" + std::to_string(::getpid()))) {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Readings no measurement should have, but a file may: every kind of float and wavelength edge.
GenRecord extreme_record(std::int32_t offset, std::int32_t counter, std::size_t sensors, std::uint32_t salt) {
    const float values[] = {0.0f,
                            -0.0f,
                            0.03125f,
                            -0.09375f,
                            1.5f,
                            -1.25f,
                            9999.99995f,
                            1e-45f,
                            -1e-45f,
                            FLT_MIN,
                            16777217.0f,
                            1e12f,
                            1e33f,
                            -1e38f,
                            FLT_MAX,
                            -FLT_MAX,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN()};
    const std::int32_t wavelengths[] = {1500000, 1650000, 1550123, 1499999, 1650001, 0, -1, INT32_MIN, INT32_MAX};
    GenRecord record;
    record.time_offset = offset;
    record.counter = counter;
    for (std::size_t i = 0; i < sensors; ++i) {
        const std::size_t k = i + salt;
        // Mostly valid wavelengths, so most extreme values are printed.
        const std::int32_t wavelength = k % 3 == 0 ? wavelengths[k / 3 % 9] : 1500000 + static_cast<std::int32_t>(k);
        record.readings.push_back({values[k % 20], wavelength});
    }
    return record;
}

// Generated files of several shapes: many sensors, none, the most, a daylight-saving change
// crossed at one record per second, extreme values and times, and a trailing partial record.
std::vector<FileShape> sample_shapes() {
    std::vector<FileShape> shapes;

    FileShape many;
    many.sensors = numbered_sensors(64);
    many.pattern_records = 1500;
    many.records_per_second = 1000;
    many.start_time = 1700000000;
    many.invalid_every = 7;
    shapes.push_back(many);

    FileShape dst;
    dst.sensors = numbered_sensors(3);
    dst.pattern_records = 9000;
    dst.start_time = BERLIN_SPRING_2023 - 4000;
    dst.invalid_every = 5;
    shapes.push_back(dst);

    FileShape extremes;
    extremes.sensors = numbered_sensors(40);
    const std::int32_t offsets[] = {0, -5, 1, 999999, -999999, INT32_MAX, INT32_MIN, 3600, -3600};
    const std::int32_t counters[] = {0, -1, 7, INT32_MAX, INT32_MIN, 100000, -100000, 42, 1};
    for (std::uint32_t i = 0; i < 90; ++i)
        extremes.records.push_back(extreme_record(offsets[i % 9], counters[(i / 9) % 9], 40, i));
    extremes.start_time = -1000;  // before 1970, and sums that wrap around 32 bits
    extremes.pattern_records = 50;
    extremes.trailing_bytes = 100;
    shapes.push_back(extremes);

    FileShape none;
    none.sensors = {};
    none.pattern_records = 300;
    none.start_time = BERLIN_SPRING_2023 - 100;
    shapes.push_back(none);

    FileShape most;
    most.sensors = numbered_sensors(127);
    most.pattern_records = 200;
    most.records_per_second = 3;
    most.invalid_every = 11;
    most.start_time = 2000000000;
    shapes.push_back(most);
    return shapes;
}

struct InputData {
    std::FILE* file;
    DataFileHeader header;
};

InputData open_records(const fs::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::vector<unsigned char> bytes(HEADER_SIZE);
    EXPECT_EQ(std::fread(bytes.data(), 1, HEADER_SIZE, file), HEADER_SIZE);
    return {file, decode_header(bytes.data())};
}

// Feeds every block of the reader to a record loop, as the conversion does.
template <typename Loop, typename Files>
const OutputFile* write_all(Loop loop, const DataFileHeader& header, RecordReader& reader, Files& files) {
    for (RecordBlock block = reader.next_block(); block.count > 0; block = reader.next_block())
        if (const OutputFile* failed = loop(header, block, files)) return failed;
    return nullptr;
}

CombinedFiles create_combined(const fs::path& base, std::size_t buffer_size) {
    CombinedFiles files;
    for (const CombinedOutput& output : COMBINED_OUTPUTS)
        files[output.kind].create(base.string() + output.suffix, LineEnds::crlf, buffer_size);
    return files;
}

void close_combined(CombinedFiles& files) {
    for (OutputFile& file : files.files) EXPECT_TRUE(file.close());
}

SplitFiles create_split(const fs::path& directory, std::size_t sensors, std::size_t buffer_size) {
    fs::create_directories(directory);
    SplitFiles files;
    files.text.resize(sensors);
    files.csv.resize(sensors);
    for (std::size_t i = 0; i < sensors; ++i) {
        files.text[i].create((directory / (std::to_string(i) + ".txt")).string(), LineEnds::keep, buffer_size);
        files.csv[i].create((directory / (std::to_string(i) + ".csv")).string(), LineEnds::keep, buffer_size);
    }
    return files;
}

// Every file under a directory, by name relative to it.
std::vector<std::pair<std::string, std::string>> directory_contents(const fs::path& directory) {
    std::vector<std::pair<std::string, std::string>> contents;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(directory))
        if (entry.is_regular_file())
            contents.emplace_back(fs::relative(entry.path(), directory).string(), file_bytes(entry.path()));
    std::sort(contents.begin(), contents.end());
    return contents;
}

TEST(BaselineEquivalence, CombinedLoopsWriteIdenticalBytesWithAnyBufferSize) {
    ScratchDirectory scratch("measconv_combined_equivalence");
    int file_number = 0;
    for (const FileShape& shape : sample_shapes()) {
        const fs::path data = scratch.path() / ("in" + std::to_string(file_number++) + ".dat");
        ASSERT_TRUE(write_data_file(shape, data.string()));
        // 64 bytes is less than one line: the buffer must grow; 1000 bytes flushes mid-record.
        for (std::size_t buffer_size : {std::size_t{64}, std::size_t{1000}, std::size_t{1} << 20}) {
            InputData fast_input = open_records(data);
            CombinedFiles fast = create_combined(scratch.path() / "fast", buffer_size);
            {
                RecordReader records(fast_input.file, record_size(fast_input.header.sensors.size()), 3000);
                EXPECT_EQ(write_all(write_combined_records, fast_input.header, records, fast), nullptr);
            }
            close_combined(fast);
            std::fclose(fast_input.file);

            InputData base_input = open_records(data);
            CombinedFiles base = create_combined(scratch.path() / "base", 1 << 16);
            {
                RecordReader records(base_input.file, record_size(base_input.header.sensors.size()));
                EXPECT_EQ(write_all(baseline_write_combined_records, base_input.header, records, base), nullptr);
            }
            close_combined(base);
            std::fclose(base_input.file);

            for (const char* suffix : {"_pv.txt", "_wl.txt", "_pv.csv", "_wl.csv"}) {
                const std::string base_bytes = file_bytes(scratch.path() / (std::string("base") + suffix));
                EXPECT_FALSE(base_bytes.empty());
                EXPECT_TRUE(file_bytes(scratch.path() / (std::string("fast") + suffix)) == base_bytes)
                    << "file " << file_number << " " << suffix << " with a buffer of " << buffer_size;
            }
        }
    }
}

TEST(BaselineEquivalence, SplitLoopsWriteIdenticalBytesWithAnyBufferSize) {
    ScratchDirectory scratch("measconv_split_equivalence");
    int file_number = 0;
    for (const FileShape& shape : sample_shapes()) {
        const fs::path data = scratch.path() / ("in" + std::to_string(file_number++) + ".dat");
        ASSERT_TRUE(write_data_file(shape, data.string()));
        for (std::size_t buffer_size : {std::size_t{64}, std::size_t{300}, std::size_t{1} << 16}) {
            fs::remove_all(scratch.path() / "fast");
            fs::remove_all(scratch.path() / "base");
            InputData fast_input = open_records(data);
            const std::size_t n = fast_input.header.sensors.size();
            SplitFiles fast = create_split(scratch.path() / "fast", n, buffer_size);
            {
                RecordReader records(fast_input.file, record_size(n), 5000);
                EXPECT_EQ(write_all(write_split_records, fast_input.header, records, fast), nullptr);
            }
            EXPECT_EQ(close_split_files(fast), nullptr);
            std::fclose(fast_input.file);

            InputData base_input = open_records(data);
            SplitFiles base = create_split(scratch.path() / "base", n, 1 << 16);
            {
                RecordReader records(base_input.file, record_size(n));
                EXPECT_EQ(write_all(baseline_write_split_records, base_input.header, records, base), nullptr);
            }
            EXPECT_EQ(close_split_files(base), nullptr);
            std::fclose(base_input.file);

            EXPECT_TRUE(directory_contents(scratch.path() / "fast") == directory_contents(scratch.path() / "base"))
                << "file " << file_number << " with a buffer of " << buffer_size;
        }
    }
}

int run(const std::string& program, const std::string& type, const fs::path& input, const fs::path& base) {
    const std::string command =
        "'" + program + "' " + type + " '" + input.string() + "' '" + base.string() + "' > /dev/null";
    return std::system(command.c_str());
}

// The programs as shipped: every output of measconv equals measconv-baseline's.
TEST(BaselineEquivalence, WholeConversionsMatchTheBaselineProgram) {
    ScratchDirectory scratch("measconv_program_equivalence");
    int file_number = 0;
    for (const FileShape& shape : sample_shapes()) {
        const fs::path data = scratch.path() / ("in" + std::to_string(file_number++) + ".dat");
        ASSERT_TRUE(write_data_file(shape, data.string()));
        for (const char* type : {"tpwc", "sct", "stpwc"}) {
            const fs::path fast = scratch.path() / "fast";
            const fs::path base = scratch.path() / "base";
            fs::remove_all(fast);
            fs::remove_all(base);
            fs::create_directories(fast);
            fs::create_directories(base);
            ASSERT_EQ(run(MEASCONV_PROGRAM, type, data, fast / "out"), 0);
            ASSERT_EQ(run(MEASCONV_BASELINE_PROGRAM, type, data, base / "out"), 0);
            const auto fast_files = directory_contents(fast);
            const bool outputs_expected = !shape.sensors.empty() || std::string(type) != "sct";
            EXPECT_EQ(fast_files.empty(), !outputs_expected) << "file " << file_number << " type " << type;
            EXPECT_TRUE(fast_files == directory_contents(base)) << "file " << file_number << " type " << type;
        }
    }
}

}  // namespace
