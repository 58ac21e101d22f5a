#include "convert/combined_output.h"

#include <cstring>
#include <vector>

#include "convert/number_format.h"
#include "convert/record_cells.h"

namespace {

std::string text_header(const DataFileHeader& header, const char* format) {
    std::string text =
        string_printf(format, header.title.c_str(), header.version_major, header.version_minor, header.company.c_str(),
                      header.idn.c_str(), header.serial.c_str(), header.sensor_count, header_time_text(header).c_str());
    for (std::size_t i = 0; i < header.sensors.size(); ++i) {
        const SensorEntry& sensor = header.sensors[i];
        text +=
            string_printf("# Column%02d= ID: %d, SN: %s\n", static_cast<int>(i + 3), sensor.id, sensor.serial.c_str());
    }
    text += "*End*\n";
    return text;
}

std::string csv_column_line(const DataFileHeader& header) {
    std::string text = "Datetime,Counter";
    for (const SensorEntry& sensor : header.sensors)
        text += string_printf(",%02d.%s", sensor.id, sensor.serial.c_str());
    text += "\n";
    return text;
}

// Combined text and CSV files get big write buffers: there are at most four of them.
constexpr std::size_t COMBINED_BUFFER_SIZE = 1u << 20;

constexpr char CRLF[] = "\r\n";

// CSV cells: ',' and the text of a valid reading, ", " (a blank cell) for an invalid one.
char* put_csv_cells(char* p, const std::vector<CellText>& texts, const std::vector<unsigned char>& valid) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (valid[i]) {
            *p++ = ',';
            p = put_cell(p, texts[i]);
        } else {
            p = put_text(p, ", ", 2);
        }
    }
    return p;
}

// The CSV line of a record: date-time prefix, cells, CR LF.
void write_csv_line(OutputFile& file, std::size_t capacity, const CellText& prefix, const std::vector<CellText>& texts,
                    const std::vector<unsigned char>& valid) {
    char* p = file.reserve(capacity);
    p = put_cell(p, prefix);
    p = put_csv_cells(p, texts, valid);
    file.commit(put_text(p, CRLF, 2));
}

}  // namespace

std::size_t combined_line_room(std::size_t sensor_count) {
    return 2 * MAX_FORMATTED + sensor_count * (MAX_FORMATTED + 2) + 2 + CELL_COPY_SLACK;
}

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

Problem create_combined_files(const RunPaths& paths, TypeFlags flags, const std::vector<FileIdentity>& never_be,
                              CombinedFiles& files, OutputSet wanted) {
    // The input (and the list) is never truncated, whatever name leads to it; nor is a file
    // written twice through two names.
    std::vector<FileIdentity> taken = never_be;
    for (const CombinedOutput& output : COMBINED_OUTPUTS) {
        if (!has_flags(flags, output.bits) || (wanted & (1u << static_cast<unsigned>(output.kind))) == 0) continue;
        const std::string& path = paths[output.kind];
        OutputFile& file = files[output.kind];
        if (!file.create(path, LineEnds::crlf, COMBINED_BUFFER_SIZE, taken)) return {output.open_failure, path};
        if (file.identity().regular) taken.push_back(file.identity());  // devices may be shared
    }
    return {};
}

const OutputFile* close_combined_files(CombinedFiles& files) {
    const OutputFile* failed = nullptr;
    for (OutputFile& file : files.files)
        if (!file.close() && failed == nullptr) failed = &file;
    return failed;
}

void write_header_texts(const HeaderTexts& texts, CombinedFiles& files) {
    for (const CombinedOutput& output : COMBINED_OUTPUTS) {
        OutputFile& file = files[output.kind];
        if (!file.is_open()) continue;
        if (output.bits & FLAG_CSV)
            file.write(texts.csv_columns);
        else
            file.write(output.bits & FLAG_PHYSIC ? texts.physic_text : texts.wavelength_text);
    }
}

const OutputFile* write_combined_records(const DataFileHeader& header, RecordBlock records, CombinedFiles& files) {
    const std::size_t n = header.sensors.size();
    const std::size_t capacity = combined_line_room(n);
    OutputFile& physic_csv = files[CombinedKind::physic_csv];
    OutputFile& wavelength_csv = files[CombinedKind::wavelength_csv];
    OutputFile& physic_text = files[CombinedKind::physic_text];
    OutputFile& wavelength_text = files[CombinedKind::wavelength_text];
    const bool any_csv = physic_csv.is_open() || wavelength_csv.is_open();
    const bool any_text = physic_text.is_open() || wavelength_text.is_open();
    const bool physic = physic_csv.is_open() || physic_text.is_open();
    const bool wavelength = wavelength_csv.is_open() || wavelength_text.is_open();
    if (!any_csv && !any_text) return nullptr;  // split mode alone: no line to write
    RecordCells cells = record_cells_for(n);
    RecordPrefixes prefixes;

    for (std::size_t r = 0; r < records.count; ++r) {
        const DataRecord record = records[r];
        format_record_cells(record, physic, wavelength, cells);
        format_record_prefixes(header.start_time, record, any_csv, any_text, prefixes);

        if (physic_csv.is_open()) write_csv_line(physic_csv, capacity, prefixes.csv, cells.physic, cells.valid);
        if (wavelength_csv.is_open())
            write_csv_line(wavelength_csv, capacity, prefixes.csv, cells.wavelength, cells.valid);
        if (wavelength_text.is_open()) {
            // Every wavelength is printed, valid or not.
            char* p = put_cell(wavelength_text.reserve(capacity), prefixes.text);
            for (const CellText& cell : cells.wavelength) {
                *p++ = '\t';
                p = put_cell(p, cell);
            }
            wavelength_text.commit(put_text(p, CRLF, 2));
        }
        if (physic_text.is_open()) {
            char* p = put_cell(physic_text.reserve(capacity), prefixes.text);
            for (std::size_t i = 0; i < n; ++i) {
                *p++ = '\t';
                p = cells.valid[i] ? put_cell(p, cells.physic[i]) : put_text(p, "nil", 3);
            }
            physic_text.commit(put_text(p, CRLF, 2));
        }
        if (const OutputFile* failed = first_failed(files.files)) return failed;
    }
    return nullptr;
}
