// Fuzz target: the whole single-file conversion of arbitrary bytes.
//
// Input layout: byte 0 chooses the type letters and the output base, the remaining bytes
// are the data file. Each run converts in a scratch directory of its own and then checks
// what a user may rely on whatever the input:
//  - standard output is exactly the message the header rules name (or nothing);
//  - the input file is unchanged;
//  - only the expected names appear in the scratch directory and the per-sensor directory;
//  - every sensor of a valid file has files of its own, and no record is lost;
//  - with 'h', OUTBASE.h5 exists exactly when the header passes its tests and then holds every
//    value of the data file in the documented layout (datasets, attributes, dimensions, read
//    back with the HDF5 library), deflated when asked (inputs of odd length); no temporary file
//    remains.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/report.h"
#include "convert/convert.h"
#include "convert/hdf5_output.h"
#include "convert/output_names.h"
#include "fuzz/fuzz_support.h"
#if MEASCONV_HAVE_HDF5
#include "tests/hdf5_contents.h"
#endif

namespace {

namespace fs = std::filesystem;

// Byte 0 of an input.
constexpr std::uint8_t SELECT_PHYSIC = 0x01;
constexpr std::uint8_t SELECT_WAVELENGTH = 0x02;
constexpr std::uint8_t SELECT_SPLIT = 0x04;
constexpr std::uint8_t SELECT_CSV = 0x08;
constexpr std::uint8_t SELECT_TEXT = 0x10;
constexpr std::uint8_t SELECT_BASE_MASK = 0x60;  // which output base, see output_base_for
constexpr std::uint8_t SELECT_HDF5 = 0x80;       // 'h', together with characters that are no type letters

constexpr std::size_t HEADER_BYTES = 23344;

struct Scratch {
    std::string root;      // holds work/ and the captured standard output
    std::string work;      // the only place a conversion may write
    std::string input;     // work/in.dat
    std::string captured;  // root/stdout
};

// Made once, on the first call (from LLVMFuzzerInitialize), and only read after that.
const Scratch& scratch() {
    static const Scratch made = [] {
        Scratch s;
        s.root = make_fuzz_scratch("measconv-fuzz-convert");
        s.work = s.root + "/work";
        s.input = s.work + "/in.dat";
        s.captured = s.root + "/stdout";
        return s;
    }();
    return made;
}

void remove_scratch() {
    std::error_code ignored;
    fs::remove_all(scratch().root, ignored);
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string type_letters_for(std::uint8_t select) {
    std::string letters;
    if (select & SELECT_PHYSIC) letters += 'p';
    if (select & SELECT_WAVELENGTH) letters += 'W';
    if (select & SELECT_SPLIT) letters += 's';
    if (select & SELECT_CSV) letters += 'C';
    if (select & SELECT_TEXT) letters += 't';
    if (select & SELECT_HDF5) letters += "x?h";
    return letters;
}

enum class BaseKind { fresh_directory, work_directory, the_input, existing_directory };

BaseKind base_kind_for(std::uint8_t select) {
    switch ((select & SELECT_BASE_MASK) >> 5) {
    case 1: return BaseKind::work_directory;
    case 2: return BaseKind::the_input;
    case 3: return BaseKind::existing_directory;
    default: return BaseKind::fresh_directory;
    }
}

std::string output_base_for(BaseKind kind) {
    switch (kind) {
    case BaseKind::work_directory: return scratch().work + "/";
    case BaseKind::the_input: return scratch().input;
    case BaseKind::fresh_directory:
    case BaseKind::existing_directory: break;
    }
    return scratch().work + "/out";
}

// The message the header rules name for these bytes, worked out from the bytes alone.
std::string expected_message(const std::string& data) {
    if (data.size() < HEADER_BYTES) return "";
    if (data[0] != 'S' || data[1] != 'A') {
        const std::size_t nul = data.find('\0');
        const std::size_t end = nul < HEADER_BYTES ? nul : HEADER_BYTES;
        return "Input file format error. [SART]:[" + data.substr(0, end) + "]\n";
    }
    if (data[35] != 1 || data[36] != 3) return "Input file Version  format error, need version: 1.3\n";
    const auto count = static_cast<std::int8_t>(data[97]);
    if (count < 0) return "Input file sensor count error: " + std::to_string(count) + "\n";
    return "";
}

// The per-sensor files that cannot be made, each named in sensor order, text before CSV: all of
// them when the base is the input (no directory can be made there), and those whose name is a
// combined file of the same conversion (a base ending in '/').
std::string expected_sensor_messages(const std::string& data, const ConvertRequest& request, BaseKind kind) {
    if (!(request.flags & FLAG_SPLIT) || data.size() < HEADER_BYTES) return "";
    const DataFileHeader header = decode_header(reinterpret_cast<const unsigned char*>(data.data()));
    const RunPaths paths = derive_output_paths(request.input, request.output_base);
    std::vector<std::string> selected_combined;
    for (const CombinedOutput& output : COMBINED_OUTPUTS)
        if (has_flags(request.flags, output.bits))
            selected_combined.push_back(fs::path(paths[output.kind]).lexically_normal().string());
    std::string messages;
    const std::vector<std::string> stems = split_file_stems(header.sensors);
    for (const std::string& stem : stems) {
        for (const auto& [bit, extension] : {std::pair{FLAG_TEXT, ".txt"}, std::pair{FLAG_CSV, ".csv"}}) {
            if (!(request.flags & bit)) continue;
            const std::string path = request.output_base + "/" + stem + extension;
            const std::string normal = fs::path(path).lexically_normal().string();
            const bool is_combined =
                std::find(selected_combined.begin(), selected_combined.end(), normal) != selected_combined.end();
            if (kind == BaseKind::the_input || is_combined) messages += "Can not open '" + path + "' to export.\n";
        }
    }
    return messages;
}

std::size_t count_byte(const std::string& data, char byte) {
    return static_cast<std::size_t>(std::count(data.begin(), data.end(), byte));
}

bool every_lf_follows_a_cr(const std::string& text) {
    for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1))
        if (lf == 0 || text[lf - 1] != '\r') return false;
    return true;
}

