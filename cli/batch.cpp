#include "cli/batch.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/report.h"

namespace {

// A line is read in pieces of at most this many bytes, each ending after a newline at the latest.
constexpr std::size_t MAX_READ_PIECE = 998;
// Only this many leading bytes of a piece are looked at.
constexpr std::size_t FILTER_WINDOW = 500;

bool survives_filter(unsigned char byte) { return byte >= ',' && byte <= '~'; }

std::string filter_piece(const std::string& piece) {
    std::string kept;
    const std::size_t window = piece.size() < FILTER_WINDOW ? piece.size() : FILTER_WINDOW;
    for (std::size_t i = 0; i < window; ++i)
        if (survives_filter(static_cast<unsigned char>(piece[i]))) kept += piece[i];
    return kept;
}

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

bool read_whole_file(std::FILE* file, std::string& text) {
    char chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    return !std::ferror(file);
}

}  // namespace

std::vector<ListEntry> parse_list_text(const std::string& text) {
    std::vector<ListEntry> entries;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length = text.size() - pos < MAX_READ_PIECE ? text.size() - pos : MAX_READ_PIECE;
        const std::size_t newline = text.find('\n', pos);
        if (newline != std::string::npos && newline - pos < length) length = newline - pos + 1;
        const std::string piece = text.substr(pos, length);
        pos += length;

        if (piece[0] == '#') continue;
        const std::vector<std::string> fields = comma_fields(filter_piece(piece), 3);
        if (fields.empty()) continue;
        ListEntry entry;
        entry.input = fields[0];
        if (fields.size() > 1) entry.output_base = fields[1];
        if (fields.size() > 2) entry.type = fields[2];
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool read_list_file(const std::string& path, std::vector<ListEntry>& entries) {
    std::error_code error;
    std::FILE* file = std::filesystem::is_directory(path, error) ? nullptr : std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        std::printf("Failed to open %s\n", path.c_str());
        return false;
    }
    std::string text;
    read_whole_file(file, text);
    std::fclose(file);
    entries = parse_list_text(text);
    return true;
}

std::vector<ConvertRequest> batch_requests(const std::vector<ListEntry>& entries, TypeFlags command_line_flags,
                                           const RecordLoops& loops) {
    std::vector<ConvertRequest> requests;
    TypeFlags flags = command_line_flags;
    for (const ListEntry& entry : entries) {
        if (!entry.type.empty()) flags = parse_type_letters(entry.type);
        requests.push_back({entry.input, entry.output_base, flags, loops});
    }
    return requests;
}

int run_batch(const std::string& list_path, TypeFlags command_line_flags, const RecordLoops& loops) {
    std::vector<ListEntry> entries;
    if (!read_list_file(list_path, entries)) return 2;
    const std::vector<ConvertRequest> requests = batch_requests(entries, command_line_flags, loops);
    print_unsupported_notice(requests);
    for (const ConvertRequest& request : requests)
        print_problems(convert_file(request));  // a failed entry does not stop the run
    return 0;
}
