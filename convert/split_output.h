// Per-sensor outputs: for each sensor a text file and a CSV file, each with both the
// wavelength and the physical value, in the directory named by the output base. LF line ends.
#pragma once

#include <string>
#include <vector>

#include "convert/convert_status.h"
#include "convert/number_format.h"
#include "convert/output_file.h"
#include "convert/sensor_names.h"
#include "convert/type_flags.h"
#include "datafile/data_file.h"
#include "datafile/record_reader.h"

struct SplitFiles {
    std::vector<OutputFile> text;  // one slot per sensor; closed where the file could not be created
    std::vector<OutputFile> csv;
};

// Creates the directory of the per-sensor files (one level; an existing one is used as it is).
// Its outcome shows only in the files that can or cannot be created in it; true when this call made it.
bool make_split_directory(const std::string& directory);

// File stems of the sensors, in table order: sensor_file_stem of the serial, and a suffix
// "_2", "_3", ... where an earlier sensor already holds the stem (ignoring ASCII case).
std::vector<std::string> split_file_stems(const std::vector<SensorEntry>& sensors,
                                          NameRules rules = PLATFORM_NAME_RULES);

// Creates the selected files of every sensor under directory and writes their headers, in
// sensor order, the text file before the CSV file. A file that cannot be created, that may be
// one of never_open (the input, the list, the combined files of the same conversion: by
// identity) or an earlier per-sensor file, or that another run has locked, leaves
// its slot empty and adds its problem; the other sensors go on. An empty directory name names
// no directory: nothing is created and nothing reported.
SplitFiles open_split_files(const DataFileHeader& header, TypeFlags flags, const std::string& directory,
                            const std::vector<FileIdentity>& never_open, std::vector<Problem>& problems);

// The room the record loops reserve for each per-sensor line (see combined_line_room): the
// prefix, two cells, separators and line end, plus the slack put_cell may overrun.
inline constexpr std::size_t SPLIT_LINE_ROOM = 4 * MAX_FORMATTED + 8 + CELL_COPY_SLACK;

// One line per record into every open file. Returns the first file whose write failed, or nullptr.
const OutputFile* write_split_records(const DataFileHeader& header, RecordBlock records, SplitFiles& files);

// Flushes and closes every file. Returns the first that failed, or nullptr.
const OutputFile* close_split_files(SplitFiles& files);
