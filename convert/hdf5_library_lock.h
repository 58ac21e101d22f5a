// Held by every entry into the HDF5 writer. A list converts several entries at once, on
// threads; Debian's HDF5 is built thread-safe and serialises its calls itself, the Windows
// build's static library is not (its thread safety needs the DLL), so there the writer's
// calls take turns under this lock; so do they everywhere under an address-space limit.
#pragma once

#include <hdf5.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <mutex>

class Hdf5LibraryLock {
public:
    Hdf5LibraryLock() {
        if (!library_is_threadsafe() || address_space_limited()) lock_ = std::unique_lock(library_mutex());
    }

private:
    // Under an address-space limit the writer looks for free memory before it enters the
    // library (hdf5_output.cpp): the look and the calls after it must not interleave with
    // another thread's, whose allocations would take the memory the look found.
    static bool address_space_limited() {
        static const bool limited = [] {
#ifndef _WIN32
            struct rlimit limit {};
            return getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
#else
            return false;
#endif
        }();
        return limited;
    }
    static bool library_is_threadsafe() {
        static const bool threadsafe = [] {
            hbool_t answer = false;
            return H5is_library_threadsafe(&answer) >= 0 && answer;
        }();
        return threadsafe;
    }
    // Recursive: finishing a file also destroys its writer, which enters again.
    static std::recursive_mutex& library_mutex() {
        static std::recursive_mutex mutex;
        return mutex;
    }

    std::unique_lock<std::recursive_mutex> lock_;
};
