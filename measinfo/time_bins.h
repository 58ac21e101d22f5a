// What the plot needs from the one pass over the records, in constant memory: per sensor and
// time bin the envelope (least and greatest value) of the plottable readings and the count of
// invalid ones; per time bin the largest forward and backward time step ending in it. A fixed
// number of bins covers a time range that doubles whenever a record falls outside it, so any
// file, whatever its length or its time jumps, ends in at most TIME_BIN_COUNT bins per sensor.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "datafile/data_file.h"

inline constexpr std::size_t TIME_BIN_COUNT = 1024;

// What the plot shows: the records of a time window, some of the sensors, and of their
// readings the physical value or the wavelength.
struct PlotSelection {
    std::optional<std::int64_t> from;  // record times, seconds since 1970, both inclusive
    std::optional<std::int64_t> to;
    std::vector<std::size_t> sensors;  // ascending, counted from 1 as the report counts them; empty: all
    bool wavelengths = false;          // the wavelength instead of the physical value
};

struct ValueBin {
    float min = std::numeric_limits<float>::infinity();
    float max = -std::numeric_limits<float>::infinity();
    std::uint64_t plotted = 0;  // valid readings with a finite value (every valid one, for wavelengths)
    std::uint64_t invalid = 0;  // readings with an invalid wavelength
};

struct StepMarks {
    std::int64_t gap = 0;        // largest forward step of the time offset ending in this bin
    std::int64_t gap_end = 0;    // record time at its end
    std::int64_t back = 0;       // largest backward step (its size) ending in this bin
    std::int64_t back_from = 0;  // record time before it
};

struct TimeBins {
    std::size_t sensor_count = 0;       // of the plot: the row size
    std::vector<std::size_t> sensors;   // the record's sensor (from 0) of each place in a row
    bool wavelengths = false;
    std::int64_t from = std::numeric_limits<std::int64_t>::min();  // the records binned, by time
    std::int64_t to = std::numeric_limits<std::int64_t>::max();
    std::uint64_t records = 0;          // binned
    bool started = false;
    std::int64_t origin = 0;  // record time where bin 0 starts
    std::int64_t width = 1;   // seconds per bin
    std::int64_t min_time = 0;
    std::int64_t max_time = 0;
    // Bin b of sensor s at b * sensor_count + s: a record's readings all go to one row, which
    // stays in the cache from record to record.
    std::vector<ValueBin> values;
    std::vector<StepMarks> marks;
};

// Bins for every sensor and every record.
TimeBins make_time_bins(std::size_t sensor_count);

// Bins for what the selection shows of a file of sensor_count sensors (sensors it names that
// the file does not have are left out).
TimeBins make_plot_bins(const PlotSelection& selection, std::size_t sensor_count);

// Widens the range (doubling the bin width) until it holds time.
void grow_time_bins(TimeBins& bins, std::int64_t time);

// The bin of a record time, the range grown to hold it if need be.
inline std::size_t bin_index(TimeBins& bins, std::int64_t time) {
    if (!bins.started) {
        bins.started = true;
        bins.origin = bins.min_time = bins.max_time = time;
    }
    if (time < bins.origin || time - bins.origin >= bins.width * static_cast<std::int64_t>(TIME_BIN_COUNT))
        grow_time_bins(bins, time);
    if (time < bins.min_time) bins.min_time = time;
    if (time > bins.max_time) bins.max_time = time;
    return static_cast<std::size_t>((time - bins.origin) / bins.width);
}

// The row of a bin: one ValueBin per sensor.
inline ValueBin* bin_row(TimeBins& bins, std::size_t index) { return bins.values.data() + index * bins.sensor_count; }

inline void add_to_bin(ValueBin& bin, SensorReading reading, bool wavelengths = false) {
    if (!is_valid_wavelength(reading.wavelength)) {
        ++bin.invalid;
        return;
    }
    // Valid wavelengths (below 2^24) are exact as floats.
    const float value = wavelengths ? static_cast<float>(reading.wavelength) : reading.physic_value;
    if (std::isfinite(value)) {
        ++bin.plotted;
        bin.min = value < bin.min ? value : bin.min;
        bin.max = value > bin.max ? value : bin.max;
    }
}

// A step of the time offset by difference, ending at record time `time` in bin `index`.
inline void mark_time_step(TimeBins& bins, std::size_t index, std::int64_t time, std::int64_t difference) {
    StepMarks& marks = bins.marks[index];
    if (difference > marks.gap) {
        marks.gap = difference;
        marks.gap_end = time;
    } else if (-difference > marks.back) {
        marks.back = -difference;
        marks.back_from = time - difference;
    }
}

// Joins two bins' contents: when the range grows, and when the plot gathers bins into pixel columns.
void merge_value_bin(ValueBin& into, const ValueBin& from);
void merge_step_marks(StepMarks& into, const StepMarks& from);
