#include "convert/convert.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "base/c_file.h"
#include "convert/hdf5_output.h"
#include "convert/output_names.h"

namespace {

using InputFile = CFile;

InputFile open_input(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return nullptr;
    return InputFile(std::fopen(path.c_str(), "rb"));
}

ConvertResult with_problems(std::vector<Problem> problems) {
    ConvertResult result;
    result.status = problems.empty() ? ConvertStatus::ok : problems.front().status;
    result.problems = std::move(problems);
    return result;
}

ConvertResult failed_with(Problem problem) { return with_problems({std::move(problem)}); }

enum class HeaderRead { complete, short_file, failed };

// The header is read once: the records follow it, so an input that cannot be re-read (a pipe)
// converts as a regular file does.
HeaderRead read_header(std::FILE* input, std::vector<unsigned char>& header_bytes) {
    if (std::fread(header_bytes.data(), 1, HEADER_SIZE, input) == HEADER_SIZE) return HeaderRead::complete;
    return std::ferror(input) ? HeaderRead::failed : HeaderRead::short_file;
}


bool stop_requested(const ConvertRequest& request) {
    return request.stop != nullptr && request.stop->load(std::memory_order_relaxed);
}

// The files no output may be: the list, and the input as it was opened (whatever name leads
// to it, and whatever a name leads to by the time an output is opened).
std::vector<FileIdentity> files_never_written(const ConvertRequest& request, std::FILE* input) {
    std::vector<FileIdentity> files = request.keep_intact_files.size() == request.keep_intact.size()
                                          ? request.keep_intact_files
                                          : kept_file_identities(request.keep_intact);
    files.push_back(descriptor_identity(fileno(input)));
    return files;
}

// A per-sensor name may lead to the input, the list or a combined file of this conversion (an
// output base ending in '/' puts both kinds in one directory); such a file is never written.
std::vector<FileIdentity> files_split_mode_must_not_open(const std::vector<FileIdentity>& never_written,
                                                         const CombinedFiles& combined) {
    std::vector<FileIdentity> files = never_written;
    for (const OutputFile& file : combined.files)
        if (file.is_open() && file.identity().regular) files.push_back(file.identity());  // devices may be shared
    return files;
}

// Everything a conversion writes into, from the header on. The HDF5 file is written under a
// temporary name and renamed into place only when complete: unfinished, it leaves nothing.
struct Outputs {
    CombinedFiles combined;
    SplitFiles split;
    Hdf5Output hdf5;
};

// How far a conversion got, however it ended.
struct Reached {
    bool split_directory_made = false;
    bool header_complete = false;
    bool records_started = false;  // the outputs are created and their headers written
    std::size_t sensors = 0;
    SelectionCursor cursor;
    std::vector<std::string> outputs;  // the files the records go into
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

// The open outputs by name, in the order of the messages, the HDF5 file last.
std::vector<std::string> open_output_names(Outputs& outputs, const RunPaths& paths) {
    std::vector<std::string> names;
    for_each_output(outputs, [&](OutputFile& file) {
        if (file.is_open()) names.push_back(file.path());
    });
    if (outputs.hdf5.is_open()) names.push_back(paths.hdf5);
    return names;
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

// The HDF5 file of a conversion whose other outputs all got their records: renamed into place
// only when every other output was written and closed without a problem; otherwise it is
// named as not written (after the others) and its temporary file removed. False when it was
// not finished (or there was none).
bool finish_hdf5(Outputs& outputs, const RunPaths& paths, const std::vector<FileIdentity>& never_replace,
                 std::vector<Problem>& problems) {
    const bool open = outputs.hdf5.is_open();
    if (open && !problems.empty()) {
        problems.push_back({ConvertStatus::write_failed, paths.hdf5});
        std::string ignored;
        discard_hdf5_output(outputs.hdf5, ignored);
        return false;
    }
    if (Problem problem = finish_hdf5_output(outputs.hdf5, never_replace); problem.status != ConvertStatus::ok) {
        problems.push_back(std::move(problem));
        return false;
    }
    return open;
}

enum class RecordPass { complete, failed, stopped };

// One pass over the records feeds every output (record_pass.h). A write or read failure ends
// it with its problems; a stop ends it as soon as it is seen, whatever else failed.
RecordPass convert_records(const ConvertRequest& request, const DataFileHeader& header, const FileSelection& selection,
                           const RunPaths& paths, std::FILE* input, Outputs& outputs, SelectionCursor& cursor,
                           std::vector<Problem>& problems) {
    const RecordPassSettings settings{request.threads, request.stop, request.progress};
    const RecordPassEnd end = write_records(settings, header, selection, cursor, input,
                                            {outputs.combined, outputs.split, outputs.hdf5});
    if (stop_requested(request)) return RecordPass::stopped;  // also a read or write cut short by the signal
    if (end.write_failed) {
        name_unfinished_outputs(outputs, paths, problems);
        return RecordPass::failed;
    }
    if (end.read_failed) {
        problems.push_back({ConvertStatus::read_failed, request.input});
        return RecordPass::failed;
    }
    return RecordPass::complete;
}

// The letters the per-sensor files go by: text and CSV, unless left out one by one.
TypeFlags split_flags(const ConvertRequest& request) {
    TypeFlags flags = request.flags;
    if ((request.outputs & OUTPUT_SPLIT_TEXT) == 0) flags &= static_cast<TypeFlags>(~FLAG_TEXT);
    if ((request.outputs & OUTPUT_SPLIT_CSV) == 0) flags &= static_cast<TypeFlags>(~FLAG_CSV);
    return flags;
}

ConvertResult interrupted(const ConvertRequest& request) {
    return failed_with({ConvertStatus::interrupted, request.input});
}

// The conversion up to its end or its first failure. The outputs stay with the caller, so an
// interrupted conversion can remove them whatever step it was in.
ConvertResult run_conversion(const ConvertRequest& request, Outputs& outputs, Reached& reached) {
    if (stop_requested(request)) return interrupted(request);
    const RunPaths paths = derive_output_paths(request.input, request.output_base);

    InputFile input = open_input(paths.input);
    if (!input) return failed_with({ConvertStatus::input_open_failed, paths.input});
    const std::vector<FileIdentity> never_written = files_never_written(request, input.get());
    if (request.flags & FLAG_SPLIT) reached.split_directory_made = make_split_directory(paths.output_base);

    if (Problem problem =
            create_combined_files(paths, request.flags, never_written, outputs.combined, request.outputs);
        problem.status != ConvertStatus::ok)
        return failed_with(std::move(problem));

    std::vector<Problem> problems;
    std::vector<unsigned char> header_bytes(HEADER_SIZE);
    const HeaderRead read = read_header(input.get(), header_bytes);
    reached.header_complete = read == HeaderRead::complete;
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

    const DataFileHeader file_header = decode_header(header_bytes.data());
    FileSelection selection;
    if (Problem problem = resolve_selection(request.selection, file_header, selection);
        problem.status != ConvertStatus::ok) {
        close_outputs(outputs, problems);
        problems.insert(problems.begin(), std::move(problem));
        return with_problems(std::move(problems));
    }
    const DataFileHeader header = selected_header(file_header, selection);
    if ((request.flags & FLAG_HDF5) && (request.outputs & OUTPUT_HDF5)) {
        // Renaming into place would take the name from the input or the list.
        Problem problem = may_be_one_of(path_identity(paths.hdf5), never_written)
                              ? Problem{ConvertStatus::hdf5_open_failed, paths.hdf5}
                              : create_hdf5_output(paths.hdf5, paths.input, header, request.hdf5_compression,
                                                   outputs.hdf5, selection_attributes(selection));
        // Its first writes failing leave it as uncreated as a file that could not be opened: the
        // conversion ends there, as for a combined file.
        if (problem.status == ConvertStatus::write_failed) problem.status = ConvertStatus::hdf5_open_failed;
        if (problem.status != ConvertStatus::ok) {
            close_outputs(outputs, problems);  // the combined files stay, empty, as after their own failure
            problems.insert(problems.begin(), std::move(problem));
            return with_problems(std::move(problems));
        }
    }
    if (request.flags & FLAG_SPLIT)
        outputs.split = open_split_files(header, split_flags(request), request.output_base,
                                         files_split_mode_must_not_open(never_written, outputs.combined), problems);
    write_header_texts(build_headers(header, request.flags), outputs.combined);
    reached.records_started = true;
    reached.sensors = header.sensors.size();
    reached.outputs = open_output_names(outputs, paths);

    // After a failure what was written so far stays, flushed as far as it can be.
    bool hdf5_finished = false;
    switch (convert_records(request, header, selection, paths, input.get(), outputs, reached.cursor, problems)) {
    case RecordPass::stopped: return interrupted(request);
    case RecordPass::failed: break;
    case RecordPass::complete:
        close_outputs(outputs, problems);
        hdf5_finished = finish_hdf5(outputs, paths, never_written, problems);
        break;
    }
    // An HDF5 file that was not finished is not there.
    if (!hdf5_finished && !reached.outputs.empty() && reached.outputs.back() == paths.hdf5) reached.outputs.pop_back();
    close_outputs(outputs, problems);
    return with_problems(std::move(problems));
}

}  // namespace

std::vector<FileIdentity> kept_file_identities(const std::vector<std::string>& paths) {
    std::vector<FileIdentity> identities;
    for (const std::string& path : paths) identities.push_back(path_identity(path));
    return identities;
}

ConvertResult convert_file(const ConvertRequest& request) {
    Outputs outputs;
    Reached reached;
    ConvertResult result;
    try {
        result = run_conversion(request, outputs, reached);
    } catch (const std::bad_alloc&) {
        // The memory the conversion held is free again once the exception has left it.
        result = failed_with({ConvertStatus::out_of_memory, request.input});
    }
    // A failure while a stop is requested (an open, a read or a write cut short by the signal)
    // counts as the interruption.
    if (result.status != ConvertStatus::ok && stop_requested(request)) result = interrupted(request);
    // Stopped (or out of memory) before it was complete: nothing half-written is left behind.
    // Ended before its records, it leaves nothing either when the caller wants no empty files.
    const bool unfilled = !reached.records_started && !request.keep_unfilled_outputs;
    if (result.status == ConvertStatus::interrupted || result.status == ConvertStatus::out_of_memory || unfilled) {
        for_each_output(outputs, [&](OutputFile& file) {
            if (!file.discard()) result.not_removed.push_back(file.path());
        });
        if (std::string left; !discard_hdf5_output(outputs.hdf5, left)) result.not_removed.push_back(left);
        reached.outputs.clear();
    }
    if (unfilled && reached.split_directory_made) {
        std::error_code ignored;
        std::filesystem::remove(request.output_base, ignored);  // only while empty
    }
    result.header_complete = reached.header_complete;
    result.sensors = reached.sensors;
    result.records = reached.cursor.records_kept;
    for (const std::string& path : reached.outputs) {
        std::error_code error;
        const std::uintmax_t bytes = std::filesystem::file_size(path, error);
        result.outputs.push_back({path, error ? std::nullopt : std::optional<std::uint64_t>(bytes)});
    }
    return result;
}
