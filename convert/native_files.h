// File operations whose Windows form differs from the POSIX one: the outputs that are written
// under a temporary name and then moved into place, and what tells an output from the input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Which file an open descriptor leads to: device and inode (on Windows volume serial number and
// file index). Taken from descriptors, not paths, so a name that changes between a check and an
// open cannot make two files look different.
struct FileIdentity {
    enum class Kind : unsigned char {
        unknown,  // could not be told (a failed fstat): may be any file
        none,     // no file that an output could be (nothing at that name, or no disk file on Windows)
        file,
    };
    Kind kind = Kind::unknown;
    bool regular = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// The file open on fd.
FileIdentity descriptor_identity(int fd);

// The file at path, through an opened descriptor (a FIFO is not waited for): Kind::none when
// nothing is there, Kind::unknown when it cannot be opened or told.
FileIdentity path_identity(const std::string& path);

// True unless both are known to be different: an output that may be one of the files it must
// never be is refused.
bool may_be_same_file(const FileIdentity& a, const FileIdentity& b);
bool may_be_one_of(const FileIdentity& file, const std::vector<FileIdentity>& files);

// Opens name for writing, creating it when it is missing, without truncating it (an output is
// truncated only once it is known not to be the input). -1 when it cannot be opened.
int open_output_descriptor(const std::string& name);

// An advisory lock on the whole file open on fd, so that two runs never write one output at
// once (flock; LockFileEx on Windows). False when another holder has it or it cannot be taken.
bool lock_output_descriptor(int fd);

// Cuts the file open on fd to no bytes.
bool truncate_descriptor(int fd);

void close_descriptor(int fd);

// Creates name, which must not exist yet (O_EXCL), and closes it again; the descriptor is never
// inherited by a child process. False with errno set when it was not created (or not closed
// cleanly, and then removed again).
bool create_new_file(const std::string& name);

// Moves from to to, replacing a file that is there (Windows' rename() refuses to replace).
bool replace_file(const std::string& from, const std::string& to);

// name as the HDF5 library must be given it to open the file the C runtime opens by that name.
// On Windows the library reads names as UTF-8, the C runtime (and so every other output) in
// the ANSI code page; elsewhere both take the bytes as they are.
std::string hdf5_file_name(const std::string& name);
