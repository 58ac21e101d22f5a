// The selection options of `meas convert` as a person writes them: --sensors, --from, --to and
// --every, turned into the conversion's Selection. Each parser returns nothing on a value that
// cannot be used, with the reason in error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convert/selection.h"

// "1,3-5,SN0042": sensor numbers (from 1) and ranges of them; any other item is a serial, and
// "=ITEM" is always one (for serials made of digits).
std::optional<std::vector<SensorPick>> parse_sensor_list(const std::string& text, std::string& error);

enum class BoundEnd { from, to };

// A record number (from 1), or a date-time "2024-03-31T14:05:00" (the T may be a space; the
// seconds, or the whole time of day, may be left out and count as 0) in local time, or in UTC
// with "Z", or at an offset "+01:00", "+0100", "-05". A local time that the clocks show twice (when
// they are put back) means its first instant for `from` and its last for `to`; one they skip
// (when put forward) means the first instant after the gap for `from`, the last before it for `to`.
std::optional<RecordBound> parse_record_bound(const std::string& text, BoundEnd end, std::string& error);

// A positive integer.
std::optional<std::uint64_t> parse_count(const std::string& text);

// The calendar date's days since 1970-01-01 (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day);
