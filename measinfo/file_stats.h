// What one pass over a data file finds: its header, the number of whole records and of
// trailing bytes, per sensor the valid and invalid readings with the range and mean of their
// wavelengths and values, and the steps of the time offset and the counter.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "datafile/data_file.h"
#include "measinfo/rate_tally.h"
#include "measinfo/step_tally.h"
#include "measinfo/time_bins.h"

enum class FileStatus { ok, too_short, bad_magic, bad_version, bad_sensor_count, unreadable };

// The status as scripts see it: "ok", "too_short", "bad_magic", ...
const char* status_name(FileStatus status);

struct SensorStats {
    std::uint64_t valid = 0;       // readings with a valid wavelength
    std::uint64_t non_finite = 0;  // valid readings whose value is NaN or infinite
    std::int64_t wavelength_sum = 0;
    double value_sum = 0;  // of the finite values of valid readings
    std::int32_t wavelength_min = std::numeric_limits<std::int32_t>::max();
    std::int32_t wavelength_max = std::numeric_limits<std::int32_t>::min();
    float value_min = std::numeric_limits<float>::infinity();
    float value_max = -std::numeric_limits<float>::infinity();
};

inline std::uint64_t finite_values(const SensorStats& stats) { return stats.valid - stats.non_finite; }

// First and last value (in file order) of a record field, and its steps.
struct SeriesInfo {
    std::int32_t first = 0;
    std::int32_t last = 0;
    StepSummary steps;
};

struct FileInfo {
    std::string path;
    FileStatus status = FileStatus::unreadable;
    std::string failure;                   // why the file is unreadable (for standard error)
    std::string converter_message;         // what the converter prints for this file; empty when nothing
    std::optional<std::uint64_t> size;     // bytes read; absent when unreadable
    std::optional<DataFileHeader> header;  // when the whole header was read
    bool records_read = false;             // false when the sensor count leaves the layout unknown
    std::uint64_t records = 0;
    std::uint64_t trailing_bytes = 0;  // a partial record after the last whole one
    std::vector<SensorStats> sensors;  // one per sensor of the header
    SeriesInfo time_offset;            // meaningful when records > 0
    SeriesInfo counter;
    RateSummary rate;                  // records per second
};

// Reads the file once. When plot is given, it is filled with the time bins of what the
// selection shows of the file as well.
FileInfo inspect_file(const std::string& path, TimeBins* plot, const PlotSelection& selection = {});

// Clean: status ok, no trailing bytes, no backward or irregular time steps, no irregular
// counter steps. One reason per finding, in that order; none for a clean file.
std::vector<std::string> check_findings(const FileInfo& info);
