#include "convert/record_pass.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "convert/record_loops.h"

namespace {

// About this many bytes of records in a piece: large enough that handing a piece to a thread
// costs little against formatting it, small enough that the pieces in flight stay a few MiB.
constexpr std::size_t PIECE_BYTES = 64u << 10;
constexpr std::size_t READ_BLOCK_BYTES = 1u << 20;
// Read blocks held at once by the threaded pass: the pieces of one are formatted while the
// next is read.
constexpr std::size_t READ_AHEAD_BLOCKS = 2;

// --- The schedule's one fixed order ---

enum class Place { combined, split_text, split_csv };

// An open text or CSV output, where it sits among the outputs, and the room one line needs.
struct ScheduledOutput {
    Place place;
    std::size_t index;
    std::size_t line_room;
};

// The open text and CSV outputs in the order every step of a piece visits them: the combined
// files in their order, then per sensor the text file and the CSV file. This is the only
// place the order is written down.
std::vector<ScheduledOutput> schedule_order(const DataFileHeader& header, const CombinedFiles& combined,
                                            const SplitFiles& split) {
    std::vector<ScheduledOutput> order;
    const std::size_t combined_room = combined_line_room(header.sensors.size());
    for (std::size_t k = 0; k < COMBINED_OUTPUT_COUNT; ++k)
        if (combined.files[k].is_open()) order.push_back({Place::combined, k, combined_room});
    for (std::size_t i = 0; i < split.text.size() || i < split.csv.size(); ++i) {
        if (i < split.text.size() && split.text[i].is_open()) order.push_back({Place::split_text, i, SPLIT_LINE_ROOM});
        if (i < split.csv.size() && split.csv[i].is_open()) order.push_back({Place::split_csv, i, SPLIT_LINE_ROOM});
    }
    return order;
}

template <typename Combined, typename Split>
auto& output_at(Combined& combined, Split& split, const ScheduledOutput& output) {
    switch (output.place) {
    case Place::combined: return combined.files[output.index];
    case Place::split_text: return split.text[output.index];
    case Place::split_csv: break;
    }
    return split.csv[output.index];
}

// What every step of the pass works with.
struct Pass {
    const RecordPassSettings& settings;
    const DataFileHeader& header;
    RecordOutputs outputs;
    std::vector<ScheduledOutput> order;
    std::size_t piece_records;

