// Reads whole records from the input's current position, a large block at a time.
// A trailing partial record is never delivered.
#pragma once

#include <cstddef>
#include <cstdint>
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

    // Bytes read from the input so far, a trailing partial record included once it is reached.
    std::uint64_t bytes_read() const { return bytes_read_; }

private:
    bool refill();

    std::FILE* input_;
    std::size_t record_size_;
    std::size_t block_size_;
    std::unique_ptr<unsigned char[]> block_;
    const unsigned char* position_ = nullptr;
    const unsigned char* end_ = nullptr;
    bool exhausted_ = false;
    std::uint64_t bytes_read_ = 0;
};
