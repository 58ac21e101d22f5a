#include "meas/convert_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>

#include "cli/batch.h"
#include "cli/parallel_batch.h"
#include "cli/report.h"
#include "cli/signals.h"
#include "convert/hdf5_output.h"
#include "meas/convert_report.h"
#include "meas/output_choice.h"
#include "meas/selection_options.h"

namespace {

namespace fs = std::filesystem;

constexpr char STANDARD_INPUT[] = "-";

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// The process's local time becomes UTC (before any time is converted, so for every thread).
void use_utc() {
#ifdef _WIN32
    _putenv_s("TZ", "UTC");
    _tzset();
#else
    setenv("TZ", "UTC", 1);
    tzset();
#endif
}

std::optional<OutputChoice> choose_outputs(const ConvertOptions& options, std::string& error) {
    std::optional<OutputChoice> choice = default_choice(hdf5_supported());
    if (options.letters) choice = letters_choice(*options.letters, error);
    if (options.names) choice = named_choice(*options.names, error);
    if (!choice) return std::nullopt;
    const OutputSet written = written_outputs(*choice);
    if (written == 0) {
        error =
            "the outputs chosen write no file: a combined file needs a form (t or c) and a quantity (p or w), "
            "the per-sensor files (s) need t or c";
        return std::nullopt;
    }
    if ((written & OUTPUT_HDF5) && !hdf5_supported()) {
        error = "this build of meas cannot write HDF5 files; choose other outputs (-t, --outputs)";
        return std::nullopt;
    }
    return choice;
}

bool choose_selection(const ConvertOptions& options, Selection& selection, std::string& error) {
    const auto with_option = [&](const char* option) {
        error = std::string(option) + ": " + error;
        return false;
    };
    if (!options.sensors.empty()) {
        std::optional<std::vector<SensorPick>> picks = parse_sensor_list(options.sensors, error);
        if (!picks) return with_option("--sensors");
        selection.sensors = std::move(*picks);
    }
    if (!options.from.empty()) {
        const std::optional<RecordBound> from = parse_record_bound(options.from, BoundEnd::from, error);
        if (!from) return with_option("--from");
        selection.from = *from;
    }
    if (!options.to.empty()) {
        const std::optional<RecordBound> to = parse_record_bound(options.to, BoundEnd::to, error);
        if (!to) return with_option("--to");
        selection.to = *to;
    }
    if (!options.every.empty()) {
        const std::optional<std::uint64_t> every = parse_count(options.every);
        if (!every) {
            error = "--every: " + quoted(options.every) + " is not a positive whole number";
            return false;
        }
        selection.every = *every;
    }
    if (selection.from.kind == selection.to.kind && selection.from.kind != RecordBound::Kind::none &&
        selection.from.value > selection.to.value) {
        error =
            "--from " + quoted(options.from) + " lies after --to " + quoted(options.to) + ": nothing would be selected";
        return false;
    }
    return true;
}

bool choose_settings(const ConvertOptions& options, RunSettings& settings, std::string& error) {
    settings.program = "meas";
    settings.jobs = std::min(available_cpus(), MAX_JOBS);
    if (!options.jobs.empty()) {
        const std::optional<unsigned> jobs = parse_jobs(options.jobs);
        if (!jobs) {
            error = "-j: " + quoted(options.jobs) + " is not a positive whole number of jobs";
            return false;
        }
        settings.jobs = *jobs;
    }
    if (!options.shard.empty()) {
        const std::optional<Shard> shard = parse_shard(options.shard);
        if (!shard) {
            error = "--shard: " + quoted(options.shard) + " is not K/N with 0 <= K < N";
            return false;
        }
        settings.shard = *shard;
    }
    if (options.progress_given) settings.progress = options.progress ? ProgressMode::forced : ProgressMode::off;
    return true;
}

// The input's name without its extension, in directory (or beside the input when empty). Joined
// as text, so the names (and the messages that show them) are the same on every platform.
std::string base_for(const std::string& input, const std::string& directory) {
    const fs::path path(input);
    const std::size_t extension = path.extension().string().size();
    if (directory.empty()) return input.substr(0, input.size() - extension);
    const std::string name = path.filename().string();
    const bool separated =
        directory.back() == '/' || (fs::path::preferred_separator == '\\' && directory.back() == '\\');
    return directory + (separated ? "" : "/") + name.substr(0, name.size() - extension);
}

RunEntry entry_for(const std::string& input, const std::string& base, const OutputChoice& choice) {
    return {input, base, choice.flags, choice.wanted};
}

bool entries_of_inputs(const ConvertOptions& options, const OutputChoice& choice, RunEntries& run,
                       std::string& error) {
    if (!options.output_base.empty() && options.inputs.size() > 1) {
        error = "-o names the outputs of one input, and " + std::to_string(options.inputs.size()) +
                " are given; use -d DIR to put each input's outputs under DIR";
        return false;
    }
    std::set<std::string> bases;
    for (const std::string& input : options.inputs) {
        std::string path = input;
        if (input == STANDARD_INPUT) {
#ifdef _WIN32
            error = "this build cannot read standard input ('-'); name the data file";
            return false;
#else
            path = "/dev/stdin";
            if (options.output_base.empty()) {
                error = "standard input has no name to name the outputs after; give -o BASE";
                return false;
            }
#endif
        }
        const std::string base =
            options.output_base.empty() ? base_for(input, options.output_dir) : options.output_base;
        if (!bases.insert(fs::path(base).lexically_normal().string()).second) {
            error = "two inputs would write the outputs named " + quoted(base) + "; convert them one at a time with -o";
            return false;
        }
        run.entries.push_back(entry_for(path, base, choice));
    }
    return true;
}

bool entries_of_list(const ConvertOptions& options, const OutputChoice& choice, RunEntries& run,
                     std::string& error) {
    std::vector<ListEntry> entries;
    switch (read_list_entries(options.list, entries)) {
    case ListRead::ok: break;
    case ListRead::interrupted:  // not asked for: no stop flag is passed
    case ListRead::unreadable: error = "cannot read the list file " + quoted(options.list); return false;
    case ListRead::data_file:
        error = quoted(options.list) + " is a data file, not a list file; convert it with 'meas convert " +
                options.list + "'";
        return false;
    }
    // Letters carry over from the last entry that had some, as in measconv's lists; before
    // any, the command line's outputs apply.
    OutputChoice current = choice;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ListEntry& entry = entries[i];
        if (!entry.type.empty()) current = {parse_type_letters(entry.type), ALL_OUTPUTS};
        if (written_outputs(current) == 0) {
            error = "entry " + std::to_string(i + 1) + " of " + quoted(options.list) + " (" + quoted(entry.input) +
                    ") writes no file with the letters " + quoted(entry.type);
            return false;
        }
        if ((written_outputs(current) & OUTPUT_HDF5) && !hdf5_supported()) {
            error = "entry " + std::to_string(i + 1) + " of " + quoted(options.list) +
                    " asks for an HDF5 file, which this build cannot write";
            return false;
        }
        const std::string base = entry.output_base.empty() ? base_for(entry.input, "") : entry.output_base;
        run.entries.push_back(entry_for(entry.input, base, current));
    }
    run.common.keep_intact = {options.list};
    run.common.keep_intact_files = kept_file_identities({options.list});  // before any conversion starts
    return true;
}

