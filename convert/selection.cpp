#include "convert/selection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "datafile/local_time.h"

namespace {

bool picks(const SensorPick& pick, std::size_t index, const SensorEntry& sensor) {
    if (!pick.serial.empty()) return sensor.serial == pick.serial;
    return index + 1 >= pick.first && index + 1 <= pick.last;
}

// "2024-03-31T00:30:00Z" or "record 100".
std::string bound_text(const RecordBound& bound) {
    if (bound.kind == RecordBound::Kind::record) return "record " + std::to_string(bound.value);
    const LocalTime t = utc_calendar_time(bound.value);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

bool before(const RecordBound& bound, std::int64_t time, std::uint64_t number) {
    switch (bound.kind) {
    case RecordBound::Kind::none: return false;
    case RecordBound::Kind::time: return time < bound.value;
    case RecordBound::Kind::record: return static_cast<std::int64_t>(number) < bound.value;
    }
    return false;
}

bool after(const RecordBound& bound, std::int64_t time, std::uint64_t number) {
    switch (bound.kind) {
    case RecordBound::Kind::none: return false;
    case RecordBound::Kind::time: return time > bound.value;
    case RecordBound::Kind::record: return static_cast<std::int64_t>(number) > bound.value;
    }
    return false;
}

}  // namespace

std::string sensor_pick_text(const SensorPick& pick) {
    if (!pick.serial.empty()) return pick.serial;
    if (pick.first == pick.last) return std::to_string(pick.first);
    return std::to_string(pick.first) + "-" + std::to_string(pick.last);
}

Problem resolve_selection(const Selection& selection, const DataFileHeader& header, FileSelection& resolved) {
    resolved = {};
    resolved.file_sensor_count = header.sensors.size();
    resolved.from = selection.from;
    resolved.to = selection.to;
    resolved.every = std::max<std::uint64_t>(selection.every, 1);
    std::vector<bool> chosen(header.sensors.size(), selection.sensors.empty());
    for (const SensorPick& pick : selection.sensors) {
        bool found = false;
        for (std::size_t i = 0; i < header.sensors.size(); ++i) {
            if (!picks(pick, i, header.sensors[i])) continue;
            chosen[i] = true;
            found = true;
        }
        // A range must lie within the table whole: a file with fewer sensors than asked for is not the one meant.
        if (!found || (pick.serial.empty() && pick.last > header.sensors.size()))
            return {ConvertStatus::sensor_not_found, sensor_pick_text(pick)};
    }
    for (std::size_t i = 0; i < chosen.size(); ++i)
        if (chosen[i]) resolved.sensors.push_back(i);
    return {};
}

DataFileHeader selected_header(const DataFileHeader& header, const FileSelection& selection) {
    if (selection.all_sensors()) return header;
    DataFileHeader selected = header;
    selected.sensors.clear();
    for (std::size_t i : selection.sensors) selected.sensors.push_back(header.sensors[i]);
    selected.sensor_count = static_cast<std::int8_t>(selected.sensors.size());
    return selected;
}

SelectedRecords::SelectedRecords(const FileSelection& selection, std::int32_t start_time, SelectionCursor& cursor)
    : selection_(selection),
      start_time_(start_time),
      cursor_(cursor),
      kept_size_(record_size(selection.sensors.size())) {}

bool SelectedRecords::in_span(DataRecord record, std::uint64_t number) const {
    const std::int64_t time = record_time_value(start_time_, record.time_offset());
    return !before(selection_.from, time, number) && !after(selection_.to, time, number);
}

RecordBlock SelectedRecords::select(RecordBlock block) {
    if (selection_.everything()) {
        cursor_.records_seen += block.count;
        cursor_.records_in_span += block.count;
        cursor_.records_kept += block.count;
        return block;
    }
    if (kept_capacity_ < block.count) {
        kept_ = std::make_unique_for_overwrite<unsigned char[]>(block.count * kept_size_);
        kept_capacity_ = block.count;
    }
    unsigned char* out = kept_.get();
    const bool all_sensors = selection_.all_sensors();
    for (std::size_t r = 0; r < block.count; ++r) {
        const DataRecord record = block[r];
        const std::uint64_t number = ++cursor_.records_seen;
        if (!in_span(record, number)) continue;
        if (cursor_.records_in_span++ % selection_.every != 0) continue;
        if (all_sensors) {
            std::memcpy(out, record.bytes, kept_size_);
        } else {
            std::memcpy(out, record.bytes, 8);  // time offset and counter
            for (std::size_t k = 0; k < selection_.sensors.size(); ++k)
                std::memcpy(out + 8 + 8 * k, record.bytes + 8 + 8 * selection_.sensors[k], 8);
        }
        out += kept_size_;
        ++cursor_.records_kept;
    }
    return {kept_.get(), static_cast<std::size_t>(out - kept_.get()) / kept_size_, kept_size_};
}

RecordBlock SelectedRecords::next_block(RecordReader& reader) {
    for (;;) {
        const RecordBlock block = select(reader.next_block());
        if (block.count > 0 || reader.at_end()) return block;
    }
}

std::vector<SelectionAttribute> selection_attributes(const FileSelection& selection) {
    if (selection.everything()) return {};
    std::vector<SelectionAttribute> attributes;
    SelectionAttribute sensors{"selected_sensors", {}, {}, false};
    for (std::size_t i : selection.sensors) sensors.values.push_back(static_cast<std::int32_t>(i + 1));
    attributes.push_back(sensors);
    attributes.push_back({"source_sensor_count", {}, {static_cast<std::int32_t>(selection.file_sensor_count)}, true});
    if (selection.from.kind != RecordBound::Kind::none)
        attributes.push_back({"selected_from", bound_text(selection.from), {}, false});
    if (selection.to.kind != RecordBound::Kind::none)
        attributes.push_back({"selected_to", bound_text(selection.to), {}, false});
    if (selection.every > 1) attributes.push_back({"selected_every", std::to_string(selection.every), {}, false});
    return attributes;
}
