#include "datafile/local_time.h"

#include <cstdio>
#include <ctime>

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

void ensure_tz_loaded() {
    static const bool loaded = [] {
#ifdef _WIN32
        _tzset();
#else
        tzset();
#endif
        return true;
    }();
    (void)loaded;
}

// The C library's local time of t; false when it rejects the value. The Windows runtime's
// localtime_s takes its arguments the other way round and rejects times before 1970.
bool library_local_time(std::time_t t, std::tm& tm) {
#ifdef _WIN32
    return localtime_s(&tm, &t) == 0;
#else
    return localtime_r(&t, &tm) != nullptr;
#endif
}

}  // namespace

LocalTime utc_calendar_time(std::int64_t t) {
    // Days-to-civil conversion on the proleptic Gregorian calendar.
    const std::int64_t days = floor_div(t, 86400);
    const std::int64_t secs = t - days * 86400;
    LocalTime out;
    out.hour = static_cast<int>(secs / 3600);
    out.minute = static_cast<int>(secs / 60 % 60);
    out.second = static_cast<int>(secs % 60);
    out.weekday = static_cast<int>(floor_div(days + 4, 7) * -7 + days + 4);
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(yoe + era * 400 + (out.month <= 2 ? 1 : 0));
    return out;
}

LocalTime to_local_time(std::int64_t seconds_since_epoch) {
    ensure_tz_loaded();
    const std::time_t t = static_cast<std::time_t>(seconds_since_epoch);
    std::tm tm{};
    if (!library_local_time(t, tm)) return utc_calendar_time(seconds_since_epoch);
    LocalTime out;
    out.year = tm.tm_year + 1900;
    out.month = tm.tm_mon + 1;
    out.day = tm.tm_mday;
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
    out.weekday = tm.tm_wday;
    return out;
}

std::string asctime_text(const LocalTime& time) {
    static const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* weekday = (time.weekday >= 0 && time.weekday < 7) ? weekdays[time.weekday] : "???";
    const char* month = (time.month >= 1 && time.month <= 12) ? months[time.month - 1] : "???";
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s %02d %02d:%02d:%02d %d\n", weekday, month, time.day, time.hour,
                  time.minute, time.second, time.year);
    return text;
}
