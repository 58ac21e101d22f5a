// The messages the converter prints for a data file it cannot open or whose header it rejects,
// so that measinfo can show what a conversion of the file would say.
#pragma once

#include <string>

#include "convert/data_file.h"

// "Input file format error. [SART]:[TEXT]" and the version and sensor count messages, without
// the line end; empty for a header that passes.
std::string header_failure_message(HeaderCheck check, const unsigned char* header_bytes);

// "Can not open 'PATH' to read data."
std::string open_failure_message(const std::string& path);
