// The straightforward record loops: every cell printed with snprintf, every record's time
// converted with its own localtime call, every line assembled and then copied into its file.
// They are the measure of the fast loops in combined_output.cpp and split_output.cpp: the
// benchmarks time measconv-baseline (which links these loops), and the tests
// require byte-identical files from both.
#pragma once

#include "convert/combined_output.h"
#include "convert/split_output.h"

// Same contract as write_combined_records.
const OutputFile* baseline_write_combined_records(const DataFileHeader& header, RecordBlock records,
                                                  CombinedFiles& files);

// Same contract as write_split_records.
const OutputFile* baseline_write_split_records(const DataFileHeader& header, RecordBlock records, SplitFiles& files);
