#include "meas/convert_report.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "convert/output_file.h"
#include "convert/output_names.h"

namespace {

namespace fs = std::filesystem;

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// 'a', 'b' and 'c'
std::string quoted_list(const std::vector<std::string>& texts) {
    std::string list;
    for (std::size_t i = 0; i < texts.size(); ++i)
        list += (i == 0 ? "" : i + 1 == texts.size() ? " and " : ", ") + quoted(texts[i]);
    return list;
}

// At most 24 bytes of a header's leading text, every byte that is not printable ASCII as \xNN.
std::string leading_text(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 24; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return bytes.size() > 24 ? out + "..." : out;
}

std::string cannot_read_reason(const std::string& input) {
    std::error_code error;
    const fs::file_status status = fs::status(input, error);
    if (status.type() == fs::file_type::not_found) return quoted(input) + " does not exist";
    if (status.type() == fs::file_type::directory)
        return quoted(input) + " is a directory, not a data file; name the data files in it (e.g. " + input + "/*.dat)";
    std::FILE* file = std::fopen(input.c_str(), "rb");
    const std::string reason = file == nullptr ? std::strerror(errno) : "it cannot be read";
    if (file != nullptr) std::fclose(file);
    return "cannot open " + quoted(input) + ": " + reason;
}

const char* kind_name(ConvertStatus status) {
    switch (status) {
    case ConvertStatus::ok: return "ok";
    case ConvertStatus::input_open_failed: return "input_unreadable";
    case ConvertStatus::physic_text_open_failed:
    case ConvertStatus::wavelength_text_open_failed:
    case ConvertStatus::physic_csv_open_failed:
    case ConvertStatus::wavelength_csv_open_failed:
    case ConvertStatus::hdf5_open_failed: return "output_not_created";
    case ConvertStatus::sensor_file_open_failed: return "sensor_file_not_created";
    case ConvertStatus::bad_magic: return "not_a_data_file";
    case ConvertStatus::bad_version: return "bad_version";
    case ConvertStatus::bad_sensor_count: return "bad_sensor_count";
    case ConvertStatus::write_failed: return "write_failed";
    case ConvertStatus::read_failed: return "read_failed";
    case ConvertStatus::interrupted: return "interrupted";
    case ConvertStatus::sensor_not_found: return "sensor_not_found";
    case ConvertStatus::out_of_memory: return "out_of_memory";
    }
    return "failed";
}

std::string problem_text(const Problem& problem, const std::string& input) {
    const std::string& subject = problem.subject;
    switch (problem.status) {
    case ConvertStatus::ok: break;
    case ConvertStatus::input_open_failed: return cannot_read_reason(input);
    case ConvertStatus::physic_text_open_failed:
    case ConvertStatus::wavelength_text_open_failed:
    case ConvertStatus::physic_csv_open_failed:
    case ConvertStatus::wavelength_csv_open_failed:
    case ConvertStatus::hdf5_open_failed:
        return "cannot create " + quoted(subject) + ": " + cannot_create_reason(subject, input) + "; nothing of " +
               quoted(input) + " was converted";
    case ConvertStatus::sensor_file_open_failed:
        return "cannot create the per-sensor file " + quoted(subject) + ": " + cannot_create_reason(subject, input) +
               "; the other outputs are written";
    case ConvertStatus::bad_magic:
        return quoted(input) + " is not a data file: it starts with '" + leading_text(subject) +
               "', where a data file starts with 'SA'";
    case ConvertStatus::bad_version:
        return quoted(input) + " is a data file of another format version; this program reads version " +
               std::to_string(REQUIRED_VERSION_MAJOR) + "." + std::to_string(REQUIRED_VERSION_MINOR);
    case ConvertStatus::bad_sensor_count: return quoted(input) + " has a broken header: its sensor count is " + subject;
    case ConvertStatus::write_failed:
        return "could not write " + quoted(subject) + " (is the disk full?); it is incomplete";
    case ConvertStatus::read_failed:
        return "could not read " + quoted(input) + " to its end; the outputs hold the records before the error";
    case ConvertStatus::interrupted: return "interrupted; removed the unfinished outputs of " + quoted(input);
    case ConvertStatus::out_of_memory:
        return "not enough memory to convert " + quoted(input) + "; removed its unfinished outputs";
    case ConvertStatus::sensor_not_found:
        return quoted(input) + " has no sensor " + quoted(subject) + " to select (--sensors); 'measinfo " + input +
               "' lists its sensors";
    }
    return {};
}

bool selects_records(const Selection& selection) {
    return selection.from.kind != RecordBound::Kind::none || selection.to.kind != RecordBound::Kind::none ||
           selection.every > 1;
}

bool is_combined_or_hdf5(const std::string& path, const RunPaths& paths) {
    if (path == paths.hdf5) return true;
    for (const std::string& name : paths.combined)
        if (path == name) return true;
    return false;
}

// A path as JSON text: UTF-8 as it is; bytes that are no UTF-8 become U+FFFD.
nlohmann::ordered_json json_text(const std::string& text) { return text; }

}  // namespace

