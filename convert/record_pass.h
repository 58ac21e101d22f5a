// The pass over the records of one data file, on any number of threads: the write schedule.
//
// The records are read in blocks of 1 MiB, and every block is cut into pieces of k records;
// k depends only on the record size and on the outputs' buffers (piece_record_count), never
// on the number of threads. Every piece then goes through the same three steps:
//
//   1. room   Every open text or CSV output, in the schedule's one fixed order (the combined
//             files in their order, then per sensor the text file and the CSV file), is
//             flushed if its buffer has less room than the piece can need: k times the
//             longest line the file can get, which is known before anything is formatted.
//   2. check  The outputs are looked at in the same order, the HDF5 file last: if a write
//             has failed, the pass stops here.
//   3. lines  The piece's lines go into the buffers, where they are now sure to fit (nothing
//             is flushed in this step), and its records go to the HDF5 file.
//
// After the last piece, the check once more. With one thread the lines are formatted
// straight into the buffers. With more, the pieces are formatted ahead on the other threads
// into outputs in memory of their own, and the calling thread, which reads the data file,
// takes them in order through the same three steps, copying the lines in. So every write
// (which file, how many bytes, in which order) follows from the data file and the outputs
// alone: a full disk or a file-size limit stops every thread count after the same piece,
// with the same bytes in every file and the same messages.
//
// Memory: two read blocks, the files' own buffers, and with n threads 2n + 2 pieces with
// their lines (well under 1 MiB each); it does not grow with the file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "convert/combined_output.h"
#include "convert/convert_progress.h"
#include "convert/hdf5_output.h"
#include "convert/selection.h"
#include "convert/split_output.h"
#include "datafile/data_file.h"
#include "datafile/record_reader.h"

// Everything the records are written into.
struct RecordOutputs {
    CombinedFiles& combined;
    SplitFiles& split;
    Hdf5Output& hdf5;
};

struct RecordPassSettings {
    unsigned threads = 1;  // in all, the calling thread included; at most MAX_FORMAT_THREADS are used
    const std::atomic<bool>* stop = nullptr;  // when set, the pass ends at the next block
    ConvertProgress* progress = nullptr;
};

// How a pass over the records ended.
struct RecordPassEnd {
    bool write_failed = false;  // an output's write failed: the pass stopped at a piece's check
    bool read_failed = false;   // reading stopped on an error, not at the end
};

// Threads used at most, whatever settings.threads asks for: beyond this the one writer
// bounds the speed, and more would only add memory.
inline constexpr unsigned MAX_FORMAT_THREADS = 32;

// Records in a piece (k above) for these open outputs: a piece's lines fill at most half of
// any file's buffer, and its records are about 64 KiB.
std::size_t piece_record_count(const DataFileHeader& header, const CombinedFiles& combined, const SplitFiles& split);

// Converts the records that follow the header in input into the open outputs. header is the
// one the outputs describe; the records read are those of the selection.
RecordPassEnd write_records(const RecordPassSettings& settings, const DataFileHeader& header,
                            const FileSelection& selection, SelectionCursor& cursor, std::FILE* input,
                            RecordOutputs outputs);
