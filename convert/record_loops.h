// The record loops the pass formats with, chosen when a program is linked: measconv links
// record_loops.cpp (the fast loops of combined_output.cpp and split_output.cpp), while
// measconv-baseline links baseline/baseline_record_loops.cpp instead (the straightforward
// loops the benchmarks and equivalence tests measure the fast ones against), as
// hdf5_output_absent.cpp stands in for the HDF5 writer in a build without HDF5.
#pragma once

#include "convert/combined_output.h"
#include "convert/split_output.h"
#include "datafile/data_file.h"
#include "datafile/record_reader.h"

// Same contract as write_combined_records.
const OutputFile* format_combined_records(const DataFileHeader& header, RecordBlock records, CombinedFiles& files);

// Same contract as write_split_records.
const OutputFile* format_split_records(const DataFileHeader& header, RecordBlock records, SplitFiles& files);
