#include "measinfo/command_line.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "base/decimal_number.h"
#include "measinfo/texts.h"

namespace {

// What an option does with its value (empty for a flag); an empty result, or what is wrong
// with the value.
using Apply = std::string (*)(MeasinfoOptions& options, const std::string& value);

constexpr unsigned of(InfoCommand command) { return 1u << static_cast<unsigned>(command); }
constexpr unsigned MEASINFO = of(InfoCommand::measinfo);
constexpr unsigned PLOT = of(InfoCommand::plot);
constexpr unsigned EVERY = MEASINFO | of(InfoCommand::info) | of(InfoCommand::check) | PLOT;

struct Option {
    const char* name;
    const char* short_name;  // in meas's commands; nullptr for none
    const char* value;       // the value's form, as the usage shows it; nullptr for a flag
    const char* help;        // lines of measinfo's usage, the first beside the option
    const char* meas_help;   // meas's help: one sentence, with the default of a value
    unsigned commands;       // the commands that take it
    Apply apply;
};

std::string set_plot_path(MeasinfoOptions& options, const std::string& value) {
    if (value.empty()) return "expected the name of the SVG file";
    options.plot_path = value;
    return "";
}

std::string set_time(std::optional<std::int64_t>& time, const std::string& value) {
    const ParsedTime parsed = parse_datetime_text(value);
    time = parsed.seconds;
    return parsed.why;
}

// "1,3,5-8": sensors counted from 1, as the report counts them.
std::string set_sensors(MeasinfoOptions& options, const std::string& value) {
    const std::string wrong = "expected sensor numbers from 1 such as 1,3,5-8";
    std::vector<std::size_t>& sensors = options.plot.sensors;
    sensors.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        const std::string part = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t dash = part.find('-');
        const auto number = [](const std::string& text) {
            return text.starts_with('+') ? std::nullopt : parse_decimal(text, 1, static_cast<long long>(SIZE_MAX >> 1));
        };
        const std::optional<long long> first = number(part.substr(0, dash));
        const std::optional<long long> last = dash == std::string::npos ? first : number(part.substr(dash + 1));
        // A range is at most as long as the largest sensor table, so no list can use up memory.
        if (!first || !last || *last < *first || *last - *first > 1000) return wrong;
        for (long long s = *first; s <= *last; ++s) sensors.push_back(static_cast<std::size_t>(s));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::sort(sensors.begin(), sensors.end());
    sensors.erase(std::unique(sensors.begin(), sensors.end()), sensors.end());
    return "";
}

// clang-format off
const Option OPTIONS[] = {
    {"--json", nullptr, nullptr, "one JSON object per file and line instead of the report",
     "one JSON object per file and line instead of the text (each with 'clean' and 'findings')", EVERY,
     [](MeasinfoOptions& o, const std::string&) -> std::string { return o.json = true, std::string(); }},
    {"--check", nullptr, nullptr, "one line per file instead of the report, 'ok' or what is wrong;\n"
                                  "exit code 1 when a file is not clean (with --json: the JSON lines)",
     "", MEASINFO,
     [](MeasinfoOptions& o, const std::string&) -> std::string { return o.check = true, std::string(); }},
    {"--plot", nullptr, "FILE.svg", "also draws the (one) data file as an SVG picture", "", MEASINFO, set_plot_path},
    {"--output", "-o", "FILE.svg", "",
     "the SVG picture to write (default: the data file's path with the extension .svg)", PLOT, set_plot_path},
    {"--plot-from", nullptr, "TIME", "plots the records from this local time on (YYYY-MM-DD HH:MM:SS)",
     "plot the records from this local time on: YYYY-MM-DD HH:MM[:SS], or with a T for the space; a time "
     "the clocks show twice is the earlier one (default: the first record)", MEASINFO | PLOT,
     [](MeasinfoOptions& o, const std::string& v) -> std::string { return set_time(o.plot.from, v); }},
    {"--plot-to", nullptr, "TIME", "plots the records up to this local time, inclusive",
     "plot the records up to this local time, itself included (default: the last record)", MEASINFO | PLOT,
     [](MeasinfoOptions& o, const std::string& v) -> std::string { return set_time(o.plot.to, v); }},
    {"--plot-sensors", nullptr, "LIST", "plots these sensors (numbered as in the report: 1,3,5-8)",
     "plot these sensors, numbered from 1 as the report numbers them: 1,3,5-8 (default: all)", MEASINFO | PLOT,
     set_sensors},
    {"--plot-wavelength", nullptr, nullptr, "plots the wavelengths (pm) instead of the physical values",
     "plot the wavelengths (pm) instead of the physical values", MEASINFO | PLOT,
     [](MeasinfoOptions& o, const std::string&) -> std::string { return o.plot.wavelengths = true, std::string(); }},
};
// clang-format on

const Option* find_option(const std::string& name, InfoCommand command) {
    for (const Option& option : OPTIONS)
        if ((option.commands & of(command)) &&
            (name == option.name || (option.short_name != nullptr && name == option.short_name)))
            return &option;
    return nullptr;
}

MeasinfoCommandLine usage_error(std::string what, std::string unknown = "") {
    MeasinfoCommandLine line;
    line.command = MeasinfoCommand::usage_error;
    line.error = std::move(what);
    line.unknown = std::move(unknown);
    return line;
}

// What the options say together that no single one can be checked for; empty when they fit.
std::string inconsistency(const MeasinfoOptions& options, const std::vector<std::string>& plot_options,
                          InfoCommand command) {
    const bool plot = command == InfoCommand::plot || !options.plot_path.empty();
    if (!plot && !plot_options.empty()) return plot_options.front() + " needs --plot";
    if (options.plot.from && options.plot.to && *options.plot.from > *options.plot.to)
        return "--plot-from is later than --plot-to";
    if (plot && options.files.size() != 1)
        return std::string(command == InfoCommand::plot ? "a plot" : "--plot") + " draws one data file; " +
               std::to_string(options.files.size()) + " are named";
    return "";
}

// The data file's path with the extension .svg.
std::string svg_beside(const std::string& data_file) {
    return std::filesystem::path(data_file).replace_extension(".svg").string();
}

}  // namespace

