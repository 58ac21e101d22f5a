#include "measinfo/time_bins.h"

TimeBins make_time_bins(std::size_t sensor_count) {
    TimeBins bins;
    bins.sensor_count = sensor_count;
    for (std::size_t s = 0; s < sensor_count; ++s) bins.sensors.push_back(s);
    bins.values.resize(sensor_count * TIME_BIN_COUNT);
    bins.marks.resize(TIME_BIN_COUNT);
    return bins;
}

TimeBins make_plot_bins(const PlotSelection& selection, std::size_t sensor_count) {
    TimeBins bins = make_time_bins(0);
    bins.sensors.clear();
    if (selection.sensors.empty())
        for (std::size_t s = 0; s < sensor_count; ++s) bins.sensors.push_back(s);
    for (const std::size_t sensor : selection.sensors)
        if (sensor >= 1 && sensor <= sensor_count) bins.sensors.push_back(sensor - 1);
    bins.sensor_count = bins.sensors.size();
    bins.values.resize(bins.sensor_count * TIME_BIN_COUNT);
    bins.wavelengths = selection.wavelengths;
    if (selection.from) bins.from = *selection.from;
    if (selection.to) bins.to = *selection.to;
    return bins;
}

void merge_value_bin(ValueBin& into, const ValueBin& from) {
    into.min = from.min < into.min ? from.min : into.min;
    into.max = from.max > into.max ? from.max : into.max;
    into.plotted += from.plotted;
    into.invalid += from.invalid;
}

void merge_step_marks(StepMarks& into, const StepMarks& from) {
    if (from.gap > into.gap) {
        into.gap = from.gap;
        into.gap_end = from.gap_end;
    }
    if (from.back > into.back) {
        into.back = from.back;
        into.back_from = from.back_from;
    }
}

namespace {

// Moves every row of bins into the grid of twice the width that starts at new_origin.
template <typename Bin, typename Merge>
void rebin(std::vector<Bin>& rows, std::size_t row_size, std::int64_t old_origin, std::int64_t old_width,
           std::int64_t new_origin, Merge merge) {
    std::vector<Bin> merged(rows.size());
    for (std::size_t i = 0; i < TIME_BIN_COUNT; ++i) {
        const std::int64_t start = old_origin + static_cast<std::int64_t>(i) * old_width;
        const auto target = static_cast<std::size_t>((start - new_origin) / (2 * old_width));
        for (std::size_t k = 0; k < row_size; ++k) merge(merged[target * row_size + k], rows[i * row_size + k]);
    }
    rows.swap(merged);
}

}  // namespace

void grow_time_bins(TimeBins& bins, std::int64_t time) {
    const std::int64_t count = static_cast<std::int64_t>(TIME_BIN_COUNT);
    while (time < bins.origin || time - bins.origin >= bins.width * count) {
        // Growing to the left puts the old range in the upper half of the new one.
        const std::int64_t new_origin = time < bins.origin ? bins.origin - bins.width * count : bins.origin;
        rebin(bins.values, bins.sensor_count, bins.origin, bins.width, new_origin, merge_value_bin);
        rebin(bins.marks, 1, bins.origin, bins.width, new_origin, merge_step_marks);
        bins.origin = new_origin;
        bins.width *= 2;
    }
}
