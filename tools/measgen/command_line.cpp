#include "measgen/command_line.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "base/decimal_number.h"

namespace {

constexpr long long I32_MIN = INT32_MIN, I32_MAX = INT32_MAX, U32_MAX = UINT32_MAX, I64_MAX = INT64_MAX;
// A shift of the 32-bit time offsets or counters: any wider one is the same as one of these.
constexpr long long SHIFT_MAX = U32_MAX;

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

// Digits with at most one point and at least one digit, then an optional exponent: "1.5",
// "-2", ".5", "1e-3". No hexadecimal floats, no spaces.
bool is_decimal_fraction(std::string_view text) {
    std::size_t at = 0, digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at, ++digits;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at, ++digits;
    }
    if (digits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        const std::size_t exponent = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == exponent) return false;
    }
    return at == text.size();
}

// The largest payload a float NaN keeps beside its quiet bit.
constexpr long long NAN_PAYLOAD_MAX = 0x3fffff;

// A physical value: a decimal number, inf, nan, or nan(N) for the NaN with payload N; each
// with an optional sign. A number beyond the float range is refused rather than made infinite.
std::optional<float> parse_value(const std::string& text) {
    std::string_view rest = text;
    const bool negative = !rest.empty() && rest[0] == '-';
    if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) rest.remove_prefix(1);
    const std::uint32_t sign_bit = negative ? 0x80000000u : 0;
    if (rest == "inf") return std::bit_cast<float>(sign_bit | 0x7f800000u);
    if (rest == "nan" || (rest.starts_with("nan(") && rest.ends_with(")"))) {
        std::optional<long long> payload = 0;
        if (rest != "nan") payload = parse_decimal(rest.substr(4, rest.size() - 5), 0, NAN_PAYLOAD_MAX);
        if (!payload) return std::nullopt;
        return std::bit_cast<float>(sign_bit | 0x7fc00000u | static_cast<std::uint32_t>(*payload));
    }
    if (!is_decimal_fraction(rest)) return std::nullopt;
    const float value = std::strtof(text.c_str(), nullptr);  // measgen keeps the C locale's decimal point
    if (std::isinf(value)) return std::nullopt;
    return value;
}

// Decimal fields separated by `separator`, each within its own range; as many as ranges.
bool parse_fields(const std::string& text, char separator, const std::vector<std::pair<long long, long long>>& ranges,
                  std::vector<long long>& values) {
    const std::vector<std::string> parts = split(text, separator);
    if (parts.size() != ranges.size()) return false;
    values.clear();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::optional<long long> value = parse_decimal(parts[i], ranges[i].first, ranges[i].second);
        if (!value) return false;
        values.push_back(*value);
    }
    return true;
}

bool parse_record(const std::string& text, GenRecord& record) {
    const std::vector<std::string> parts = split(text, ',');
    if (parts.size() < 2) return false;
    const std::optional<long long> offset = parse_decimal(parts[0], I32_MIN, I32_MAX);
    const std::optional<long long> counter = parse_decimal(parts[1], I32_MIN, I32_MAX);
    if (!offset || !counter) return false;
    record.time_offset = static_cast<std::int32_t>(*offset);
    record.counter = static_cast<std::int32_t>(*counter);
    for (std::size_t i = 2; i < parts.size(); ++i) {
        const std::vector<std::string> pair = split(parts[i], ':');
        if (pair.size() != 2) return false;
        const std::optional<float> value = parse_value(pair[0]);
        const std::optional<long long> wavelength = parse_decimal(pair[1], I32_MIN, I32_MAX);
        if (!value || !wavelength) return false;
        record.readings.push_back({*value, static_cast<std::int32_t>(*wavelength)});
    }
    return true;
}

// "R:S": from generated record R on, a shift of S (of the time offsets or the counters).
template <std::vector<GenJump> FileShape::*jumps>
bool add_jump(FileShape& shape, const char* value) {
    std::vector<long long> fields;
    if (!parse_fields(value, ':', {{0, I64_MAX}, {-SHIFT_MAX, SHIFT_MAX}}, fields)) return false;
    (shape.*jumps).push_back({static_cast<std::uint64_t>(fields[0]), fields[1]});
    return true;
}

