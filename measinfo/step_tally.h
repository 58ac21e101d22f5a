// Counts of the differences between consecutive values of a record field (time offset or
// counter), kept exactly in constant memory: runs of equal differences are counted as one
// entry, and a fixed table holds the count of each distinct difference. Beside the counts it
// keeps the first LISTED_STEPS steps of each distinct difference in the table, so that once
// the regular step is known the first irregular steps of the whole file can be listed exactly:
// each of them is among the first steps of its own difference, and a difference the table
// cannot hold comes after more than a thousand irregular steps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Distinct differences counted exactly. A file with more than this many distinct steps is
// irregular anyway; the excess is counted as untracked, and the most common step is then the
// most common among the ones tracked (its own count stays exact, as entries are never dropped).
// A difference of zero is always tracked: it is regular in files of more than a record a second.
inline constexpr std::size_t STEP_TABLE_CAPACITY = 1024;

// Irregular steps listed per series; the rest are only counted.
inline constexpr std::size_t LISTED_STEPS = 20;
static_assert(LISTED_STEPS < STEP_TABLE_CAPACITY);

// A step into record `record` (counted from 0) from the one before it.
struct StepEvent {
    std::uint64_t record = 0;
    std::int32_t time_offset = 0;  // of record `record`: where in time the step is
    std::int64_t difference = 0;
};

struct StepEntry {
    std::int64_t difference = 0;
    std::uint64_t count = 0;
    std::uint32_t order = 0;  // 1-based order of first appearance; 0 marks an empty slot
};

inline constexpr std::size_t UNTRACKED = SIZE_MAX;

struct StepTally {
    std::int64_t run_difference = 0;
    std::uint64_t run_length = 0;
    std::size_t run_slot = UNTRACKED;  // the table slot of the run's difference
    bool run_listed = false;           // the run's difference already has its LISTED_STEPS steps
    std::uint64_t steps = 0;           // all differences flushed from runs
    std::uint64_t backward = 0;
    std::uint64_t zero = 0;
    std::uint64_t untracked = 0;
    std::uint32_t distinct = 0;
    std::array<StepEntry, 2 * STEP_TABLE_CAPACITY> table{};  // open addressing, at most about half full
    std::vector<std::vector<StepEvent>> first_steps;         // per entry (order - 1): its first steps
};

// A step that starts a run, or one whose difference still has steps to keep.
void add_difference_slowly(StepTally& tally, std::int64_t difference, std::uint64_t record, std::int32_t time_offset);

inline void add_difference(StepTally& tally, std::int64_t difference, std::uint64_t record, std::int32_t time_offset) {
    if (difference == tally.run_difference && tally.run_listed) {
        ++tally.run_length;
        return;
    }
    add_difference_slowly(tally, difference, record, time_offset);
}

// Moves the current run into the counts: once after the last difference, before summarizing.
void flush_run(StepTally& tally);

// The regular step of a series, how many steps differ from it, and the first of those.
struct StepSummary {
    std::int64_t step = 0;
    std::uint64_t irregular = 0;    // differences other than the regular ones, backward ones included
    std::uint64_t backward = 0;     // negative differences
    std::vector<StepEvent> listed;  // the first LISTED_STEPS irregular steps, in file order
};

// Time offsets count whole seconds, so a device sampling faster than once a second writes
// runs of equal offsets: the step is the most common positive difference, and where it is one
// second (or there is none), a zero difference is regular as well.
StepSummary summarize_time_steps(const StepTally& tally);

// Counters step exactly: the step is the most common difference, and every other one is irregular.
StepSummary summarize_counter_steps(const StepTally& tally);

// What an irregular step is: back (a negative difference), a gap (positive and longer than
// the regular step) or short (zero, or shorter than the regular step).
enum class StepKind { backward, gap, short_step };
StepKind step_kind(std::int64_t difference, std::int64_t regular_step);
const char* step_kind_name(StepKind kind);  // "backward", "gap", "short"
