#include "convert/output_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

OutputFile::OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        release();
        stream_ = std::exchange(other.stream_, nullptr);
        sink_ = std::exchange(other.sink_, OutputSink{});
        open_ = std::exchange(other.open_, false);
        in_memory_ = std::exchange(other.in_memory_, false);
        flushed_ = std::exchange(other.flushed_, 0);
        path_ = std::move(other.path_);
        ends_ = other.ends_;
        buffer_ = std::move(other.buffer_);
        capacity_ = std::exchange(other.capacity_, 0);
        used_ = std::exchange(other.used_, 0);
        failed_ = std::exchange(other.failed_, false);
        regular_ = std::exchange(other.regular_, false);
        identity_ = std::exchange(other.identity_, FileIdentity{});
    }
    return *this;
}

OutputFile::~OutputFile() { release(); }

void OutputFile::release() {
    if (stream_ != nullptr || sink_.write != nullptr) flush_buffer();
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    sink_ = {};
    open_ = false;
    in_memory_ = false;
}

namespace {

// The descriptor of path opened for writing, locked and emptied, or -1 with nothing changed
// in the file: the checks come before the truncation, on the file that was opened.
int open_output(const std::string& path, const std::vector<FileIdentity>& never_be, FileIdentity& identity) {
    const int fd = open_output_descriptor(path);
    if (fd < 0) return -1;
    identity = descriptor_identity(fd);
    // Where the file system keeps no locks, the output is written as it always was.
    const bool usable =
        !may_be_one_of(identity, never_be) && identity.kind != FileIdentity::Kind::unknown &&
        (!identity.regular || (lock_output_descriptor(fd) != OutputLock::held_elsewhere && truncate_descriptor(fd)));
    if (usable) return fd;
    close_descriptor(fd);
    identity = {};
    return -1;
}

}  // namespace

void OutputFile::start(const std::string& path, LineEnds ends) {
    release();
    path_ = path;
    ends_ = ends;
    failed_ = false;
    used_ = 0;
    flushed_ = 0;
    regular_ = false;
}

void OutputFile::allocate_buffer(std::size_t size) {
    capacity_ = size < 64 ? 64 : size;
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
}

bool OutputFile::create(const std::string& path, LineEnds ends, std::size_t buffer_size,
                        const std::vector<FileIdentity>& never_be) {
    start(path, ends);
    const int fd = open_output(path, never_be, identity_);
    if (fd < 0) return false;
#ifdef _WIN32
    stream_ = _fdopen(fd, "wb");
#else
    stream_ = fdopen(fd, "wb");
#endif
    if (stream_ == nullptr) {
        close_descriptor(fd);  // the lock goes with it
        identity_ = {};
        return false;
    }
    regular_ = identity_.regular;
    open_ = true;
    // Our own buffer already gathers large blocks; a second one in stdio would only copy.
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    allocate_buffer(buffer_size);
    return true;
}

void OutputFile::open_in_memory(std::size_t initial_capacity) {
    start({}, LineEnds::keep);
    open_ = true;
    in_memory_ = true;
    allocate_buffer(initial_capacity);
}

void OutputFile::open_sink(const std::string& path, OutputSink sink, LineEnds ends, std::size_t buffer_size) {
    start(path, ends);
    open_ = true;
    sink_ = sink;
    allocate_buffer(buffer_size);
}

bool OutputFile::put(const char* data, std::size_t size) {
    if (sink_.write != nullptr) return sink_.write(sink_.context, data, size) == size;
    return std::fwrite(data, 1, size, stream_) == size;
}

// Room for size more bytes in memory: the capacity at least doubles, so growing is amortised.
void OutputFile::grow(std::size_t size) {
    const std::size_t wanted = used_ + size;
    if (wanted <= capacity_) return;
    const std::size_t capacity = wanted > 2 * capacity_ ? wanted : 2 * capacity_;
    std::unique_ptr<char[]> bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (used_ > 0) std::memcpy(bigger.get(), buffer_.get(), used_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
}

void OutputFile::flush_buffer() {
    if (used_ == 0 || in_memory_) return;
    if (!failed_ && !put(buffer_.get(), used_)) failed_ = true;
    flushed_ += used_;
    used_ = 0;
}

void OutputFile::write_raw(const char* data, std::size_t size) {
    if (!open_) return;
    if (in_memory_) {
        grow(size);
    } else if (size > capacity_ - used_) {
        flush_buffer();
        if (size >= capacity_) {
            if (!failed_ && !put(data, size)) failed_ = true;
            flushed_ += size;
            return;
        }
    }
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
}

char* OutputFile::make_room(std::size_t size) {
    if (in_memory_) {
        grow(size);
        return buffer_.get() + used_;
    }
    flush_buffer();
    if (size > capacity_) {  // a line longer than the whole buffer: let the buffer grow
        capacity_ = size;
        buffer_ = std::make_unique<char[]>(capacity_);
    }
    return buffer_.get();
}

void OutputFile::write(std::string_view bytes) {
    if (ends_ == LineEnds::keep) {
        write_raw(bytes.data(), bytes.size());
        return;
    }
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        if (lf == std::string_view::npos) {
            write_raw(bytes.data(), bytes.size());
            return;
        }
        write_raw(bytes.data(), lf);
        write_raw("\r\n", 2);
        bytes.remove_prefix(lf + 1);
    }
}

bool OutputFile::close() {
    open_ = false;
    in_memory_ = false;
    if (stream_ == nullptr && sink_.write == nullptr) return !failed_;
    flush_buffer();
    if (stream_ != nullptr && std::fclose(stream_) != 0) failed_ = true;
    stream_ = nullptr;
    sink_ = {};
    return !failed_;
}

bool OutputFile::discard() {
    open_ = false;
    in_memory_ = false;
    used_ = 0;
    bool removed = true;
#ifndef _WIN32
    // Removed while still locked, so no other run can have taken the file in between.
    if (regular_) removed = std::remove(path_.c_str()) == 0;
#endif
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    sink_ = {};
#ifdef _WIN32
    if (regular_) removed = std::remove(path_.c_str()) == 0;  // an open file cannot be removed there
#endif
    regular_ = false;
    identity_ = {};
    return removed;
}

bool is_same_file(const std::string& a, const std::string& b) {
    std::error_code error;
    const bool same = std::filesystem::equivalent(a, b, error);
    return !error && same;
}
