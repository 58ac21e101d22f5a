// The messages about a data file that cannot be opened or whose header fails its tests, worded
// once: the converter prints them, measinfo shows what a conversion of the file would say.
#pragma once

#include <string>

#include "datafile/data_file.h"

// What the message of a failed header test names: the header's leading text for a bad magic,
// the sensor count for a bad count, nothing for a bad version. check must not be ok.
std::string header_failure_subject(HeaderCheck check, const unsigned char* header_bytes);

// "Input file format error. [SART]:[SUBJECT]", "Input file Version  format error, need version:
// 1.3" or "Input file sensor count error: SUBJECT", newline included; empty for ok.
std::string header_failure_message(HeaderCheck check, const std::string& subject);

// "Can not open 'PATH' to read data.", newline included.
std::string input_open_message(const std::string& path);
