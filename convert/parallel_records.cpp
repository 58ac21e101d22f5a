#include "convert/parallel_records.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <algorithm>
#include <array>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <queue>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// A piece of a read block formatted by one thread: small enough that the pieces in flight stay
// a few MiB even in split mode with 127 sensors (about ten output bytes per input byte).
constexpr std::size_t PIECE_BYTES = 64u << 10;
// Read blocks held at once: the pieces of one are formatted while the next is read.
constexpr std::size_t READ_AHEAD_BLOCKS = 2;
// The memory outputs of a piece start at most this large, and grow to what a piece needs.
constexpr std::size_t COMBINED_PIECE_START = 256u << 10;
constexpr std::size_t SPLIT_PIECE_START = 16u << 10;

enum class Loop { split, combined };

// A block read from the data file; its buffer is refilled once every piece of it is formatted.
struct ReadBlock {
    ReadBlock(std::FILE* input, const FileSelection& selection, std::int32_t start_time, SelectionCursor& cursor,
              const std::atomic<bool>* stop)
        : reader(input, selection.file_record_size(), 1 << 20, stop), selected(selection, start_time, cursor) {}
    RecordBlock next_block() { return selected.next_block(reader); }
    RecordReader reader;
    SelectedRecords selected;
    RecordBlock records;
    std::size_t unformatted = 0;  // pieces not yet formatted; guarded by the pipeline's mutex
};

// A piece of a read block for one of the two loops, with the lines it formatted.
struct Piece {
    RecordBlock records;
    Loop loop = Loop::split;
    std::size_t block = 0;   // index of its read block in Pipeline::blocks
    bool counts = false;     // the last piece of its records: they count as converted
    bool formatted = false;  // guarded by the pipeline's mutex
    bool out_of_memory = false;  // its lines could not be held: the writer ends the conversion
    CombinedFiles combined;  // held in memory where the real file is open
    SplitFiles split;
};

struct Pipeline {
    const ConvertRequest& request;
    const DataFileHeader& header;
    std::vector<ReadBlock> blocks;
    std::vector<Piece> pieces;  // a ring: piece number k lives in pieces[k % size]

    std::mutex mutex;
    std::condition_variable work_ready;   // a piece was handed out, or the pass ends
    std::condition_variable piece_ready;  // a piece was formatted
    std::size_t handed_out = 0;           // pieces numbered so far
    std::size_t taken = 0;                // pieces a formatting thread has taken
    bool ending = false;
};

bool any_open(const std::vector<OutputFile>& files) {
    return std::any_of(files.begin(), files.end(), [](const OutputFile& file) { return file.is_open(); });
}

// Memory outputs for a piece, open exactly where the real file is (the loops look at that).
void open_piece_outputs(Piece& piece, const CombinedFiles& combined, const SplitFiles& split, std::size_t records) {
    const std::size_t combined_start = std::min(COMBINED_PIECE_START, records * 64);
    const std::size_t split_start = std::min(SPLIT_PIECE_START, records * 64);
    for (std::size_t k = 0; k < COMBINED_OUTPUT_COUNT; ++k)
        if (combined.files[k].is_open()) piece.combined.files[k].open_in_memory(combined_start);
    piece.split.text.resize(split.text.size());
    piece.split.csv.resize(split.csv.size());
    for (std::size_t i = 0; i < split.text.size(); ++i)
        if (split.text[i].is_open()) piece.split.text[i].open_in_memory(split_start);
    for (std::size_t i = 0; i < split.csv.size(); ++i)
        if (split.csv[i].is_open()) piece.split.csv[i].open_in_memory(split_start);
}

void format_piece(const ConvertRequest& request, const DataFileHeader& header, Piece& piece) {
    // Memory outputs do not fail: what the loops return says nothing here.
    if (piece.loop == Loop::split) {
        for (OutputFile& file : piece.split.text) file.clear();
        for (OutputFile& file : piece.split.csv) file.clear();
        request.loops.split(header, piece.records, piece.split);
    } else {
        for (OutputFile& file : piece.combined.files) file.clear();
        request.loops.combined(header, piece.records, piece.combined);
    }
}

