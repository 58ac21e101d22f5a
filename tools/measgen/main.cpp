// measgen: writes a measurement data file for trying and testing the converter.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/standard_streams.h"
#include "measconv_version.h"
#include "measgen/generator.h"

namespace {

bool parse_long(const char* text, long long& value) {
    char* end = nullptr;
    value = std::strtoll(text, &end, 0);
    return end != text && *end == '\0';
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

bool parse_record(const std::string& text, GenRecord& record) {
    const std::vector<std::string> parts = split(text, ',');
    long long offset, counter;
    if (parts.size() < 2 || !parse_long(parts[0].c_str(), offset) || !parse_long(parts[1].c_str(), counter))
        return false;
    record.time_offset = static_cast<std::int32_t>(offset);
    record.counter = static_cast<std::int32_t>(counter);
    for (std::size_t i = 2; i < parts.size(); ++i) {
        const std::vector<std::string> pair = split(parts[i], ':');
        long long wavelength;
        if (pair.size() != 2 || !parse_long(pair[1].c_str(), wavelength)) return false;
        record.readings.push_back({std::strtof(pair[0].c_str(), nullptr), static_cast<std::int32_t>(wavelength)});
    }
    return true;
}

// "A:B" or "A:B:C" of integers; at least `least` of them.
bool parse_integers(const std::string& text, std::size_t least, std::vector<long long>& numbers) {
    numbers.clear();
    for (const std::string& part : split(text, ':')) {
        long long number;
        if (!parse_long(part.c_str(), number)) return false;
        numbers.push_back(number);
    }
    return numbers.size() >= least && numbers.size() <= 3 && numbers[0] >= 0;
}

// "R:S": from generated record R on, a shift of S.
bool parse_jump(const char* value, GenJump& jump) {
    std::vector<long long> numbers;
    if (!parse_integers(value, 2, numbers) || numbers.size() != 2) return false;
    jump = {static_cast<std::uint64_t>(numbers[0]), numbers[1]};
    return true;
}

bool add_time_jump(FileShape& shape, const char* value) {
    GenJump jump;
    if (!parse_jump(value, jump)) return false;
    shape.time_jumps.push_back(jump);
    return true;
}

bool add_counter_jump(FileShape& shape, const char* value) {
    GenJump jump;
    if (!parse_jump(value, jump)) return false;
    shape.counter_jumps.push_back(jump);
    return true;
}

bool add_invalid_stretch(FileShape& shape, const char* value) {
    std::vector<long long> numbers;
    if (!parse_integers(value, 2, numbers) || numbers[1] < 0 || (numbers.size() == 3 && numbers[2] < 0)) return false;
    shape.invalid_stretches.push_back({static_cast<std::uint64_t>(numbers[0]), static_cast<std::uint64_t>(numbers[1]),
                                       numbers.size() == 3 ? static_cast<std::uint32_t>(numbers[2]) : 0u});
    return true;
}

bool set_serials(FileShape& shape, const char* value) {
    shape.sensors.clear();
    for (const std::string& serial : split(value, ','))
        shape.sensors.push_back({static_cast<std::uint8_t>(shape.sensors.size() + 1), serial});
    return true;
}

bool set_file_version(FileShape& shape, const char* value) {
    const std::vector<std::string> parts = split(value, '.');
    long long major, minor;
    if (parts.size() != 2 || !parse_long(parts[0].c_str(), major) || !parse_long(parts[1].c_str(), minor)) return false;
    shape.version_major = static_cast<std::int8_t>(major);
    shape.version_minor = static_cast<std::int8_t>(minor);
    return true;
}

bool add_record(FileShape& shape, const char* value) {
    GenRecord record;
    if (!parse_record(value, record)) return false;
    shape.records.push_back(record);
    return true;
}

enum class Group { shape, irregular, broken };

// An option that takes a value: a number within [low, high] for set_number, any other value for
// set_text (false when the value is not acceptable). A new option is one row of OPTIONS.
struct ValueOption {
    const char* name;
    const char* value;  // the value's form, as the usage shows it
    const char* help;
    Group group = Group::shape;
    long long low = 0;
    long long high = 0;
    void (*set_number)(FileShape& shape, long long number) = nullptr;
    bool (*set_text)(FileShape& shape, const char* value) = nullptr;
};

constexpr long long I32_MIN = INT32_MIN, I32_MAX = INT32_MAX, U32_MAX = UINT32_MAX, I64_MAX = INT64_MAX;

// clang-format off
const ValueOption OPTIONS[] = {
    {.name = "--sensors", .value = "N", .help = "N sensors with ids 1..N and serials SN0001... (N up to 726)",
     .low = 0, .high = 726,
     .set_number = [](FileShape& s, long long n) { s.sensors = numbered_sensors(static_cast<int>(n)); }},
    {.name = "--serials", .value = "A,B,...", .help = "sensor serials (ids 1, 2, ...); replaces --sensors",
     .set_text = set_serials},
    {.name = "--records", .value = "N", .help = "N generated records", .low = 0, .high = I64_MAX,
     .set_number = [](FileShape& s, long long n) { s.pattern_records = static_cast<std::uint64_t>(n); }},
    {.name = "--rate", .value = "N", .help = "records per second of time offset (default 1)", .low = 1,
     .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.records_per_second = static_cast<std::uint32_t>(n); }},
    {.name = "--start", .value = "SECONDS", .help = "start time, seconds since 1970 UTC (default 0)", .low = I32_MIN,
     .high = I32_MAX, .set_number = [](FileShape& s, long long n) { s.start_time = static_cast<std::int32_t>(n); }},
    {.name = "--invalid-every", .value = "K", .help = "every K-th reading gets an invalid wavelength", .low = 0,
     .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.invalid_every = static_cast<std::uint32_t>(n); }},
    {.name = "--seed", .value = "S", .help = "seed of the generated values (default 1)", .low = 0, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.seed = static_cast<std::uint32_t>(n); }},
    {.name = "--title", .value = "T", .help = "header title",
     .set_text = [](FileShape& s, const char* v) { return s.title = v, true; }},
    {.name = "--company", .value = "C", .help = "header company",
     .set_text = [](FileShape& s, const char* v) { return s.company = v, true; }},
    {.name = "--idn", .value = "I", .help = "header IDN",
     .set_text = [](FileShape& s, const char* v) { return s.idn = v, true; }},
    {.name = "--unit-serial", .value = "S", .help = "header serial of the acquisition unit",
     .set_text = [](FileShape& s, const char* v) { return s.unit_serial = v, true; }},
    {.name = "--record", .value = "OFFSET,COUNTER[,VALUE:WAVELENGTH...]",
     .help = "an explicit record (repeatable; before generated ones)", .set_text = add_record},
    {.name = "--wave", .value = "SECONDS", .help = "values follow a sine of this period per sensor instead of random ones",
     .low = 1, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.wave_period = static_cast<std::uint32_t>(n); }},
    {.name = "--time-jump", .value = "R:S",
     .help = "time offsets from record R on shifted by S seconds (a gap, or back if negative)",
     .group = Group::irregular, .set_text = add_time_jump},
    {.name = "--counter-jump", .value = "R:N", .help = "counters from record R on shifted by N",
     .group = Group::irregular, .set_text = add_counter_jump},
    {.name = "--invalid-stretch", .value = "R:N[:SENSOR]",
     .help = "records R to R+N-1 invalid for one sensor (1-based) or all", .group = Group::irregular,
     .set_text = add_invalid_stretch},
    {.name = "--non-finite-every", .value = "K", .help = "every K-th reading's value is NaN, inf, -inf in turn",
     .group = Group::irregular, .low = 0, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.non_finite_every = static_cast<std::uint32_t>(n); }},
    {.name = "--magic", .value = "XXXX", .help = "magic bytes (default SART)", .group = Group::broken,
     .set_text = [](FileShape& s, const char* v) { return s.magic = v, true; }},
    {.name = "--file-version", .value = "MAJ.MIN", .help = "version bytes (default 1.3)", .group = Group::broken,
     .set_text = set_file_version},
    {.name = "--count-byte", .value = "B", .help = "sensor count byte written instead of the number of sensors",
     .group = Group::broken, .low = 0, .high = 255,
     .set_number = [](FileShape& s, long long n) { s.count_byte = static_cast<std::uint8_t>(n); }},
    {.name = "--trailing-bytes", .value = "N", .help = "a partial record of N bytes at the end", .group = Group::broken,
     .low = 0, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.trailing_bytes = static_cast<std::uint32_t>(n); }},
    {.name = "--truncate", .value = "N", .help = "cut the file to N bytes", .group = Group::broken, .low = 0,
     .high = I64_MAX, .set_number = [](FileShape& s, long long n) { s.truncate_to = static_cast<std::uint64_t>(n); }},
};
// clang-format on

