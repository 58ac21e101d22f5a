#include "convert/record_reader.h"

RecordReader::RecordReader(std::FILE* input, std::size_t record_size, std::size_t block_bytes)
    : input_(input), record_size_(record_size) {
    const std::size_t records_per_block = block_bytes / record_size > 0 ? block_bytes / record_size : 1;
    block_size_ = records_per_block * record_size;
    block_ = std::make_unique_for_overwrite<unsigned char[]>(block_size_);
}

bool RecordReader::refill() {
    if (exhausted_) return false;
    const std::size_t got = std::fread(block_.get(), 1, block_size_, input_);
    bytes_read_ += got;
    if (got < block_size_) exhausted_ = true;  // fread stops short only at the end or on an error
    const std::size_t whole = got / record_size_ * record_size_;
    position_ = block_.get();
    end_ = block_.get() + whole;
    return whole > 0;
}
