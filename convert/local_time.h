// Calendar time in the process's time zone (TZ is honoured).
#pragma once

#include <cstdint>
#include <string>

struct LocalTime {
    int year = 1970;
    int month = 1;   // 1-12
    int day = 1;     // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 4;  // 0 = Sunday
};

// Never fails: should the C library reject the value, the UTC calendar time is used.
LocalTime to_local_time(std::int64_t seconds_since_epoch);

// The calendar time of seconds_since_epoch in UTC, computed without the C library.
LocalTime utc_calendar_time(std::int64_t seconds_since_epoch);

// "Wed Jan 02 02:03:55 1980\n": the asctime form, but with the day zero-padded.
std::string asctime_text(const LocalTime& time);
