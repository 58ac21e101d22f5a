// measinfo's command line: every option is a row of one table (which also makes the --help
// texts), parsed into plain options; running them is apart from parsing (measinfo/run.h). The
// same table and parser serve `meas info`, `meas check` and `meas plot`, each taking the
// options of one of measinfo's tasks.
#pragma once

#include <string>
#include <vector>

#include "base/option_help.h"
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
    std::string error;    // what is wrong, for usage_error
    std::string unknown;  // for usage_error: the argument that names no option, when that is what is wrong
};

// Whose command line it is. meas's commands take -h for --help, and each only its task's options:
// `meas info` the report (or --json), `meas check` is --check, `meas plot` is --plot with the
// plot's options, the picture named by -o (--output; by default the data file's path with the
// extension .svg).
enum class InfoCommand { measinfo, info, check, plot };

// args without the program's name (and the command's). Times of the plot's window are read in
// the local time zone.
MeasinfoCommandLine parse_measinfo_command_line(const std::vector<std::string>& args,
                                                InfoCommand command = InfoCommand::measinfo);

// The options the command takes, as meas's help shows them.
std::vector<OptionHelp> measinfo_options(InfoCommand command);

// The --help text.
std::string measinfo_usage();
