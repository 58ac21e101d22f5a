#include "baseline/baseline_records.h"

#include <algorithm>
#include <vector>

#include "baseline/baseline_format.h"
#include "convert/number_format.h"

namespace {

constexpr char CRLF[] = "\r\n";

}  // namespace

const OutputFile* baseline_write_combined_records(const DataFileHeader& header, RecordBlock records,
                                                  CombinedFiles& files) {
    const std::size_t n = header.sensors.size();
    std::vector<char> line(2 * MAX_FORMATTED + (n + 1) * (MAX_FORMATTED + 2));
    char prefix[2 * MAX_FORMATTED];
    const bool any_csv = files[CombinedKind::physic_csv].is_open() || files[CombinedKind::wavelength_csv].is_open();

    for (std::size_t r = 0; r < records.count; ++r) {
        const DataRecord record = records[r];
        std::size_t prefix_size = 0;
        if (any_csv)
            prefix_size = static_cast<std::size_t>(
                baseline_format_datetime_prefix(prefix, record_local_time(header, record), record.counter()) - prefix);

        if (files[CombinedKind::physic_csv].is_open()) {
            char* p = put_text(line.data(), prefix, prefix_size);
            for (std::size_t i = 0; i < n; ++i) {
                const SensorReading reading = record.reading(i);
                if (is_valid_wavelength(reading.wavelength)) {
                    *p++ = ',';
                    p = baseline_format_fixed4(p, reading.physic_value);
                } else {
                    p = put_text(p, ", ", 2);
                }
            }
            p = put_text(p, CRLF, 2);
            files[CombinedKind::physic_csv].write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (files[CombinedKind::wavelength_csv].is_open()) {
            char* p = put_text(line.data(), prefix, prefix_size);
            for (std::size_t i = 0; i < n; ++i) {
                const SensorReading reading = record.reading(i);
                if (is_valid_wavelength(reading.wavelength)) {
                    *p++ = ',';
                    p = baseline_format_int(p, reading.wavelength);
                } else {
                    p = put_text(p, ", ", 2);
                }
            }
            p = put_text(p, CRLF, 2);
            files[CombinedKind::wavelength_csv].write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (files[CombinedKind::wavelength_text].is_open()) {
            char* p = baseline_format_int06(line.data(), record.time_offset());
            *p++ = '\t';
            p = baseline_format_int(p, record.counter());
            for (std::size_t i = 0; i < n; ++i) {
                *p++ = '\t';
                p = baseline_format_int(p, record.reading(i).wavelength);
            }
            p = put_text(p, CRLF, 2);
            files[CombinedKind::wavelength_text].write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (files[CombinedKind::physic_text].is_open()) {
            char* p = baseline_format_int06(line.data(), record.time_offset());
            *p++ = '\t';
            p = baseline_format_int(p, record.counter());
            for (std::size_t i = 0; i < n; ++i) {
                const SensorReading reading = record.reading(i);
                *p++ = '\t';
                if (is_valid_wavelength(reading.wavelength))
                    p = baseline_format_fixed4(p, reading.physic_value);
                else
                    p = put_text(p, "nil", 3);
            }
            p = put_text(p, CRLF, 2);
            files[CombinedKind::physic_text].write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (const OutputFile* failed = first_failed(files.files)) return failed;
    }
    return nullptr;
}

const OutputFile* baseline_write_split_records(const DataFileHeader& header, RecordBlock records, SplitFiles& files) {
    const std::size_t n = header.sensors.size();
    const bool any_csv =
        std::any_of(files.csv.begin(), files.csv.end(), [](const OutputFile& f) { return f.is_open(); });
    const bool any_text =
        std::any_of(files.text.begin(), files.text.end(), [](const OutputFile& f) { return f.is_open(); });
    char csv_prefix[2 * MAX_FORMATTED];
    char text_prefix[2 * MAX_FORMATTED];
    char line[4 * MAX_FORMATTED + 8];

    for (std::size_t r = 0; r < records.count; ++r) {
        const DataRecord record = records[r];
        std::size_t csv_prefix_size = 0;
        std::size_t text_prefix_size = 0;
        if (any_csv)
            csv_prefix_size = static_cast<std::size_t>(
                baseline_format_datetime_prefix(csv_prefix, record_local_time(header, record), record.counter()) -
                csv_prefix);
        if (any_text) {
            char* p = baseline_format_int06(text_prefix, record.time_offset());
            *p++ = '\t';
            text_prefix_size = static_cast<std::size_t>(baseline_format_int(p, record.counter()) - text_prefix);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const SensorReading reading = record.reading(i);
            const bool valid = is_valid_wavelength(reading.wavelength);
            if (files.csv[i].is_open()) {
                char* p = put_text(line, csv_prefix, csv_prefix_size);
                *p++ = ',';
                p = baseline_format_int(p, reading.wavelength);
                *p++ = ',';
                if (valid)
                    p = baseline_format_fixed4(p, reading.physic_value);
                else
                    *p++ = '\t';
                *p++ = '\n';
                files.csv[i].write_raw(line, static_cast<std::size_t>(p - line));
            }
            if (files.text[i].is_open()) {
                char* p = put_text(line, text_prefix, text_prefix_size);
                *p++ = '\t';
                p = baseline_format_int(p, reading.wavelength);
                *p++ = '\t';
                if (valid)
                    p = baseline_format_fixed4(p, reading.physic_value);
                else
                    p = put_text(p, "nil", 3);
                *p++ = '\n';
                files.text[i].write_raw(line, static_cast<std::size_t>(p - line));
            }
        }
        if (const OutputFile* failed = first_failed(files.csv)) return failed;
        if (const OutputFile* failed = first_failed(files.text)) return failed;
    }
    return nullptr;
}
