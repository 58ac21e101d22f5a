// Calendar time in the process's time zone (TZ is honoured).
#pragma once

#include <cstdint>
#include <string>

struct LocalTime {
    int year = 1970;
    int month = 1;  // 1-12
    int day = 1;    // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 4;  // 0 = Sunday
};

// Never fails: should the C library reject the value, the UTC calendar time is used.
LocalTime to_local_time(std::int64_t seconds_since_epoch);

// The last conversion, kept because consecutive records mostly share their second (a device
// sampling at 1 kHz writes a thousand records per second). It is keyed by the exact time
// value, and local time depends on that value alone, so it stays right across daylight-saving
// changes and any other change of the zone's offset: every new second is converted afresh.
struct LocalTimeCache {
    bool filled = false;
    std::int64_t seconds = 0;
    LocalTime time;
};

// to_local_time(seconds_since_epoch), converted only when the second differs from the last one.
inline const LocalTime& cached_local_time(LocalTimeCache& cache, std::int64_t seconds_since_epoch) {
    if (!cache.filled || cache.seconds != seconds_since_epoch) {
        cache.time = to_local_time(seconds_since_epoch);
        cache.seconds = seconds_since_epoch;
        cache.filled = true;
    }
    return cache.time;
}

// The calendar time of seconds_since_epoch in UTC, computed without the C library.
LocalTime utc_calendar_time(std::int64_t seconds_since_epoch);

// "Wed Jan 02 02:03:55 1980\n": the asctime form, but with the day zero-padded.
std::string asctime_text(const LocalTime& time);
