// The write schedule of the record pass (convert/record_pass.h), through outputs whose writes
// go to sinks held here: every write is logged (which output, how many bytes) and a sink can
// refuse bytes from any point on, so flush points and a failure at any byte are checked
// directly, with no full disk or size limit. The expected writes come from a model of the
// schedule (flush in the fixed order before each piece when the room is short), worked out
// from the bytes each output ends up with; every thread count must make exactly those writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "base/c_file.h"
#include "convert/record_pass.h"
#include "test_support.h"

namespace {

#ifdef MEASCONV_THREAD_SANITIZER
// Some ten times slower there: fewer failing points, the threads' races are the same.
constexpr bool EVERY_FAILING_POINT = false;
#else
constexpr bool EVERY_FAILING_POINT = true;
#endif

constexpr std::size_t NEVER = std::numeric_limits<std::size_t>::max();
constexpr std::size_t COMBINED_BUFFER = 64u << 10;
constexpr std::size_t SPLIT_BUFFER = 16u << 10;
constexpr std::size_t READ_BLOCK_BYTES = 1u << 20;  // the pass reads the records in blocks of 1 MiB

struct Write {
    std::size_t rank;   // the output's place in the schedule's fixed order
    std::size_t bytes;  // asked to take
    bool cut = false;   // the sink took fewer: the write failed
    bool operator==(const Write&) const = default;
};

struct Sink {
    std::vector<Write>* log;
    std::size_t rank;
    std::size_t fail_at = NEVER;  // bytes it takes at most; a write beyond them is cut short
    std::string bytes;
};

std::size_t take_bytes(void* context, const char* data, std::size_t size) {
    Sink& sink = *static_cast<Sink*>(context);
    const std::size_t room = sink.fail_at == NEVER ? size : sink.fail_at - std::min(sink.fail_at, sink.bytes.size());
    const std::size_t taken = std::min(size, room);
    sink.bytes.append(data, taken);
    sink.log->push_back({sink.rank, size, taken < size});
    return taken;
}

struct ScheduleCase {
    const char* name;
    int sensors;
    std::uint64_t records;
    std::vector<CombinedKind> combined;
    bool split_text;
    bool split_csv;
    int split_every = 1;  // per-sensor files only for every n-th sensor
};

// What one pass left: the writes during the pass, how it ended, and every output's bytes after
// closing.
struct PassRun {
    std::vector<Write> writes;
    RecordPassEnd end;
    std::vector<std::string> bytes;  // by rank
    std::size_t piece_records = 0;
};

// The outputs of a case in the schedule's order: the combined files in their order, then per
// sensor the text and the CSV file. Each gets a short header first.
struct CaseOutputs {
    CombinedFiles combined;
    SplitFiles split;
    Hdf5Output hdf5;
    std::vector<std::unique_ptr<Sink>> sinks;   // by rank
    std::vector<std::size_t> line_rooms;        // by rank
    std::vector<OutputFile*> files;             // by rank
    std::vector<Write> log;

    void open(OutputFile& file, std::size_t room, LineEnds ends, std::size_t buffer, std::size_t fail_at) {
        sinks.push_back(std::make_unique<Sink>(Sink{&log, sinks.size(), fail_at, {}}));
        file.open_sink("output " + std::to_string(sinks.size()), {take_bytes, sinks.back().get()}, ends, buffer);
        file.write("# header of the output\n");
        line_rooms.push_back(room);
        files.push_back(&file);
    }
};

void open_case_outputs(const ScheduleCase& c, CaseOutputs& out, std::size_t failing_rank, std::size_t fail_at) {
    const std::size_t n = static_cast<std::size_t>(c.sensors);
    const auto fail_for = [&](std::size_t rank) { return rank == failing_rank ? fail_at : NEVER; };
    for (std::size_t k = 0; k < COMBINED_OUTPUT_COUNT; ++k)
        for (CombinedKind kind : c.combined)
            if (static_cast<std::size_t>(kind) == k)
                out.open(out.combined.files[k], combined_line_room(n), LineEnds::crlf, COMBINED_BUFFER,
                         fail_for(out.files.size()));
    out.split.text.resize(c.split_text || c.split_csv ? n : 0);
    out.split.csv.resize(c.split_text || c.split_csv ? n : 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % static_cast<std::size_t>(c.split_every) != 0) continue;
        if (c.split_text)
            out.open(out.split.text[i], SPLIT_LINE_ROOM, LineEnds::keep, SPLIT_BUFFER, fail_for(out.files.size()));
        if (c.split_csv)
            out.open(out.split.csv[i], SPLIT_LINE_ROOM, LineEnds::keep, SPLIT_BUFFER, fail_for(out.files.size()));
    }
}

