// Where the converter's messages go: one line per problem, on standard output.
#pragma once

#include "convert/convert_status.h"

void print_problems(const ConvertResult& result);