bool usable_output_directory(const ConvertOptions& options, std::string& error) {
    std::error_code failure;
    if (!options.output_base.empty()) {
        const fs::path parent = fs::path(options.output_base).parent_path();
        if (!parent.empty() && !fs::is_directory(parent, failure)) {
            error = "output directory " + quoted(parent.string()) + " does not exist; create it or use -d";
            return false;
        }
    }
    if (!options.output_dir.empty()) {
        fs::create_directories(options.output_dir, failure);
        if (!fs::is_directory(options.output_dir)) {
            error = "cannot create the output directory " + quoted(options.output_dir) +
                    (failure ? ": " + failure.message() : std::string());
            return false;
        }
    }
    return true;
}

}  // namespace

void add_convert_options(CLI::App& app, ConvertOptions& options) {
    app.add_option("INPUT", options.inputs, "data files to convert; - reads standard input (give -o then)")
        ->type_name("");
    app.add_option("--list", options.list,
                   "convert the entries of a list file in measconv's format (input, output base, letters per line) "
                   "(default: the INPUTs)")
        ->type_name("FILE");
    CLI::Option* letters =
        app.add_option_function<std::string>(
               "-t,--type", [&options](const std::string& value) { options.letters = value; },
               "outputs as measconv's letters: p physical values, w wavelengths, t text, c CSV, s per-sensor "
               "files, h HDF5 (default: h; cpw in a build without HDF5)")
            ->type_name("LETTERS");
    app.add_option_function<std::string>(
           "--outputs", [&options](const std::string& value) { options.names = value; },
           std::string("outputs by name, comma-separated: ") + OUTPUT_NAMES_HELP +
               " (default: h5; pv.csv,wl.csv in a build without HDF5)")
        ->type_name("NAMES")
        ->excludes(letters);
    CLI::Option* base = app.add_option("-o,--output", options.output_base,
                                       "output base of the one input: BASE.h5, BASE_pv.csv, per-sensor files in BASE/ "
                                       "(default: the input's path without its extension)")
                            ->type_name("BASE");
    app.add_option("-d,--output-dir", options.output_dir,
                   "put each input's outputs under DIR, named after the input (made if missing) (default: beside "
                   "each input)")
        ->type_name("DIR")
        ->excludes(base);
    app.add_option("--sensors", options.sensors,
                   "only these sensors: numbers from 1 and ranges (2-5), or serials (=123 for a serial of digits) "
                   "(default: all)")
        ->type_name("LIST");
    app.add_option("--from", options.from,
                   "only records from this date-time (2024-03-31T14:05:00, local time unless Z or +01:00 follows) or "
                   "record number (from 1) on (default: the first)")
        ->type_name("TIME");
    app.add_option("--to", options.to,
                   "only records up to this date-time or record number, itself included "
                   "(default: the last)")
        ->type_name("TIME");
    app.add_option("--every", options.every, "only the first record of the span and every Nth after it (default: 1)")
        ->type_name("N");
    app.add_flag("--utc", options.utc, "date-times in UTC, whatever TZ says (outputs and --from/--to)");
    app.add_option("-j,--jobs", options.jobs, "threads to convert with (default: the CPUs this process may use)")
        ->type_name("N");
    app.add_option("--shard", options.shard,
                   "convert only shard K of N (0 <= K < N) of the inputs, as N processes together convert all "
                   "(default: 0/1)")
        ->type_name("K/N");
    app.add_flag_function(
        "--progress,!--no-progress",
        [&options](std::int64_t count) {
            options.progress = count > 0;
            options.progress_given = true;
        },
        "show progress on standard error (default: when it is a terminal)");
    app.add_flag("-q,--quiet", options.quiet, "tell only of problems, not of every converted input");
    app.add_flag("--json", options.json,
                 "one JSON object per input on standard output: input, outputs and their sizes, sensors, records, "
                 "problems");
    app.get_option("--list")->excludes(base)->excludes(app.get_option("-d"))->excludes(app.get_option("INPUT"));
}

