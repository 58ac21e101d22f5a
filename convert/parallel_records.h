// The pass over the records of one data file on several threads, with the bytes of the
// sequential pass.
//
// The calling thread reads the data file in the blocks the sequential pass reads (1 MiB) and
// writes the outputs. Formatting threads take pieces of those blocks (about 128 KiB of
// records each) and run the same record loops on them, each piece into outputs of its own
// held in memory (OutputFile::open_in_memory). The writer appends the pieces in order,
// flushing every file at the very bytes where the sequential pass flushes it, so each file
// receives the same writes; when one fails, the file reported is the one the sequential pass
// would report. A fixed number of pieces and read blocks is in flight, so memory does not
// grow with the file.
#pragma once

#include <cstdio>

#include "convert/convert.h"

// How a pass over the records ended.
struct RecordPassEnd {
    const OutputFile* failed_file = nullptr;  // the file whose write failed first, or null
    bool read_failed = false;                 // reading stopped on an error, not at the end
};

// Formatting threads used at most, whatever request.threads asks for: more would only add
// memory, as the one writer bounds the speed long before.
inline constexpr unsigned MAX_FORMAT_THREADS = 32;

// Converts the records that follow the header in input, formatting them on request.threads
// threads (at most MAX_FORMAT_THREADS), into the open files of combined and split. A file
// that ends within the first read block is converted by the calling thread alone.
RecordPassEnd write_records_in_parallel(const ConvertRequest& request, const DataFileHeader& header,
                                        std::FILE* input, CombinedFiles& combined, SplitFiles& split);

// Appends lines (whole lines, each ending in LF) to file as the record loops write them one at
// a time with file.reserve(line_room): the buffer is flushed before the same lines. Returns the
// offset in lines of the line before which a flush failed, or npos.
std::size_t append_lines(OutputFile& file, std::string_view lines, std::size_t line_room);
