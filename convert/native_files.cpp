#include "convert/native_files.h"

#include <fcntl.h>

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

bool create_new_file(const std::string& name) {
#ifdef _WIN32
    const int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | _O_BINARY, 0666);
    return fd >= 0 && _close(fd) == 0;
#else
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return fd >= 0 && close(fd) == 0;
#endif
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
