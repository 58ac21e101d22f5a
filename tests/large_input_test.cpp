// Data files beyond 4 GiB. Opt-in (configure with -DMEASCONV_LARGE_TESTS=ON and run
// `ctest -L large`): each case reads more than 4 GiB.
//
// The input is a sparse file: a header with 127 sensors (1024-byte records), then more than
// 4 GiB of zero records that take no disk space, then a few real records. The outputs that
// would hold gigabytes are named pipes that the test drains, keeping only the byte and line
// counts and the tail; the others are links to /dev/null. So the real records past 4 GiB are
// checked byte for byte without any large file on disk, and the converter's peak memory is
// compared with that of a 64 times smaller file of the same shape.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "test_support.h"

#ifndef MEASCONV_BINARY
#error "MEASCONV_BINARY must name the program under test"
#endif

namespace {

using test::Scratch;
namespace fs = std::filesystem;

constexpr int SENSORS = 127;
constexpr std::uint64_t RECORD_SIZE = 8 + 8 * SENSORS;
// Zero records before the real ones: their end lies past 4 GiB.
constexpr std::uint64_t ZERO_RECORDS = (std::uint64_t{4} << 30) / RECORD_SIZE + 64;

FileShape large_shape() {
    FileShape shape = test::sample_shape();
    shape.sensors = numbered_sensors(SENSORS);
    return shape;
}

// Records whose first sensor reads a valid value; every other reading is invalid.
std::vector<GenRecord> real_records() {
    std::vector<GenRecord> records;
    for (int i = 0; i < 3; ++i) {
        GenRecord record{100 + i, 70000001 + i, std::vector<GenReading>(SENSORS)};
        record.readings[0] = {1.5f + static_cast<float>(i), 1550000 + i};
        records.push_back(record);
    }
    return records;
}

// Header, zero_records records of zeros (a hole in the file), then the real records.
void write_sparse_input(const std::string& path, std::uint64_t zero_records) {
    std::vector<unsigned char> bytes = header_bytes(large_shape());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::vector<unsigned char> tail;
    for (const GenRecord& record : real_records()) append_record(tail, record, SENSORS);
    const off_t at = static_cast<off_t>(bytes.size() + zero_records * RECORD_SIZE);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), at), static_cast<ssize_t>(tail.size()));
    ASSERT_EQ(close(fd), 0);
}

// What a drained pipe delivered.
struct Drained {
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    std::string tail;  // the last bytes
};

Drained drain(const std::string& fifo) {
    Drained d;
    const int fd = open(fifo.c_str(), O_RDONLY);  // waits for the converter to open it
    if (fd < 0) return d;
    std::vector<char> buffer(1 << 20);
    ssize_t got;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
        d.bytes += static_cast<std::uint64_t>(got);
        for (ssize_t i = 0; i < got; ++i) d.lines += buffer[static_cast<std::size_t>(i)] == '\n';
        d.tail.append(buffer.data(), static_cast<std::size_t>(got));
        if (d.tail.size() > 8192) d.tail.erase(0, d.tail.size() - 4096);
    }
    close(fd);
    return d;
}

struct Run {
    int exit_code = -1;
    long peak_rss_kib = 0;
    std::string out;
};

// Runs measconv in cwd and returns its exit code, standard output and peak resident memory.
Run run_measured(const std::vector<std::string>& args, const std::string& cwd) {
    const std::string out_path = cwd + "/stdout.log";
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || chdir(cwd.c_str()) != 0) _exit(126);
        setenv("TZ", "UTC", 1);
        std::string program = MEASCONV_BINARY;
        std::vector<std::string> copies = args;
        std::vector<char*> argv = {program.data()};
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    Run run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peak_rss_kib = usage.ru_maxrss;
    run.out = test::read_file(out_path);
    fs::remove(out_path);
    return run;
}

std::string zero_line(const std::string& end) {
    std::string line = "1980-01-02 02:03:55,0";
    for (int i = 0; i < SENSORS; ++i) line += ", ";
    return line + end;
}

std::string real_lines_pv_csv() {
    std::string text;
    for (const char* prefix : {"1980-01-02 02:05:35,70000001,1.5000", "1980-01-02 02:05:36,70000002,2.5000",
                               "1980-01-02 02:05:37,70000003,3.5000"}) {
        text += prefix;
        for (int i = 1; i < SENSORS; ++i) text += ", ";
        text += "\r\n";
    }
    return text;
}