bool apply_option(const ValueOption& option, const char* value, FileShape& shape) {
    if (option.set_text != nullptr) return option.set_text(shape, value);
    long long number;
    if (!parse_long(value, number) || number < option.low || number > option.high) return false;
    option.set_number(shape, number);
    return true;
}

const ValueOption* find_option(const std::string& name) {
    for (const ValueOption& option : OPTIONS)
        if (name == option.name) return &option;
    return nullptr;
}

void print_usage() {
    std::fputs(
        "usage: measgen [OPTION...] [--] OUTPUT\n"
        "Writes a measurement data file to OUTPUT (after --, OUTPUT may start with '-').\n"
        "  --help                   print this text and exit\n"
        "  --version                print the version of measgen and exit\n",
        stdout);
    for (const auto& [group, heading] :
         {std::pair{Group::shape, "file shape:\n"},
          std::pair{Group::irregular, "irregular records (repeatable, counted in generated records from 0):\n"},
          std::pair{Group::broken, "broken files:\n"}}) {
        std::fputs(heading, stdout);
        for (const ValueOption& option : OPTIONS) {
            if (option.group != group) continue;
            const std::string form = std::string(option.name) + " " + option.value;
            if (form.size() < 24)
                std::printf("  %-24s %s\n", form.c_str(), option.help);
            else
                std::printf("  %s\n  %-24s %s\n", form.c_str(), "", option.help);
        }
    }
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "measgen: %s\nTry 'measgen --help' for the options.\n", what.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    use_binary_standard_streams();
    FileShape shape;
    shape.sensors = numbered_sensors(4);
    std::vector<std::string> outputs;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg.empty() || arg[0] != '-') {
            outputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help") {
            print_usage();
            return 0;
        } else if (arg == "--version") {
            std::printf("measgen %s\n", MEASCONV_VERSION);
            return 0;
        } else if (const ValueOption* option = find_option(arg)) {
            if (i + 1 >= argc) return usage_error("missing value for " + arg);
            const char* value = argv[++i];
            if (!apply_option(*option, value, shape))
                return usage_error("bad value for " + arg + ": '" + value + "' (expected " + option->value + ")");
        } else {
            return usage_error("unknown option " + arg +
                               (arg.starts_with("--") ? "" : " (an output name starting with '-' needs -- before it)"));
        }
    }
    if (outputs.empty()) return usage_error("no output file named");
    if (outputs.size() > 1) return usage_error("more than one output file named: " + outputs[0] + ", " + outputs[1]);

    const std::string& output = outputs[0];
    if (!write_data_file(shape, output)) {
        std::fprintf(stderr, "measgen: cannot write %s\n", output.c_str());
        return 1;
    }
    if (whole_records(shape) == 0) std::fprintf(stderr, "measgen: 0 records written to %s\n", output.c_str());
    return 0;
}
