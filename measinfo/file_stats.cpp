#include "measinfo/file_stats.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/c_file.h"
#include "datafile/data_file_messages.h"
#include "datafile/record_reader.h"

namespace {

using InputFile = CFile;

// The converter's message, shown without its line end.
std::string without_line_end(std::string message) {
    if (!message.empty() && message.back() == '\n') message.pop_back();
    return message;
}

constexpr std::size_t DRAIN_BLOCK_SIZE = 1 << 20;

FileStatus status_of(HeaderCheck check) {
    switch (check) {
    case HeaderCheck::ok: return FileStatus::ok;
    case HeaderCheck::bad_magic: return FileStatus::bad_magic;
    case HeaderCheck::bad_version: return FileStatus::bad_version;
    case HeaderCheck::bad_sensor_count: return FileStatus::bad_sensor_count;
    }
    return FileStatus::unreadable;
}

void mark_unreadable(FileInfo& info, const std::string& failure) {
    info.status = FileStatus::unreadable;
    info.failure = failure;
    info.size.reset();
    info.records_read = false;
}

bool is_directory(std::FILE* file) {
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

// Reads to the end, for the size of a file whose records cannot be read.
bool drain(std::FILE* input, std::uint64_t& bytes) {
    std::unique_ptr<unsigned char[]> block = std::make_unique_for_overwrite<unsigned char[]>(DRAIN_BLOCK_SIZE);
    std::size_t got;
    while ((got = std::fread(block.get(), 1, DRAIN_BLOCK_SIZE, input)) > 0) bytes += got;
    return std::ferror(input) == 0;
}

inline void add_reading(SensorStats& stats, SensorReading reading) {
    if (!is_valid_wavelength(reading.wavelength)) return;
    ++stats.valid;
    stats.wavelength_sum += reading.wavelength;
    stats.wavelength_min = reading.wavelength < stats.wavelength_min ? reading.wavelength : stats.wavelength_min;
    stats.wavelength_max = reading.wavelength > stats.wavelength_max ? reading.wavelength : stats.wavelength_max;
    const float value = reading.physic_value;
    if (!std::isfinite(value)) {
        ++stats.non_finite;
        return;
    }
    stats.value_sum += value;
    stats.value_min = value < stats.value_min ? value : stats.value_min;
    stats.value_max = value > stats.value_max ? value : stats.value_max;
}

// The record loop, compiled once with and once without the plot's bins.
template <bool WithPlot>
void scan_records(RecordReader& reader, std::int32_t start_time, FileInfo& info, TimeBins* plot) {
    const std::size_t sensor_count = info.sensors.size();
    SensorStats* const stats = info.sensors.data();
    const auto time_steps = std::make_unique<StepTally>();
    const auto counter_steps = std::make_unique<StepTally>();
    const auto rate = std::make_unique<RateTally>();
    std::uint64_t records = 0;
    std::int32_t previous_offset = 0;
    std::int32_t previous_counter = 0;
    // What the plot takes, in locals: the bins' own fields could alias the counts written to them.
    const std::int64_t plot_from = WithPlot ? plot->from : 0;
    const std::int64_t plot_to = WithPlot ? plot->to : 0;
    const std::size_t* const plotted = WithPlot ? plot->sensors.data() : nullptr;
    const std::size_t plotted_count = WithPlot ? plot->sensor_count : 0;
    const bool every_sensor = plotted_count == sensor_count;  // the sensors in their order: one loop for both
    const bool wavelengths = WithPlot && plot->wavelengths;
    std::uint64_t plotted_records = 0;
    for (RecordBlock block = reader.next_block(); block.count > 0; block = reader.next_block()) {
        for (std::size_t r = 0; r < block.count; ++r, ++records) {
            const DataRecord record = block[r];
            const std::int32_t offset = record.time_offset();
            const std::int32_t counter = record.counter();
            const std::int64_t time_step = static_cast<std::int64_t>(offset) - previous_offset;
            if (records == 0) {
                info.time_offset.first = offset;
                info.counter.first = counter;
            } else {
                add_difference(*time_steps, time_step, records, offset);
                add_difference(*counter_steps, static_cast<std::int64_t>(counter) - previous_counter, records, offset);
            }
            count_record(*rate, records > 0 && time_step == 0);
            previous_offset = offset;
            previous_counter = counter;
            if constexpr (WithPlot) {
                const std::int64_t time = record_time_value(start_time, offset);
                if (time >= plot_from && time <= plot_to) {
                    ++plotted_records;
                    const std::size_t index = bin_index(*plot, time);
                    if (records > 0) mark_time_step(*plot, index, time, time_step);
                    ValueBin* const row = bin_row(*plot, index);
                    if (every_sensor) {
                        for (std::size_t s = 0; s < sensor_count; ++s) {
                            const SensorReading reading = record.reading(s);
                            add_reading(stats[s], reading);
                            add_to_bin(row[s], reading, wavelengths);
                        }
                        continue;
                    }
                    for (std::size_t k = 0; k < plotted_count; ++k)
                        add_to_bin(row[k], record.reading(plotted[k]), wavelengths);
                }
            }
            for (std::size_t s = 0; s < sensor_count; ++s) add_reading(stats[s], record.reading(s));
        }
    }
    if constexpr (WithPlot) plot->records = plotted_records;
    flush_run(*time_steps);
    flush_run(*counter_steps);
    end_second(*rate);
    info.rate = summarize_rate(*rate);
    info.records = records;
    info.time_offset.last = previous_offset;
    info.counter.last = previous_counter;
    info.time_offset.steps = summarize_time_steps(*time_steps);
    info.counter.steps = summarize_counter_steps(*counter_steps);
}

}  // namespace

const char* status_name(FileStatus status) {
    switch (status) {
    case FileStatus::ok: return "ok";
    case FileStatus::too_short: return "too_short";
    case FileStatus::bad_magic: return "bad_magic";
    case FileStatus::bad_version: return "bad_version";
    case FileStatus::bad_sensor_count: return "bad_sensor_count";
    case FileStatus::unreadable: return "unreadable";
    }
    return "unreadable";
}

FileInfo inspect_file(const std::string& path, TimeBins* plot, const PlotSelection& selection) {
    FileInfo info;
    info.path = path;
    InputFile input(std::fopen(path.c_str(), "rb"));
    if (!input || is_directory(input.get())) {
        mark_unreadable(info, std::strerror(input ? EISDIR : errno));
        info.converter_message = without_line_end(input_open_message(path));
        return info;
    }

    std::vector<unsigned char> header_bytes(HEADER_SIZE);
    const std::size_t header_got = std::fread(header_bytes.data(), 1, HEADER_SIZE, input.get());
    if (header_got < HEADER_SIZE) {
        if (std::ferror(input.get())) {
            mark_unreadable(info, std::string("read error: ") + std::strerror(errno));
            return info;
        }
        info.status = FileStatus::too_short;
        info.size = header_got;
        return info;
    }
    const HeaderCheck check = check_header(header_bytes.data());
    info.status = status_of(check);
    info.converter_message =
        without_line_end(header_failure_message(check, header_failure_subject(check, header_bytes.data())));
    info.header = decode_header(header_bytes.data());

    // A negative count leaves the record size unknown: only the size can still be read.
    if (info.header->sensor_count < 0) {
        std::uint64_t bytes = HEADER_SIZE;
        if (!drain(input.get(), bytes))
            mark_unreadable(info, std::string("read error: ") + std::strerror(errno));
        else
            info.size = bytes;
        return info;
    }

    info.sensors.resize(info.header->sensors.size());
    if (plot != nullptr) *plot = make_plot_bins(selection, info.sensors.size());
    const std::size_t size_of_record = record_size(info.sensors.size());
    RecordReader reader(input.get(), size_of_record);
    if (plot != nullptr)
        scan_records<true>(reader, info.header->start_time, info, plot);
    else
        scan_records<false>(reader, info.header->start_time, info, plot);
    if (reader.failed()) {
        mark_unreadable(info, std::string("read error: ") + std::strerror(errno));
        return info;
    }
    info.records_read = true;
    info.size = HEADER_SIZE + reader.bytes_read();
    info.trailing_bytes = reader.bytes_read() - info.records * size_of_record;
    return info;
}

std::vector<std::string> check_findings(const FileInfo& info) {
    std::vector<std::string> findings;
    if (info.status != FileStatus::ok) findings.push_back(status_name(info.status));
    if (!info.records_read) return findings;
    const auto add = [&](const char* what, std::uint64_t count) {
        if (count != 0) findings.push_back(std::string(what) + " " + std::to_string(count));
    };
    add("trailing bytes", info.trailing_bytes);
    add("irregular time steps", info.time_offset.steps.irregular);
    add("backward time steps", info.time_offset.steps.backward);
    add("irregular counter steps", info.counter.steps.irregular);
    return findings;
}