// Takes the next handed-out piece and formats it, the lock released meanwhile.
void format_next_piece(Pipeline& pipeline, std::unique_lock<std::mutex>& lock) {
    Piece& piece = pipeline.pieces[pipeline.taken++ % pipeline.pieces.size()];
    lock.unlock();
    try {
        format_piece(pipeline.request, pipeline.header, piece);
    } catch (const std::bad_alloc&) {
        piece.out_of_memory = true;  // an exception must not leave a thread; the writer raises it
    }
    lock.lock();
    piece.formatted = true;
    --pipeline.blocks[piece.block].unformatted;
    pipeline.piece_ready.notify_one();
}

void format_pieces(Pipeline& pipeline) {
    std::unique_lock<std::mutex> lock(pipeline.mutex);
    for (;;) {
        pipeline.work_ready.wait(lock, [&] { return pipeline.ending || pipeline.taken < pipeline.handed_out; });
        if (pipeline.ending) return;
        format_next_piece(pipeline, lock);
    }
}

// The formatting threads, told to end and joined however the pass ends.
// While it lives, the signals that stop a run are held back from this thread, and so from the
// threads it starts (they inherit its mask). Formatting threads never wait on the input, so a
// stop signal goes to the thread that reads, where it interrupts a read blocked on a pipe.
struct StopSignalsHeldForNewThreads {
#ifndef _WIN32
    sigset_t previous;
    StopSignalsHeldForNewThreads() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal_number);
        pthread_sigmask(SIG_BLOCK, &held, &previous);
    }
    ~StopSignalsHeldForNewThreads() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
#else
    StopSignalsHeldForNewThreads() {}  // the Windows runtime calls its handlers on a thread of their own
#endif
    StopSignalsHeldForNewThreads(const StopSignalsHeldForNewThreads&) = delete;
    StopSignalsHeldForNewThreads& operator=(const StopSignalsHeldForNewThreads&) = delete;
};

struct FormattingThreads {
    Pipeline& pipeline;
    std::vector<std::thread> threads;

    FormattingThreads(Pipeline& p, unsigned count) : pipeline(p) {
        const StopSignalsHeldForNewThreads held;
        for (unsigned i = 0; i < count; ++i) {
            try {
                threads.emplace_back(format_pieces, std::ref(pipeline));
            } catch (const std::system_error&) {
                break;  // fewer threads than asked for: the writer formats the more
            }
        }
    }
    ~FormattingThreads() {
        {
            const std::lock_guard<std::mutex> lock(pipeline.mutex);
            pipeline.ending = true;
        }
        pipeline.work_ready.notify_all();
        for (std::thread& thread : threads) thread.join();
    }
    FormattingThreads(const FormattingThreads&) = delete;
    FormattingThreads& operator=(const FormattingThreads&) = delete;
};

// --- Writing a piece as the loop writes its lines ---

// A failed write: the record during which it happened, and where the loop's check for failed
// files finds the file (which decides among failures of one record).
struct WriteFailure {
    std::size_t record = 0;
    std::size_t rank = 0;
    const OutputFile* file = nullptr;
};

void keep_first(std::optional<WriteFailure>& first, const WriteFailure& failure) {
    if (!first || std::tie(failure.record, failure.rank) < std::tie(first->record, first->rank)) first = failure;
}

// One file's lines of a piece (each ends in LF; one per record), appended up to a line.
struct LineCursor {
    OutputFile* file;
    std::string_view lines;  // of the memory output
    std::size_t rank;        // where the loop's check for failed files finds the file
    std::size_t order;       // where the loop writes the file's line of a record
    std::size_t line = 0;    // lines appended
    std::size_t at = 0;      // their bytes

    // The end of the line that holds byte `from` (at a line's start: that line).
    std::size_t end_of_line(std::size_t from) const {
        const void* lf = std::memchr(lines.data() + from, '\n', lines.size() - from);
        return lf == nullptr ? lines.size() : static_cast<std::size_t>(static_cast<const char*>(lf) - lines.data()) + 1;
    }

