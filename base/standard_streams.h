// Standard output and error of the programs in binary mode, so that their messages and reports
// end in LF on every platform (Windows' text mode would turn each LF into CR LF).
#pragma once

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

inline void use_binary_standard_streams() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}
