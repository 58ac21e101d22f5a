// The combined outputs: every sensor a column, every record a line. Physical values and
// wavelengths, each as a text file and as a CSV file; CR LF line ends.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "convert/convert_status.h"
#include "convert/output_file.h"
#include "convert/output_names.h"
#include "convert/type_flags.h"
#include "datafile/data_file.h"
#include "datafile/record_reader.h"

struct HeaderTexts {
    std::string csv_columns;      // heads both CSV files; built with FLAG_CSV
    std::string wavelength_text;  // built with FLAG_TEXT and FLAG_WAVELENGTH
    std::string physic_text;      // built with FLAG_TEXT and FLAG_PHYSIC
};

// The combined files of a conversion, indexed by CombinedKind; a file not selected stays closed.
struct CombinedFiles {
    std::array<OutputFile, COMBINED_OUTPUT_COUNT> files;

    OutputFile& operator[](CombinedKind kind) { return files[static_cast<std::size_t>(kind)]; }
    const OutputFile& operator[](CombinedKind kind) const { return files[static_cast<std::size_t>(kind)]; }
};

// Creates (or truncates) the selected combined files (those of flags that are in wanted) in
// their fixed order. A file that cannot be created, that may be one of never_be (the input and
// the list, by identity) or another of them, or that another run has locked, stops there: its
// problem is returned, and the files created before it stay, empty.
Problem create_combined_files(const RunPaths& paths, TypeFlags flags, const std::vector<FileIdentity>& never_be,
                              CombinedFiles& files, OutputSet wanted = ALL_OUTPUTS);

// Flushes and closes every open file. Returns the first that failed, or nullptr.
const OutputFile* close_combined_files(CombinedFiles& files);

HeaderTexts build_headers(const DataFileHeader& header, TypeFlags flags);

// Header texts into the open files: pv text, wl text, then the column line into both CSV files.
void write_header_texts(const HeaderTexts& texts, CombinedFiles& files);

// The room the record loops reserve for each line of a record with sensor_count readings:
// the longest line, plus the slack put_cell may overrun. A file's buffer is flushed when less
// than this is free, so it also fixes where the parallel conversion flushes (parallel_records.h).
std::size_t combined_line_room(std::size_t sensor_count);

// One line per record into every open file. Returns the first file whose write failed, or nullptr.
const OutputFile* write_combined_records(const DataFileHeader& header, RecordBlock records, CombinedFiles& files);
