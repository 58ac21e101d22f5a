// Held by every entry into the HDF5 writer. A list converts several entries at once, on
// threads; Debian's HDF5 is built thread-safe and serialises its calls itself, the Windows
// build's static library is not (its thread safety needs the DLL), so there the writer's
// calls take turns under this lock.
#pragma once

#include <hdf5.h>

#include <mutex>

class Hdf5LibraryLock {
public:
    Hdf5LibraryLock() {
        if (!library_is_threadsafe()) lock_ = std::unique_lock(library_mutex());
    }

private:
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