std::optional<ConvertPlan> plan_conversion(const ConvertOptions& options, std::string& error) {
    if (options.utc) use_utc();
    ConvertPlan plan;
    plan.quiet = options.quiet;
    plan.json = options.json;
    const std::optional<OutputChoice> choice = choose_outputs(options, error);
    if (!choice || !choose_selection(options, plan.run.common.selection, error) ||
        !choose_settings(options, plan.settings, error))
        return std::nullopt;
    plan.run.common.keep_unfilled_outputs = false;
    if (options.inputs.empty() && options.list.empty()) {
        error = "no data file named; give the files to convert (or --list FILE)";
        return std::nullopt;
    }
    const bool made = options.list.empty() ? entries_of_inputs(options, *choice, plan.run, error)
                                           : entries_of_list(options, *choice, plan.run, error);
    if (!made || !usable_output_directory(options, error)) return std::nullopt;
    return plan;
}

int run_conversion_plan(ConvertPlan plan) {
    prepare_hdf5_for_this_thread();  // before any thread starts (a failure shows in the first conversion)
    const std::atomic<bool>* stop = install_stop_signals();
    plan.settings.stop = stop;
    plan.run.common.stop = stop;
    bool all_complete = true;
    const bool json = plan.json;
    const bool quiet = plan.quiet;
    const ResultReport report{[&](const ConvertRequest& request, const ConvertResult& result) {
                                  const std::vector<Finding> findings = findings_of(request, result);
                                  if (!findings.empty()) all_complete = false;
                                  // After a stop, a line standard output does not take at once is dropped.
                                  if (json && standard_output_may_wait_or_takes_now()) {
                                      const std::string line = json_line(request, result, findings);
                                      std::fwrite(line.data(), 1, line.size(), stdout);
                                      std::fflush(stdout);
                                  }
                                  for (const Finding& finding : findings)
                                      std::fprintf(stderr, "meas: %s\n", finding.message.c_str());
                                  if (findings.empty() && !quiet && !json)
                                      std::fprintf(stderr, "meas: %s\n", converted_line(request, result).c_str());
                              },
                              [&](const ConvertRequest& request, const ConvertResult& result) {
                                  return json || !quiet || !findings_of(request, result).empty();
                              }};
    convert_entries(std::move(plan.run), plan.settings, report);
    // Stopped: the run ends by the signal, which tells more than a write it cut short would.
    if (received_stop_signal() != 0) end_by_stop_signal();
    int exit_code = all_complete ? 0 : 1;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("meas: could not write to standard output\n", stderr);
        exit_code = 1;
    }
    return exit_code;
}
