// Progress on standard error: one line, rewritten in place a few times a second and erased at
// the end. Standard output, where the messages go, is never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "convert/convert.h"

// Rewritten at most this often.
inline constexpr std::chrono::milliseconds PROGRESS_INTERVAL{250};
// A single data file shows its percentage only beyond this size: smaller ones are done at once.
inline constexpr std::uint64_t LARGE_FILE_BYTES = 256u << 20;

// The line as it stands on the terminal.
struct ProgressLine {
    std::size_t width = 0;  // characters shown now

    // Replaces the line with text (blanking what the old one had beyond it).
    void show(const std::string& text);
    // Blanks the line and leaves the cursor at its start, as if nothing had been shown.
    void erase();
};

// "1:05:03" or "4:07": a number of seconds as a time of day shows it.
std::string duration_text(double seconds);

struct BatchProgress {
    const char* program = "measconv";  // the line's first word
    std::size_t done = 0;
    std::size_t total = 0;
    std::uint64_t output_bytes = 0;
    double fraction = 0;  // of the whole work, from 0 to 1
    double elapsed = 0;   // seconds
};

// "measconv: 37/200 files, 412 MB written, 230 MB/s, 0:12 left"
std::string batch_progress_text(const BatchProgress& progress);

// "measconv: 42%, 0:08 left"
std::string file_progress_text(double fraction, double elapsed);

// Converts one data file; with show (and a regular file beyond LARGE_FILE_BYTES) its
// percentage stands on standard error meanwhile, and is erased before the result returns.
ConvertResult convert_showing_progress(ConvertRequest request, bool show);
