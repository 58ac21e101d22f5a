// measgen: writes a measurement data file for trying and testing the converter.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "measgen/generator.h"

namespace {

constexpr char USAGE[] =
    "usage: measgen OUTPUT [options]\n"
    "  --sensors N          N sensors with ids 1..N and serials SN0001...\n"
    "  --serials A,B,...    sensor serials (ids 1, 2, ...); replaces --sensors\n"
    "  --records N          N generated records\n"
    "  --rate N             records per second of time offset (default 1)\n"
    "  --start SECONDS      start time, seconds since 1970 UTC (default 0)\n"
    "  --invalid-every K    every K-th reading gets an invalid wavelength\n"
    "  --seed S             seed of the generated values (default 1)\n"
    "  --title T  --company C  --idn I  --unit-serial S   header texts\n"
    "  --record OFFSET,COUNTER[,VALUE:WAVELENGTH...]      an explicit record (repeatable; before generated ones)\n"
    "  --wave SECONDS       values follow a sine of this period per sensor instead of random ones\n"
    "irregular records (repeatable, counted in generated records from 0):\n"
    "  --time-jump R:S      time offsets from record R on shifted by S seconds (a gap, or back if negative)\n"
    "  --counter-jump R:N   counters from record R on shifted by N\n"
    "  --invalid-stretch R:N[:SENSOR]   records R to R+N-1 invalid for one sensor (1-based) or all\n"
    "  --non-finite-every K every K-th reading's value is NaN, inf, -inf in turn\n"
    "broken files:\n"
    "  --magic XXXX         magic bytes (default SART)\n"
    "  --version MAJ.MIN    version bytes (default 1.3)\n"
    "  --count-byte B       sensor count byte written instead of the number of sensors\n"
    "  --trailing-bytes N   a partial record of N bytes at the end\n"
    "  --truncate N         cut the file to N bytes\n";

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

int usage_error(const char* what) {
    std::fprintf(stderr, "measgen: %s\n%s", what, USAGE);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc < 2) return usage_error("no output file named");
    const std::string output = argv[1];
    FileShape shape;
    shape.sensors = numbered_sensors(4);
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return usage_error(("missing value for " + option).c_str());
        const char* value = argv[++i];
        long long number = 0;
        const bool numeric = parse_long(value, number);
        std::vector<long long> numbers;
        if (option == "--sensors" && numeric && number >= 0 && number <= 726) shape.sensors = numbered_sensors(static_cast<int>(number));
        else if (option == "--serials") {
            shape.sensors.clear();
            for (const std::string& serial : split(value, ','))
                shape.sensors.push_back({static_cast<std::uint8_t>(shape.sensors.size() + 1), serial});
        } else if (option == "--records" && numeric && number >= 0) shape.pattern_records = static_cast<std::uint64_t>(number);
        else if (option == "--rate" && numeric && number > 0) shape.records_per_second = static_cast<std::uint32_t>(number);
        else if (option == "--start" && numeric) shape.start_time = static_cast<std::int32_t>(number);
        else if (option == "--invalid-every" && numeric && number >= 0) shape.invalid_every = static_cast<std::uint32_t>(number);
        else if (option == "--seed" && numeric) shape.seed = static_cast<std::uint32_t>(number);
        else if (option == "--title") shape.title = value;
        else if (option == "--company") shape.company = value;
        else if (option == "--idn") shape.idn = value;
        else if (option == "--unit-serial") shape.unit_serial = value;
        else if (option == "--magic") shape.magic = value;
        else if (option == "--version") {
            const std::vector<std::string> parts = split(value, '.');
            long long major, minor;
            if (parts.size() != 2 || !parse_long(parts[0].c_str(), major) || !parse_long(parts[1].c_str(), minor))
                return usage_error("--version takes MAJOR.MINOR");
            shape.version_major = static_cast<std::int8_t>(major);
            shape.version_minor = static_cast<std::int8_t>(minor);
        } else if (option == "--count-byte" && numeric && number >= 0 && number <= 255) shape.count_byte = static_cast<std::uint8_t>(number);
        else if (option == "--trailing-bytes" && numeric && number >= 0) shape.trailing_bytes = static_cast<std::uint32_t>(number);
        else if (option == "--truncate" && numeric && number >= 0) shape.truncate_to = static_cast<std::uint64_t>(number);
        else if (option == "--wave" && numeric && number > 0) shape.wave_period = static_cast<std::uint32_t>(number);
        else if (option == "--non-finite-every" && numeric && number >= 0) shape.non_finite_every = static_cast<std::uint32_t>(number);
        else if ((option == "--time-jump" || option == "--counter-jump") && parse_integers(value, 2, numbers) && numbers.size() == 2)
            (option == "--time-jump" ? shape.time_jumps : shape.counter_jumps)
                .push_back({static_cast<std::uint64_t>(numbers[0]), numbers[1]});
        else if (option == "--invalid-stretch" && parse_integers(value, 2, numbers) && numbers[1] >= 0 &&
                 (numbers.size() == 2 || numbers[2] >= 0))
            shape.invalid_stretches.push_back({static_cast<std::uint64_t>(numbers[0]), static_cast<std::uint64_t>(numbers[1]),
                                               numbers.size() == 3 ? static_cast<std::uint32_t>(numbers[2]) : 0u});
        else if (option == "--record") {
            GenRecord record;
            if (!parse_record(value, record)) return usage_error("--record takes OFFSET,COUNTER[,VALUE:WAVELENGTH...]");
            shape.records.push_back(record);
        } else return usage_error(("bad option or value: " + option + " " + value).c_str());
    }
    if (!write_data_file(shape, output)) {
        std::fprintf(stderr, "measgen: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
