// The cell texts of one record, each reading formatted once and then copied into every line
// that shows it (a physical value appears in a text and a CSV file, and so does a wavelength).
// All cells of a record are formatted before the first line is assembled: copying a text
// right after writing it would make the processor wait for the stores to land.
#pragma once

#include <cstddef>
#include <vector>

#include "convert/number_format.h"
#include "datafile/data_file.h"

struct RecordCells {
    std::vector<unsigned char> valid;  // is_valid_wavelength of each reading
    std::vector<CellText> physic;      // "%0.4f", filled for the valid readings only
    std::vector<CellText> wavelength;  // "%ld", filled for every reading
};

inline RecordCells record_cells_for(std::size_t sensor_count) {
    return {std::vector<unsigned char>(sensor_count), std::vector<CellText>(sensor_count),
            std::vector<CellText>(sensor_count)};
}

inline void format_record_cells(const DataRecord& record, bool physic, bool wavelength, RecordCells& cells) {
    for (std::size_t i = 0; i < cells.valid.size(); ++i) {
        const SensorReading reading = record.reading(i);
        const bool valid = is_valid_wavelength(reading.wavelength);
        cells.valid[i] = valid;
        if (physic && valid) set_cell(cells.physic[i], format_fixed4(cells.physic[i].text, reading.physic_value));
        if (wavelength) set_cell(cells.wavelength[i], format_int(cells.wavelength[i].text, reading.wavelength));
    }
}

// The line prefixes of a record: "date time,counter" for CSV lines, "offset\tcounter" for text lines.
struct RecordPrefixes {
    CellText csv;
    CellText text;
    LocalTimeCache local_time;
};

inline void format_record_prefixes(std::int32_t start_time, const DataRecord& record, bool csv, bool text,
                                   RecordPrefixes& prefixes) {
    if (csv) {
        const LocalTime& time =
            cached_local_time(prefixes.local_time, record_time_value(start_time, record.time_offset()));
        set_cell(prefixes.csv, format_datetime_prefix(prefixes.csv.text, time, record.counter()));
    }
    if (text) {
        char* p = format_int06(prefixes.text.text, record.time_offset());
        *p++ = '\t';
        set_cell(prefixes.text, format_int(p, record.counter()));
    }
}