    // Where the loop's reserve(line_room) flushes the file next: before the first line that
    // starts with less than line_room free. Returns the line and its first byte, or nothing
    // when no line of the piece does. Only the lines up to there are counted.
    std::optional<std::pair<std::size_t, std::size_t>> next_flush(std::size_t line_room) const {
        const std::size_t room = file->room();
        if (room < line_room) return std::pair(line, at);
        // Lines that start within room - line_room bytes go in without a flush.
        const std::size_t last_free_start = at + (room - line_room);
        if (last_free_start >= lines.size()) return std::nullopt;
        const std::size_t start = end_of_line(last_free_start);
        if (start >= lines.size()) return std::nullopt;
        const auto counted = static_cast<std::size_t>(std::count(lines.data() + at, lines.data() + start, '\n'));
        return std::pair(line + counted, start);
    }

    // Appends the lines before byte `end` (a line's start); they fit in the room (next_flush).
    void append_until(std::size_t end, std::size_t end_line) {
        if (end <= at) return;
        const std::size_t size = end - at;
        char* out = file->reserve(size);
        std::memcpy(out, lines.data() + at, size);
        file->commit(out + size);
        at = end;
        line = end_line;
    }

    void append_rest() { append_until(lines.size(), line); }  // the lines are not counted any more

    // Appends the lines up to line `last` (and no further than the piece).
    void append_through(std::size_t last) {
        std::size_t end = at;
        std::size_t end_line = line;
        for (; end_line <= last && end < lines.size(); ++end_line) end = end_of_line(end);
        append_until(end, end_line);
    }
};

// Writes the lines of one piece into the files, flushing each where the loop's reserve would,
// the flushes of all files in the order the loop makes them (record by record, and within a
// record in the order it writes the files). On a failed write it stops, as the loop does,
// after the lines of that record; the failure is returned.
std::optional<WriteFailure> write_piece_lines(std::vector<LineCursor>& cursors, std::size_t line_room) {
    std::optional<WriteFailure> failure;
    // A file that failed before (its header) is found failed after the first record.
    for (const LineCursor& cursor : cursors)
        if (cursor.file->failed()) keep_first(failure, {0, cursor.rank, cursor.file});
    std::size_t stop_after = failure ? 0 : static_cast<std::size_t>(-1);

    using Flush = std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>;  // line, order, cursor, byte
    std::priority_queue<Flush, std::vector<Flush>, std::greater<Flush>> flushes;
    const auto plan_flush = [&](std::size_t i) {
        if (const auto next = cursors[i].next_flush(line_room))
            flushes.push({next->first, cursors[i].order, i, next->second});
    };
    for (std::size_t i = 0; i < cursors.size(); ++i) plan_flush(i);
    while (!flushes.empty() && std::get<0>(flushes.top()) <= stop_after) {
        const auto [line, order, i, start] = flushes.top();
        flushes.pop();
        LineCursor& cursor = cursors[i];
        cursor.append_until(start, line);
        const bool failed_before = cursor.file->failed();
        cursor.file->reserve(line_room);  // flushes, as less than line_room is free
        if (!failed_before && cursor.file->failed()) {
            keep_first(failure, {line, cursor.rank, cursor.file});
            stop_after = line;
        }
        plan_flush(i);
    }
    for (LineCursor& cursor : cursors) {
        if (failure)
            cursor.append_through(stop_after);
        else
            cursor.append_rest();
    }
    return failure;
}

// The cursors of a piece's open files, with the loops' orders.
std::vector<LineCursor> cursors_of(const Piece& piece, CombinedFiles& combined, SplitFiles& split) {
    std::vector<LineCursor> cursors;
    if (piece.loop == Loop::split) {
        // For each sensor the CSV line, then the text line; the check looks at every CSV file first.
        const std::size_t n = split.csv.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (split.csv[i].is_open()) cursors.push_back({&split.csv[i], piece.split.csv[i].contents(), i, 2 * i});
            if (split.text[i].is_open())
                cursors.push_back({&split.text[i], piece.split.text[i].contents(), n + i, 2 * i + 1});
        }
    } else {
        // The loop writes the CSV files, the wavelength text and then the physical-value text;
        // its check goes in the order of COMBINED_OUTPUTS.
        constexpr CombinedKind written[] = {CombinedKind::physic_csv, CombinedKind::wavelength_csv,
                                            CombinedKind::wavelength_text, CombinedKind::physic_text};
        for (std::size_t order = 0; order < std::size(written); ++order) {
            const auto k = static_cast<std::size_t>(written[order]);
            if (combined.files[k].is_open())
                cursors.push_back({&combined.files[k], piece.combined.files[k].contents(), k, order});
        }
    }
    return cursors;
}