// LF bytes in the sensor serial texts, each ending at its first NUL within 31 bytes.
std::size_t newlines_in_serials(const std::string& data, int sensor_count) {
    std::size_t lines = 0;
    for (int i = 0; i < sensor_count; ++i) {
        const std::string field = data.substr(104 + 32 * static_cast<std::size_t>(i) + 1, 31);
        lines += count_byte(field.substr(0, field.find('\0')), '\n');
    }
    return lines;
}

std::string take_captured_output() {
    std::fflush(stdout);
    std::string text = read_all(scratch().captured);
    require(ftruncate(fileno(stdout), 0) == 0, "cannot empty the captured output");
    std::rewind(stdout);
    return text;
}

// The .h5 file is written when asked for and the header passes its tests (in a build with HDF5).
// The .h5 file is renamed into place only when every other output of the conversion was
// written: a per-sensor file that could not be opened keeps it out.
bool hdf5_expected(TypeFlags flags, bool header_ok, bool other_outputs_complete) {
    return (flags & FLAG_HDF5) && header_ok && other_outputs_complete && hdf5_supported();
}

void check_combined_files(const std::string& data, const RunPaths& paths, TypeFlags flags, BaseKind kind,
                          bool header_ok, bool hdf5_written) {
    std::vector<std::pair<TypeFlags, const std::string*>> combined;
    for (const CombinedOutput& output : COMBINED_OUTPUTS) combined.emplace_back(output.bits, &paths[output.kind]);
    std::set<std::string> expected_names = {"in.dat"};
    if (hdf5_written) expected_names.insert(fs::path(paths.hdf5).filename().string());
    for (const auto& [bits, path] : combined) {
        if (!has_flags(flags, bits)) continue;
        expected_names.insert(fs::path(*path).filename().string());
        require(fs::is_regular_file(*path), "combined file missing: " + *path);
    }
    if (kind == BaseKind::existing_directory || (kind == BaseKind::fresh_directory && (flags & FLAG_SPLIT)))
        expected_names.insert("out");

    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(scratch().work)) {
        const std::string name = entry.path().filename().string();
        if (kind == BaseKind::work_directory && (flags & FLAG_SPLIT) && entry.is_regular_file() &&
            expected_names.count(name) == 0)
            continue;  // the per-sensor files share the directory; check_split_files counts them
        found.insert(name);
    }
    require(found == expected_names, "unexpected names in the output directory");

    if (!header_ok) {
        for (const auto& [bits, path] : combined)
            if (has_flags(flags, bits)) require(fs::file_size(*path) == 0, "a rejected file left output: " + *path);
        return;
    }
    const int n = static_cast<std::int8_t>(data[97]);
    const std::size_t records = (data.size() - HEADER_BYTES) / (8 + 8 * static_cast<std::size_t>(n));
    for (const auto& [bits, path] : combined) {
        if (!has_flags(flags, bits) || !(bits & FLAG_CSV)) continue;
        const std::string csv = read_all(*path);
        require(count_byte(csv, '\n') == 1 + newlines_in_serials(data, n) + records, "records lost in " + *path);
        require(every_lf_follows_a_cr(csv), "a line end is not CR LF in " + *path);
    }
}

