#include "measinfo/texts.h"

#include <cstdio>
#include <string_view>

#include "base/decimal_number.h"
#include "convert/number_format.h"
#include "datafile/local_time.h"

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// The calendar time as seconds since 1970 as though it were UTC.
std::int64_t calendar_seconds(const LocalTime& time) {
    return days_from_civil(time.year, time.month, time.day) * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
}

int days_in_month(int year, int month) {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : DAYS[month - 1];
}

}  // namespace

std::int64_t zone_offset(std::int64_t seconds_since_epoch) {
    return calendar_seconds(to_local_time(seconds_since_epoch)) - seconds_since_epoch;
}

ParsedTime parse_datetime_text(const std::string& text) {
    const ParsedTime wrong_form{std::nullopt, "expected a local date-time YYYY-MM-DD HH:MM:SS"};
    const bool with_seconds = text.size() == 19;
    if ((text.size() != 16 && !with_seconds) || text[4] != '-' || text[7] != '-' ||
        (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || (with_seconds && text[16] != ':'))
        return wrong_form;
    const auto field = [&](std::size_t at, std::size_t width, long long low, long long high) {
        const std::string_view digits(text.data() + at, width);
        return digits[0] == '+' || digits[0] == '-' ? std::nullopt : parse_decimal(digits, low, high);
    };
    const auto year = field(0, 4, 1, 9999), month = field(5, 2, 1, 12), hour = field(11, 2, 0, 23),
               minute = field(14, 2, 0, 59), second = with_seconds ? field(17, 2, 0, 59) : 0;
    if (!year || !month || !hour || !minute || !second) return wrong_form;
    const auto day = field(8, 2, 1, days_in_month(static_cast<int>(*year), static_cast<int>(*month)));
    if (!day) return wrong_form;
    LocalTime wanted;
    wanted.year = static_cast<int>(*year);
    wanted.month = static_cast<int>(*month);
    wanted.day = static_cast<int>(*day);
    wanted.hour = static_cast<int>(*hour);
    wanted.minute = static_cast<int>(*minute);
    wanted.second = static_cast<int>(*second);
    // The time is the calendar seconds less the zone's offset at that time: try every offset
    // the zone has within a day and a bit of it.
    const std::int64_t local = calendar_seconds(wanted);
    std::optional<std::int64_t> found;
    for (int hours = -30; hours <= 30; ++hours) {
        const std::int64_t candidate = local - zone_offset(local + hours * 3600);
        if (calendar_seconds(to_local_time(candidate)) == local && (!found || candidate < *found)) found = candidate;
    }
    if (!found) return {std::nullopt, "the clock skips that time in this time zone"};
    return {found, ""};
}

std::string datetime_text(std::int64_t seconds_since_epoch) {
    char text[MAX_FORMATTED];
    char* const end = format_datetime(text, to_local_time(seconds_since_epoch));
    return std::string(text, static_cast<std::size_t>(end - 1 - text));  // without the comma that ends a CSV cell
}

std::string printable_text(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

std::string version_text(std::int8_t major, std::int8_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}
