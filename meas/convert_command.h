// `meas convert`: its options, how they become conversion requests, and the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/environment.h"
#include "cli/run_entries.h"
#include "convert/convert.h"

namespace CLI {
class App;
}

// The options as given; every value is checked when the plan is made.
struct ConvertOptions {
    std::vector<std::string> inputs;
    std::string list;
    std::optional<std::string> letters;  // -t
    std::optional<std::string> names;    // --outputs
    std::string output_base;
    std::string output_dir;
    std::string sensors;
    std::string from;
    std::string to;
    std::string every;
    bool utc = false;
    std::string jobs;
    std::string shard;
    bool progress = false;
    bool progress_given = false;  // --progress or --no-progress
    bool quiet = false;
    bool json = false;
};

// Adds the subcommand's options to app, to be filled into options.
void add_convert_options(CLI::App& app, ConvertOptions& options);

// What a run converts and how.
struct ConvertPlan {
    RunEntries run;  // what every input shares, and each one's paths and outputs
    RunSettings settings;
    bool quiet = false;
    bool json = false;
};

// The plan, or nothing after the reason why the options cannot be used is put in error. Makes
// the output directory of -d; with --utc, the process's time zone becomes UTC.
std::optional<ConvertPlan> plan_conversion(const ConvertOptions& options, std::string& error);

// Converts the plan; the process exit code (0: every input converted completely, 1: not).
int run_conversion_plan(ConvertPlan plan);