// Inputs of odd length are deflated, at a level their length chooses.
Hdf5Compression compression_for(const std::string& data) {
    if (data.size() % 2 == 0) return {};
    return {static_cast<int>(1 + data.size() / 2 % MAX_DEFLATE_LEVEL)};
}

void check_hdf5_file(const std::string& data, const RunPaths& paths, const ConvertRequest& request, bool hdf5_written) {
    for (const auto& entry : fs::recursive_directory_iterator(scratch().work))
        require(entry.path().filename().string().find(".part") == std::string::npos,
                "a temporary file remains: " + entry.path().string());
    if (!hdf5_written) {
        require(!fs::exists(paths.hdf5), "an .h5 file that should not be there");
        return;
    }
#if MEASCONV_HAVE_HDF5
    const h5test::Contents written = h5test::read_hdf5(paths.hdf5);
    const std::string difference = h5test::first_difference(written, h5test::expected_hdf5(data));
    require(difference.empty(), "the .h5 file differs from the data file: " + difference);
    const int level = request.hdf5_compression.deflate_level;
    const std::vector<std::string> filters =
        level == 0 ? std::vector<std::string>{}
                   : std::vector<std::string>{"shuffle", "deflate " + std::to_string(level)};
    require(written.storage.at("physical_value").filters == filters, "the .h5 file is not stored as asked");
#else
    (void)data;
    (void)paths;
    (void)request;
#endif
}

void check_split_files(const std::string& data, TypeFlags flags, BaseKind kind, bool header_ok) {
    if (!(flags & FLAG_SPLIT) || kind == BaseKind::the_input) return;
    const fs::path work = scratch().work;
    const fs::path directory = kind == BaseKind::work_directory ? work : work / "out";
    require(fs::is_directory(directory), "the per-sensor directory was not made");

    std::size_t per_sensor_files = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        require(entry.is_regular_file() && !entry.is_symlink(),
                "not a plain file in the per-sensor directory: " + name);
        ++per_sensor_files;
    }
    // Sharing its directory with the input and the combined files, the count says nothing.
    if (kind == BaseKind::work_directory) return;
    if (!header_ok) {
        require(per_sensor_files == 0, "a rejected file made per-sensor files");
        return;
    }
    const std::size_t n = static_cast<std::size_t>(static_cast<std::int8_t>(data[97]));
    const std::size_t kinds = ((flags & FLAG_TEXT) ? 1 : 0) + ((flags & FLAG_CSV) ? 1 : 0);
    require(per_sensor_files == n * kinds, "sensors share files or lack them");

    if (!(flags & FLAG_CSV)) return;
    const std::size_t records = (data.size() - HEADER_BYTES) / (8 + 8 * n);
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".csv") != 0) continue;
        require(count_byte(read_all(entry.path().string()), '\n') == 1 + records, "records lost in " + name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A zone with daylight saving, so the local-time paths are exercised as well.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    require(std::freopen(scratch().captured.c_str(), "w+", stdout) != nullptr, "cannot capture standard output");
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t select = bytes[0];
    const std::string data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    const BaseKind kind = base_kind_for(select);

    std::error_code error;
    fs::remove_all(scratch().work, error);
    fs::create_directory(scratch().work);
    {
        std::ofstream input(scratch().input, std::ios::binary);
        input.write(data.data(), static_cast<std::streamsize>(data.size()));
        require(static_cast<bool>(input.flush()), "cannot write the input");
    }
    if (kind == BaseKind::existing_directory) fs::create_directory(scratch().work + "/out");

    ConvertRequest request;
    request.input = scratch().input;
    request.output_base = output_base_for(kind);
    request.flags = parse_type_letters(type_letters_for(select));
    request.hdf5_compression = compression_for(data);
    const ConvertResult result = convert_file(request);
    print_problems(result);

    const std::string header_message = expected_message(data);
    const std::string sensor_messages = header_message.empty() ? expected_sensor_messages(data, request, kind) : "";
    const bool header_ok = data.size() >= HEADER_BYTES && header_message.empty();
    const RunPaths paths = derive_output_paths(request.input, request.output_base);
    const bool hdf5_written = hdf5_expected(request.flags, header_ok, sensor_messages.empty());
    std::string message = header_message.empty() ? sensor_messages : header_message;
    if (hdf5_expected(request.flags, header_ok, true) && !hdf5_written)
        message += "Can not write '" + paths.hdf5 + "'.\n";
    require(take_captured_output() == message, "standard output is not the named message");
    require((result.status == ConvertStatus::ok) == message.empty(), "the result code disagrees with the message");
    require(read_all(scratch().input) == data, "the input was modified");

    check_combined_files(data, paths, request.flags, kind, header_ok, hdf5_written);
    check_split_files(data, request.flags, kind, header_ok);
    check_hdf5_file(data, paths, request, hdf5_written);
    return 0;
}
