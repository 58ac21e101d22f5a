// Fuzz target: the list-file reader on arbitrary bytes.
//
// The bytes are written to a list file and read back with read_list_file. The entries must be
// those of a plain C reading of the same rules: pieces of at most 998 bytes ending after a
// newline, '#' pieces skipped, the 500-byte filter keeping bytes 44 to 126, and strtok at commas.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/batch.h"
#include "fuzz/fuzz_support.h"

namespace {

// Made once, on the first call (from LLVMFuzzerInitialize), and only read after that.
const std::string& scratch_root() {
    static const std::string root = make_fuzz_scratch("measconv-fuzz-list");
    return root;
}

std::string list_path() { return scratch_root() + "/list.txt"; }

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_root(), ignored);
}

// The entries as a C program would find them, one fixed-size buffer at a time.
std::vector<ListEntry> reference_entries(const std::string& text) {
    std::vector<ListEntry> entries;
    std::size_t pos = 0;
    while (pos < text.size()) {
        char piece[999];
        std::size_t length = 0;
        while (length < 998 && pos < text.size()) {
            piece[length++] = text[pos++];
            if (piece[length - 1] == '\n') break;
        }
        if (piece[0] == '#') continue;

        char kept[501];
        std::size_t kept_length = 0;
        for (std::size_t i = 0; i < length && i < 500; ++i) {
            const unsigned char byte = static_cast<unsigned char>(piece[i]);
            if (byte >= 44 && byte <= 126) kept[kept_length++] = static_cast<char>(byte);
        }
        kept[kept_length] = '\0';

        char* fields[3] = {nullptr, nullptr, nullptr};
        fields[0] = std::strtok(kept, ",");
        if (fields[0] != nullptr) fields[1] = std::strtok(nullptr, ",");
        if (fields[1] != nullptr) fields[2] = std::strtok(nullptr, ",");
        if (fields[0] == nullptr) continue;
        ListEntry entry;
        entry.input = fields[0];
        if (fields[1] != nullptr) entry.output_base = fields[1];
        if (fields[2] != nullptr) entry.type = fields[2];
        entries.push_back(entry);
    }
    return entries;
}

bool same_entries(const std::vector<ListEntry>& a, const std::vector<ListEntry>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].input != b[i].input || a[i].output_base != b[i].output_base || a[i].type != b[i].type) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch_root();
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    {
        std::ofstream list(list_path(), std::ios::binary | std::ios::trunc);
        list.write(text.data(), static_cast<std::streamsize>(text.size()));
        require(static_cast<bool>(list.flush()), "cannot write the list file");
    }
    std::vector<ListEntry> entries;
    require(read_list_file(list_path(), entries), "a readable list was reported unreadable");
    require(same_entries(entries, reference_entries(text)), "the entries differ from the list's rules");
    return 0;
}
