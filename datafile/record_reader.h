// Reads whole records from the input's current position, a large block at a time.
// A trailing partial record is never delivered; a read error is told apart from the end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "datafile/data_file.h"

// Whole records as they lie in the file, one after the other.
struct RecordBlock {
    const unsigned char* bytes = nullptr;
    std::size_t count = 0;
    std::size_t record_size = 0;

    DataRecord operator[](std::size_t i) const { return DataRecord{bytes + i * record_size}; }
};

class RecordReader {
public:
    // stop, when given, is looked at right before each read: a stop requested while a block was
    // being converted then ends the reading without waiting for more input (a pipe may never
    // send any); one requested during a read interrupts it.
    RecordReader(std::FILE* input, std::size_t record_size, std::size_t block_bytes = 1 << 20,
                 const std::atomic<bool>* stop = nullptr);

    // The next block of whole records; empty at the end of the file, after a read error or
    // on a stop. The block stays valid until the next call.
    RecordBlock next_block();

    // True when reading stopped because the input could not be read, not at its end.
    bool failed() const { return failed_; }
    // True once a block came back short: no further call delivers a record.
    bool at_end() const { return exhausted_; }

    // Bytes read from the input so far, a trailing partial record included once it is reached.
    std::uint64_t bytes_read() const { return bytes_read_; }

private:
    std::FILE* input_;
    const std::atomic<bool>* stop_;
    std::size_t record_size_;
    std::size_t block_size_;
    std::unique_ptr<unsigned char[]> block_;
    bool exhausted_ = false;
    bool failed_ = false;
    std::uint64_t bytes_read_ = 0;
};
