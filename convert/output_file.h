// A created output file with its own write buffer. Write, flush and close failures are
// remembered, so a full disk is noticed and reported instead of leaving a short file.
// Closed on destruction; close() reports whether everything reached the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/native_files.h"

enum class LineEnds { keep, crlf };

// Where an output's bytes go when a test stands in for the file: write takes size bytes and
// returns how many it took (fewer: the write failed, as on a full disk).
struct OutputSink {
    std::size_t (*write)(void* context, const char* data, std::size_t size) = nullptr;
    void* context = nullptr;
};

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    ~OutputFile();

    // Creates or truncates path. With LineEnds::crlf every LF written is stored as CR LF. The
    // file is opened first and judged by its descriptor: one that may be one of never_be (the
    // input, the list), or a regular file that another holder has locked, is closed untouched
    // and false returned; so is one whose identity cannot be told. A regular file is locked
    // (lock_output_descriptor; where the file system has no locks, it goes unlocked) until it
    // is closed, and only then truncated.
    bool create(const std::string& path, LineEnds ends, std::size_t buffer_size,
                const std::vector<FileIdentity>& never_be = {});
    // An output held in memory instead of a file: the buffer grows rather than being flushed,
    // and its bytes are taken with contents() and dropped with clear(). The parallel
    // conversion has the record loops format pieces of a file into such outputs.
    void open_in_memory(std::size_t initial_capacity);
    // An output whose writes go to sink instead of a file, named path in messages: for the
    // tests of the write schedule, which make a write fail at any byte they choose.
    void open_sink(const std::string& path, OutputSink sink, LineEnds ends, std::size_t buffer_size);
    bool is_open() const { return open_; }
    bool failed() const { return failed_; }
    const std::string& path() const { return path_; }
    // The file it writes (Kind::unknown while none is open).
    const FileIdentity& identity() const { return identity_; }
    // Bytes given to the output so far, flushed or still in the buffer.
    std::uint64_t size() const { return flushed_ + used_; }
    // Free bytes at the end of the buffer (what reserve() may hand out without flushing).
    std::size_t room() const { return capacity_ - used_; }
    // The buffer's size: the most one flush writes of lines given through reserve().
    std::size_t buffer_size() const { return capacity_; }

    // The bytes of an output held in memory, and their removal (the buffer is kept).
    std::string_view contents() const { return {buffer_.get(), used_}; }
    void clear() { used_ = 0; }

    void write(std::string_view bytes);
    // Bytes whose line ends are already in their stored form.
    void write_raw(const char* data, std::size_t size);

    // Room for `size` bytes at the end of the buffer, flushing it first when needed. The caller
    // writes its bytes (line ends in stored form) there and passes their end to commit(); so
    // the record loops format straight into the buffer instead of into a line that is copied.
    // Must not be called on a file that is not open.
    char* reserve(std::size_t size) { return size <= capacity_ - used_ ? buffer_.get() + used_ : make_room(size); }
    void commit(const char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }

    // Flushes and closes; false when anything written did not reach the file.
    bool close();

    // Closes without flushing (if still open) and removes the file if it was created or truncated
    // as a regular file (a FIFO or a device is left alone): for an interrupted conversion.
    // False when such a file could not be removed.
    bool discard();

private:
    // Forgets any file held before and takes the new one's name and line ends.
    void start(const std::string& path, LineEnds ends);
    void allocate_buffer(std::size_t size);
    void flush_buffer();
    bool put(const char* data, std::size_t size);
    char* make_room(std::size_t size);
    void grow(std::size_t size);
    void release();

    std::FILE* stream_ = nullptr;
    OutputSink sink_;
    bool open_ = false;
    bool in_memory_ = false;
    std::uint64_t flushed_ = 0;
    std::string path_;
    LineEnds ends_ = LineEnds::keep;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    bool failed_ = false;
    bool regular_ = false;  // created or truncated as a regular file
    FileIdentity identity_;
};

// The first file of a range whose write failed, or nullptr.
template <typename Files>
const OutputFile* first_failed(const Files& files) {
    for (const OutputFile& file : files)
        if (file.failed()) return &file;
    return nullptr;
}

// True when both paths name one existing file (through links or other spellings too).
bool is_same_file(const std::string& a, const std::string& b);
