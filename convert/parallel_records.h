// The pass over the records of one data file on several threads, with the writes of the
// sequential pass.
//
// The calling thread reads the data file in the blocks the sequential pass reads (1 MiB) and
// writes the outputs. The record loops run on pieces of those blocks (64 KiB of records),
// each piece into outputs of its own held in memory (OutputFile::open_in_memory), on
// request.threads - 1 formatting threads and on the calling thread whenever it has nothing
// to read or write. Like the sequential pass, which gives a block first to the per-sensor
// loop and then to the combined one, the pieces of a block are formatted first for the
// per-sensor files, then for the combined ones, and written in that order.
//
// Writing a piece replays what the loop does with each line: room is reserved in the file's
// buffer as the loop reserves it, so the buffer is flushed before the very line where the
// loop flushes it, and the flushes of all files are taken record by record. So every file
// receives the same writes, in the same order among the files, as in the sequential pass:
// when one fails (a full disk, a size limit), the pass stops after the same record, with the
// same bytes in every file, and names the same file.
//
// Memory: the read blocks (2 MiB) and 2 * threads + 2 pieces with their lines (about 1 MiB
// each in split mode with 127 sensors, much less otherwise), besides the files' own buffers;
// it does not grow with the file.
#pragma once

#include <cstdio>

#include "convert/convert.h"

// How a pass over the records ended.
struct RecordPassEnd {
    const OutputFile* failed_file = nullptr;  // the file whose write failed, as the loops report it
    bool read_failed = false;                 // reading stopped on an error, not at the end
};

// Threads used at most, whatever request.threads asks for: beyond this the one writer
// bounds the speed, and more would only add memory.
inline constexpr unsigned MAX_FORMAT_THREADS = 32;

// Converts the records that follow the header in input into the open files of combined and
// split, on request.threads threads in all (at most MAX_FORMAT_THREADS). A file that ends
// within the first read block is converted by the calling thread alone, as sequentially.
// header is the one the outputs describe; the records read are those of the selection.
RecordPassEnd write_records_in_parallel(const ConvertRequest& request, const DataFileHeader& header,
                                        const FileSelection& selection, SelectionCursor& cursor, std::FILE* input,
                                        CombinedFiles& combined, SplitFiles& split);