// "R:N" for every sensor, "R:N:SENSOR" for one (from 1; checked against the sensors at the end).
bool add_invalid_stretch(FileShape& shape, const char* value) {
    std::vector<long long> fields;
    if (!parse_fields(value, ':', {{0, I64_MAX}, {0, I64_MAX}}, fields) &&
        !parse_fields(value, ':', {{0, I64_MAX}, {0, I64_MAX}, {1, 255}}, fields))
        return false;
    shape.invalid_stretches.push_back({static_cast<std::uint64_t>(fields[0]), static_cast<std::uint64_t>(fields[1]),
                                       fields.size() == 3 ? static_cast<std::uint32_t>(fields[2]) : 0u});
    return true;
}

bool set_serials(FileShape& shape, const char* value) {
    const std::vector<std::string> serials = split(value, ',');
    if (serials.size() > static_cast<std::size_t>(MAX_CONVERTIBLE_SENSORS)) return false;
    shape.sensors.clear();
    for (const std::string& serial : serials)
        shape.sensors.push_back({static_cast<std::uint8_t>(shape.sensors.size() + 1), serial});
    return true;
}

bool set_file_version(FileShape& shape, const char* value) {
    std::vector<long long> fields;
    if (!parse_fields(value, '.', {{-128, 127}, {-128, 127}}, fields)) return false;
    shape.version_major = static_cast<std::int8_t>(fields[0]);
    shape.version_minor = static_cast<std::int8_t>(fields[1]);
    return true;
}

bool add_record(FileShape& shape, const char* value) {
    GenRecord record;
    if (!parse_record(value, record)) return false;
    shape.records.push_back(record);
    return true;
}

enum class Group { shape, irregular, broken };

struct GroupHeading {
    Group group;
    const char* heading;
};

const GroupHeading GROUPS[] = {
    {Group::shape, "file shape"},
    {Group::irregular, "irregular records (repeatable, counted in generated records from 0)"},
    {Group::broken, "broken files"},
};

// An option that takes a value: a decimal number within [low, high] for set_number, any other
// value for set_text (false when the value is not acceptable). `note` follows the expected
// form in the message about a value that is not acceptable. A new option is one row of OPTIONS.
struct ValueOption {
    const char* name;
    const char* value;  // the value's form, as the usage shows it
    const char* help;
    const char* default_value;   // what the file has without the option
    bool usage_default = false;  // measgen's usage shows the default too (meas's help shows every one)
    Group group = Group::shape;
    long long low = 0;
    long long high = 0;
    void (*set_number)(FileShape& shape, long long number) = nullptr;
    bool (*set_text)(FileShape& shape, const char* value) = nullptr;
    const char* note = "";
};