    OutputFile& file(const ScheduledOutput& output) const { return output_at(outputs.combined, outputs.split, output); }
    bool stop_requested() const { return settings.stop != nullptr && settings.stop->load(std::memory_order_relaxed); }
};

// Bytes given to the text and CSV outputs so far, for the progress display.
std::uint64_t output_bytes(const Pass& pass) {
    std::uint64_t bytes = 0;
    for (const ScheduledOutput& output : pass.order) bytes += pass.file(output).size();
    return bytes;
}

// --- The three steps of a piece ---

// Step 1: a file is flushed when its buffer may not hold the piece's longest possible lines.
void make_room_for_piece(const Pass& pass, std::size_t records) {
    for (const ScheduledOutput& output : pass.order) {
        OutputFile& file = pass.file(output);
        const std::size_t need = records * output.line_room;
        if (file.room() < need) file.reserve(need);  // flushes: less than need is free
    }
}

// Step 2 (and the end of the pass): has a write failed, in the schedule's order?
bool any_write_failed(const Pass& pass) {
    for (const ScheduledOutput& output : pass.order)
        if (pass.file(output).failed()) return true;
    return !append_hdf5_records(pass.outputs.hdf5, nullptr, 0);  // appending nothing tells whether one failed
}

// The record loops over a piece, into the outputs given: with one thread the real files
// (they have the room, so the loops never flush), with more the piece's memory outputs.
// What the loops return says nothing here: the pass checks the files itself, in its order.
void format_lines(const Pass& pass, RecordBlock records, CombinedFiles& combined, SplitFiles& split) {
    if (!split.text.empty() || !split.csv.empty()) format_split_records(pass.header, records, split);
    format_combined_records(pass.header, records, combined);
}

// One piece through the three steps; put_lines is step 3's text part. False when a write has
// failed: the pass ends.
template <typename PutLines>
bool write_piece(const Pass& pass, RecordBlock records, PutLines put_lines) {
    make_room_for_piece(pass, records.count);
    if (any_write_failed(pass)) return false;
    put_lines();
    append_hdf5_records(pass.outputs.hdf5, records.bytes, records.count);  // a failure shows at the next check
    if (pass.settings.progress != nullptr) note_progress(pass.settings.progress, records, output_bytes(pass));
    return true;
}

RecordBlock piece_of(RecordBlock block, std::size_t first, std::size_t most) {
    return {block.bytes + first * block.record_size, std::min(most, block.count - first), block.record_size};
}

// --- One thread ---

RecordPassEnd one_thread_pass(const Pass& pass, RecordReader& reader, SelectedRecords& selected, RecordBlock block) {
    for (; block.count > 0; block = selected.next_block(reader)) {
        if (pass.stop_requested()) return {};
        for (std::size_t first = 0; first < block.count; first += pass.piece_records) {
            const RecordBlock piece = piece_of(block, first, pass.piece_records);
            const auto format_in_place = [&] {
                format_lines(pass, piece, pass.outputs.combined, pass.outputs.split);
            };
            if (!write_piece(pass, piece, format_in_place)) return {true, false};
        }
    }
    if (any_write_failed(pass)) return {true, false, !reader.failed()};
    return {false, reader.failed()};
}

// --- Several threads ---

// A block read from the data file; its buffer is read into again once every piece of it is written.
struct ReadBlock {
    ReadBlock(std::FILE* input, const FileSelection& selection, std::int32_t start_time, SelectionCursor& cursor,
              const std::atomic<bool>* stop)
        : reader(input, selection.file_record_size(), READ_BLOCK_BYTES, stop), selected(selection, start_time, cursor) {}
    RecordBlock next_block() { return selected.next_block(reader); }
    RecordReader reader;
    SelectedRecords selected;
    RecordBlock records;
    std::size_t unwritten = 0;  // pieces not yet written; guarded by the pipeline's mutex
};

// A piece of a read block with the lines formatted for it, in memory outputs open where the
// real files are.
struct Piece {
    RecordBlock records;
    std::size_t block = 0;   // index of its read block in Pipeline::blocks
    bool formatted = false;      // guarded by the pipeline's mutex
    bool out_of_memory = false;  // its lines could not be held: the writer ends the conversion
    CombinedFiles combined;
    SplitFiles split;
};

// Memory outputs for a piece, open exactly where the real files are (the loops look at that),
// sized for a piece of ordinary lines; they grow when the lines are longer.
void open_piece_outputs(const Pass& pass, Piece& piece) {
    piece.split.text.resize(pass.outputs.split.text.size());
    piece.split.csv.resize(pass.outputs.split.csv.size());
    for (const ScheduledOutput& output : pass.order)
        output_at(piece.combined, piece.split, output).open_in_memory(pass.piece_records * 64);
}

struct Pipeline {
    const Pass& pass;
    std::vector<ReadBlock> blocks;
    std::vector<Piece> pieces;  // a ring: piece number n lives in pieces[n % size]

