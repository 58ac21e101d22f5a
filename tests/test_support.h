// Helpers for tests that run the real program on generated files in a scratch directory.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "measgen/generator.h"

// Set where the tests run under a sanitizer, which some rows cannot (or need not) run under.
#if defined(__SANITIZE_THREAD__)
#define MEASCONV_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MEASCONV_THREAD_SANITIZER 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define MEASCONV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEASCONV_ADDRESS_SANITIZER 1
#endif
#endif

namespace test {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it when the test ends.
struct Scratch {
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string path(const std::string& name) const { return (dir / name).string(); }
    fs::path dir;
};

struct RunResult {
    int exit_code = -1;  // 128 + the signal for a process ended by one
    std::string out;     // standard output, byte for byte
    std::string err;     // standard error
    long peak_kib = 0;   // the most memory the process held at once (its peak resident set)
};

// Runs argv (argv[0] a path) in directory cwd with TZ set to tz, the variable MEASCONV naming
// the program under test, and env added; stdin is empty.
RunResult run_command(const std::vector<std::string>& argv, const std::string& cwd, const std::string& tz = "UTC",
                      const std::vector<std::pair<std::string, std::string>>& env = {});

// Runs measconv with args in directory cwd, with TZ set to tz; stdin is empty.
RunResult run_measconv(const std::vector<std::string>& args, const std::string& cwd, const std::string& tz = "UTC");

// Runs measconv with args in directory cwd, with the variables of env set (and TZ=tz).
RunResult run_measconv_with(const std::vector<std::pair<std::string, std::string>>& env,
                            const std::vector<std::string>& args, const std::string& cwd,
                            const std::string& tz = "UTC");

// Runs a bash script in cwd ("$MEASCONV" is the program under test).
RunResult run_shell(const std::string& script, const std::string& cwd, const std::string& tz = "UTC");

// The path of the measconv program under test.
std::string measconv_path();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
void write_file(const std::string& path, const std::vector<unsigned char>& bytes);

// The bytes of the data file shape describes.
std::string bytes_of(const FileShape& shape);

// True when strace can trace here (tests that inject system-call failures skip otherwise).
bool strace_can_trace();

// "strace -f -qq" to start a command with, the leak checker of a sanitizer build turned off
// for it (it cannot run under ptrace).
std::string strace_command();

// The results of every call of syscall on file that the bash command makes in cwd, in order
// (a dry run traced with strace).
std::vector<long> traced_results(const std::string& syscall, const std::string& file, const std::string& command,
                                 const std::string& cwd);

// Every LF of text as CR LF: the stored form of a combined file.
std::string crlf(const std::string& text);

// Every file below dir by its relative name, with its bytes; a directory is "name/" with no
// bytes. Names in left_out (relative) are passed over.
std::map<std::string, std::string> file_tree(const std::string& dir, const std::set<std::string>& left_out = {});

// The names whose bytes differ between two file trees ("" when none), for trees too large to
// print: " missing:NAME", " differs:NAME(N vs M bytes)", " extra:NAME".
std::string tree_difference(const std::map<std::string, std::string>& expected,
                            const std::map<std::string, std::string>& actual);

// Names of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string& path);

// The header fields every end-to-end test shares unless it says otherwise:
// title "Strain test", company "Example Labs", IDN "MU-4000", unit serial "SA2024001",
// start time 315626635 (Wed Jan 02 02:03:55 1980 UTC), sensors 1/"AB1" and 2/"AB2".
FileShape sample_shape();

// The combined text header of sample_shape() as written (before CR LF), with its Type text.
std::string combined_header(const std::string& type);

// The per-sensor text header of sample_shape() for the sensor with the given serial.
std::string sensor_header(const std::string& serial);

// The record of the worked example: offset 5, counter 7, sensor 1 reads 1.5 at 1550000 (valid),
// sensor 2 reads 2.25 at 0 (invalid).
GenRecord example_record();

}  // namespace test