// The sequential pass, from a block already read: for files that fit in one read block and
// for conversions that write no file at all.
RecordPassEnd sequential_pass(const ConvertRequest& request, const DataFileHeader& header, ReadBlock& reader,
                              RecordBlock block, CombinedFiles& combined, SplitFiles& split) {
    const bool split_mode = request.flags & FLAG_SPLIT;
    for (; block.count > 0; block = reader.next_block()) {
        if (const OutputFile* failed = split_mode ? request.loops.split(header, block, split) : nullptr)
            return {failed, false};
        if (const OutputFile* failed = request.loops.combined(header, block, combined)) return {failed, false};
        note_progress(request.progress, block, combined, split);
    }
    return {nullptr, reader.reader.failed()};
}

// The calling thread's side of the pass: it reads the blocks, cuts them into pieces for the
// loops, and writes the formatted pieces in order. Its counters are guarded by the mutex.
struct PassDriver {
    Pipeline& pipeline;
    CombinedFiles& combined;
    SplitFiles& split;
    std::vector<Loop> loops;
    std::size_t record_bytes;
    std::size_t piece_records;
    std::array<std::size_t, 2> line_rooms;  // by Loop

    std::size_t blocks_read = 0;  // read blocks numbered so far; block k lives in blocks[k % size]
    std::size_t cut_block = 0;    // the block being cut into pieces, for which loop, and how far
    std::size_t cut_loop = 0;
    std::size_t cut_records = 0;
    std::size_t written = 0;  // pieces written
    bool input_done = false;
    bool read_failed = false;

    // Records a block just read into blocks[blocks_read % size].
    void take_block(const RecordBlock& records) {
        ReadBlock& block = pipeline.blocks[blocks_read % READ_AHEAD_BLOCKS];
        if (records.count > 0) {
            block.records = records;
            block.unformatted = loops.size() * ((records.count + piece_records - 1) / piece_records);
            ++blocks_read;
        }
        if (block.reader.at_end()) {
            input_done = true;
            read_failed = block.reader.failed();
        }
    }

    // Hands out pieces while there are records read and room in the ring.
    void hand_out_pieces() {
        const std::size_t ring = pipeline.pieces.size();
        while (pipeline.handed_out - written < ring && cut_block < blocks_read) {
            ReadBlock& block = pipeline.blocks[cut_block % READ_AHEAD_BLOCKS];
            Piece& piece = pipeline.pieces[pipeline.handed_out % ring];
            const std::size_t count = std::min(piece_records, block.records.count - cut_records);
            piece.records = {block.records.bytes + cut_records * record_bytes, count, record_bytes};
            piece.loop = loops[cut_loop];
            piece.block = cut_block % READ_AHEAD_BLOCKS;
            piece.counts = cut_loop + 1 == loops.size();
            piece.formatted = false;
            piece.out_of_memory = false;
            ++pipeline.handed_out;
            cut_records += count;
            if (cut_records == block.records.count) {  // the next loop over this block, or the next block
                cut_records = 0;
                if (++cut_loop == loops.size()) {
                    cut_loop = 0;
                    ++cut_block;
                }
            }
            pipeline.work_ready.notify_one();
        }
    }

    // The next block goes into the buffer of the one read two blocks before, once all its
    // pieces are formatted.
    bool can_read() const {
        if (input_done) return false;
        if (blocks_read < READ_AHEAD_BLOCKS) return true;
        return cut_block + READ_AHEAD_BLOCKS > blocks_read &&
               pipeline.blocks[blocks_read % READ_AHEAD_BLOCKS].unformatted == 0;
    }

    bool next_formatted() const {
        return written < pipeline.handed_out && pipeline.pieces[written % pipeline.pieces.size()].formatted;
    }

    bool finished() const { return input_done && cut_block == blocks_read && written == pipeline.handed_out; }

