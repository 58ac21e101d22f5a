#include "convert/split_output.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include "convert/number_format.h"
#include "convert/record_cells.h"
#include "convert/sensor_names.h"

namespace {

constexpr char SPLIT_TEXT_HEADER[] =
    "## %s\n## Type             : Wavelength & PhysicValue\n## Version          : %d.%d\n"
    "## Company          : %s\n## IDN              : %s\n## SA SN            : %s\n## Sensor SN        : %s\n"
    "## Time             : %s# Column01= Record Time\n# Column02= Counter\n# Column03= Wavelength\n"
    "# Column04= PhysicValue\n*End*\n";

constexpr char SPLIT_CSV_HEADER[] = "Datetime,Counter,Wavelength,PhysicValue\n";

// Many files are open at once in split mode; their buffers share a fixed budget.
constexpr std::size_t SPLIT_BUFFER_BUDGET = 8u << 20;
constexpr std::size_t MIN_SPLIT_BUFFER = 16u << 10;
constexpr std::size_t MAX_SPLIT_BUFFER = 1u << 20;

std::string lower_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A file that cannot be created, or that may be one of never_open, is reported and left closed.
OutputFile create_split_file(const std::string& path, std::vector<FileIdentity>& never_open, std::size_t buffer_size,
                             std::vector<Problem>& problems) {
    OutputFile file;
    if (file.create(path, LineEnds::keep, buffer_size, never_open)) {
        if (file.identity().regular) never_open.push_back(file.identity());  // devices may be shared
    } else
        problems.push_back({ConvertStatus::sensor_file_open_failed, path});
    return file;
}

}  // namespace

bool make_split_directory(const std::string& directory) {
    if (directory.empty()) return false;
    std::error_code ignored;
    return std::filesystem::create_directory(directory, ignored);
}

std::vector<std::string> split_file_stems(const std::vector<SensorEntry>& sensors, NameRules rules) {
    std::vector<std::string> stems;
    std::set<std::string> taken;  // lower-cased
    for (const SensorEntry& sensor : sensors) {
        const std::string base = sensor_file_stem(sensor.serial, rules);
        std::string stem = base;
        for (int suffix = 2; taken.count(lower_ascii(stem)) != 0; ++suffix) stem = base + "_" + std::to_string(suffix);
        taken.insert(lower_ascii(stem));
        stems.push_back(stem);
    }
    return stems;
}

SplitFiles open_split_files(const DataFileHeader& header, TypeFlags flags, const std::string& directory,
                            const std::vector<FileIdentity>& never_open, std::vector<Problem>& problems) {
    SplitFiles files;
    std::vector<FileIdentity> taken = never_open;
    const std::size_t n = header.sensors.size();
    files.text.resize(n);
    files.csv.resize(n);
    if (directory.empty()) return files;

    const bool text = flags & FLAG_TEXT;
    const bool csv = flags & FLAG_CSV;
    const std::size_t file_count = n * ((text ? 1 : 0) + (csv ? 1 : 0));
    const std::size_t buffer_size =
        file_count == 0 ? 0 : std::clamp(SPLIT_BUFFER_BUDGET / file_count, MIN_SPLIT_BUFFER, MAX_SPLIT_BUFFER);
    const std::string time_text = header_time_text(header);
    const std::vector<std::string> stems = split_file_stems(header.sensors);

    for (std::size_t i = 0; i < n; ++i) {
        const std::string sensor_base = directory + "/" + stems[i];
        if (text) {
            files.text[i] = create_split_file(sensor_base + ".txt", taken, buffer_size, problems);
            if (files.text[i].is_open())
                files.text[i].write(string_printf(SPLIT_TEXT_HEADER, header.title.c_str(), header.version_major,
                                                  header.version_minor, header.company.c_str(), header.idn.c_str(),
                                                  header.serial.c_str(), header.sensors[i].serial.c_str(),
                                                  time_text.c_str()));
        }
        if (csv) {
            files.csv[i] = create_split_file(sensor_base + ".csv", taken, buffer_size, problems);
            if (files.csv[i].is_open()) files.csv[i].write(SPLIT_CSV_HEADER);
        }
    }
    return files;
}

const OutputFile* write_split_records(const DataFileHeader& header, RecordBlock records, SplitFiles& files) {
    const std::size_t n = header.sensors.size();
    const bool any_csv =
        std::any_of(files.csv.begin(), files.csv.end(), [](const OutputFile& f) { return f.is_open(); });
    const bool any_text =
        std::any_of(files.text.begin(), files.text.end(), [](const OutputFile& f) { return f.is_open(); });
    if (!any_csv && !any_text) return nullptr;  // no per-sensor file could be made: nothing to format
    constexpr std::size_t line_capacity = SPLIT_LINE_ROOM;
    RecordPrefixes prefixes;
    RecordCells cells = record_cells_for(n);

    for (std::size_t r = 0; r < records.count; ++r) {
        const DataRecord record = records[r];
        format_record_prefixes(header.start_time, record, any_csv, any_text, prefixes);
        format_record_cells(record, true, true, cells);
        for (std::size_t i = 0; i < n; ++i) {
            const bool valid = cells.valid[i];
            const CellText& wavelength = cells.wavelength[i];
            const CellText& physic = cells.physic[i];
            if (files.csv[i].is_open()) {
                char* p = put_cell(files.csv[i].reserve(line_capacity), prefixes.csv);
                *p++ = ',';
                p = put_cell(p, wavelength);
                *p++ = ',';
                if (valid)
                    p = put_cell(p, physic);
                else
                    *p++ = '\t';
                *p++ = '\n';
                files.csv[i].commit(p);
            }
            if (files.text[i].is_open()) {
                char* p = put_cell(files.text[i].reserve(line_capacity), prefixes.text);
                *p++ = '\t';
                p = put_cell(p, wavelength);
                *p++ = '\t';
                p = valid ? put_cell(p, physic) : put_text(p, "nil", 3);
                *p++ = '\n';
                files.text[i].commit(p);
            }
        }
        if (const OutputFile* failed = first_failed(files.csv)) return failed;
        if (const OutputFile* failed = first_failed(files.text)) return failed;
    }
    return nullptr;
}

const OutputFile* close_split_files(SplitFiles& files) {
    const OutputFile* failed = nullptr;
    for (std::size_t i = 0; i < files.text.size() || i < files.csv.size(); ++i) {
        if (i < files.text.size() && !files.text[i].close() && failed == nullptr) failed = &files.text[i];
        if (i < files.csv.size() && !files.csv[i].close() && failed == nullptr) failed = &files.csv[i];
    }
    return failed;
}
