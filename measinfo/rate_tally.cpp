#include "measinfo/rate_tally.h"

#include <vector>

RateSummary summarize_rate(const RateTally& tally) {
    // (records per second, seconds with that many) in ascending order of the first.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> histogram;
    for (std::size_t n = 1; n < RATE_ARRAY_SIZE; ++n)
        if (tally.seconds_with[n] != 0) histogram.emplace_back(n, tally.seconds_with[n]);
    histogram.insert(histogram.end(), tally.seconds_with_many.begin(), tally.seconds_with_many.end());

    RateSummary summary;
    for (const auto& [records, seconds] : histogram) summary.seconds += seconds;
    if (summary.seconds == 0) return summary;
    summary.min = histogram.front().first;
    summary.max = histogram.back().first;
    // The counts of the seconds sorted, at the 0-based positions (seconds - 1) / 2 and seconds / 2.
    const auto count_at = [&](std::uint64_t position) {
        std::uint64_t before = 0;
        for (const auto& [records, seconds] : histogram) {
            before += seconds;
            if (position < before) return records;
        }
        return histogram.back().first;
    };
    const double lower_middle = static_cast<double>(count_at((summary.seconds - 1) / 2));
    summary.median = (lower_middle + static_cast<double>(count_at(summary.seconds / 2))) / 2;
    return summary;
}