struct DataFile {
    std::string path;
    DataFileHeader header;
};

DataFile make_data_file(const test::Scratch& scratch, const ScheduleCase& c) {
    FileShape shape = test::sample_shape();
    shape.sensors = numbered_sensors(c.sensors);
    shape.pattern_records = c.records;
    shape.records_per_second = 7;
    shape.invalid_every = 5;
    DataFile file{scratch.path("in.dat"), {}};
    EXPECT_TRUE(write_data_file(shape, file.path));
    const std::string bytes = test::read_file(file.path);
    file.header = decode_header(reinterpret_cast<const unsigned char*>(bytes.data()));
    return file;
}

PassRun run_pass(const ScheduleCase& c, const DataFile& data, unsigned threads, std::size_t failing_rank = NEVER,
                 std::size_t fail_at = NEVER) {
    CaseOutputs out;
    open_case_outputs(c, out, failing_rank, fail_at);
    FileSelection selection;
    EXPECT_EQ(resolve_selection(Selection{}, data.header, selection).status, ConvertStatus::ok);
    SelectionCursor cursor;
    const CFile input(std::fopen(data.path.c_str(), "rb"));
    std::fseek(input.get(), static_cast<long>(HEADER_SIZE), SEEK_SET);
    const RecordPassSettings settings{threads, nullptr, nullptr};
    PassRun run;
    run.piece_records = piece_record_count(data.header, out.combined, out.split);
    run.end = write_records(settings, data.header, selection, cursor, input.get(), {out.combined, out.split, out.hdf5});
    run.writes = out.log;
    for (OutputFile* file : out.files) file->close();
    for (const auto& sink : out.sinks) run.bytes.push_back(sink->bytes);
    return run;
}

// The ends of the pieces, in records: the blocks of 1 MiB, each cut into pieces of k records.
std::vector<std::size_t> piece_ends(std::size_t sensors, std::uint64_t records, std::size_t k) {
    const std::size_t block = READ_BLOCK_BYTES / record_size(sensors);
    std::vector<std::size_t> ends;
    for (std::size_t start = 0; start < records; start += block) {
        const std::size_t block_end = std::min<std::size_t>(start + block, records);
        for (std::size_t at = start; at < block_end; at += k) ends.push_back(std::min(at + k, block_end));
    }
    return ends;
}

// Where each line of bytes ends (the header line first).
std::vector<std::size_t> line_ends(const std::string& bytes) {
    std::vector<std::size_t> ends;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n') ends.push_back(i + 1);
    return ends;
}

// The writes the schedule makes during the pass: before each piece, in rank order, each output
// whose buffer has less room than the piece's records times the output's line room writes
// what it holds.
std::vector<Write> modelled_writes(const ScheduleCase& c, const PassRun& whole) {
    const std::vector<std::size_t> ends = piece_ends(static_cast<std::size_t>(c.sensors), c.records, whole.piece_records);
    std::vector<std::vector<std::size_t>> lines;
    for (const std::string& bytes : whole.bytes) lines.push_back(line_ends(bytes));
    std::vector<std::size_t> flushed(whole.bytes.size(), 0);
    std::vector<Write> writes;
    std::size_t done = 0;  // records in the outputs' buffers or flushed
    for (std::size_t end : ends) {
        const std::size_t count = end - done;
        for (std::size_t rank = 0; rank < whole.bytes.size(); ++rank) {
            const bool combined = rank < c.combined.size();
            const std::size_t buffer = combined ? COMBINED_BUFFER : SPLIT_BUFFER;
            const std::size_t room_per_line =
                combined ? combined_line_room(static_cast<std::size_t>(c.sensors)) : SPLIT_LINE_ROOM;
            const std::size_t held = lines[rank][done] - flushed[rank];  // the header line and `done` records
            if (buffer - held < count * room_per_line) {
                writes.push_back({rank, held});
                flushed[rank] += held;
            }
        }
        done = end;
    }
    return writes;
}

