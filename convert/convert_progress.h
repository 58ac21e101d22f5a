// Counters a conversion keeps up to date while it runs, so that a progress display on another
// thread can show how far it got. They are only shown, never relied on: relaxed atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "convert/combined_output.h"
#include "convert/split_output.h"
#include "datafile/record_reader.h"

struct ConvertProgress {
    std::atomic<std::uint64_t> record_bytes{0};  // of the data file's records, converted so far
    std::atomic<std::uint64_t> output_bytes{0};  // given to the output files so far
};

// Counts a block of records as converted; progress may be null (nobody is watching).
inline void note_progress(ConvertProgress* progress, RecordBlock block, const CombinedFiles& combined,
                          const SplitFiles& split) {
    if (progress == nullptr) return;
    std::uint64_t output = 0;
    for (const OutputFile& file : combined.files) output += file.size();
    for (const OutputFile& file : split.text) output += file.size();
    for (const OutputFile& file : split.csv) output += file.size();
    progress->record_bytes.fetch_add(block.count * block.record_size, std::memory_order_relaxed);
    progress->output_bytes.store(output, std::memory_order_relaxed);
}
