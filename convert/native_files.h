// File operations whose Windows form differs from the POSIX one, for the outputs that are
// written under a temporary name and then moved into place.
#pragma once

#include <string>

// Creates name, which must not exist yet (O_EXCL), and closes it again; the descriptor is never
// inherited by a child process. False with errno set when it was not created.
bool create_new_file(const std::string& name);

// Moves from to to, replacing a file that is there (Windows' rename() refuses to replace).
bool replace_file(const std::string& from, const std::string& to);

// name as the HDF5 library must be given it to open the file the C runtime opens by that name.
// On Windows the library reads names as UTF-8, the C runtime (and so every other output) in
// the ANSI code page; elsewhere both take the bytes as they are.
std::string hdf5_file_name(const std::string& name);
