// Where the converter's messages go: one line per problem on standard output; the note that
// an interrupted conversion removed its outputs on standard error.
#pragma once

#include <vector>

#include "convert/convert.h"
#include "convert/convert_status.h"

// Prints the result's problems and returns its status.
ConvertStatus print_problems(const ConvertResult& result);

// Flushes standard output. When anything could not be written there, says so on standard
// error and returns 1 (the messages were lost), else exit_code.
int finish_standard_output(int exit_code);

// One notice on standard error when a request asks for 'h' and this build has no HDF5 support.
void print_unsupported_notice(const std::vector<ConvertRequest>& requests);
