// The program entry: arguments in, process exit code out.
#pragma once

#include "convert/convert.h"

// loops: the record loops the conversions use (measconv-baseline passes its own).
int measconv_main(int argc, const char* const* argv, const RecordLoops& loops = RecordLoops{});