MeasinfoCommandLine parse_measinfo_command_line(const std::vector<std::string>& args, InfoCommand command) {
    MeasinfoCommandLine line;
    line.command = MeasinfoCommand::run;
    MeasinfoOptions& options = line.options;
    options.check = command == InfoCommand::check;
    const bool meas = command != InfoCommand::measinfo;
    std::vector<std::string> plot_options;  // given, besides --plot itself
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& argument = args[i];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            options.files.push_back(argument);
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--help" || argument == "--version" || (meas && argument == "-h")) {
            line.command = argument == "--version" ? MeasinfoCommand::version : MeasinfoCommand::help;
            return line;
        } else if (const Option* option = find_option(argument, command)) {
            if (option->value != nullptr && i + 1 >= args.size()) return usage_error("missing value for " + argument);
            const std::string value = option->value != nullptr ? args[++i] : "";
            const std::string wrong = option->apply(options, value);
            if (!wrong.empty()) return usage_error("bad value for " + argument + ": '" + value + "' (" + wrong + ")");
            if (argument.starts_with("--plot-")) plot_options.push_back(argument);
        } else {
            return usage_error("unknown option " + argument, argument);
        }
    }
    if (options.files.empty()) return usage_error("no data file named");
    if (const std::string wrong = inconsistency(options, plot_options, command); !wrong.empty())
        return usage_error(wrong);
    if (command == InfoCommand::plot && options.plot_path.empty()) options.plot_path = svg_beside(options.files[0]);
    return line;
}

std::vector<OptionHelp> measinfo_options(InfoCommand command) {
    std::vector<OptionHelp> options;
    for (const Option& option : OPTIONS) {
        if (!(option.commands & of(command))) continue;
        OptionHelp help;
        if (option.short_name != nullptr) help.names.push_back(option.short_name);
        help.names.push_back(option.name);
        help.value = option.value != nullptr ? option.value : "";
        help.text = command == InfoCommand::measinfo ? option.help : option.meas_help;
        help.section = "Options";
        options.push_back(std::move(help));
    }
    return options;
}

std::string measinfo_usage() {
    // The help in a column of its own, continued lines indented to it.
    const auto line = [](const std::string& form, std::string help) {
        constexpr std::size_t FORM_WIDTH = 20;
        const std::string indent(2 + FORM_WIDTH + 1, ' ');
        for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1))
            help.insert(at + 1, indent);
        return "  " + form + std::string(form.size() < FORM_WIDTH ? FORM_WIDTH - form.size() : 0, ' ') + " " + help +
               "\n";
    };
    std::string usage = "usage: measinfo [--json] [--check] [--plot FILE.svg [PLOT OPTION...]] DATAFILE...\n";
    usage += line("without options", "a readable report per file");
    for (const Option& option : OPTIONS)
        if (option.commands & MEASINFO)
            usage += line(option.value != nullptr ? std::string(option.name) + " " + option.value : option.name,
                          option.help);
    usage += line("--", "ends the options");
    usage += line("--help", "prints this text");
    usage += line("--version", "prints the version");
    return usage + "Exit code 2 for a usage error or a file that cannot be read.\n";
}
