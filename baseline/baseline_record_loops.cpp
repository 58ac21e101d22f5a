// measconv-baseline's record loops: the straightforward ones, in place of convert/record_loops.cpp.
#include "baseline/baseline_records.h"
#include "convert/record_loops.h"

const OutputFile* format_combined_records(const DataFileHeader& header, RecordBlock records, CombinedFiles& files) {
    return baseline_write_combined_records(header, records, files);
}

const OutputFile* format_split_records(const DataFileHeader& header, RecordBlock records, SplitFiles& files) {
    return baseline_write_split_records(header, records, files);
}