// One conversion of a sparse input with zero_records records of zeros: with split, the letters
// "scp" and the first sensor's CSV file drained; without, "cp". The combined file is drained.
struct Conversion {
    Run run;
    Drained sensor;
    Drained combined;
};

Conversion convert_sparse(std::uint64_t zero_records, bool split) {
    Scratch scratch;
    Conversion c;
    write_sparse_input(scratch.path("in.dat"), zero_records);
    if (split) {
        fs::create_directory(scratch.path("out"));
        char name[16];
        for (int i = 2; i <= SENSORS; ++i) {
            std::snprintf(name, sizeof name, "SN%04d.csv", i);
            fs::create_symlink("/dev/null", scratch.path("out/" + std::string(name)));
        }
        EXPECT_EQ(mkfifo(scratch.path("out/SN0001.csv").c_str(), 0644), 0);
    }
    EXPECT_EQ(mkfifo(scratch.path("out_pv.csv").c_str(), 0644), 0);

    std::thread sensor_reader;
    if (split) sensor_reader = std::thread([&] { c.sensor = drain(scratch.path("out/SN0001.csv")); });
    std::thread combined_reader([&] { c.combined = drain(scratch.path("out_pv.csv")); });
    c.run = run_measured({split ? "scp" : "cp", "in.dat", "out"}, scratch.dir.string());
    // A pipe the converter never opened would keep its reader waiting.
    for (const char* fifo : {"out/SN0001.csv", "out_pv.csv"}) {
        const int fd = open(scratch.path(fifo).c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    if (split) sensor_reader.join();
    combined_reader.join();
    return c;
}

void expect_tail(const Drained& drained, const std::string& tail) {
    ASSERT_GE(drained.tail.size(), tail.size());
    EXPECT_EQ(drained.tail.substr(drained.tail.size() - tail.size()), tail);
}

// Memory must not grow with the records: a 64 times smaller file, which fills every buffer
// all the same, sets the bar.
void expect_memory_of_a_smaller_file(const Run& large, bool split) {
    const Run smaller = convert_sparse(ZERO_RECORDS / 64, split).run;
    std::printf("peak memory: %ld KiB for %llu records, %ld KiB for %llu records\n", large.peak_rss_kib,
                static_cast<unsigned long long>(ZERO_RECORDS + 3), smaller.peak_rss_kib,
                static_cast<unsigned long long>(ZERO_RECORDS / 64 + 3));
    EXPECT_LT(large.peak_rss_kib, smaller.peak_rss_kib + 1024);
}

TEST(LargeInput, CombinedFileOfRecordsPastFourGiB) {
    const Conversion c = convert_sparse(ZERO_RECORDS, false);
    EXPECT_EQ(c.run.exit_code, 0);
    EXPECT_EQ(c.run.out, "");
    EXPECT_EQ(c.combined.lines, 1 + ZERO_RECORDS + 3);
    expect_tail(c.combined, zero_line("\r\n") + real_lines_pv_csv());
    expect_memory_of_a_smaller_file(c.run, false);
}

// Split mode reads the file twice: the per-sensor pass, then, after going back to the start,
// the combined pass.
TEST(LargeInput, SplitModeReadsPastFourGiBTwice) {
    const Conversion c = convert_sparse(ZERO_RECORDS, true);
    EXPECT_EQ(c.run.exit_code, 0);
    EXPECT_EQ(c.run.out, "");
    EXPECT_EQ(c.sensor.lines, 1 + ZERO_RECORDS + 3);
    expect_tail(c.sensor,
                "1980-01-02 02:03:55,0,0,\t\n"
                "1980-01-02 02:05:35,70000001,1550000,1.5000\n"
                "1980-01-02 02:05:36,70000002,1550001,2.5000\n"
                "1980-01-02 02:05:37,70000003,1550002,3.5000\n");
    EXPECT_EQ(c.combined.lines, 1 + ZERO_RECORDS + 3);
    expect_tail(c.combined, zero_line("\r\n") + real_lines_pv_csv());
    expect_memory_of_a_smaller_file(c.run, true);
}

}  // namespace
