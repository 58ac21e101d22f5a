// Runs measinfo's options: reports, checks and plots, on standard output and error.
#pragma once

#include "measinfo/command_line.h"

// The exit code: 0; 1 when --check finds a file that is not clean; 2 for a file that cannot
// be read, a plot that cannot be written, or standard output that cannot be written. The
// messages start with program's name.
int run_measinfo(const MeasinfoOptions& options, const char* program = "measinfo");