std::string cannot_create_reason(const std::string& path, const std::string& input) {
    std::error_code error;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, error))
        return "the output directory " + quoted(parent.string()) + " does not exist; create it or use -d";
    if (is_same_file(path, input)) return "it is the input itself; give another output name (-o)";
    if (fs::is_directory(path, error)) return "a directory of that name is in the way";
    return "check that its directory is writable";
}

std::vector<Finding> findings_of(const ConvertRequest& request, const ConvertResult& result) {
    std::vector<Finding> findings;
    for (const Problem& problem : result.problems)
        findings.push_back({kind_name(problem.status),
                            problem.status == ConvertStatus::bad_magic ||
                                    problem.status == ConvertStatus::bad_version ||
                                    problem.status == ConvertStatus::bad_sensor_count
                                ? request.input
                                : problem.subject,
                            problem_text(problem, request.input)});
    // An interrupted conversion whose files could not all be removed says which stay.
    for (Finding& finding : findings)
        if (finding.kind == kind_name(ConvertStatus::interrupted) && !result.not_removed.empty())
            finding.message = "interrupted; could not remove the unfinished outputs " + quoted_list(result.not_removed) +
                           " of " + quoted(request.input);
    if (!findings.empty()) return findings;
    if (!result.header_complete)
        findings.push_back({"short_file", request.input,
                            quoted(request.input) + " is shorter than a data file's header (" +
                                std::to_string(HEADER_SIZE) + " bytes); nothing was converted"});
    else if (result.records == 0 && selects_records(request.selection))
        findings.push_back({"nothing_selected", request.input,
                            "no record of " + quoted(request.input) +
                                " lies in the selection (--from, --to, --every); its outputs hold only their headers"});
    return findings;
}

std::string converted_line(const ConvertRequest& request, const ConvertResult& result) {
    const RunPaths paths = derive_output_paths(request.input, request.output_base);
    std::vector<std::string> named;
    std::size_t sensor_files = 0;
    for (const WrittenOutput& output : result.outputs) {
        if (is_combined_or_hdf5(output.path, paths))
            named.push_back(quoted(output.path));
        else
            ++sensor_files;
    }
    if (sensor_files > 0)
        named.push_back(std::to_string(sensor_files) + " per-sensor file" + (sensor_files == 1 ? "" : "s") + " in " +
                        quoted(request.output_base));
    std::string into;
    for (std::size_t i = 0; i < named.size(); ++i)
        into += (i == 0 ? "" : i + 1 == named.size() ? " and " : ", ") + named[i];
    return "converted " + quoted(request.input) + " (" + std::to_string(result.sensors) + " sensor" +
           (result.sensors == 1 ? "" : "s") + ", " + std::to_string(result.records) + " record" +
           (result.records == 1 ? "" : "s") + ") into " + into;
}

std::string json_line(const ConvertRequest& request, const ConvertResult& result,
                      const std::vector<Finding>& findings) {
    using Json = nlohmann::ordered_json;
    Json outputs = Json::array();
    for (const WrittenOutput& output : result.outputs)
        outputs.push_back(
            Json{{"path", json_text(output.path)}, {"bytes", output.bytes ? Json(*output.bytes) : Json(nullptr)}});
    Json problems = Json::array();
    for (const Finding& finding : findings)
        problems.push_back(Json{
            {"kind", finding.kind}, {"subject", json_text(finding.subject)}, {"message", json_text(finding.message)}});
    const Json line{{"input", json_text(request.input)}, {"complete", findings.empty()}, {"outputs", outputs},
                    {"sensors", result.sensors},         {"records", result.records},    {"problems", problems}};
    return line.dump(-1, ' ', true, Json::error_handler_t::replace) + "\n";
}
