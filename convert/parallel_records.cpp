#include "convert/parallel_records.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// A piece of a read block formatted by one thread. Small enough that the pieces in flight stay
// a few MiB even in split mode with 127 sensors (about ten output bytes per input byte).
constexpr std::size_t PIECE_BYTES = 128u << 10;
// Read blocks held at once: one being formatted while the next is read.
constexpr std::size_t READ_AHEAD_BLOCKS = 2;
// The memory outputs of a piece start this large (at most) and grow to what a piece needs.
constexpr std::size_t COMBINED_PIECE_START = 256u << 10;
constexpr std::size_t SPLIT_PIECE_START = 16u << 10;

// A block read from the data file; its buffer is refilled once every piece of it is formatted.
struct ReadBlock {
    explicit ReadBlock(std::FILE* input, std::size_t record_size) : reader(input, record_size) {}
    RecordReader reader;
    RecordBlock records;
    std::size_t unformatted = 0;  // pieces not yet formatted; guarded by the pipeline's mutex
};

// A piece of a read block with the lines formatted from it.
struct Piece {
    RecordBlock records;
    std::size_t block = 0;    // index of its read block in Pipeline::blocks
    bool ends_block = false;  // the last piece of its read block
    bool formatted = false;   // guarded by the pipeline's mutex
    CombinedFiles combined;   // held in memory where the real file is open
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
    for (OutputFile& file : piece.combined.files) file.clear();
    for (OutputFile& file : piece.split.text) file.clear();
    for (OutputFile& file : piece.split.csv) file.clear();
    // Memory outputs do not fail; the loops' results say nothing here.
    if (request.flags & FLAG_SPLIT) request.loops.split(header, piece.records, piece.split);
    request.loops.combined(header, piece.records, piece.combined);
}

