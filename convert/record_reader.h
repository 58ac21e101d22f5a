// Reads whole records from the input's current position, a large block at a time.
// A trailing partial record is never delivered; a read error is told apart from the end.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "convert/data_file.h"

// Whole records as they lie in the file, one after the other.
struct RecordBlock {
    const unsigned char* bytes = nullptr;
    std::size_t count = 0;
    std::size_t record_size = 0;

    DataRecord operator[](std::size_t i) const { return DataRecord{bytes + i * record_size}; }
};

class RecordReader {
public:
    RecordReader(std::FILE* input, std::size_t record_size, std::size_t block_bytes = 1 << 20);

    // The next block of whole records; empty at the end of the file or after a read error. The
    // block stays valid until the next call.
    RecordBlock next_block();

    // True when reading stopped because the input could not be read, not at its end.
    bool failed() const { return failed_; }
    // True once a block came back short: no further call delivers a record.
    bool at_end() const { return exhausted_; }

private:
    std::FILE* input_;
    std::size_t record_size_;
    std::size_t block_size_;
    std::unique_ptr<unsigned char[]> block_;
    bool exhausted_ = false;
    bool failed_ = false;
};
