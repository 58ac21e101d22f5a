// Counts of the differences between consecutive values of a record field (time offset or
// counter), kept exactly in constant memory: runs of equal differences are counted as one
// entry, and a fixed table holds the count of each distinct difference.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Distinct differences counted exactly. A file with more than this many distinct steps is
// irregular anyway; the excess is counted as untracked, and the most common step is then the
// most common among the ones tracked (its own count stays exact, as entries are never dropped).
inline constexpr std::size_t STEP_TABLE_CAPACITY = 1024;

struct StepEntry {
    std::int64_t difference = 0;
    std::uint64_t count = 0;
    std::uint32_t order = 0;  // 1-based order of first appearance; 0 marks an empty slot
};

struct StepTally {
    std::int64_t run_difference = 0;
    std::uint64_t run_length = 0;
    std::uint64_t steps = 0;  // all differences flushed from runs
    std::uint64_t backward = 0;
    std::uint64_t zero = 0;
    std::uint64_t untracked = 0;
    std::uint32_t distinct = 0;
    std::array<StepEntry, 2 * STEP_TABLE_CAPACITY> table{};  // open addressing, at most half full
};

// Moves the current run into the counts: once after the last difference, before summarizing.
void flush_run(StepTally& tally);

inline void add_difference(StepTally& tally, std::int64_t difference) {
    if (difference == tally.run_difference) {
        ++tally.run_length;
        return;
    }
    flush_run(tally);
    tally.run_difference = difference;
    tally.run_length = 1;
}

// The regular step of a series and how many steps differ from it.
struct StepSummary {
    std::int64_t step = 0;
    std::uint64_t irregular = 0;  // differences other than the regular ones, backward ones included
    std::uint64_t backward = 0;   // negative differences
};

// Time offsets count whole seconds, so a device sampling faster than once a second writes
// runs of equal offsets: the step is the most common positive difference, and where it is one
// second (or there is none), a zero difference is regular as well.
StepSummary summarize_time_steps(const StepTally& tally);

// Counters step exactly: the step is the most common difference, and every other one is irregular.
StepSummary summarize_counter_steps(const StepTally& tally);
