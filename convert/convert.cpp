#include "convert/convert.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "convert/hdf5_output.h"
#include "convert/output_names.h"

namespace {

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

ConvertResult failed_with(Problem problem) {
    const ConvertStatus status = problem.status;
    return {status, {std::move(problem)}};
}

ConvertResult write_failure(const OutputFile& file) { return failed_with({ConvertStatus::write_failed, file.path()}); }

// Closing reports a failed flush or close as a write failure.
ConvertResult close_all(CombinedFiles& combined) {
    if (const OutputFile* failed = close_combined_files(combined)) return write_failure(*failed);
    return {};
}

// A per-sensor name may lead to the input or to a combined file of this conversion (an output
// base ending in '/' puts both in one directory); such a file is never opened, so neither is clobbered.
std::vector<std::string> files_split_mode_must_not_open(const RunPaths& paths, const CombinedFiles& combined) {
    std::vector<std::string> files = {paths.input};
    for (const OutputFile& file : combined.files)
        if (file.is_open()) files.push_back(file.path());
    return files;
}

// Per-sensor files are written and closed completely, then the input is set back to its first record.
ConvertResult write_split_outputs(const ConvertRequest& request, const DataFileHeader& header, std::FILE* input,
                                  std::vector<unsigned char>& header_bytes, const RunPaths& paths,
                                  const CombinedFiles& combined) {
    SplitFiles split =
        open_split_files(header, request.flags, request.output_base, files_split_mode_must_not_open(paths, combined));
    {
        RecordReader records(input, record_size(header.sensors.size()));
        if (const OutputFile* failed = request.loops.split(header, records, split)) {
            const ConvertResult result = write_failure(*failed);
            close_split_files(split);
            return result;
        }
    }
    if (const OutputFile* failed = close_split_files(split)) return write_failure(*failed);
    std::rewind(input);
    read_header(input, header_bytes);
    return {};
}

// --- The HDF5 output (type letter h) ---
// Created once the header has passed its tests, fed every record in a pass of its own (the
// input is then set back to its first record), finished when every other output is complete.

ConvertResult write_hdf5_records(std::FILE* input, std::vector<unsigned char>& header_bytes,
                                 const DataFileHeader& header, const RunPaths& paths, Hdf5Output& hdf5) {
    if (!hdf5.is_open()) return {};
    {
        RecordReader records(input, record_size(header.sensors.size()));
        const unsigned char* block = nullptr;
        while (const std::size_t count = records.next_block(block))
            if (!append_hdf5_records(hdf5, block, count)) return failed_with({ConvertStatus::write_failed, paths.hdf5});
    }
    std::rewind(input);
    read_header(input, header_bytes);
    return {};
}

}  // namespace

ConvertResult convert_file(const ConvertRequest& request) {
    const RunPaths paths = derive_output_paths(request.input, request.output_base);

    InputFile input = open_input(paths.input);
    if (!input) return failed_with({ConvertStatus::input_open_failed, paths.input});
    if (request.flags & FLAG_SPLIT) make_split_directory(paths.output_base);

    CombinedFiles combined;
    if (Problem problem = create_combined_files(paths, request.flags, combined); problem.status != ConvertStatus::ok)
        return failed_with(std::move(problem));

    std::vector<unsigned char> header_bytes(HEADER_SIZE);
    if (!read_header(input.get(), header_bytes)) return close_all(combined);
    if (const HeaderCheck check = check_header(header_bytes.data()); check != HeaderCheck::ok) {
        close_combined_files(combined);
        return failed_with(header_check_problem(check, header_bytes.data()));
    }

    const DataFileHeader header = decode_header(header_bytes.data());
    const HeaderTexts texts = build_headers(header, request.flags);

    Hdf5Output hdf5;  // an unfinished one leaves no file behind
    if (request.flags & FLAG_HDF5) {
        if (Problem problem = create_hdf5_output(paths.hdf5, paths.input, header, hdf5);
            problem.status != ConvertStatus::ok) {
            close_combined_files(combined);
            return failed_with(std::move(problem));
        }
    }

    if (request.flags & FLAG_SPLIT) {
        if (ConvertResult result = write_split_outputs(request, header, input.get(), header_bytes, paths, combined);
            result.status != ConvertStatus::ok)
            return result;
    }
    if (ConvertResult result = write_hdf5_records(input.get(), header_bytes, header, paths, hdf5);
        result.status != ConvertStatus::ok)
        return result;

    write_header_texts(texts, combined);
    {
        RecordReader records(input.get(), record_size(header.sensors.size()));
        if (const OutputFile* failed = request.loops.combined(header, records, combined)) return write_failure(*failed);
    }
    if (ConvertResult result = close_all(combined); result.status != ConvertStatus::ok) return result;
    if (Problem problem = finish_hdf5_output(hdf5); problem.status != ConvertStatus::ok)
        return failed_with(std::move(problem));
    return {};
}
