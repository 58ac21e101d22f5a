// The HDF5 output (type letter h): OUTBASE.h5 with the header texts as attributes and the
// records as datasets, values exactly as stored, in the layout of convert/hdf5_layout.h. It is
// written under a temporary name in the same directory and renamed into place only when
// complete, so a header failure or a write failure never leaves a .h5 file, and a file that
// existed before is replaced only by a complete one.
//
// The file's bytes depend on the data file's bytes alone (and the compression asked for): not
// on the input's kind (a pipe or a regular file), the blocks the records come in, the time, the
// time zone or the platform. The records are chunked along the records; the first chunk is held
// in memory until it is full, and a data file with fewer records gets one chunk of just its
// records, so a small data file gives a small .h5 file. Memory stays the same for any file.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "convert/convert_status.h"
#include "convert/selection.h"
#include "convert/hdf5_compression.h"
#include "convert/native_files.h"
#include "datafile/data_file.h"

// False in a build without the HDF5 library: then no .h5 is written and 'h' is ignored.
bool hdf5_supported();

// Sets the library up for the calling thread: no teardown at exit and no error report of the
// library's own on standard error (failures are reported as our messages). Called once on the
// main thread at start-up, before any other thread exists, and at the start of every thread
// that converts, before it converts anything. The library's first call on a thread allocates
// that thread's error state and crashes when the allocation fails, so this first call is made
// only when a probe allocation shows memory to be there; false when it is not (the thread must
// then not convert). True in a build without HDF5.
bool prepare_hdf5_for_this_thread();

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

// False when this build cannot write files with that compression (its HDF5 library lacks the
// filters); a build without HDF5 writes no files and takes any.
bool hdf5_compression_available(const Hdf5Compression& compression);

// Creates the temporary file beside path and writes the root attributes. path that is the
// input (through any name), a directory, or a place where no file can be created gives
// hdf5_open_failed; a failed write of the first bytes gives write_failed. Without HDF5 support
// this does nothing and returns ok, leaving out closed. The attributes of a selection (none for
// the whole file) follow the header's.
Problem create_hdf5_output(const std::string& path, const std::string& input, const DataFileHeader& header,
                           const Hdf5Compression& compression, Hdf5Output& out,
                           const std::vector<SelectionAttribute>& selection = {});

// Appends count whole records as they lie in the data file (record_size(s) bytes each, in
// file order). False once a write has failed; nothing is appended after that. A closed output
// takes any records and returns true.
bool append_hdf5_records(Hdf5Output& out, const unsigned char* records, std::size_t count);

// Writes what is buffered, closes the file and renames it to its path: write_failed (naming
// path) when anything did not reach the file, or when the file at path may be one of
// never_replace (judged by a descriptor opened on it: the input, the list), the temporary file
// then being removed. Leaves out closed. A closed output gives ok.
Problem finish_hdf5_output(Hdf5Output& out, const std::vector<FileIdentity>& never_replace = {});

// Closes an output that is not to be finished and removes its temporary file. False, with the
// temporary file's name in left, when that file could not be removed. A closed output gives true.
bool discard_hdf5_output(Hdf5Output& out, std::string& left);
