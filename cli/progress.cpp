#include "cli/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// One write, so the line is never seen half drawn.
void write_to_stderr(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t wrote = ::write(STDERR_FILENO, text.data() + at, text.size() - at);
        if (wrote <= 0) return;  // a progress line is not worth a failure
        at += static_cast<std::size_t>(wrote);
    }
}

std::string time_left_text(double fraction, double elapsed) {
    if (fraction <= 0 || elapsed <= 0) return "";
    const double left = elapsed * (1 - fraction) / fraction;
    return std::string(", ").append(duration_text(left)).append(" left");
}

// The data file's size when it is a regular file, else 0.
std::uint64_t regular_file_size(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace

void ProgressLine::show(const std::string& text) {
    std::string line = std::string("\r").append(text);
    if (text.size() < width) line.append(width - text.size(), ' ');
    width = text.size();
    write_to_stderr(line);
}

void ProgressLine::erase() {
    if (width == 0) return;
    write_to_stderr(std::string("\r").append(width, ' ').append("\r"));
    width = 0;
}

std::string duration_text(double seconds) {
    const auto whole = static_cast<long long>(seconds + 0.5);
    char text[48];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

std::string batch_progress_text(const BatchProgress& progress) {
    const double megabytes = static_cast<double>(progress.output_bytes) / 1e6;
    char text[128];
    std::snprintf(text, sizeof text, "%s: %zu/%zu files, %.0f MB written, %.0f MB/s", progress.program, progress.done,
                  progress.total, megabytes, progress.elapsed > 0 ? megabytes / progress.elapsed : 0.0);
    return std::string(text).append(time_left_text(progress.fraction, progress.elapsed));
}

std::string file_progress_text(double fraction, double elapsed) {
    char text[48];
    std::snprintf(text, sizeof text, "measconv: %d%%", static_cast<int>(fraction * 100));
    return std::string(text).append(time_left_text(fraction, elapsed));
}

ConvertResult convert_showing_progress(ConvertRequest request, bool show) {
    const std::uint64_t size = show ? regular_file_size(request.input) : 0;
    if (size <= LARGE_FILE_BYTES) return convert_file(request);

    ConvertProgress counters;
    request.progress = &counters;
    std::mutex mutex;
    std::condition_variable finished_signal;
    bool finished = false;
    const auto start = std::chrono::steady_clock::now();
    // The percentage is drawn by a thread of its own while this one converts.
    const auto draw = [&] {
        ProgressLine line;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            const double fraction =
                static_cast<double>(counters.record_bytes.load(std::memory_order_relaxed)) / static_cast<double>(size);
            line.show(file_progress_text(fraction, elapsed.count()));
            if (finished_signal.wait_for(lock, PROGRESS_INTERVAL, [&] { return finished; })) break;
        }
        line.erase();
    };
    std::thread drawer;
    try {
        drawer = std::thread(draw);
    } catch (const std::system_error&) {
        return convert_file(request);  // no thread to draw with: no progress
    }
    ConvertResult result = convert_file(request);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    finished_signal.notify_one();
    drawer.join();
    return result;
}