    // Reads the next block, the lock released meanwhile.
    void read_block(std::unique_lock<std::mutex>& lock) {
        ReadBlock& reader = pipeline.blocks[blocks_read % READ_AHEAD_BLOCKS];
        lock.unlock();
        const RecordBlock records = reader.next_block();
        lock.lock();
        take_block(records);
    }

    // Writes the next piece, the lock released meanwhile; the file whose write failed, or null.
    const OutputFile* write_piece(std::unique_lock<std::mutex>& lock) {
        const Piece& piece = pipeline.pieces[written % pipeline.pieces.size()];
        if (piece.out_of_memory) throw std::bad_alloc();  // as if this thread had formatted it
        lock.unlock();
        std::vector<LineCursor> cursors = cursors_of(piece, combined, split);
        const std::optional<WriteFailure> failure =
            write_piece_lines(cursors, line_rooms[static_cast<std::size_t>(piece.loop)]);
        if (!failure && piece.counts) note_progress(pipeline.request.progress, piece.records, combined, split);
        lock.lock();
        ++written;
        return failure ? failure->file : nullptr;
    }

    RecordPassEnd run(std::size_t formatting_threads) {
        std::unique_lock<std::mutex> lock(pipeline.mutex);
        for (;;) {
            hand_out_pieces();
            // Reading comes first when the formatting threads run short of pieces.
            const bool formatters_short = pipeline.handed_out - pipeline.taken <= formatting_threads;
            if (can_read() && (formatters_short || !next_formatted())) {
                read_block(lock);
            } else if (next_formatted()) {
                if (const OutputFile* failed = write_piece(lock)) return {failed, false};
            } else if (finished()) {
                return {nullptr, read_failed};
            } else if (pipeline.taken < pipeline.handed_out) {
                format_next_piece(pipeline, lock);
            } else {
                pipeline.piece_ready.wait(lock);
            }
        }
    }
};

}  // namespace

RecordPassEnd write_records_in_parallel(const ConvertRequest& request, const DataFileHeader& header,
                                        const FileSelection& selection, SelectionCursor& cursor, std::FILE* input,
                                        CombinedFiles& combined, SplitFiles& split) {
    const std::size_t record_bytes = record_size(header.sensors.size());
    Pipeline pipeline{request, header, {}, {}, {}, {}, {}, 0, 0, false};
    pipeline.blocks.reserve(READ_AHEAD_BLOCKS);
    for (std::size_t i = 0; i < READ_AHEAD_BLOCKS; ++i)
        pipeline.blocks.emplace_back(input, selection, header.start_time, cursor, request.stop);

    // The loops that have a file to write into, in the order the sequential pass runs them.
    std::vector<Loop> loops;
    if ((request.flags & FLAG_SPLIT) && (any_open(split.text) || any_open(split.csv))) loops.push_back(Loop::split);
    if (std::any_of(combined.files.begin(), combined.files.end(), [](const OutputFile& f) { return f.is_open(); }))
        loops.push_back(Loop::combined);
    const RecordBlock first = pipeline.blocks[0].next_block();
    if (pipeline.blocks[0].reader.at_end() || loops.empty())
        return sequential_pass(request, header, pipeline.blocks[0], first, combined, split);

    // This thread formats too whenever it has nothing to read or write: request.threads
    // threads in all, no more than the cores they are meant for.
    const unsigned thread_count = std::clamp(request.threads, 1u, MAX_FORMAT_THREADS);
    const std::size_t piece_records = std::max<std::size_t>(1, PIECE_BYTES / record_bytes);
    // Each thread formats a piece while the next waits for it, and one more is written.
    pipeline.pieces.resize(2 * static_cast<std::size_t>(thread_count) + 2);
    for (Piece& piece : pipeline.pieces) open_piece_outputs(piece, combined, split, piece_records);

    PassDriver driver{pipeline,
                      combined,
                      split,
                      loops,
                      record_bytes,
                      piece_records,
                      {SPLIT_LINE_ROOM, combined_line_room(header.sensors.size())}};
    driver.take_block(first);
    FormattingThreads threads(pipeline, thread_count - 1);
    return driver.run(threads.threads.size());
}
