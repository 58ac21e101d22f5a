#include "convert/native_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
FileIdentity handle_identity(HANDLE handle) {
    FileIdentity identity;
    if (handle == INVALID_HANDLE_VALUE) return identity;
    // Consoles, pipes and NUL are no files that the input or the list could be.
    if (GetFileType(handle) != FILE_TYPE_DISK) return {FileIdentity::Kind::none, false, 0, 0};
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return identity;
    identity.kind = FileIdentity::Kind::file;
    identity.regular = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    identity.device = information.dwVolumeSerialNumber;
    identity.inode = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return identity;
}
#endif

}  // namespace

FileIdentity descriptor_identity(int fd) {
#ifdef _WIN32
    return handle_identity(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
#else
    struct stat status;
    if (fstat(fd, &status) != 0) return {};
    return {FileIdentity::Kind::file, S_ISREG(status.st_mode), static_cast<std::uint64_t>(status.st_dev),
            static_cast<std::uint64_t>(status.st_ino)};
#endif
}

FileIdentity path_identity(const std::string& path) {
#ifdef _WIN32
    // No access asked for: only the file's information is read; directories open too.
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {FileIdentity::Kind::none, false, 0, 0};
        return {};
    }
    const FileIdentity identity = handle_identity(handle);
    CloseHandle(handle);
    return identity;
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return {FileIdentity::Kind::none, false, 0, 0};
        return {};
    }
    const FileIdentity identity = descriptor_identity(fd);
    close(fd);
    return identity;
#endif
}

bool may_be_same_file(const FileIdentity& a, const FileIdentity& b) {
    using Kind = FileIdentity::Kind;
    if (a.kind == Kind::unknown || b.kind == Kind::unknown) return true;
    if (a.kind == Kind::none || b.kind == Kind::none) return false;
    return a.device == b.device && a.inode == b.inode;
}

bool may_be_one_of(const FileIdentity& file, const std::vector<FileIdentity>& files) {
    for (const FileIdentity& other : files)
        if (may_be_same_file(file, other)) return true;
    return false;
}

int open_output_descriptor(const std::string& name) {
#ifdef _WIN32
    return _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
#else
    return open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
#endif
}

OutputLock lock_output_descriptor(int fd) {
#ifdef _WIN32
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED from_the_start{};
    if (handle == INVALID_HANDLE_VALUE) return OutputLock::unavailable;
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &from_the_start))
        return OutputLock::taken;
    return GetLastError() == ERROR_LOCK_VIOLATION ? OutputLock::held_elsewhere : OutputLock::unavailable;
#else
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return OutputLock::taken;
    return errno == EWOULDBLOCK ? OutputLock::held_elsewhere : OutputLock::unavailable;
#endif
}

bool locked_by_another(const std::string& path) {
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
#endif
    if (fd < 0) return false;
    const bool locked = descriptor_identity(fd).regular && lock_output_descriptor(fd) == OutputLock::held_elsewhere;
    close_descriptor(fd);  // a lock taken here goes with it
    return locked;
}

// An empty file (one just created) is left alone: truncating it to nothing changes nothing,
// and on ext4 a truncation to zero makes the close start writing the whole file back (the
// safeguard for programs that rewrite a file in place), which a conversion would wait for.
bool truncate_descriptor(int fd) {
#ifdef _WIN32
    return _filelengthi64(fd) == 0 || _chsize_s(fd, 0) == 0;
#else
    struct stat status {};
    if (fstat(fd, &status) == 0 && status.st_size == 0) return true;
    return ftruncate(fd, 0) == 0;
#endif
}

void close_descriptor(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
}

bool create_new_file(const std::string& name) {
#ifdef _WIN32
    const int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | _O_BINARY, 0666);
    if (fd < 0) return false;
    if (_close(fd) == 0) return true;
#else
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (close(fd) == 0) return true;
#endif
    // Made but not closed cleanly: not used, and not left behind either.
    const int close_error = errno;
    std::remove(name.c_str());
    errno = close_error;
    return false;
}

bool replace_file(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

std::string hdf5_file_name(const std::string& name) {
#ifdef _WIN32
    // The narrow file functions of Windows take names in the ANSI code page, or the OEM one
    // after SetFileApisToOEM.
    const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int wide_length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, name.c_str(), -1, nullptr, 0);
    if (wide_length <= 0) return name;
    std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
    MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, name.c_str(), -1, wide.data(), wide_length);
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return name;
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();  // the terminating NUL, which both conversions counted
    return utf8;
#else
    return name;
#endif
}
