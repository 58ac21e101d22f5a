// Counters a conversion keeps up to date while it runs, so that a progress display on another
// thread can show how far it got. They are only shown, never relied on: relaxed atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "datafile/record_reader.h"

struct ConvertProgress {
    std::atomic<std::uint64_t> record_bytes{0};  // of the data file's records, converted so far
    std::atomic<std::uint64_t> output_bytes{0};  // given to the output files so far
};

// Counts a block of records as converted, the outputs having been given output_bytes in all;
// progress may be null (nobody is watching).
inline void note_progress(ConvertProgress* progress, RecordBlock block, std::uint64_t output_bytes) {
    if (progress == nullptr) return;
    progress->record_bytes.fetch_add(block.count * block.record_size, std::memory_order_relaxed);
    progress->output_bytes.store(output_bytes, std::memory_order_relaxed);
}
