// Reads whole records from the input's current position, a large block at a time.
// A trailing partial record is never delivered.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

class RecordReader {
public:
    RecordReader(std::FILE* input, std::size_t record_size, std::size_t block_bytes = 1 << 20);

    // The next whole record, or nullptr when none is left.
    const unsigned char* next() {
        if (position_ == end_ && !refill()) return nullptr;
        const unsigned char* record = position_;
        position_ += record_size_;
        return record;
    }

    // The next whole records, as many as the current block holds (reading the next block when
    // it is used up): their count, and their bytes in records; 0 when none is left.
    std::size_t next_block(const unsigned char*& records) {
        if (position_ == end_ && !refill()) return 0;
        records = position_;
        const std::size_t count = static_cast<std::size_t>(end_ - position_) / record_size_;
        position_ = end_;
        return count;
    }

private:
    bool refill();

    std::FILE* input_;
    std::size_t record_size_;
    std::size_t block_size_;
    std::unique_ptr<unsigned char[]> block_;
    const unsigned char* position_ = nullptr;
    const unsigned char* end_ = nullptr;
    bool exhausted_ = false;
};
