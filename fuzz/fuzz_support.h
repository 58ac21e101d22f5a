// Shared by the fuzz targets: a failed check aborts, so libFuzzer keeps the input as a crash
// and the replay of stored inputs fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

inline void require(bool holds, const std::string& what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// A private directory under TMPDIR (or /tmp) for the files of one fuzzing process.
std::string make_fuzz_scratch(const char* name);
