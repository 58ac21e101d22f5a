// The HDF5 output (type letter h): OUTBASE.h5 with the header texts as attributes and the
// records as datasets, values exactly as stored. It is written under a temporary name in the
// same directory and renamed into place only when complete, so a header failure or a write
// failure never leaves a .h5 file, and a file that existed before is replaced only by a
// complete one.
//
// Layout (the names are what users' scripts depend on; "format" tells versions apart):
//   attributes of /: title, company, idn, unit_serial, version ("1.3"), format
//                    ("measconv-hdf5 1"): fixed-length byte strings;
//                    start_time, valid_wavelength_min, valid_wavelength_max: int32
//   /time_offset int32 [n], /counter int32 [n], /time int64 [n]   (n records)
//   /wavelength int32 [n, s], /physical_value float32 [n, s]        (s sensors)
//   /sensor_id uint8 [s], /sensor_serial 31-byte strings [s]
// The record datasets are chunked along the records and extendible; memory stays constant.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "convert/convert_status.h"
#include "convert/selection.h"
#include "datafile/data_file.h"

inline constexpr char HDF5_FORMAT_NAME[] = "measconv-hdf5 1";

// False in a build without the HDF5 library: then no .h5 is written and 'h' is ignored.
bool hdf5_supported();

// The one line (newline included) a build without HDF5 prints on standard error for 'h'.
inline constexpr char HDF5_UNSUPPORTED_NOTICE[] = "measconv: this build has no HDF5 support; 'h' is ignored\n";

struct Hdf5Writer;  // the open file, its datasets and the chunk buffers

struct Hdf5WriterDeleter {
    void operator()(Hdf5Writer* writer) const;  // closes and removes the temporary file unless finished
};

// An HDF5 output being written; closed (no writer) until created. Destroying an output that
// was not finished removes its temporary file.
struct Hdf5Output {
    std::unique_ptr<Hdf5Writer, Hdf5WriterDeleter> writer;

    bool is_open() const { return writer != nullptr; }
};

// Creates the temporary file beside path and writes the attributes and the sensor datasets.
// path that is the input (through any name), a directory, or a place where no file can be
// created gives hdf5_open_failed; a failed write of the first bytes gives write_failed. Without
// HDF5 support this does nothing and returns ok, leaving out closed. The attributes of a
// selection (none for the whole file) follow the header's.
Problem create_hdf5_output(const std::string& path, const std::string& input, const DataFileHeader& header,
                           Hdf5Output& out, const std::vector<SelectionAttribute>& selection = {});

// Appends count whole records as they lie in the data file (record_size(s) bytes each, in
// file order). False once a write has failed; nothing is appended after that. A closed output
// takes any records and returns true.
bool append_hdf5_records(Hdf5Output& out, const unsigned char* records, std::size_t count);

// Writes what is buffered, closes the file and renames it to its path: write_failed (naming
// path) when anything did not reach the file, the temporary file then being removed. Leaves out
// closed. A closed output gives ok.
Problem finish_hdf5_output(Hdf5Output& out);
