#include "meas/tool_commands.h"

#include <algorithm>
#include <cstdio>

#include "meas/help_text.h"
#include "meas/usage.h"
#include "measconv_version.h"
#include "measgen/command_line.h"
#include "measinfo/command_line.h"
#include "measinfo/run.h"

namespace {

constexpr char MESSAGE_PREFIX[] = "meas";

// The help's parts a command adds to its table's options.
struct Page {
    const char* description;
    const char* usage;
    OptionHelp positional;
    const char* footer;
};

const OptionHelp HELP_OPTION = {{"-h", "--help"}, "", "print this help and exit", "Options"};
const OptionHelp END_OF_OPTIONS = {
    {"--"}, "", "end the options: what follows is a file name even if it starts with -", "Options"};

// One help page per InfoCommand but measinfo.
struct InfoPage {
    InfoCommand command;
    const char* name;
    Page page;
};

// clang-format off
const InfoPage INFO_PAGES[] = {
    {InfoCommand::info, "info", {
        "Report what data files hold: the header, the sensors and their values, the records, their time steps and "
        "rate, with the irregular steps.",
        "meas info [OPTIONS] DATAFILE...",
        {{"DATAFILE ..."}, "", "the data files to report on, each in a report of its own", ""},
        "Exit codes: 0 every file was read; 2 a usage error, or a file that cannot be\n"
        "read (the others are still reported)."}},
    {InfoCommand::check, "check", {
        "Tell whether data files are sound: per file one line, 'ok' or what is wrong.",
        "meas check [OPTIONS] DATAFILE...",
        {{"DATAFILE ..."}, "", "the data files to check", ""},
        "Exit codes: 0 every file is clean; 1 a file is not clean; 2 a usage error, or a\n"
        "file that cannot be read."}},
    {InfoCommand::plot, "plot", {
        "Draw a data file's values over time as an SVG picture, and report on the file as meas info does.",
        "meas plot [OPTIONS] DATAFILE",
        {{"DATAFILE"}, "", "the data file to draw", ""},
        "Exit codes: 0 the picture is written; 2 a usage error, a file that cannot be\n"
        "read, a sensor the file does not have, or a picture that cannot be written."}},
};
// clang-format on

const Page GEN_PAGE = {
    "Write a measurement data file of a chosen shape, for trying and testing the converter: valid files, files "
    "with irregular records, broken files.",
    "meas gen [OPTIONS] [--] OUTPUT",
    {{"OUTPUT"}, "", "the data file to write", ""},
    "Numbers are decimal: 010 is ten; no 0x, no exponent (but VALUE may have one).\n"
    "Exit codes: 0 the file is written; 1 it cannot be written; 2 a usage error."};

// The options of the table under --help, and -- last among the general ones.
std::string help_of(const Page& page, const std::vector<OptionHelp>& options) {
    HelpPage help{page.description, page.usage, {page.positional}, {HELP_OPTION}, page.footer};
    for (const OptionHelp& option : options)
        if (option.section == HELP_OPTION.section) help.options.push_back(option);
    help.options.push_back(END_OF_OPTIONS);
    for (const OptionHelp& option : options)
        if (option.section != HELP_OPTION.section) help.options.push_back(option);
    return help_page(help);
}

std::vector<std::string> names_of(const std::vector<OptionHelp>& options) {
    std::vector<std::string> names = {"--help", "-h"};
    for (const OptionHelp& option : options) names.insert(names.end(), option.names.begin(), option.names.end());
    return names;
}

bool has_option(InfoCommand command, const std::string& name) {
    const std::vector<std::string> names = names_of(measinfo_options(command));
    return std::find(names.begin(), names.end(), name) != names.end();
}

// What does in meas what an option of measinfo or of another command does, as a hint: "meas
// check" for measinfo's --check, "meas plot --plot-from" for that option given to meas info,
// "-o" for measinfo's --plot given to meas plot; "" when nothing does.
std::string instead_of_option(const std::string& typed, const InfoPage& page) {
    std::string instead;
    if (typed == "--check") instead = "meas check";
    if (typed == "--plot") instead = "meas plot -o";
    for (const InfoPage& other : INFO_PAGES)
        if (instead.empty() && has_option(other.command, typed))
            instead = std::string("meas ") + other.name + " " + typed;
    const std::string here = std::string("meas ") + page.name;
    if (instead == here) return "";
    return instead.starts_with(here + " ") ? instead.substr(here.size() + 1) : instead;
}

// What a parser made of the command line, answered; run does the work.
template <class CommandLine, class Run>
int answer(const std::string& where, const CommandLine& line, const std::string& help,
           const std::vector<OptionHelp>& options, const std::string& other_command, Run run) {
    using Command = decltype(line.command);
    if (line.command == Command::help) {
        std::fputs(help.c_str(), stdout);
        return 0;
    }
    if (line.command == Command::version) {
        std::printf("meas %s\n", MEASCONV_VERSION);
        return 0;
    }
    if (line.command != Command::usage_error) return run();
    if (line.unknown.empty()) return usage_error(where, line.error);
    const std::vector<std::string> names = names_of(options);
    if (closest_name(line.unknown, names).empty() && !other_command.empty())
        return usage_error(where, "unknown option '" + line.unknown + "'; did you mean '" + other_command + "'?");
    return usage_error(where, unknown_option_message(line.unknown, names));
}

int info_command(const InfoPage& page, const std::vector<std::string>& args) {
    const MeasinfoCommandLine line = parse_measinfo_command_line(args, page.command);
    const std::vector<OptionHelp> options = measinfo_options(page.command);
    const std::string other = line.unknown.empty() ? "" : instead_of_option(line.unknown, page);
    return answer(std::string("meas ") + page.name, line, help_of(page.page, options), options, other,
                  [&] { return run_measinfo(line.options, MESSAGE_PREFIX); });
}

}  // namespace

int meas_info(const std::vector<std::string>& args) { return info_command(INFO_PAGES[0], args); }

int meas_check(const std::vector<std::string>& args) { return info_command(INFO_PAGES[1], args); }

int meas_plot(const std::vector<std::string>& args) { return info_command(INFO_PAGES[2], args); }

int meas_gen(const std::vector<std::string>& args) {
    const MeasgenCommandLine line = parse_measgen_command_line(args, GenCommand::gen);
    const std::vector<OptionHelp> options = measgen_options();
    return answer("meas gen", line, help_of(GEN_PAGE, options), options, "",
                  [&] { return run_measgen(line.options, MESSAGE_PREFIX); });
}
