#include "convert/convert.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "cli/run_state.h"
#include "convert/combined_output.h"
#include "convert/data_file.h"
#include "convert/split_output.h"

#include "convert/baseline_records.h"

namespace {

constexpr std::size_t COMBINED_BUFFER_SIZE = 1u << 20;

// The record loops of this build: the fast ones, or in the baseline build (measconv-baseline,
// compiled with MEASCONV_BASELINE) the straightforward ones that the benchmarks measure them against.
const OutputFile* write_split_lines(const DataFileHeader& header, RecordReader& input, SplitFiles& files) {
#if MEASCONV_BASELINE
    return baseline_write_split_records(header, input, files);
#else
    return write_split_records(header, input, files);
#endif
}

const OutputFile* write_combined_lines(const DataFileHeader& header, RecordReader& input, CombinedFiles& files) {
#if MEASCONV_BASELINE
    return baseline_write_combined_records(header, input, files);
#else
    return write_combined_records(header, input, files);
#endif
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using InputFile = std::unique_ptr<std::FILE, FileCloser>;

InputFile open_input(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return nullptr;
    return InputFile(std::fopen(path.c_str(), "rb"));
}

bool read_header(std::FILE* input, std::vector<unsigned char>& header_bytes) {
    return std::fread(header_bytes.data(), 1, HEADER_SIZE, input) == HEADER_SIZE;
}

void make_split_directory(const std::string& directory) {
    if (directory.empty()) return;
    std::error_code ignored;
    std::filesystem::create_directory(directory, ignored);
}

// Creates the selected combined files in their fixed order; on failure returns its code.
int create_combined_files(TypeFlags flags, const RunPaths& paths, CombinedFiles& files) {
    struct Plan {
        TypeFlags bits;
        const std::string& path;
        OutputFile& file;
        int failure;
    };
    const Plan plans[] = {
        {FLAG_TEXT | FLAG_PHYSIC, paths.physic_text, files.physic_text, CONVERT_PHYSIC_TEXT_OPEN_FAILED},
        {FLAG_TEXT | FLAG_WAVELENGTH, paths.wavelength_text, files.wavelength_text, CONVERT_WAVELENGTH_TEXT_OPEN_FAILED},
        {FLAG_CSV | FLAG_PHYSIC, paths.physic_csv, files.physic_csv, CONVERT_PHYSIC_CSV_OPEN_FAILED},
        {FLAG_CSV | FLAG_WAVELENGTH, paths.wavelength_csv, files.wavelength_csv, CONVERT_WAVELENGTH_CSV_OPEN_FAILED},
    };
    for (const Plan& plan : plans) {
        if (!has_flags(flags, plan.bits)) continue;
        // The input is never truncated, whatever name leads to it.
        if (is_same_file(plan.path, paths.input) || !plan.file.create(plan.path, LineEnds::crlf, COMBINED_BUFFER_SIZE)) {
            std::printf("Can not open '%s' to export.\n", plan.path.c_str());
            return plan.failure;
        }
    }
    return CONVERT_OK;
}

int report_write_failure(const OutputFile& file) {
    std::printf("Can not write '%s'.\n", file.path().c_str());
    return CONVERT_WRITE_FAILED;
}

int close_combined_files(CombinedFiles& files) {
    const OutputFile* failed = nullptr;
    for (OutputFile* file : {&files.physic_text, &files.wavelength_text, &files.physic_csv, &files.wavelength_csv})
        if (!file->close() && failed == nullptr) failed = file;
    return failed != nullptr ? report_write_failure(*failed) : CONVERT_OK;
}

int report_header_failure(HeaderCheck check, const std::vector<unsigned char>& header_bytes) {
    switch (check) {
    case HeaderCheck::bad_magic: {
        const std::string leading = header_leading_text(header_bytes.data());
        std::fputs("Input file format error. [SART]:[", stdout);
        std::fwrite(leading.data(), 1, leading.size(), stdout);
        std::fputs("]\n", stdout);
        return CONVERT_BAD_MAGIC;
    }
    case HeaderCheck::bad_version:
        std::printf("Input file Version  format error, need version: %d.%d\n", REQUIRED_VERSION_MAJOR,
                    REQUIRED_VERSION_MINOR);
        return CONVERT_BAD_VERSION;
    case HeaderCheck::bad_sensor_count:
        std::printf("Input file sensor count error: %d\n",
                    static_cast<std::int8_t>(header_bytes[header_field::SENSOR_COUNT]));
        return CONVERT_BAD_SENSOR_COUNT;
    case HeaderCheck::ok:
        break;
    }
    return CONVERT_OK;
}

// A per-sensor name may lead to the input or to a combined file of this conversion (an output
// base ending in '/' puts both in one directory); such a file is never opened, so neither is clobbered.
std::vector<std::string> files_split_mode_must_not_open(const RunPaths& paths, const CombinedFiles& combined) {
    std::vector<std::string> files = {paths.input};
    for (const OutputFile* file :
         {&combined.physic_text, &combined.wavelength_text, &combined.physic_csv, &combined.wavelength_csv})
        if (file->is_open()) files.push_back(file->path());
    return files;
}

// Per-sensor files are written and closed completely, then the input is set back to its first record.
int write_split_outputs(const DataFileHeader& header, std::FILE* input, std::vector<unsigned char>& header_bytes,
                        const CombinedFiles& combined) {
    SplitFiles split = open_split_files(header, g_type_flags, g_run_paths.output_base,
                                        files_split_mode_must_not_open(g_run_paths, combined));
    {
        RecordReader records(input, record_size(header.sensors.size()));
        if (const OutputFile* failed = write_split_lines(header, records, split)) {
            const int result = report_write_failure(*failed);
            close_split_files(split);
            return result;
        }
    }
    if (const OutputFile* failed = close_split_files(split)) return report_write_failure(*failed);
    std::rewind(input);
    read_header(input, header_bytes);
    return CONVERT_OK;
}

}  // namespace

int convert_file() {
    const TypeFlags flags = g_type_flags;
    const RunPaths& paths = g_run_paths;

    InputFile input = open_input(paths.input);
    if (!input) {
        std::printf("Can not open '%s' to read data.\n", paths.input.c_str());
        return CONVERT_INPUT_OPEN_FAILED;
    }
    if (flags & FLAG_SPLIT) make_split_directory(paths.output_base);

    CombinedFiles combined;
    if (const int failure = create_combined_files(flags, paths, combined); failure != CONVERT_OK) return failure;

    std::vector<unsigned char> header_bytes(HEADER_SIZE);
    if (!read_header(input.get(), header_bytes)) return close_combined_files(combined);
    if (const HeaderCheck check = check_header(header_bytes.data()); check != HeaderCheck::ok) {
        const int failure = report_header_failure(check, header_bytes);
        close_combined_files(combined);
        return failure;
    }

    const DataFileHeader header = decode_header(header_bytes.data());
    const HeaderTexts texts = build_headers(header, flags);

    if (flags & FLAG_SPLIT) {
        if (const int failure = write_split_outputs(header, input.get(), header_bytes, combined);
            failure != CONVERT_OK)
            return failure;
    }

    write_header_texts(texts, combined);
    {
        RecordReader records(input.get(), record_size(header.sensors.size()));
        if (const OutputFile* failed = write_combined_lines(header, records, combined)) return report_write_failure(*failed);
    }
    return close_combined_files(combined);
}
