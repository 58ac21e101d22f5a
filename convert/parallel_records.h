// The pass over the records of one data file on several threads, with the writes of the
// sequential pass.
//
// The calling thread reads the data file in the blocks the sequential pass reads (1 MiB) and
// writes the outputs. Formatting threads run the same record loops on pieces of those blocks
// (about 128 KiB of records each), each piece into outputs of its own held in memory
// (OutputFile::open_in_memory). Like the sequential pass, which gives a block first to the
// per-sensor loop and then to the combined one, the pieces of a block are handed out first
// for the per-sensor files, then for the combined ones, and written in that order.
//
// Writing a piece replays what the loop does with each line, reserving room in the file's
// buffer and so flushing it before the very line where the loop would, and takes the files'
// flushes in the order of their records. So every file receives the same writes, in the same
// order among the files, as in the sequential pass: when one fails (a full disk), the pass
// stops after the same record, with the same bytes in every file, and names the same file.
// A fixed number of pieces and read blocks is in flight, so memory does not grow with the file.
#pragma once

#include <cstdio>

#include "convert/convert.h"

// How a pass over the records ended.
struct RecordPassEnd {
    const OutputFile* failed_file = nullptr;  // the file whose write failed, as the loops report it
    bool read_failed = false;                 // reading stopped on an error, not at the end
};

// Formatting threads used at most, whatever request.threads asks for: beyond this the one
// writer bounds the speed, and more would only add memory.
inline constexpr unsigned MAX_FORMAT_THREADS = 32;

// Converts the records that follow the header in input into the open files of combined and
// split, formatting them on request.threads threads (at most MAX_FORMAT_THREADS). A file that
// ends within the first read block is converted by the calling thread alone.
RecordPassEnd write_records_in_parallel(const ConvertRequest& request, const DataFileHeader& header,
                                        std::FILE* input, CombinedFiles& combined, SplitFiles& split);
