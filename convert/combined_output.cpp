#include "convert/combined_output.h"

#include <vector>

#include "convert/format.h"

namespace {

std::string text_header(const DataFileHeader& header, const char* format) {
    std::string text = string_printf(format, header.title.c_str(), header.version_major, header.version_minor,
                                     header.company.c_str(), header.idn.c_str(), header.serial.c_str(),
                                     header.sensor_count, header_time_text(header).c_str());
    for (std::size_t i = 0; i < header.sensors.size(); ++i) {
        const SensorEntry& sensor = header.sensors[i];
        text += string_printf("# Column%02d= ID: %d, SN: %s\n", static_cast<int>(i + 3), sensor.id,
                              sensor.serial.c_str());
    }
    text += "*End*\n";
    return text;
}

std::string csv_column_line(const DataFileHeader& header) {
    std::string text = "Datetime,Counter";
    for (const SensorEntry& sensor : header.sensors) text += string_printf(",%02d.%s", sensor.id, sensor.serial.c_str());
    text += "\n";
    return text;
}

const OutputFile* first_failed(const CombinedFiles& files) {
    for (const OutputFile* file : {&files.physic_csv, &files.wavelength_csv, &files.wavelength_text, &files.physic_text})
        if (file->failed()) return file;
    return nullptr;
}

// Room for the longest line of a record with n readings.
std::size_t line_capacity(std::size_t sensor_count) { return 2 * MAX_FORMATTED + (sensor_count + 1) * (MAX_FORMATTED + 2); }

constexpr char CRLF[] = "\r\n";

char* put(char* out, const char* text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) out[i] = text[i];
    return out + size;
}

}  // namespace

HeaderTexts build_headers(const DataFileHeader& header, TypeFlags flags) {
    HeaderTexts texts;
    if (flags & FLAG_CSV) texts.csv_columns = csv_column_line(header);
    if (has_flags(flags, FLAG_TEXT | FLAG_WAVELENGTH))
        texts.wavelength_text = text_header(
            header,
            "## %s\n## Type             : Wavelength\n## Version          : %d.%d\n## Company          : %s\n"
            "## IDN              : %s\n## SN               : %s\n## Count            : %d\n## Time             : %s"
            "# Column01= Record Time\n# Column02= Counter\n");
    if (has_flags(flags, FLAG_TEXT | FLAG_PHYSIC))
        texts.physic_text = text_header(
            header,
            "## %s\n## Type             : Physic Value\n## Version          : %d.%d\n## Company          : %s\n"
            "## IDN              : %s\n## SN               : %s\n## Count            : %d\n## Time             : %s"
            "# Column01= Record Time\n# Column02= Counter\n");
    return texts;
}

void write_header_texts(const HeaderTexts& texts, CombinedFiles& files) {
    if (files.physic_text.is_open()) files.physic_text.write(texts.physic_text);
    if (files.wavelength_text.is_open()) files.wavelength_text.write(texts.wavelength_text);
    if (files.physic_csv.is_open()) files.physic_csv.write(texts.csv_columns);
    if (files.wavelength_csv.is_open()) files.wavelength_csv.write(texts.csv_columns);
}

const OutputFile* write_combined_records(const DataFileHeader& header, RecordReader& input, CombinedFiles& files) {
    const std::size_t n = header.sensors.size();
    std::vector<char> line(line_capacity(n));
    std::vector<char> prefix(2 * MAX_FORMATTED);
    const bool any_csv = files.physic_csv.is_open() || files.wavelength_csv.is_open();

    while (const unsigned char* bytes = input.next()) {
        const DataRecord record{bytes};
        std::size_t prefix_size = 0;
        if (any_csv)
            prefix_size = static_cast<std::size_t>(
                format_datetime_prefix(prefix.data(), record_local_time(header, record), record.counter()) -
                prefix.data());

        if (files.physic_csv.is_open()) {
            char* p = put(line.data(), prefix.data(), prefix_size);
            for (std::size_t i = 0; i < n; ++i) {
                const SensorReading reading = record.reading(i);
                if (is_valid_wavelength(reading.wavelength)) {
                    *p++ = ',';
                    p = format_fixed4(p, reading.physic_value);
                } else {
                    p = put(p, ", ", 2);
                }
            }
            p = put(p, CRLF, 2);
            files.physic_csv.write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (files.wavelength_csv.is_open()) {
            char* p = put(line.data(), prefix.data(), prefix_size);
            for (std::size_t i = 0; i < n; ++i) {
                const SensorReading reading = record.reading(i);
                if (is_valid_wavelength(reading.wavelength)) {
                    *p++ = ',';
                    p = format_int(p, reading.wavelength);
                } else {
                    p = put(p, ", ", 2);
                }
            }
            p = put(p, CRLF, 2);
            files.wavelength_csv.write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (files.wavelength_text.is_open()) {
            char* p = format_int06(line.data(), record.time_offset());
            *p++ = '\t';
            p = format_int(p, record.counter());
            for (std::size_t i = 0; i < n; ++i) {
                *p++ = '\t';
                p = format_int(p, record.reading(i).wavelength);
            }
            p = put(p, CRLF, 2);
            files.wavelength_text.write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (files.physic_text.is_open()) {
            char* p = format_int06(line.data(), record.time_offset());
            *p++ = '\t';
            p = format_int(p, record.counter());
            for (std::size_t i = 0; i < n; ++i) {
                const SensorReading reading = record.reading(i);
                *p++ = '\t';
                if (is_valid_wavelength(reading.wavelength))
                    p = format_fixed4(p, reading.physic_value);
                else
                    p = put(p, "nil", 3);
            }
            p = put(p, CRLF, 2);
            files.physic_text.write_raw(line.data(), static_cast<std::size_t>(p - line.data()));
        }
        if (const OutputFile* failed = first_failed(files)) return failed;
    }
    return nullptr;
}
