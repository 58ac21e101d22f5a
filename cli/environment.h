// The settings a run takes from the environment: MEASCONV_JOBS, MEASCONV_SHARD,
// MEASCONV_PROGRESS and MEASCONV_HDF5_COMPRESSION. The command line itself stays as its callers know it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "convert/convert.h"

// Threads used at most, whatever MEASCONV_JOBS asks for.
inline constexpr unsigned MAX_JOBS = 256;

// Shard `index` of `count`: the part of a list one of `count` processes converts.
struct Shard {
    std::uint64_t index = 0;
    std::uint64_t count = 1;
};

enum class ProgressMode { terminal, off, forced };  // terminal: only when standard error is one

// What every conversion of a run shares: the settings from the environment, and from the
// program the stop flag its signal handlers set.
struct RunSettings {
    unsigned jobs = 1;
    Shard shard;
    ProgressMode progress = ProgressMode::terminal;
    Hdf5Compression hdf5_compression;
    const std::atomic<bool>* stop = nullptr;
    const char* program = "measconv";  // the name progress lines start with
};

// A positive decimal integer (digits only), at most MAX_JOBS; larger values give MAX_JOBS.
std::optional<unsigned> parse_jobs(const std::string& text);

// "K/N" in decimal digits with 0 <= K < N.
std::optional<Shard> parse_shard(const std::string& text);

// "0" or "1".
std::optional<ProgressMode> parse_progress(const std::string& text);

// "none", "deflate" (at DEFAULT_DEFLATE_LEVEL) or "deflate:LEVEL" with one digit from 1 to 9.
std::optional<Hdf5Compression> parse_hdf5_compression(const std::string& text);

// The CPUs this process may run on (its affinity mask, so taskset and container limits count).
unsigned available_cpus();

// The settings from the environment; the default number of jobs is available_cpus(). Returns
// nothing after printing on standard error why a variable's value cannot be used.
std::optional<RunSettings> read_run_settings();

// Whether progress is shown in this mode, given whether standard error is a terminal.
bool shows_progress(ProgressMode mode);
