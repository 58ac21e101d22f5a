// Converts one data file into the outputs its request selects.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "convert/combined_output.h"
#include "convert/convert_progress.h"
#include "convert/convert_status.h"
#include "convert/selection.h"
#include "convert/hdf5_compression.h"
#include "convert/record_pass.h"
#include "convert/split_output.h"
#include "convert/type_flags.h"
#include "datafile/data_file.h"
#include "datafile/record_reader.h"

struct ConvertRequest {
    std::string input;
    std::string output_base;  // used as it stands; in split mode also the per-sensor directory
    TypeFlags flags = 0;
    OutputSet outputs = ALL_OUTPUTS;  // of the files the flags give, those written
    Selection selection;              // the sensors and records written; by default all of them
    Hdf5Compression hdf5_compression;  // of the .h5 file's records (letter h)
    // Files never written, besides the input (which never is): the list file.
    std::vector<std::string> keep_intact;
    // Their identities (kept_file_identities), taken once when the run starts, so a name that
    // changes later cannot hide them; when not given, they are taken as the conversion starts.
    std::vector<FileIdentity> keep_intact_files;
    // Set when the run must end (a signal): the conversion stops within a block of records and
    // removes the regular files it created or truncated.
    const std::atomic<bool>* stop = nullptr;
    // Threads that convert the records; with more than one the pieces of a large file are
    // formatted at the same time and written in order, with the writes of one thread (record_pass.h).
    unsigned threads = 1;
    ConvertProgress* progress = nullptr;  // when set, kept up to date for a progress display
    // What a conversion that ends before its records (a file shorter than a header, a header
    // failure, an output that cannot be created) leaves: the files it created, empty, or nothing.
    bool keep_unfilled_outputs = true;
};

// The identities of the files at paths, each through a descriptor opened on it.
std::vector<FileIdentity> kept_file_identities(const std::vector<std::string>& paths);

// Converts request.input and reports every problem in the result; it prints nothing. A
// conversion holds no state outside its own call, so several may run at once.
ConvertResult convert_file(const ConvertRequest& request);
