// Small text forms shared by the report, the JSON lines and the plot.
#pragma once

#include <cstdint>
#include <string>

// Local date-time of a record time as the CSV files print it: "2024-12-07 12:00:00".
std::string datetime_text(std::int64_t seconds_since_epoch);

// A header or file name text for a terminal: printable ASCII as it is, a backslash doubled,
// every other byte as \xHH, so no byte of a data file can drive the terminal.
std::string printable_text(const std::string& bytes);

// The version bytes as the text files print them: "1.3".
std::string version_text(std::int8_t major, std::int8_t minor);