    std::mutex mutex;
    std::condition_variable work_ready;   // a piece was handed out, or the pass ends
    std::condition_variable piece_ready;  // a piece was formatted
    std::size_t handed_out = 0;           // pieces numbered so far
    std::size_t taken = 0;                // pieces a formatting thread has taken
    bool ending = false;
};

void format_piece(const Pass& pass, Piece& piece) {
    for (const ScheduledOutput& output : pass.order) output_at(piece.combined, piece.split, output).clear();
    format_lines(pass, piece.records, piece.combined, piece.split);
}

// Takes the next handed-out piece and formats it, the lock released meanwhile.
void format_next_piece(Pipeline& pipeline, std::unique_lock<std::mutex>& lock) {
    Piece& piece = pipeline.pieces[pipeline.taken++ % pipeline.pieces.size()];
    lock.unlock();
    try {
        format_piece(pipeline.pass, piece);
    } catch (const std::bad_alloc&) {
        piece.out_of_memory = true;  // an exception must not leave a thread; the writer raises it
    }
    lock.lock();
    piece.formatted = true;
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

// The formatting threads, told to end and joined however the pass ends.
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

// Step 3 with lines formatted ahead: each file's lines of the piece copied in, in the
// schedule's order (they fit: step 1 made the room).
void copy_piece_lines(const Pass& pass, const Piece& piece) {
    for (const ScheduledOutput& output : pass.order) {
        const std::string_view lines = output_at(piece.combined, piece.split, output).contents();
        pass.file(output).write_raw(lines.data(), lines.size());
    }
}

// The calling thread's side of the threaded pass: it reads the blocks, cuts them into pieces,
// and writes the formatted pieces in order. Its counters are guarded by the mutex.
struct PassDriver {
    Pipeline& pipeline;
    std::size_t blocks_read = 0;  // read blocks numbered so far; block n lives in blocks[n % size]
    std::size_t cut_block = 0;    // the block being cut into pieces, and how far
    std::size_t cut_records = 0;
    std::size_t written = 0;  // pieces written
    bool input_done = false;
    bool read_failed = false;

    const Pass& pass() const { return pipeline.pass; }

    // Records a block just read into blocks[blocks_read % size].
    void take_block(const RecordBlock& records) {
        ReadBlock& block = pipeline.blocks[blocks_read % READ_AHEAD_BLOCKS];
        if (records.count > 0) {
            block.records = records;
            block.unwritten = (records.count + pass().piece_records - 1) / pass().piece_records;
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
            piece.records = piece_of(block.records, cut_records, pass().piece_records);
            piece.block = cut_block % READ_AHEAD_BLOCKS;
            piece.formatted = false;
            piece.out_of_memory = false;
            ++pipeline.handed_out;
            cut_records += piece.records.count;
            if (cut_records == block.records.count) {
                cut_records = 0;
                ++cut_block;
            }
            pipeline.work_ready.notify_one();
        }
    }

    // The next block goes into the buffer of the one read two blocks before, once all its
    // pieces are written (the HDF5 file takes the records themselves when a piece is written).
    bool can_read() const {
        if (input_done) return false;
        if (blocks_read < READ_AHEAD_BLOCKS) return true;
        return pipeline.blocks[blocks_read % READ_AHEAD_BLOCKS].unwritten == 0;
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

    // Writes the next piece through the three steps, the lock released meanwhile. False when
    // a write has failed.
    bool write_next_piece(std::unique_lock<std::mutex>& lock) {
        const Piece& piece = pipeline.pieces[written % pipeline.pieces.size()];
        if (piece.out_of_memory) throw std::bad_alloc();  // as if this thread had formatted it
        lock.unlock();
        const bool written_well = write_piece(pass(), piece.records, [&] { copy_piece_lines(pass(), piece); });
        lock.lock();
        ++written;
        --pipeline.blocks[piece.block].unwritten;
        return written_well;
    }

    RecordPassEnd run(std::size_t formatting_threads) {
        std::unique_lock<std::mutex> lock(pipeline.mutex);
        for (;;) {
            if (pass().stop_requested()) return {};
            hand_out_pieces();
            // Reading comes first when the formatting threads run short of pieces.
            const bool formatters_short = pipeline.handed_out - pipeline.taken <= formatting_threads;
            if (can_read() && (formatters_short || !next_formatted())) {
                read_block(lock);
            } else if (next_formatted()) {
                if (!write_next_piece(lock)) return {true, false};
            } else if (finished()) {
                if (any_write_failed(pass())) return {true, false, !read_failed};
                return {false, read_failed};
            } else if (pipeline.taken < pipeline.handed_out) {
                format_next_piece(pipeline, lock);
            } else {
                pipeline.piece_ready.wait(lock);
            }
        }
    }
};

RecordPassEnd threaded_pass(const Pass& pass, Pipeline& pipeline, RecordBlock first, unsigned thread_count) {
    // Each thread formats a piece while the next waits for it, and one more is written.
    pipeline.pieces.resize(2 * static_cast<std::size_t>(thread_count) + 2);
    for (Piece& piece : pipeline.pieces) open_piece_outputs(pass, piece);
    PassDriver driver{pipeline};
    driver.take_block(first);
    FormattingThreads threads(pipeline, thread_count - 1);
    return driver.run(threads.threads.size());
}

}  // namespace

std::size_t piece_record_count(const DataFileHeader& header, const CombinedFiles& combined, const SplitFiles& split) {
    std::size_t records = std::max<std::size_t>(1, PIECE_BYTES / record_size(header.sensors.size()));
    for (const ScheduledOutput& output : schedule_order(header, combined, split)) {
        const OutputFile& file = output_at(combined, split, output);
        records = std::min(records, std::max<std::size_t>(1, file.buffer_size() / (2 * output.line_room)));
    }
    return records;
}

RecordPassEnd write_records(const RecordPassSettings& settings, const DataFileHeader& header,
                            const FileSelection& selection, SelectionCursor& cursor, std::FILE* input,
                            RecordOutputs outputs) {
    const Pass pass{settings, header, outputs, schedule_order(header, outputs.combined, outputs.split),
                    piece_record_count(header, outputs.combined, outputs.split)};
    Pipeline pipeline{pass, {}, {}, {}, {}, {}, 0, 0, false};
    pipeline.blocks.reserve(READ_AHEAD_BLOCKS);
    for (std::size_t i = 0; i < READ_AHEAD_BLOCKS; ++i)
        pipeline.blocks.emplace_back(input, selection, header.start_time, cursor, settings.stop);
    ReadBlock& first_block = pipeline.blocks[0];
    const RecordBlock first = first_block.next_block();
    // The formatting threads pay when there is more than a block and there are lines to format.
    const unsigned thread_count = std::clamp(settings.threads, 1u, MAX_FORMAT_THREADS);
    if (thread_count == 1 || first_block.reader.at_end() || pass.order.empty())
        return one_thread_pass(pass, first_block.reader, first_block.selected, first);
    return threaded_pass(pass, pipeline, first, thread_count);
}
