// How a conversion ended, and what it has to tell the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class ConvertStatus : int {
    ok = 0,
    input_open_failed = -1,
    physic_text_open_failed = -2,
    wavelength_text_open_failed = -3,
    physic_csv_open_failed = -4,
    wavelength_csv_open_failed = -5,
    bad_magic = -6,
    bad_version = -7,
    bad_sensor_count = -8,
    write_failed = -9,
    read_failed = -10,
    sensor_file_open_failed = -11,  // the conversion goes on with the other files
    interrupted = -12,              // subject: the input; its unfinished outputs are removed
    hdf5_open_failed = -13,
    sensor_not_found = -14,  // subject: the sensor pick of a selection that names no sensor of the file
    out_of_memory = -15,     // subject: the input; its unfinished outputs are removed, as on an interrupt
};

// One thing that went wrong. The subject is what the message names: a path for the open and
// write failures, the header's leading text for a bad magic, the count for a bad sensor count.
struct Problem {
    ConvertStatus status = ConvertStatus::ok;
    std::string subject;
};

// A file a conversion wrote, and its size when the conversion ended (none when it cannot be
// told). Measured then, as a later conversion in the same run may write the same file again.
struct WrittenOutput {
    std::string path;
    std::optional<std::uint64_t> bytes;
};

struct ConvertResult {
    ConvertStatus status = ConvertStatus::ok;  // the first problem's, or ok
    std::vector<Problem> problems;             // in the order they arose
    // What was converted, for a caller that reports it.
    bool header_complete = false;        // the whole header was read (a shorter file is no data file)
    std::size_t sensors = 0;             // sensors written (those selected)
    std::uint64_t records = 0;           // records given to the outputs (those selected)
    std::vector<WrittenOutput> outputs;  // the files written, in the order of the messages, the HDF5 file last
    // Unfinished outputs that were to be removed (an interrupted conversion) but could not be,
    // in the order of the messages, the HDF5 file's temporary name last.
    std::vector<std::string> not_removed;
};

// The line (newline included) that tells the user of a problem.
std::string problem_message(const Problem& problem);

enum class HeaderCheck;

// The problem a failed header test reports (check must not be HeaderCheck::ok).
Problem header_check_problem(HeaderCheck check, const unsigned char* header_bytes);
