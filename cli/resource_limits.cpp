#include "cli/resource_limits.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Descriptors left to the program besides the conversions (standard streams, the list, the
// HDF5 library's own).
constexpr std::size_t RESERVED_DESCRIPTORS = 16;
constexpr std::size_t MAX_SENSORS = 127;
// Input, four combined files, the .h5 file being written and its temporary name's directory look-ups.
constexpr std::size_t FIXED_DESCRIPTORS = 1 + 4 + 2;
// A thread's stack where the address space is limited: the deepest call chains (the HDF5
// library's) use far less.
constexpr std::size_t SMALL_THREAD_STACK = 1u << 20;
// What a conversion thread may need at most of the address space: its stack, its buffers (split
// mode with 127 sensors), the HDF5 library's caches.
constexpr std::uint64_t ADDRESS_SPACE_PER_THREAD = 16u << 20;

#ifndef _WIN32
std::size_t open_descriptors() {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return error || count == 0 ? RESERVED_DESCRIPTORS : count;  // without /proc: guess a few
}
#endif

}  // namespace

void raise_open_file_limit() {
#ifndef _WIN32
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);  // where it is refused the soft limit stays, and counts
#endif
}

std::size_t descriptors_for_conversions() {
#ifndef _WIN32
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return static_cast<std::size_t>(-1);
    const std::size_t used = open_descriptors() + RESERVED_DESCRIPTORS;
    const auto soft = static_cast<std::size_t>(limit.rlim_cur);
    return soft > used ? soft - used : 0;
#else
    return static_cast<std::size_t>(-1);  // Windows: no such limit on handles
#endif
}

std::size_t descriptors_per_conversion(TypeFlags flags) {
    std::size_t per_sensor = 0;
    if (flags & FLAG_SPLIT) per_sensor = ((flags & FLAG_TEXT) ? 1 : 0) + ((flags & FLAG_CSV) ? 1 : 0);
    return FIXED_DESCRIPTORS + per_sensor * MAX_SENSORS;
}

void fit_threads_to_address_space() {
#ifndef _WIN32
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
#ifdef __GLIBC__
    mallopt(M_ARENA_MAX, 1);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
        if (pthread_attr_setstacksize(&attributes, SMALL_THREAD_STACK) == 0) pthread_setattr_default_np(&attributes);
        pthread_attr_destroy(&attributes);
    }
#endif
#endif
}

unsigned threads_within_address_space(unsigned jobs) {
#ifndef _WIN32
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return jobs;
    std::uint64_t pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%" SCNu64, &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const std::uint64_t used = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t free = used < limit.rlim_cur ? limit.rlim_cur - used : 0;
    return static_cast<unsigned>(std::clamp<std::uint64_t>(free / ADDRESS_SPACE_PER_THREAD, 1, jobs));
#else
    return jobs;
#endif
}

bool can_convert_again(const char* input) {
    struct stat status {};
    return ::stat(input, &status) == 0 && S_ISREG(status.st_mode);
}
