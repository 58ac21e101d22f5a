// The default output: a readable report per file, and the one-line verdicts of --check.
#pragma once

#include <string>

#include "measinfo/file_stats.h"

// The report of one file: header fields, records, time and counter steps, a table of sensors.
// Texts from the file are shown through printable_text. Ends with a line feed.
std::string text_report(const FileInfo& info);

// "PATH: ok" or "PATH: FAIL: finding, finding" and a line feed.
std::string check_line(const FileInfo& info);
