#include "measinfo/step_tally.h"

#include <algorithm>

namespace {

std::size_t slot_of(std::int64_t difference) {
    std::uint64_t x = static_cast<std::uint64_t>(difference) * 0x9e3779b97f4a7c15ull;
    return static_cast<std::size_t>(x >> 53);  // 11 bits: the table's 2048 slots
}
static_assert(2 * STEP_TABLE_CAPACITY == 2048);

// The slot of the difference's entry, made (with a count of 0) at its first appearance;
// UNTRACKED once the table holds its capacity.
std::size_t entry_slot(StepTally& tally, std::int64_t difference) {
    for (std::size_t slot = slot_of(difference);; slot = (slot + 1) % tally.table.size()) {
        StepEntry& entry = tally.table[slot];
        if (entry.order != 0 && entry.difference == difference) return slot;
        if (entry.order == 0) {
            if (tally.distinct >= STEP_TABLE_CAPACITY && difference != 0) return UNTRACKED;
            entry = {difference, 0, ++tally.distinct};
            tally.first_steps.emplace_back();
            return slot;
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

// The first LISTED_STEPS steps of the differences that are not regular.
template <typename Regular>
std::vector<StepEvent> first_irregular_steps(const StepTally& tally, Regular regular) {
    std::vector<StepEvent> steps;
    for (const StepEntry& entry : tally.table)
        if (entry.order != 0 && !regular(entry.difference)) {
            const std::vector<StepEvent>& first = tally.first_steps[entry.order - 1];
            steps.insert(steps.end(), first.begin(), first.end());
        }
    std::sort(steps.begin(), steps.end(), [](const StepEvent& a, const StepEvent& b) { return a.record < b.record; });
    if (steps.size() > LISTED_STEPS) steps.resize(LISTED_STEPS);
    return steps;
}

}  // namespace

void add_difference_slowly(StepTally& tally, std::int64_t difference, std::uint64_t record, std::int32_t time_offset) {
    if (difference != tally.run_difference || tally.run_length == 0) {
        flush_run(tally);
        tally.run_difference = difference;
        tally.run_slot = entry_slot(tally, difference);
    }
    ++tally.run_length;
    if (tally.run_slot == UNTRACKED) {
        tally.run_listed = true;  // never among the first irregular steps
        return;
    }
    std::vector<StepEvent>& first = tally.first_steps[tally.table[tally.run_slot].order - 1];
    if (first.size() < LISTED_STEPS) first.push_back({record, time_offset, difference});
    tally.run_listed = first.size() >= LISTED_STEPS;
}

void flush_run(StepTally& tally) {
    if (tally.run_length == 0) return;
    tally.steps += tally.run_length;
    if (tally.run_difference < 0) tally.backward += tally.run_length;
    if (tally.run_difference == 0) tally.zero += tally.run_length;
    if (tally.run_slot == UNTRACKED)
        tally.untracked += tally.run_length;
    else
        tally.table[tally.run_slot].count += tally.run_length;
    tally.run_length = 0;
    tally.run_listed = false;
}

StepSummary summarize_time_steps(const StepTally& tally) {
    const StepEntry* best = most_common(tally, [](std::int64_t difference) { return difference > 0; });
    StepSummary summary;
    summary.step = best != nullptr ? best->difference : 0;
    summary.backward = tally.backward;
    const bool zero_regular = summary.step <= 1;
    const std::uint64_t regular = (best != nullptr ? best->count : 0) + (zero_regular ? tally.zero : 0);
    summary.irregular = tally.steps - regular;
    summary.listed = first_irregular_steps(tally, [&](std::int64_t difference) {
        return (best != nullptr && difference == summary.step) || (zero_regular && difference == 0);
    });
    return summary;
}

StepSummary summarize_counter_steps(const StepTally& tally) {
    const StepEntry* best = most_common(tally, [](std::int64_t) { return true; });
    StepSummary summary;
    summary.step = best != nullptr ? best->difference : 0;
    summary.backward = tally.backward;
    summary.irregular = tally.steps - (best != nullptr ? best->count : 0);
    summary.listed = first_irregular_steps(
        tally, [&](std::int64_t difference) { return best != nullptr && difference == summary.step; });
    return summary;
}

StepKind step_kind(std::int64_t difference, std::int64_t regular_step) {
    if (difference < 0) return StepKind::backward;
    if (difference > 0 && difference > regular_step) return StepKind::gap;
    return StepKind::short_step;
}

const char* step_kind_name(StepKind kind) {
    switch (kind) {
    case StepKind::backward: return "backward";
    case StepKind::gap: return "gap";
    case StepKind::short_step: return "short";
    }
    return "short";
}
