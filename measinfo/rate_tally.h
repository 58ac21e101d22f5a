// Records per second: how many records each second of the file holds, as a histogram of those
// counts, in constant memory. A second is a run of consecutive records with the same time
// offset; where time runs back to a second already seen, that second counts again.
#pragma once

#include <array>
#include <cstdint>
#include <map>

// Counts below this are kept in an array; the rarer, larger ones in a map, of which a file of
// n records can have only about sqrt(2n) different ones.
inline constexpr std::size_t RATE_ARRAY_SIZE = 4096;

struct RateTally {
    std::uint64_t in_second = 0;                                // records so far in the current second
    std::array<std::uint64_t, RATE_ARRAY_SIZE> seconds_with{};  // [n]: the seconds that held n records
    std::map<std::uint64_t, std::uint64_t> seconds_with_many;
};

// Ends the current second: when a record starts a new one, and once after the last record.
inline void end_second(RateTally& tally) {
    if (tally.in_second == 0) return;
    if (tally.in_second < RATE_ARRAY_SIZE)
        ++tally.seconds_with[tally.in_second];
    else
        ++tally.seconds_with_many[tally.in_second];
    tally.in_second = 0;
}

// A record in the same second as the record before it, or the first of a new second.
inline void count_record(RateTally& tally, bool same_second) {
    if (!same_second) end_second(tally);
    ++tally.in_second;
}

struct RateSummary {
    std::uint64_t seconds = 0;  // with records; none when the file has no records
    double median = 0;          // of the records per second; the mean of the middle two for an even count
    std::uint64_t min = 0;
    std::uint64_t max = 0;
};

RateSummary summarize_rate(const RateTally& tally);
