// The --json output: one JSON object per file on a line of its own (JSON Lines).
//
// Keys: path, size, status, message, title, version, company, idn, unit_serial, sensor_count,
// start_time, records, trailing_bytes, first_record_time, last_record_time, sensors,
// time_offset, counter. A value that the file does not give (no header, records unread, no
// valid reading) is null. Texts from the file and the path are byte strings: each byte is the
// code point of the same number, so bytes above 127 read as \u0080 to \u00ff, and every byte
// that is not printable ASCII is escaped: the line is pure ASCII and always valid JSON.
#pragma once

#include <string>

#include "measinfo/file_stats.h"

// The object's text and a line feed.
std::string json_line(const FileInfo& info);
