// Small text forms shared by the report, the JSON lines and the plot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Local date-time of a record time as the CSV files print it: "2024-12-07 12:00:00".
std::string datetime_text(std::int64_t seconds_since_epoch);

// A header or file name text for a terminal: printable ASCII as it is, a backslash doubled,
// every other byte as \xHH, so no byte of a data file can drive the terminal.
std::string printable_text(const std::string& bytes);

// The version bytes as the text files print them: "1.3".
std::string version_text(std::int8_t major, std::int8_t minor);

// Seconds the local time zone is ahead of UTC at the given time.
std::int64_t zone_offset(std::int64_t seconds_since_epoch);

// A local date-time as datetime_text writes it, "YYYY-MM-DD HH:MM:SS", also with a T between
// date and time or without the seconds, back to seconds since 1970. A time the clock shows
// twice (when it is put back) is the earlier one; a time it skips is refused.
struct ParsedTime {
    std::optional<std::int64_t> seconds;
    std::string why;  // when refused: what is wrong
};
ParsedTime parse_datetime_text(const std::string& text);
