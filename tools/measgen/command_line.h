// measgen's command line: every option is a row of one table (which also makes the --help
// texts), parsed into the shape of the file to write; running it is apart from parsing. The
// same table and parser serve `meas gen`.
#pragma once

#include <string>
#include <vector>

#include "base/option_help.h"
#include "measgen/generator.h"

// The most sensors a file measconv converts can have; more only through --refused-sensor-count.
inline constexpr int MAX_CONVERTIBLE_SENSORS = 127;

struct MeasgenOptions {
    FileShape shape;  // 4 numbered sensors and no record unless the options say otherwise
    std::string output;
};

enum class MeasgenCommand { write, help, version, usage_error };

struct MeasgenCommandLine {
    MeasgenCommand command = MeasgenCommand::usage_error;
    MeasgenOptions options;
    std::string error;    // what is wrong, for usage_error
    std::string unknown;  // for usage_error: the argument that names no option, when that is what is wrong
};

// Whose command line it is: `meas gen` also takes -h for --help.
enum class GenCommand { measgen, gen };

// args without the program's name (and the command's).
MeasgenCommandLine parse_measgen_command_line(const std::vector<std::string>& args,
                                              GenCommand command = GenCommand::measgen);

// The --help text.
std::string measgen_usage();

// The options, as meas's help shows them: each with its default.
std::vector<OptionHelp> measgen_options();

// Writes options.output; says on standard error (after program's name) what went wrong or that
// no record was written. The exit code: 0, or 1 when the file could not be written.
int run_measgen(const MeasgenOptions& options, const char* program = "measgen");
