// The combined outputs: every sensor a column, every record a line. Physical values and
// wavelengths, each as a text file and as a CSV file; CR LF line ends.
#pragma once

#include <string>

#include "cli/run_state.h"
#include "convert/data_file.h"
#include "convert/output_file.h"
#include "convert/record_reader.h"

struct HeaderTexts {
    std::string csv_columns;      // heads both CSV files; built with FLAG_CSV
    std::string wavelength_text;  // built with FLAG_TEXT and FLAG_WAVELENGTH
    std::string physic_text;      // built with FLAG_TEXT and FLAG_PHYSIC
};

struct CombinedFiles {
    OutputFile physic_text;
    OutputFile wavelength_text;
    OutputFile physic_csv;
    OutputFile wavelength_csv;
};

HeaderTexts build_headers(const DataFileHeader& header, TypeFlags flags);

// Header texts into the open files: pv text, wl text, then the column line into both CSV files.
void write_header_texts(const HeaderTexts& texts, CombinedFiles& files);

// One line per record into every open file. Returns the first file whose write failed, or nullptr.
const OutputFile* write_combined_records(const DataFileHeader& header, RecordReader& input, CombinedFiles& files);
