#include "datafile/record_reader.h"

RecordReader::RecordReader(std::FILE* input, std::size_t record_size, std::size_t block_bytes,
                           const std::atomic<bool>* stop)
    : input_(input), stop_(stop), record_size_(record_size) {
    const std::size_t records_per_block = block_bytes / record_size > 0 ? block_bytes / record_size : 1;
    block_size_ = records_per_block * record_size;
    block_ = std::make_unique_for_overwrite<unsigned char[]>(block_size_);
}

RecordBlock RecordReader::next_block() {
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) exhausted_ = true;
    if (exhausted_) return {nullptr, 0, record_size_};
    // fread stops short only at the end or on an error; a pipe's short reads are gathered by it.
    const std::size_t got = std::fread(block_.get(), 1, block_size_, input_);
    bytes_read_ += got;
    if (got < block_size_) {
        exhausted_ = true;
        failed_ = std::ferror(input_) != 0;  // the whole records read before an error are still delivered
    }
    return {block_.get(), got / record_size_, record_size_};
}