// Takes the next handed-out piece and formats it, the lock released meanwhile.
void format_next_piece(Pipeline& pipeline, std::unique_lock<std::mutex>& lock) {
    Piece& piece = pipeline.pieces[pipeline.taken++ % pipeline.pieces.size()];
    lock.unlock();
    format_piece(pipeline.request, pipeline.header, piece);
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
struct FormattingThreads {
    Pipeline& pipeline;
    std::vector<std::thread> threads;

    FormattingThreads(Pipeline& p, unsigned count) : pipeline(p) {
        for (unsigned i = 0; i < count; ++i) {
            try {
                threads.emplace_back(format_pieces, std::ref(pipeline));
            } catch (const std::system_error&) {
                break;  // fewer threads than asked for; with none the writer formats too
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

// A failed write, with what orders it among the failures the sequential pass would see: the
// record during which it happened, then the order in which the loop looks for failed files.
struct WriteFailure {
    std::size_t record = 0;
    std::size_t rank = 0;
    const OutputFile* file = nullptr;

    bool before(const WriteFailure& other) const {
        return record != other.record ? record < other.record : rank < other.rank;
    }
};

void keep_first(std::optional<WriteFailure>& first, const WriteFailure& failure) {
    if (!first || failure.before(*first)) first = failure;
}

// Appends the lines of a piece to one file. A file that failed before (its header) shows its
// failure at the first record, as the loop's first check finds it there.
void append_piece_lines(OutputFile& file, const OutputFile& lines, std::size_t line_room, std::size_t rank,
                        std::optional<WriteFailure>& first) {
    if (!file.is_open()) return;
    const bool failed_before = file.failed();
    const std::string_view bytes = lines.contents();
    const std::size_t failed_at = append_lines(file, bytes, line_room);
    if (failed_before) {
        keep_first(first, {0, rank, &file});
    } else if (failed_at != std::string_view::npos) {
        const auto record = static_cast<std::size_t>(std::count(bytes.begin(), bytes.begin() + failed_at, '\n'));
        keep_first(first, {record, rank, &file});
    }
}

// The per-sensor lines of a piece; the loop checks the CSV files, then the text files.
std::optional<WriteFailure> append_split_piece(const Piece& piece, SplitFiles& split) {
    std::optional<WriteFailure> first;
    const std::size_t n = split.csv.size();
    for (std::size_t i = 0; i < n; ++i) {
        append_piece_lines(split.csv[i], piece.split.csv[i], SPLIT_LINE_ROOM, i, first);
        append_piece_lines(split.text[i], piece.split.text[i], SPLIT_LINE_ROOM, n + i, first);
    }
    return first;
}

// The combined lines of a piece; the loop checks the files in their fixed order.
std::optional<WriteFailure> append_combined_piece(const Piece& piece, CombinedFiles& combined, std::size_t line_room) {
    std::optional<WriteFailure> first;
    for (std::size_t k = 0; k < COMBINED_OUTPUT_COUNT; ++k)
        append_piece_lines(combined.files[k], piece.combined.files[k], line_room, k, first);
    return first;
}

bool any_open(const std::vector<OutputFile>& files) {
    return std::any_of(files.begin(), files.end(), [](const OutputFile& file) { return file.is_open(); });
}

// The sequential pass, from a block already read: for files that fit in one read block and
// for conversions that write no file at all.
RecordPassEnd sequential_pass(const ConvertRequest& request, const DataFileHeader& header, RecordReader& reader,
                              RecordBlock block, CombinedFiles& combined, SplitFiles& split) {
    const bool split_mode = request.flags & FLAG_SPLIT;
    for (; block.count > 0; block = reader.next_block()) {
        if (const OutputFile* failed = split_mode ? request.loops.split(header, block, split) : nullptr)
            return {failed, false};
        if (const OutputFile* failed = request.loops.combined(header, block, combined)) return {failed, false};
        note_progress(request.progress, block, combined, split);
    }
    return {nullptr, reader.failed()};
}

// The writer's side of the pass: what it has written, and the failure it holds back.
struct Writer {
    CombinedFiles& combined;
    SplitFiles& split;
    std::size_t combined_line_room;
    bool split_files;  // split mode with at least one per-sensor file open
    // The sequential pass writes a read block's per-sensor lines before its combined ones: a
    // combined failure is reported only once no per-sensor write of the same block failed.
    std::optional<WriteFailure> combined_failure;

    // Writes a formatted piece; the failure to report, if the pass ends here.
    const OutputFile* write(const Piece& piece, ConvertProgress* progress) {
        if (split_files) {
            if (const std::optional<WriteFailure> failure = append_split_piece(piece, split)) return failure->file;
        }
        if (!combined_failure) combined_failure = append_combined_piece(piece, combined, combined_line_room);
        if (combined_failure && (piece.ends_block || !split_files)) return combined_failure->file;
        note_progress(progress, piece.records, combined, split);
        return nullptr;
    }
};

}  // namespace

std::size_t append_lines(OutputFile& file, std::string_view lines, std::size_t line_room) {
    std::size_t failed_at = std::string_view::npos;
    std::size_t at = 0;
    while (at < lines.size()) {
        const bool failed_before = file.failed();
        char* out = file.reserve(line_room);  // flushes when less than line_room is free, as the loops' reserve
        if (!failed_before && file.failed() && failed_at == std::string_view::npos) failed_at = at;
        // The loops flush before a line that starts with less than line_room free; so the lines
        // starting within the first room - line_room bytes go in, up to the end of the line that
        // crosses that mark. Each line is shorter than line_room, so they fit in the room.
        const std::size_t room = file.room();
        const std::size_t left = lines.size() - at;
        const std::size_t free_starts = room - line_room;
        std::size_t take = left;
        if (left > free_starts) {
            const void* lf = std::memchr(lines.data() + at + free_starts, '\n', left - free_starts);
            if (lf != nullptr) take = static_cast<std::size_t>(static_cast<const char*>(lf) - (lines.data() + at)) + 1;
        }
        take = std::min(take, room);
        std::memcpy(out, lines.data() + at, take);
        file.commit(out + take);
        at += take;
    }
    return failed_at;
}

RecordPassEnd write_records_in_parallel(const ConvertRequest& request, const DataFileHeader& header,
                                        std::FILE* input, CombinedFiles& combined, SplitFiles& split) {
    const std::size_t record_bytes = record_size(header.sensors.size());
    Pipeline pipeline{request, header, {}, {}, {}, {}, {}, 0, 0, false};
    pipeline.blocks.reserve(READ_AHEAD_BLOCKS);
    for (std::size_t i = 0; i < READ_AHEAD_BLOCKS; ++i) pipeline.blocks.emplace_back(input, record_bytes);

    const bool split_files = (request.flags & FLAG_SPLIT) && (any_open(split.text) || any_open(split.csv));
    const bool combined_files = std::any_of(combined.files.begin(), combined.files.end(),
                                            [](const OutputFile& file) { return file.is_open(); });
    RecordBlock first = pipeline.blocks[0].reader.next_block();
    if (pipeline.blocks[0].reader.at_end() || (!split_files && !combined_files))
        return sequential_pass(request, header, pipeline.blocks[0].reader, first, combined, split);

    const std::size_t piece_records = std::max<std::size_t>(1, PIECE_BYTES / record_bytes);
    const unsigned thread_count = std::min(request.threads, MAX_FORMAT_THREADS);
    // Each thread formats one piece while the next waits for it, and one more is written.
    pipeline.pieces.resize(2 * static_cast<std::size_t>(thread_count) + 2);
    for (Piece& piece : pipeline.pieces) open_piece_outputs(piece, combined, split, piece_records);
    const auto pieces_of = [&](const RecordBlock& block) { return (block.count + piece_records - 1) / piece_records; };

    Writer writer{combined, split, combined_line_room(header.sensors.size()), split_files, std::nullopt};
    std::size_t blocks_read = 1;  // read blocks numbered so far; block k lives in blocks[k % size]
    std::size_t cut_block = 0;    // the block being cut into pieces, and how far
    std::size_t cut_records = 0;
    std::size_t written = 0;  // pieces written
    bool input_done = false;
    bool read_failed = false;
    pipeline.blocks[0].records = first;
    pipeline.blocks[0].unformatted = pieces_of(first);

    FormattingThreads threads(pipeline, thread_count);
    const std::size_t ring = pipeline.pieces.size();
    std::unique_lock<std::mutex> lock(pipeline.mutex);
    for (;;) {
        // Hand out pieces while there are records read and room in the ring.
        while (pipeline.handed_out - written < ring && cut_block < blocks_read) {
            ReadBlock& block = pipeline.blocks[cut_block % READ_AHEAD_BLOCKS];
            Piece& piece = pipeline.pieces[pipeline.handed_out % ring];
            const std::size_t count = std::min(piece_records, block.records.count - cut_records);
            piece.records = {block.records.bytes + cut_records * record_bytes, count, record_bytes};
            piece.block = cut_block % READ_AHEAD_BLOCKS;
            cut_records += count;
            piece.ends_block = cut_records == block.records.count;
            piece.formatted = false;
            ++pipeline.handed_out;
            if (piece.ends_block) {
                ++cut_block;
                cut_records = 0;
            }
            pipeline.work_ready.notify_one();
        }

        // The next block goes into the buffer of the one read two blocks ago, once formatted.
        ReadBlock& next_block = pipeline.blocks[blocks_read % READ_AHEAD_BLOCKS];
        const bool can_read = !input_done && (blocks_read < READ_AHEAD_BLOCKS ||
                                              (cut_block + READ_AHEAD_BLOCKS > blocks_read && next_block.unformatted == 0));
        const bool next_formatted = written < pipeline.handed_out && pipeline.pieces[written % ring].formatted;
        const bool formatters_short = pipeline.handed_out - pipeline.taken < threads.threads.size();
        if (can_read && (formatters_short || !next_formatted)) {
            lock.unlock();
            const RecordBlock records = next_block.reader.next_block();
            lock.lock();
            if (records.count > 0) {
                next_block.records = records;
                next_block.unformatted = pieces_of(records);
                ++blocks_read;
            }
            if (next_block.reader.at_end()) {
                input_done = true;
                read_failed = next_block.reader.failed();
            }
            continue;
        }
        if (next_formatted) {
            const Piece& piece = pipeline.pieces[written % ring];
            lock.unlock();
            const OutputFile* failed = writer.write(piece, request.progress);
            if (failed != nullptr) return {failed, false};  // the formatting threads end with `threads`
            lock.lock();
            ++written;
            continue;
        }
        if (input_done && cut_block == blocks_read && written == pipeline.handed_out) break;
        if (threads.threads.empty()) {
            format_next_piece(pipeline, lock);
            continue;
        }
        pipeline.piece_ready.wait(lock);
    }
    return {nullptr, read_failed};
}
