#include "measinfo/step_tally.h"

namespace {

std::size_t slot_of(std::int64_t difference) {
    std::uint64_t x = static_cast<std::uint64_t>(difference) * 0x9e3779b97f4a7c15ull;
    return static_cast<std::size_t>(x >> 53);  // 11 bits: the table's 2048 slots
}
static_assert(2 * STEP_TABLE_CAPACITY == 2048);

void count_difference(StepTally& tally, std::int64_t difference, std::uint64_t count) {
    for (std::size_t slot = slot_of(difference);; slot = (slot + 1) % tally.table.size()) {
        StepEntry& entry = tally.table[slot];
        if (entry.order != 0 && entry.difference == difference) {
            entry.count += count;
            return;
        }
        if (entry.order == 0) {
            if (tally.distinct == STEP_TABLE_CAPACITY) {
                tally.untracked += count;
                return;
            }
            entry = {difference, count, ++tally.distinct};
            return;
        }
    }
}

// The entry with the highest count among those the filter accepts; the earliest on a tie.
template <typename Accept>
const StepEntry* most_common(const StepTally& tally, Accept accept) {
    const StepEntry* best = nullptr;
    for (const StepEntry& entry : tally.table) {
        if (entry.order == 0 || !accept(entry.difference)) continue;
        if (best == nullptr || entry.count > best->count || (entry.count == best->count && entry.order < best->order))
            best = &entry;
    }
    return best;
}

}  // namespace

void flush_run(StepTally& tally) {
    if (tally.run_length == 0) return;
    tally.steps += tally.run_length;
    if (tally.run_difference < 0) tally.backward += tally.run_length;
    if (tally.run_difference == 0) tally.zero += tally.run_length;
    count_difference(tally, tally.run_difference, tally.run_length);
    tally.run_length = 0;
}

StepSummary summarize_time_steps(const StepTally& tally) {
    const StepEntry* best = most_common(tally, [](std::int64_t difference) { return difference > 0; });
    StepSummary summary;
    summary.step = best != nullptr ? best->difference : 0;
    summary.backward = tally.backward;
    const std::uint64_t regular = (best != nullptr ? best->count : 0) + (summary.step <= 1 ? tally.zero : 0);
    summary.irregular = tally.steps - regular;
    return summary;
}

StepSummary summarize_counter_steps(const StepTally& tally) {
    const StepEntry* best = most_common(tally, [](std::int64_t) { return true; });
    StepSummary summary;
    summary.step = best != nullptr ? best->difference : 0;
    summary.backward = tally.backward;
    summary.irregular = tally.steps - (best != nullptr ? best->count : 0);
    return summary;
}
