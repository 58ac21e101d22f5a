#include "cli/environment.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <sched.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "convert/hdf5_output.h"

namespace {

bool all_digits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// The value of a string of digits, or nothing beyond the 64-bit range.
std::optional<std::uint64_t> decimal_value(const std::string& digits) {
    if (!all_digits(digits)) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The value as the one-line message shows it: control characters (a newline, a tab, an
// escape sequence) escaped, every other byte as it is.
std::string shown_value(const char* value) {
    std::string shown;
    for (const char* at = value; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            shown += hex;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

void refuse(const char* name, const char* wanted, const char* value) {
    std::fprintf(stderr, "measconv: %s must be %s, not '%s'\n", name, wanted, shown_value(value).c_str());
}

}  // namespace

std::optional<unsigned> parse_jobs(const std::string& text) {
    if (!all_digits(text)) return std::nullopt;
    const std::size_t first = text.find_first_not_of('0');
    if (first == std::string::npos) return std::nullopt;  // zero
    // Any positive integer is accepted; beyond MAX_JOBS more threads would only cost memory.
    const std::optional<std::uint64_t> value = decimal_value(text.substr(first));
    if (!value || *value > MAX_JOBS) return MAX_JOBS;
    return static_cast<unsigned>(*value);
}

std::optional<Shard> parse_shard(const std::string& text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return std::nullopt;
    const std::optional<std::uint64_t> index = decimal_value(text.substr(0, slash));
    const std::optional<std::uint64_t> count = decimal_value(text.substr(slash + 1));
    if (!index || !count || *index >= *count) return std::nullopt;
    return Shard{*index, *count};
}

std::optional<ProgressMode> parse_progress(const std::string& text) {
    if (text == "0") return ProgressMode::off;
    if (text == "1") return ProgressMode::forced;
    return std::nullopt;
}

std::optional<Hdf5Compression> parse_hdf5_compression(const std::string& text) {
    if (text == "none") return Hdf5Compression{};
    if (text == "deflate") return Hdf5Compression{DEFAULT_DEFLATE_LEVEL};
    constexpr std::string_view DEFLATE_AT = "deflate:";
    if (text.size() != DEFLATE_AT.size() + 1 || !text.starts_with(DEFLATE_AT)) return std::nullopt;
    const int level = text.back() - '0';
    if (level < MIN_DEFLATE_LEVEL || level > MAX_DEFLATE_LEVEL) return std::nullopt;
    return Hdf5Compression{level};
}

unsigned available_cpus() {
#ifndef _WIN32
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
#endif
    // Windows: the processors the runtime reports.
    const unsigned reported = std::thread::hardware_concurrency();
    return reported > 0 ? reported : 1;
}

std::optional<RunSettings> read_run_settings() {
    RunSettings settings;
    settings.jobs = std::min(available_cpus(), MAX_JOBS);
    if (const char* value = std::getenv("MEASCONV_JOBS")) {
        const std::optional<unsigned> jobs = parse_jobs(value);
        if (!jobs) {
            refuse("MEASCONV_JOBS", "a positive integer", value);
            return std::nullopt;
        }
        settings.jobs = *jobs;
    }
    if (const char* value = std::getenv("MEASCONV_SHARD")) {
        const std::optional<Shard> shard = parse_shard(value);
        if (!shard) {
            refuse("MEASCONV_SHARD", "K/N with 0 <= K < N", value);
            return std::nullopt;
        }
        settings.shard = *shard;
    }
    if (const char* value = std::getenv("MEASCONV_PROGRESS")) {
        const std::optional<ProgressMode> progress = parse_progress(value);
        if (!progress) {
            refuse("MEASCONV_PROGRESS", "0 or 1", value);
            return std::nullopt;
        }
        settings.progress = *progress;
    }
    if (const char* value = std::getenv("MEASCONV_HDF5_COMPRESSION")) {
        const std::optional<Hdf5Compression> compression = parse_hdf5_compression(value);
        if (!compression) {
            refuse("MEASCONV_HDF5_COMPRESSION", "none, deflate or deflate:LEVEL with LEVEL 1 to 9", value);
            return std::nullopt;
        }
        if (!hdf5_compression_available(*compression)) {
            std::fprintf(stderr, "measconv: MEASCONV_HDF5_COMPRESSION=%s: this build's HDF5 library cannot deflate\n",
                         value);
            return std::nullopt;
        }
        settings.hdf5_compression = *compression;
    }
    return settings;
}

bool shows_progress(ProgressMode mode) {
    switch (mode) {
    case ProgressMode::terminal: return isatty(STDERR_FILENO) == 1;
    case ProgressMode::off: return false;
    case ProgressMode::forced: return true;
    }
    return false;
}
