#include "convert/convert.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "convert/output_names.h"
#include "convert/parallel_records.h"

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

enum class HeaderRead { complete, short_file, failed };

// The header is read once: the records follow it, so an input that cannot be re-read (a pipe)
// converts as a regular file does.
HeaderRead read_header(std::FILE* input, std::vector<unsigned char>& header_bytes) {
    if (std::fread(header_bytes.data(), 1, HEADER_SIZE, input) == HEADER_SIZE) return HeaderRead::complete;
    return std::ferror(input) ? HeaderRead::failed : HeaderRead::short_file;
}

ConvertResult failed_with(Problem problem) {
    const ConvertStatus status = problem.status;
    return {status, {std::move(problem)}};
}

ConvertResult write_failure(const OutputFile& file) { return failed_with({ConvertStatus::write_failed, file.path()}); }

// A per-sensor name may lead to the input or to a combined file of this conversion (an output
// base ending in '/' puts both in one directory); such a file is never opened, so neither is clobbered.
std::vector<std::string> files_split_mode_must_not_open(const RunPaths& paths, const CombinedFiles& combined) {
    std::vector<std::string> files = {paths.input};
    for (const OutputFile& file : combined.files)
        if (file.is_open()) files.push_back(file.path());
    return files;
}

// Everything a conversion writes into, from the header on.
struct Outputs {
    CombinedFiles combined;
    SplitFiles split;
};

// Flushes and closes every file, per-sensor files first; a failed flush or close is a write failure.
ConvertResult close_outputs(Outputs& outputs) {
    const OutputFile* split_failed = close_split_files(outputs.split);
    const OutputFile* combined_failed = close_combined_files(outputs.combined);
    if (split_failed != nullptr) return write_failure(*split_failed);
    if (combined_failed != nullptr) return write_failure(*combined_failed);
    return {};
}

// One pass over the records feeds the per-sensor and the combined files alike.
ConvertResult write_records(const ConvertRequest& request, const DataFileHeader& header, std::FILE* input,
                            Outputs& outputs) {
    if (request.threads > 1) {
        const RecordPassEnd end = write_records_in_parallel(request, header, input, outputs.combined, outputs.split);
        if (end.failed_file != nullptr) return write_failure(*end.failed_file);
        if (end.read_failed) return failed_with({ConvertStatus::read_failed, request.input});
        return {};
    }
    const bool split = request.flags & FLAG_SPLIT;
    RecordReader reader(input, record_size(header.sensors.size()));
    for (RecordBlock block = reader.next_block(); block.count > 0; block = reader.next_block()) {
        if (const OutputFile* failed = split ? request.loops.split(header, block, outputs.split) : nullptr)
            return write_failure(*failed);
        if (const OutputFile* failed = request.loops.combined(header, block, outputs.combined))
            return write_failure(*failed);
        note_progress(request.progress, block, outputs.combined, outputs.split);
    }
    if (reader.failed()) return failed_with({ConvertStatus::read_failed, request.input});
    return {};
}

}  // namespace

ConvertResult convert_file(const ConvertRequest& request) {
    const RunPaths paths = derive_output_paths(request.input, request.output_base);

    InputFile input = open_input(paths.input);
    if (!input) return failed_with({ConvertStatus::input_open_failed, paths.input});
    if (request.flags & FLAG_SPLIT) make_split_directory(paths.output_base);

    Outputs outputs;
    if (Problem problem = create_combined_files(paths, request.flags, outputs.combined);
        problem.status != ConvertStatus::ok)
        return failed_with(std::move(problem));

    std::vector<unsigned char> header_bytes(HEADER_SIZE);
    switch (read_header(input.get(), header_bytes)) {
    case HeaderRead::complete: break;
    case HeaderRead::short_file: return close_outputs(outputs);  // not a data file: silently empty outputs
    case HeaderRead::failed: close_outputs(outputs); return failed_with({ConvertStatus::read_failed, paths.input});
    }
    if (const HeaderCheck check = check_header(header_bytes.data()); check != HeaderCheck::ok) {
        close_outputs(outputs);
        return failed_with(header_check_problem(check, header_bytes.data()));
    }

    const DataFileHeader header = decode_header(header_bytes.data());
    if (request.flags & FLAG_SPLIT)
        outputs.split = open_split_files(header, request.flags, request.output_base,
                                         files_split_mode_must_not_open(paths, outputs.combined));
    write_header_texts(build_headers(header, request.flags), outputs.combined);

    // On a failure what was written so far stays, flushed as far as it can be.
    ConvertResult result = write_records(request, header, input.get(), outputs);
    ConvertResult closed = close_outputs(outputs);
    return result.status != ConvertStatus::ok ? result : closed;
}
