// A C stream that closes itself. Code that must know whether the close succeeded (a written
// file) closes it with std::fclose(file.release()) and looks at the result.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

using CFile = std::unique_ptr<std::FILE, FileCloser>;
