// measinfo's command line: every option is a row of one table (which also makes the --help
// text), parsed into plain options; running them is apart from parsing (measinfo/run.h).
#pragma once

#include <string>
#include <vector>

#include "measinfo/time_bins.h"

struct MeasinfoOptions {
    bool json = false;
    bool check = false;
    std::string plot_path;  // empty: no plot
    PlotSelection plot;
    std::vector<std::string> files;
};

enum class MeasinfoCommand { run, help, version, usage_error };

struct MeasinfoCommandLine {
    MeasinfoCommand command = MeasinfoCommand::usage_error;
    MeasinfoOptions options;
    std::string error;  // what is wrong, for usage_error
};

// args without the program's name. Times of the plot's window are read in the local time zone.
MeasinfoCommandLine parse_measinfo_command_line(const std::vector<std::string>& args);

// The --help text.
std::string measinfo_usage();
