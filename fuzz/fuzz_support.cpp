#include "fuzz/fuzz_support.h"

#include <stdlib.h>

#include <filesystem>

std::string make_fuzz_scratch(const char* name) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    require(mkdtemp(pattern.data()) != nullptr, "cannot make a scratch directory under " + pattern);
    return pattern;
}
