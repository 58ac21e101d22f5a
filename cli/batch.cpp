#include "cli/batch.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "base/c_file.h"
#include "cli/parallel_batch.h"
#include "cli/report.h"

namespace {

// A line is read in pieces of at most this many bytes, each ending after a newline at the latest.
constexpr std::size_t MAX_READ_PIECE = 998;
// Only this many leading bytes of a piece are looked at.
constexpr std::size_t FILTER_WINDOW = 500;
// The list is read in chunks of this size; only the entries are kept, so memory follows them.
constexpr std::size_t LIST_CHUNK = 1 << 16;

bool survives_filter(unsigned char byte) { return byte >= ',' && byte <= '~'; }

// Fields as strtok with "," finds them: runs of commas separate, empty fields vanish.
std::vector<std::string> comma_fields(const std::string& text, std::size_t at_most) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (fields.size() < at_most) {
        pos = text.find_first_not_of(',', pos);
        if (pos == std::string::npos) break;
        const std::size_t end = text.find(',', pos);
        fields.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos) break;
        pos = end;
    }
    return fields;
}

// Cuts a list's bytes into pieces as they arrive, keeping of each piece only what its entry
// needs (the bytes of its window that survive the filter), so any list reads in one pass.
struct ListCutter {
    explicit ListCutter(const ListEntrySink& sink) : take(sink) {}

    const ListEntrySink& take;
    std::size_t piece_length = 0;
    bool comment = false;  // the piece starts with '#'
    std::string kept;

    void end_piece() {
        if (!comment) {
            std::vector<std::string> fields = comma_fields(kept, 3);
            if (!fields.empty())
                take({std::move(fields[0]), fields.size() > 1 ? std::move(fields[1]) : std::string(),
                      fields.size() > 2 ? std::move(fields[2]) : std::string()});
        }
        kept.clear();
        piece_length = 0;
    }

    void feed(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            const unsigned char byte = static_cast<unsigned char>(data[i]);
            if (piece_length == 0) comment = byte == '#';
            if (piece_length < FILTER_WINDOW && survives_filter(byte)) kept += static_cast<char>(byte);
            if (++piece_length == MAX_READ_PIECE || byte == '\n') end_piece();
        }
    }

    void finish() {
        if (piece_length > 0) end_piece();
    }
};

// A data file given where a list is expected (the output base forgotten): it passes the data
// file's magic and version tests, and NUL bytes stand in its first window, which no list line keeps.
bool looks_like_data_file(const char* bytes, std::size_t size) {
    if (size < HEADER_SIZE) return false;
    const auto* header = reinterpret_cast<const unsigned char*>(bytes);
    const HeaderCheck check = check_header(header);
    if (check == HeaderCheck::bad_magic || check == HeaderCheck::bad_version) return false;
    return std::memchr(bytes, '\0', FILTER_WINDOW) != nullptr;
}

// A sink that keeps the entries in a vector.
ListEntrySink appending_to(std::vector<ListEntry>& entries) {
    return [&entries](ListEntry&& entry) { entries.push_back(std::move(entry)); };
}

}  // namespace

ListRead read_list_entries(const std::string& path, const ListEntrySink& take, const std::atomic<bool>* stop) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return ListRead::unreadable;
    // Binary: pieces count the file's own bytes (Windows' text mode would drop CRs and stop at a Ctrl-Z).
    const CFile file(std::fopen(path.c_str(), "rb"));
    if (!file) return ListRead::unreadable;

    const std::unique_ptr<char[]> chunk = std::make_unique_for_overwrite<char[]>(LIST_CHUNK);
    ListCutter cutter(take);
    bool first = true;
    const auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
    for (;;) {
        if (stopped()) return ListRead::interrupted;
        const std::size_t got = std::fread(chunk.get(), 1, LIST_CHUNK, file.get());
        if (first && looks_like_data_file(chunk.get(), got)) return ListRead::data_file;
        first = false;
        cutter.feed(chunk.get(), got);
        if (got < LIST_CHUNK) break;
    }
    // A read cut short by the signal (no SA_RESTART) is the stop, not a read error.
    if (stopped()) return ListRead::interrupted;
    // A list cut short by a read error must not pass for the whole list.
    if (std::ferror(file.get())) return ListRead::unreadable;
    cutter.finish();
    return ListRead::ok;
}

ListRead read_list_entries(const std::string& path, std::vector<ListEntry>& entries, const std::atomic<bool>* stop) {
    std::vector<ListEntry> read;
    const ListRead result = read_list_entries(path, appending_to(read), stop);
    if (result == ListRead::ok) entries = std::move(read);
    return result;
}

std::vector<ListEntry> parse_list_text(const std::string& text) {
    std::vector<ListEntry> entries;
    const ListEntrySink take = appending_to(entries);
    ListCutter cutter(take);
    cutter.feed(text.data(), text.size());
    cutter.finish();
    return entries;
}

bool read_list_file(const std::string& path, std::vector<ListEntry>& entries, const std::atomic<bool>* stop) {
    std::vector<ListEntry> read;
    if (!read_list_file(path, appending_to(read), stop)) return false;
    entries = std::move(read);
    return true;
}

bool read_list_file(const std::string& path, const ListEntrySink& take, const std::atomic<bool>* stop) {
    const ListRead read = read_list_entries(path, take, stop);
    if (read == ListRead::ok) return true;
    if (read == ListRead::interrupted) {
        std::fflush(stdout);
        std::fprintf(stderr, "measconv: interrupted while reading the list file '%s'\n", path.c_str());
        return false;
    }
    std::printf("Failed to open %s\n", path.c_str());
    if (read == ListRead::data_file) {
        std::fflush(stdout);
        std::fprintf(stderr, "measconv: '%s' is a data file, not a list file; give an output base to convert it\n",
                     path.c_str());
    }
    return false;
}

BatchEntries::BatchEntries(const std::string& list_path, TypeFlags command_line_flags, const RunSettings& settings)
    : flags(command_line_flags) {
    run.common.hdf5_compression = settings.hdf5_compression;
    run.common.keep_intact = {list_path};
    // Taken once, so that no later name can hide the list from the outputs.
    run.common.keep_intact_files = kept_file_identities({list_path});
    run.common.stop = settings.stop;
}

void BatchEntries::add(ListEntry&& entry) {
    if (!entry.type.empty()) flags = parse_type_letters(entry.type);
    // Moved, not copied: a list of a million entries holds each path once.
    run.entries.push_back({std::move(entry.input), std::move(entry.output_base), flags, ALL_OUTPUTS});
}

RunEntries batch_entries(std::vector<ListEntry> entries, const std::string& list_path, TypeFlags command_line_flags,
                         const RunSettings& settings) {
    BatchEntries batch(list_path, command_line_flags, settings);
    for (ListEntry& entry : entries) batch.add(std::move(entry));
    return std::move(batch.run);
}

int run_batch(const std::string& list_path, TypeFlags command_line_flags, const RunSettings& settings) {
    BatchEntries batch(list_path, command_line_flags, settings);
    // Entries are made as the list is read: its lines are never held beside them.
    if (!read_list_file(list_path, [&](ListEntry&& entry) { batch.add(std::move(entry)); }, settings.stop))
        return 2;  // after a stop the process ends by the signal
    print_unsupported_notice(batch.run.entries);
    convert_entries(std::move(batch.run), settings);
    return 0;
}
