#include "convert/convert.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "base/c_file.h"
#include "convert/hdf5_output.h"
#include "convert/output_names.h"
#include "convert/parallel_records.h"

namespace {

using InputFile = CFile;

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

bool stop_requested(const ConvertRequest& request) {
    return request.stop != nullptr && request.stop->load(std::memory_order_relaxed);
}

// A per-sensor name may lead to the input, the list or a combined file of this conversion (an
// output base ending in '/' puts both kinds in one directory); such a file is never opened.
std::vector<std::string> files_split_mode_must_not_open(const ConvertRequest& request, const CombinedFiles& combined) {
    std::vector<std::string> files = request.keep_intact;
    files.push_back(request.input);
    for (const OutputFile& file : combined.files)
        if (file.is_open()) files.push_back(file.path());
    return files;
}

// Everything a conversion writes into, from the header on. The HDF5 file is written under a
// temporary name and renamed into place only when complete: unfinished, it leaves nothing.
struct Outputs {
    CombinedFiles combined;
    SplitFiles split;
    Hdf5Output hdf5;
};

// Every output in the fixed order of the messages: the combined files in their order, then per
// sensor its text file and its CSV file.
template <typename Visit>
void for_each_output(Outputs& outputs, Visit visit) {
    for (OutputFile& file : outputs.combined.files) visit(file);
    for (std::size_t i = 0; i < outputs.split.text.size() || i < outputs.split.csv.size(); ++i) {
        if (i < outputs.split.text.size()) visit(outputs.split.text[i]);
        if (i < outputs.split.csv.size()) visit(outputs.split.csv[i]);
    }
}

// Flushes and closes every output; each one whose data did not all reach its file is named.
void close_outputs(Outputs& outputs, std::vector<Problem>& problems) {
    for_each_output(outputs, [&](OutputFile& file) {
        if (file.is_open() && !file.close()) problems.push_back({ConvertStatus::write_failed, file.path()});
    });
}

// A write failed with records left to write: every output still open is left incomplete, the
// HDF5 file last (it is removed, not left cut).
void name_unfinished_outputs(Outputs& outputs, const RunPaths& paths, std::vector<Problem>& problems) {
    for_each_output(outputs, [&](OutputFile& file) {
        if (file.is_open()) problems.push_back({ConvertStatus::write_failed, file.path()});
        file.close();
    });
    if (outputs.hdf5.is_open()) problems.push_back({ConvertStatus::write_failed, paths.hdf5});
    outputs.hdf5 = {};
}

// The HDF5 file of a conversion whose other outputs all got their records: renamed into place.
void finish_hdf5(Outputs& outputs, std::vector<Problem>& problems) {
    if (Problem problem = finish_hdf5_output(outputs.hdf5); problem.status != ConvertStatus::ok)
        problems.push_back(std::move(problem));
}

ConvertResult with_problems(std::vector<Problem> problems) {
    const ConvertStatus status = problems.empty() ? ConvertStatus::ok : problems.front().status;
    return {status, std::move(problems)};
}

enum class RecordPass { complete, failed, stopped };

// One pass over the records feeds the per-sensor and the combined files alike. A write or read
// failure ends it with its problems; a stop ends it as soon as it is seen, whatever else failed.
RecordPass write_records(const ConvertRequest& request, const DataFileHeader& header, const RunPaths& paths,
                         std::FILE* input, Outputs& outputs, std::vector<Problem>& problems) {
    if (request.threads > 1 && !outputs.hdf5.is_open()) {
        // The records formatted on several threads, written with the same writes (the HDF5
        // file, when asked for, takes the one-thread pass below).
        const RecordPassEnd end = write_records_in_parallel(request, header, input, outputs.combined, outputs.split);
        if (stop_requested(request)) return RecordPass::stopped;
        if (end.failed_file != nullptr) {
            name_unfinished_outputs(outputs, paths, problems);
            return RecordPass::failed;
        }
        if (end.read_failed) {
            problems.push_back({ConvertStatus::read_failed, request.input});
            return RecordPass::failed;
        }
        return RecordPass::complete;
    }
    const bool split = request.flags & FLAG_SPLIT;
    RecordReader reader(input, record_size(header.sensors.size()), 1 << 20, request.stop);
    for (RecordBlock block = reader.next_block(); block.count > 0; block = reader.next_block()) {
        if (stop_requested(request)) return RecordPass::stopped;
        const OutputFile* failed = split ? request.loops.split(header, block, outputs.split) : nullptr;
        if (failed == nullptr) failed = request.loops.combined(header, block, outputs.combined);
        const bool hdf5_failed = failed == nullptr && !append_hdf5_records(outputs.hdf5, block.bytes, block.count);
        if (failed != nullptr || hdf5_failed) {
            if (stop_requested(request)) return RecordPass::stopped;  // a write cut short by the signal
            name_unfinished_outputs(outputs, paths, problems);
            return RecordPass::failed;
        }
        note_progress(request.progress, block, outputs.combined, outputs.split);
    }
    if (stop_requested(request)) return RecordPass::stopped;  // a read cut short by the signal
    if (reader.failed()) {
        problems.push_back({ConvertStatus::read_failed, request.input});
        return RecordPass::failed;
    }
    return RecordPass::complete;
}

ConvertResult interrupted(const ConvertRequest& request) {
    return failed_with({ConvertStatus::interrupted, request.input});
}

// The conversion up to its end or its first failure. The outputs stay with the caller, so an
// interrupted conversion can remove them whatever step it was in. A failure while a stop is
// requested (an open or read cut short by the signal) counts as the interruption.
ConvertResult run_conversion(const ConvertRequest& request, Outputs& outputs) {
    if (stop_requested(request)) return interrupted(request);
    const RunPaths paths = derive_output_paths(request.input, request.output_base);

    InputFile input = open_input(paths.input);
    if (!input)
        return stop_requested(request) ? interrupted(request)
                                       : failed_with({ConvertStatus::input_open_failed, paths.input});
    if (request.flags & FLAG_SPLIT) make_split_directory(paths.output_base);

    if (Problem problem = create_combined_files(paths, request.flags, request.keep_intact, outputs.combined);
        problem.status != ConvertStatus::ok)
        return stop_requested(request) ? interrupted(request) : failed_with(std::move(problem));

    std::vector<Problem> problems;
    std::vector<unsigned char> header_bytes(HEADER_SIZE);
    const HeaderRead read = read_header(input.get(), header_bytes);
    if (read == HeaderRead::failed && stop_requested(request)) return interrupted(request);
    if (read == HeaderRead::failed) problems.push_back({ConvertStatus::read_failed, paths.input});
    if (read == HeaderRead::complete) {
        if (const HeaderCheck check = check_header(header_bytes.data()); check != HeaderCheck::ok)
            problems.push_back(header_check_problem(check, header_bytes.data()));
    }
    // A short file (not a data file) silently, and a broken one with its message, leave the
    // combined files empty.
    if (read != HeaderRead::complete || !problems.empty()) {
        close_outputs(outputs, problems);
        return with_problems(std::move(problems));
    }

    const DataFileHeader header = decode_header(header_bytes.data());
    if (request.flags & FLAG_HDF5) {
        Problem problem = create_hdf5_output(paths.hdf5, paths.input, header, outputs.hdf5);
        for (const std::string& kept : request.keep_intact)
            if (problem.status == ConvertStatus::ok && is_same_file(paths.hdf5, kept)) {
                outputs.hdf5 = {};  // renaming into place would replace the list
                problem = {ConvertStatus::hdf5_open_failed, paths.hdf5};
            }
        if (problem.status != ConvertStatus::ok) {
            if (stop_requested(request)) return interrupted(request);
            close_outputs(outputs, problems);  // the combined files stay, empty, as after their own failure
            problems.insert(problems.begin(), std::move(problem));
            return with_problems(std::move(problems));
        }
    }
    if (request.flags & FLAG_SPLIT)
        outputs.split = open_split_files(header, request.flags, request.output_base,
                                         files_split_mode_must_not_open(request, outputs.combined), problems);
    write_header_texts(build_headers(header, request.flags), outputs.combined);

    // After a failure what was written so far stays, flushed as far as it can be.
    switch (write_records(request, header, paths, input.get(), outputs, problems)) {
    case RecordPass::stopped: return interrupted(request);
    case RecordPass::failed: break;
    case RecordPass::complete:
        close_outputs(outputs, problems);
        finish_hdf5(outputs, problems);
        break;
    }
    close_outputs(outputs, problems);
    return with_problems(std::move(problems));
}

}  // namespace

ConvertResult convert_file(const ConvertRequest& request) {
    Outputs outputs;
    ConvertResult result = run_conversion(request, outputs);
    // Stopped before it was complete: nothing half-written is left behind.
    if (result.status == ConvertStatus::interrupted) {
        for_each_output(outputs, [](OutputFile& file) { file.discard(); });
        outputs.hdf5 = {};  // its temporary file goes
    }
    return result;
}
