// The program entry: arguments in, process exit code out.
#pragma once

#include "convert/convert.h"

// measconv and measconv-baseline alike: they differ only in the record loops they link (record_loops.h).
int measconv_main(int argc, const char* const* argv);
