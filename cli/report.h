// Where the converter's messages go: one line per problem, on standard output.
#pragma once

#include <vector>

#include "convert/convert.h"
#include "convert/convert_status.h"

void print_problems(const ConvertResult& result);

// One notice on standard error when a request asks for 'h' and this build has no HDF5 support.
void print_unsupported_notice(const std::vector<ConvertRequest>& requests);
