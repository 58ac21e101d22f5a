#include "meas/selection_options.h"

#include <algorithm>
#include <array>

#include "datafile/local_time.h"

namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Digits only, and no more than fit: nothing otherwise.
std::optional<std::uint64_t> decimal(const std::string& text) {
    if (!all_digits(text) || text.size() > 18) return std::nullopt;
    return std::stoull(text);
}

struct Civil {
    std::int64_t year = 0;
    unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

std::int64_t naive_seconds(const Civil& c) {
    return days_from_civil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
}

// The local time of t as seconds counted as if that calendar time were UTC.
std::int64_t local_naive(std::int64_t t) {
    const LocalTime l = to_local_time(t);
    return naive_seconds({l.year, static_cast<unsigned>(l.month), static_cast<unsigned>(l.day),
                          static_cast<unsigned>(l.hour), static_cast<unsigned>(l.minute),
                          static_cast<unsigned>(l.second)});
}

// The instant a local calendar time stands for, as parse_record_bound says.
std::int64_t local_instant(std::int64_t naive, BoundEnd end) {
    // Each instant the zone's offsets around that day would give; those that show the time are its instants.
    std::vector<std::int64_t> guesses;
    for (const std::int64_t probe : {naive - 86400, naive, naive + 86400})
        guesses.push_back(naive - (local_naive(probe) - probe));
    std::vector<std::int64_t> matches;
    for (const std::int64_t t : guesses)
        if (local_naive(t) == naive) matches.push_back(t);
    if (!matches.empty())
        return end == BoundEnd::from ? *std::min_element(matches.begin(), matches.end())
                                     : *std::max_element(matches.begin(), matches.end());
    // Skipped by the clocks: the first instant whose local time lies beyond it ends the gap.
    std::int64_t low = *std::min_element(guesses.begin(), guesses.end());
    std::int64_t high = *std::max_element(guesses.begin(), guesses.end());
    while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        if (local_naive(middle) > naive)
            high = middle;
        else
            low = middle + 1;
    }
    return end == BoundEnd::from ? low : low - 1;
}

bool take_number(const std::string& text, std::size_t& at, std::size_t digits, unsigned& value) {
    if (at + digits > text.size() || !all_digits(text.substr(at, digits))) return false;
    value = static_cast<unsigned>(std::stoul(text.substr(at, digits)));
    at += digits;
    return true;
}

bool take(const std::string& text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

bool leap_year(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(std::int64_t year, unsigned month) {
    constexpr std::array<unsigned, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

// "Z", "+01:00", "+0100", "+01" (or '-'): the offset east of UTC in seconds.
bool take_offset(const std::string& text, std::size_t& at, std::int64_t& offset) {
    if (take(text, at, 'Z') || take(text, at, 'z')) {
        offset = 0;
        return true;
    }
    if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return false;
    const int sign = text[at++] == '-' ? -1 : 1;
    unsigned hours = 0, minutes = 0;
    if (!take_number(text, at, 2, hours)) return false;
    if (at < text.size()) {
        take(text, at, ':');
        if (!take_number(text, at, 2, minutes)) return false;
    }
    if (hours > 23 || minutes > 59) return false;
    offset = sign * static_cast<std::int64_t>(hours * 3600 + minutes * 60);
    return true;
}

constexpr char DATE_TIME_FORM[] =
    "a record number (from 1) or a date-time such as 2024-03-31T14:05:00 (local time; Z or +01:00 may follow)";

}  // namespace

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

std::optional<std::vector<SensorPick>> parse_sensor_list(const std::string& text, std::string& error) {
    std::vector<SensorPick> picks;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const std::size_t dash = item.find('-');
        SensorPick pick;
        if (item.empty() || item == "=") {
            error = "an empty item in '" + text + "'";
            return std::nullopt;
        } else if (item[0] == '=') {
            pick.serial = item.substr(1);
        } else if (all_digits(item)) {
            pick.first = pick.last = decimal(item).value_or(0);
        } else if (dash != std::string::npos && all_digits(item.substr(0, dash)) && all_digits(item.substr(dash + 1))) {
            pick.first = decimal(item.substr(0, dash)).value_or(0);
            pick.last = decimal(item.substr(dash + 1)).value_or(0);
            if (pick.first > pick.last) {
                error = "the range '" + item + "' runs backwards; write " + std::to_string(pick.last) + "-" +
                        std::to_string(pick.first);
                return std::nullopt;
            }
        } else {
            pick.serial = item;
        }
        if (pick.serial.empty() && pick.first == 0) {
            error = "sensors are numbered from 1, as in '" + item + "'";
            return std::nullopt;
        }
        picks.push_back(pick);
        if (comma == std::string::npos) return picks;
        at = comma + 1;
    }
}

std::optional<RecordBound> parse_record_bound(const std::string& text, BoundEnd end, std::string& error) {
    if (all_digits(text)) {
        const std::optional<std::uint64_t> number = decimal(text);
        if (!number || *number == 0) {
            error = "'" + text + "' is no record number: records are numbered from 1";
            return std::nullopt;
        }
        return RecordBound{RecordBound::Kind::record, static_cast<std::int64_t>(*number)};
    }
    const auto refuse = [&](const std::string& why) {
        error = "'" + text + "' " + why + "; give " + DATE_TIME_FORM;
        return std::nullopt;
    };
    Civil c;
    std::size_t at = 0;
    unsigned year = 0;
    if (!take_number(text, at, 4, year) || !take(text, at, '-') || !take_number(text, at, 2, c.month) ||
        !take(text, at, '-') || !take_number(text, at, 2, c.day))
        return refuse("is no date-time");
    c.year = year;
    if (c.month < 1 || c.month > 12) return refuse("has no month " + std::to_string(c.month));
    if (c.day < 1 || c.day > days_in_month(c.year, c.month))
        return refuse("has no day " + std::to_string(c.day) + " in its month");
    std::optional<std::int64_t> offset;
    if (at < text.size()) {
        if (text[at] != 'T' && text[at] != 't' && text[at] != ' ') return refuse("is no date-time");
        ++at;
        if (!take_number(text, at, 2, c.hour) || !take(text, at, ':') || !take_number(text, at, 2, c.minute))
            return refuse("is no date-time");
        if (take(text, at, ':') && !take_number(text, at, 2, c.second)) return refuse("is no date-time");
        if (c.hour > 23 || c.minute > 59 || c.second > 59) return refuse("has no such time of day");
        std::int64_t east = 0;
        if (at < text.size()) {
            if (!take_offset(text, at, east) || at != text.size()) return refuse("is no date-time");
            offset = east;
        }
    }
    const std::int64_t naive = naive_seconds(c);
    const std::int64_t instant = offset ? naive - *offset : local_instant(naive, end);
    return RecordBound{RecordBound::Kind::time, instant};
}

std::optional<std::uint64_t> parse_count(const std::string& text) {
    const std::optional<std::uint64_t> value = decimal(text);
    if (!value || *value == 0) return std::nullopt;
    return value;
}
