// measconv's record loops: the fast ones. Nothing else may live in this file: measconv-baseline
// links its own definitions of these two functions instead.
#include "convert/record_loops.h"

const OutputFile* format_combined_records(const DataFileHeader& header, RecordBlock records, CombinedFiles& files) {
    return write_combined_records(header, records, files);
}

const OutputFile* format_split_records(const DataFileHeader& header, RecordBlock records, SplitFiles& files) {
    return write_split_records(header, records, files);
}