// clang-format off
const ValueOption OPTIONS[] = {
    {.name = "--sensors", .value = "N", .help = "N sensors (0 to 127) with ids 1..N and serials SN0001...",
     .default_value = "4", .low = 0, .high = MAX_CONVERTIBLE_SENSORS,
     .set_number = [](FileShape& s, long long n) { s.sensors = numbered_sensors(static_cast<int>(n)); },
     .note = "; more only with --refused-sensor-count, which makes a file measconv refuses"},
    {.name = "--serials", .value = "A,B,...", .help = "up to 127 sensor serials (ids 1, 2, ...); replaces --sensors",
     .default_value = "those of --sensors", .set_text = set_serials, .note = " of at most 127 serials"},
    {.name = "--records", .value = "N", .help = "N generated records", .default_value = "0", .low = 0, .high = I64_MAX,
     .set_number = [](FileShape& s, long long n) { s.pattern_records = static_cast<std::uint64_t>(n); }},
    {.name = "--rate", .value = "N", .help = "records per second of time offset", .default_value = "1",
     .usage_default = true, .low = 1, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.records_per_second = static_cast<std::uint32_t>(n); }},
    {.name = "--start", .value = "SECONDS", .help = "start time, seconds since 1970 UTC", .default_value = "0",
     .usage_default = true, .low = I32_MIN,
     .high = I32_MAX, .set_number = [](FileShape& s, long long n) { s.start_time = static_cast<std::int32_t>(n); }},
    {.name = "--invalid-every", .value = "K", .help = "every K-th reading gets an invalid wavelength",
     .default_value = "0, none", .low = 0, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.invalid_every = static_cast<std::uint32_t>(n); }},
    {.name = "--seed", .value = "S", .help = "seed of the generated values", .default_value = "1",
     .usage_default = true, .low = 0, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.seed = static_cast<std::uint32_t>(n); }},
    {.name = "--title", .value = "T", .help = "header title", .default_value = "'Strain test'",
     .set_text = [](FileShape& s, const char* v) { return s.title = v, true; }},
    {.name = "--company", .value = "C", .help = "header company", .default_value = "'Example Labs'",
     .set_text = [](FileShape& s, const char* v) { return s.company = v, true; }},
    {.name = "--idn", .value = "I", .help = "header IDN", .default_value = "'MU-4000'",
     .set_text = [](FileShape& s, const char* v) { return s.idn = v, true; }},
    {.name = "--unit-serial", .value = "S", .help = "header serial of the acquisition unit",
     .default_value = "'SA2024001'",
     .set_text = [](FileShape& s, const char* v) { return s.unit_serial = v, true; }},
    {.name = "--record", .value = "OFFSET,COUNTER[,VALUE:WAVELENGTH...]",
     .help = "an explicit record (repeatable; before generated ones)", .default_value = "none", .set_text = add_record},
    {.name = "--wave", .value = "SECONDS",
     .help = "values follow a sine of this period per sensor instead of random ones", .default_value = "random values",
     .low = 1, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.wave_period = static_cast<std::uint32_t>(n); }},
    {.name = "--time-jump", .value = "R:S",
     .help = "time offsets from record R on shifted by S seconds (a gap, or back if negative)", .default_value = "none",
     .group = Group::irregular, .set_text = add_jump<&FileShape::time_jumps>},
    {.name = "--counter-jump", .value = "R:N", .help = "counters from record R on shifted by N",
     .default_value = "none",
     .group = Group::irregular, .set_text = add_jump<&FileShape::counter_jumps>},
    {.name = "--invalid-stretch", .value = "R:N[:SENSOR]",
     .help = "records R to R+N-1 invalid for one sensor (from 1) or all", .default_value = "none",
     .group = Group::irregular,
     .set_text = add_invalid_stretch},
    {.name = "--non-finite-every", .value = "K", .help = "every K-th reading's value is NaN, inf, -inf in turn",
     .default_value = "0, none",
     .group = Group::irregular, .low = 0, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.non_finite_every = static_cast<std::uint32_t>(n); }},
    {.name = "--magic", .value = "XXXX", .help = "magic bytes", .default_value = "SART", .usage_default = true,
     .group = Group::broken,
     .set_text = [](FileShape& s, const char* v) { return s.magic = v, true; }},
    {.name = "--file-version", .value = "MAJ.MIN", .help = "version bytes", .default_value = "1.3",
     .usage_default = true, .group = Group::broken,
     .set_text = set_file_version},
    {.name = "--count-byte", .value = "B", .help = "sensor count byte written instead of the number of sensors",
     .default_value = "the number of sensors",
     .group = Group::broken, .low = 0, .high = 255,
     .set_number = [](FileShape& s, long long n) { s.count_byte = static_cast<std::uint8_t>(n); }},
    {.name = "--refused-sensor-count", .value = "N",
     .help = "N sensors (128 to 255), a count measconv refuses (it reads N-256)", .default_value = "none",
     .group = Group::broken,
     .low = MAX_CONVERTIBLE_SENSORS + 1, .high = 255,
     .set_number = [](FileShape& s, long long n) { s.sensors = numbered_sensors(static_cast<int>(n)); }},
    {.name = "--trailing-bytes", .value = "N", .help = "a partial record of N bytes at the end",
     .default_value = "0", .group = Group::broken,
     .low = 0, .high = U32_MAX,
     .set_number = [](FileShape& s, long long n) { s.trailing_bytes = static_cast<std::uint32_t>(n); }},
    {.name = "--truncate", .value = "N", .help = "cut the file to N bytes", .default_value = "the whole file",
     .group = Group::broken, .low = 0,
     .high = I64_MAX, .set_number = [](FileShape& s, long long n) { s.truncate_to = static_cast<std::uint64_t>(n); }},
};
// clang-format on

bool apply_option(const ValueOption& option, const char* value, FileShape& shape) {
    if (option.set_text != nullptr) return option.set_text(shape, value);
    const std::optional<long long> number = parse_decimal(value, option.low, option.high);
    if (!number) return false;
    option.set_number(shape, *number);
    return true;
}