std::vector<ScheduleCase> schedule_cases() {
    using K = CombinedKind;
    return {
        {"four combined files", 4, 30000, {K::physic_text, K::wavelength_text, K::physic_csv, K::wavelength_csv}, false,
         false},
        {"per-sensor files", 3, 30000, {}, true, true},
        {"some of each, across three read blocks", 4, 60000, {K::wavelength_text, K::physic_csv}, true, true, 2},
        {"127 sensors", 127, 1300, {K::physic_text}, true, true, 9},
        {"no sensor", 0, 150000, {K::physic_csv, K::wavelength_text}, false, false},
    };
}

constexpr unsigned THREADS[] = {1, 2, 3};

TEST(WriteSchedule, EveryThreadCountMakesTheWritesOfTheModel) {
    for (const ScheduleCase& c : schedule_cases()) {
        SCOPED_TRACE(c.name);
        test::Scratch scratch;
        const DataFile data = make_data_file(scratch, c);
        const PassRun one = run_pass(c, data, 1);
        EXPECT_FALSE(one.end.write_failed || one.end.read_failed);
        const std::vector<Write> expected = modelled_writes(c, one);
        EXPECT_GT(expected.size(), 2u);  // the case flushes during the pass
        for (unsigned threads : THREADS) {
            const PassRun run = threads == 1 ? one : run_pass(c, data, threads);
            EXPECT_EQ(run.piece_records, one.piece_records) << threads << " threads";
            EXPECT_TRUE(run.writes == expected) << threads << " threads: " << run.writes.size() << " writes, "
                                                << expected.size() << " modelled";
            EXPECT_TRUE(run.bytes == one.bytes) << threads << " threads";
            EXPECT_FALSE(run.end.write_failed || run.end.read_failed) << threads << " threads";
        }
        // Each output holds its header and one line per record, whatever the flushes.
        for (const std::string& bytes : one.bytes) EXPECT_EQ(line_ends(bytes).size(), c.records + 1);
    }
}

TEST(WriteSchedule, AWriteFailingAtAnyByteStopsEveryThreadCountAtTheSamePiece) {
    for (const ScheduleCase& c : schedule_cases()) {
        SCOPED_TRACE(c.name);
        test::Scratch scratch;
        const DataFile data = make_data_file(scratch, c);
        const PassRun whole = run_pass(c, data, 1);
        const std::vector<Write> modelled = modelled_writes(c, whole);
        // Failing points sampled over the outputs and their bytes: in the header, on a flush's
        // first and last byte, in the middle of the file, at its last byte.
        const std::size_t outputs = whole.bytes.size();
        std::vector<std::size_t> ranks = {0, outputs - 1};
        if (EVERY_FAILING_POINT) ranks.push_back(outputs / 2);
        for (std::size_t rank : ranks) {
            const std::size_t size = whole.bytes[rank].size();
            std::size_t first_flush = size;
            for (const Write& write : modelled)
                if (write.rank == rank) {
                    first_flush = write.bytes;
                    break;
                }
            std::vector<std::size_t> failing_points = {first_flush, size / 2};
            if (EVERY_FAILING_POINT)
                failing_points.insert(failing_points.end(), {std::size_t{5}, first_flush - 1, first_flush + 1, size - 1});
            for (std::size_t fail_at : failing_points) {
                SCOPED_TRACE("output " + std::to_string(rank) + " fails at byte " + std::to_string(fail_at));
                const PassRun one = run_pass(c, data, 1, rank, fail_at);
                // What an output got is the beginning of its whole bytes.
                for (std::size_t r = 0; r < outputs; ++r)
                    EXPECT_EQ(whole.bytes[r].compare(0, one.bytes[r].size(), one.bytes[r]), 0) << "output " << r;
                EXPECT_EQ(one.bytes[rank].size(), std::min(fail_at, size));
                // The pass stops at the check that follows the failed write: later writes are
                // only those of the same step, to outputs later in the fixed order.
                std::size_t failed = 0;
                while (failed < one.writes.size() && !one.writes[failed].cut) ++failed;
                EXPECT_EQ(one.end.write_failed, failed < one.writes.size());
                for (std::size_t i = failed + 1; i < one.writes.size(); ++i)
                    EXPECT_GT(one.writes[i].rank, one.writes[i - 1].rank) << "write " << i;
                for (unsigned threads : THREADS) {
                    if (threads == 1) continue;
                    const PassRun run = run_pass(c, data, threads, rank, fail_at);
                    EXPECT_EQ(run.end.write_failed, one.end.write_failed) << threads << " threads";
                    EXPECT_TRUE(run.writes == one.writes) << threads << " threads";
                    EXPECT_TRUE(run.bytes == one.bytes) << threads << " threads";
                }
            }
        }
    }
}

}  // namespace
