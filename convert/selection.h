// Which sensors and records of a data file a conversion writes. The selection is applied to the
// decoded header (only the selected sensors, in table order) and to every block of records
// before the writers see them (the selected records, each cut down to the selected readings),
// so every output, its header texts and its column lines included, describes the selection.
// The default selects everything and leaves every byte as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "convert/convert_status.h"
#include "datafile/data_file.h"
#include "datafile/record_reader.h"

// Sensors first..last of the table (counting from 1), or, when serial is not empty, every
// sensor whose serial is exactly that text.
struct SensorPick {
    std::size_t first = 0;
    std::size_t last = 0;
    std::string serial;
};

// One end of the span of records: none, a record's time (seconds since 1970, as the record's
// start time plus offset gives it), or a record's number in the file (counting from 1). Both
// ends belong to the span.
struct RecordBound {
    enum class Kind { none, time, record };
    Kind kind = Kind::none;
    std::int64_t value = 0;
};

struct Selection {
    std::vector<SensorPick> sensors;  // empty: every sensor
    RecordBound from;
    RecordBound to;
    std::uint64_t every = 1;  // the first record of the span and every Nth after it
};

// A selection resolved against one data file's header.
struct FileSelection {
    std::vector<std::size_t> sensors;  // indices into the file's sensor table, in table order
    std::size_t file_sensor_count = 0;
    RecordBound from;
    RecordBound to;
    std::uint64_t every = 1;

    bool all_sensors() const { return sensors.size() == file_sensor_count; }
    bool all_records() const {
        return from.kind == RecordBound::Kind::none && to.kind == RecordBound::Kind::none && every == 1;
    }
    bool everything() const { return all_sensors() && all_records(); }
    std::size_t file_record_size() const { return record_size(file_sensor_count); }
};

// Resolves the picks against the header. A pick that names no sensor of this file gives its
// problem (sensor_not_found, naming the pick as the user wrote it) and the selection is unusable.
Problem resolve_selection(const Selection& selection, const DataFileHeader& header, FileSelection& resolved);

// The header as the outputs describe it: the selected sensors only, and their count.
DataFileHeader selected_header(const DataFileHeader& header, const FileSelection& selection);

// The pick as a user writes it: "3", "2-5" or the serial.
std::string sensor_pick_text(const SensorPick& pick);

// Where a pass over the records stands in the selection; shared by the readers of one pass
// (the parallel pass reads with two), which read one after the other.
struct SelectionCursor {
    std::uint64_t records_seen = 0;  // records of the file read so far
    std::uint64_t records_in_span = 0;
    std::uint64_t records_kept = 0;
};

// Whole records of the selection, a block at a time, from a reader of the data file's records.
// With the whole file selected the reader's blocks pass as they are.
class SelectedRecords {
public:
    SelectedRecords(const FileSelection& selection, std::int32_t start_time, SelectionCursor& cursor);

    // The next block from reader holding at least one selected record; empty at the reader's
    // end. It stays valid until the next call (or the reader's next read).
    RecordBlock next_block(RecordReader& reader);

private:
    RecordBlock select(RecordBlock block);
    bool in_span(DataRecord record, std::uint64_t number) const;

    const FileSelection& selection_;
    std::int32_t start_time_;
    SelectionCursor& cursor_;
    std::size_t kept_size_;
    std::unique_ptr<unsigned char[]> kept_;  // the selected records of the last block
    std::size_t kept_capacity_ = 0;
};

// Root attributes of the HDF5 file that say what was selected; none for the whole file.
struct SelectionAttribute {
    std::string name;
    std::string text;                  // a text attribute, or
    std::vector<std::int32_t> values;  // (when text is empty) int32 values: an array,
    bool scalar = false;               // or one scalar
};
std::vector<SelectionAttribute> selection_attributes(const FileSelection& selection);