std::string expected_value(const ValueOption& option) {
    std::string expected = option.value;
    if (option.set_number != nullptr)
        expected += ", a decimal number from " + std::to_string(option.low) + " to " + std::to_string(option.high);
    return expected + option.note;
}

const ValueOption* find_option(const std::string& name) {
    for (const ValueOption& option : OPTIONS)
        if (name == option.name) return &option;
    return nullptr;
}

// What the options say together that no single one can be checked for.
std::string inconsistency(const FileShape& shape) {
    for (const GenStretch& stretch : shape.invalid_stretches)
        if (stretch.sensor > shape.sensors.size())
            return "--invalid-stretch names sensor " + std::to_string(stretch.sensor) + "; the file has " +
                   std::to_string(shape.sensors.size());
    return "";
}

MeasgenCommandLine usage_error(std::string what, std::string unknown = "") {
    MeasgenCommandLine line;
    line.command = MeasgenCommand::usage_error;
    line.error = std::move(what);
    line.unknown = std::move(unknown);
    return line;
}

}  // namespace

MeasgenCommandLine parse_measgen_command_line(const std::vector<std::string>& args, GenCommand command) {
    MeasgenCommandLine line;
    line.command = MeasgenCommand::write;
    FileShape& shape = line.options.shape;
    shape.sensors = numbered_sensors(4);
    std::vector<std::string> outputs;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.empty() || arg[0] != '-') {
            outputs.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help" || arg == "--version" || (command == GenCommand::gen && arg == "-h")) {
            line.command = arg == "--version" ? MeasgenCommand::version : MeasgenCommand::help;
            return line;
        } else if (const ValueOption* option = find_option(arg)) {
            if (i + 1 >= args.size()) return usage_error("missing value for " + arg);
            const std::string& value = args[++i];
            if (!apply_option(*option, value.c_str(), shape))
                return usage_error("bad value for " + arg + ": '" + value + "' (expected " + expected_value(*option) +
                                   ")");
        } else {
            return usage_error(
                "unknown option " + arg +
                    (arg.starts_with("--") ? "" : " (an output name starting with '-' needs -- before it)"),
                arg);
        }
    }
    if (outputs.empty()) return usage_error("no output file named");
    if (outputs.size() > 1) return usage_error("more than one output file named: " + outputs[0] + ", " + outputs[1]);
    if (const std::string wrong = inconsistency(shape); !wrong.empty()) return usage_error(wrong);
    line.options.output = outputs[0];
    return line;
}

std::string measgen_usage() {
    std::string usage =
        "usage: measgen [OPTION...] [--] OUTPUT\n"
        "Writes a measurement data file to OUTPUT (after --, OUTPUT may start with '-').\n"
        "Numbers are decimal: 010 is ten; no 0x, no exponent (but VALUE may have one).\n"
        "  --help                   print this text and exit\n"
        "  --version                print the version of measgen and exit\n";
    for (const auto& [group, heading] : GROUPS) {
        usage += std::string(heading) + ":\n";
        for (const ValueOption& option : OPTIONS) {
            if (option.group != group) continue;
            // The help in a column of its own: beside a short form, under a long one.
            const std::string form = std::string(option.name) + " " + option.value;
            constexpr std::size_t FORM_WIDTH = 24;
            usage += "  " + form +
                     (form.size() < FORM_WIDTH ? std::string(FORM_WIDTH - form.size(), ' ')
                                               : "\n  " + std::string(FORM_WIDTH, ' '));
            usage += std::string(" ") + option.help;
            if (option.usage_default) usage += std::string(" (default ") + option.default_value + ")";
            usage += "\n";
        }
    }
    return usage;
}

std::vector<OptionHelp> measgen_options() {
    std::vector<OptionHelp> options;
    for (const auto& [group, heading] : GROUPS)
        for (const ValueOption& option : OPTIONS)
            if (option.group == group)
                options.push_back({{option.name},
                                   option.value,
                                   std::string(option.help) + " (default: " + option.default_value + ")",
                                   heading});
    return options;
}

int run_measgen(const MeasgenOptions& options, const char* program) {
    if (!write_data_file(options.shape, options.output)) {
        std::fprintf(stderr, "%s: cannot write %s\n", program, options.output.c_str());
        return 1;
    }
    if (whole_records(options.shape) == 0)
        std::fprintf(stderr, "%s: 0 records written to %s\n", program, options.output.c_str());
    return 0;
}
