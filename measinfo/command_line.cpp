#include "measinfo/command_line.h"

#include <algorithm>
#include <utility>

#include "base/decimal_number.h"
#include "measinfo/texts.h"

namespace {

// What an option does with its value (empty for a flag); an empty result, or what is wrong
// with the value.
using Apply = std::string (*)(MeasinfoOptions& options, const std::string& value);

struct Option {
    const char* name;
    const char* value;  // the value's form, as the usage shows it; nullptr for a flag
    const char* help;   // lines of the usage, the first beside the option
    Apply apply;
};

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
    {"--json", nullptr, "one JSON object per file and line instead of the report",
     [](MeasinfoOptions& o, const std::string&) -> std::string { return o.json = true, std::string(); }},
    {"--check", nullptr, "one line per file instead of the report, 'ok' or what is wrong;\n"
                         "exit code 1 when a file is not clean (with --json: the JSON lines)",
     [](MeasinfoOptions& o, const std::string&) -> std::string { return o.check = true, std::string(); }},
    {"--plot", "FILE.svg", "also draws the (one) data file as an SVG picture",
     [](MeasinfoOptions& o, const std::string& v) -> std::string { return v.empty() ? "expected the name of the SVG file" : (o.plot_path = v, ""); }},
    {"--plot-from", "TIME", "plots the records from this local time on (YYYY-MM-DD HH:MM:SS)",
     [](MeasinfoOptions& o, const std::string& v) -> std::string { return set_time(o.plot.from, v); }},
    {"--plot-to", "TIME", "plots the records up to this local time, inclusive",
     [](MeasinfoOptions& o, const std::string& v) -> std::string { return set_time(o.plot.to, v); }},
    {"--plot-sensors", "LIST", "plots these sensors (numbered as in the report: 1,3,5-8)", set_sensors},
    {"--plot-wavelength", nullptr, "plots the wavelengths (pm) instead of the physical values",
     [](MeasinfoOptions& o, const std::string&) -> std::string { return o.plot.wavelengths = true, std::string(); }},
};
// clang-format on

const Option* find_option(const std::string& name) {
    for (const Option& option : OPTIONS)
        if (name == option.name) return &option;
    return nullptr;
}

MeasinfoCommandLine usage_error(std::string what) {
    MeasinfoCommandLine line;
    line.command = MeasinfoCommand::usage_error;
    line.error = std::move(what);
    return line;
}

// What the options say together that no single one can be checked for; empty when they fit.
std::string inconsistency(const MeasinfoOptions& options, const std::vector<std::string>& plot_options) {
    if (options.plot_path.empty() && !plot_options.empty()) return plot_options.front() + " needs --plot";
    if (options.plot.from && options.plot.to && *options.plot.from > *options.plot.to)
        return "--plot-from is later than --plot-to";
    if (!options.plot_path.empty() && options.files.size() != 1)
        return "--plot draws one data file; " + std::to_string(options.files.size()) + " are named";
    return "";
}

}  // namespace

MeasinfoCommandLine parse_measinfo_command_line(const std::vector<std::string>& args) {
    MeasinfoCommandLine line;
    line.command = MeasinfoCommand::run;
    MeasinfoOptions& options = line.options;
    std::vector<std::string> plot_options;  // given, besides --plot itself
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& argument = args[i];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            options.files.push_back(argument);
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--help" || argument == "--version") {
            line.command = argument == "--help" ? MeasinfoCommand::help : MeasinfoCommand::version;
            return line;
        } else if (const Option* option = find_option(argument)) {
            if (option->value != nullptr && i + 1 >= args.size()) return usage_error("missing value for " + argument);
            const std::string value = option->value != nullptr ? args[++i] : "";
            const std::string wrong = option->apply(options, value);
            if (!wrong.empty()) return usage_error("bad value for " + argument + ": '" + value + "' (" + wrong + ")");
            if (argument.starts_with("--plot-")) plot_options.push_back(argument);
        } else {
            return usage_error("unknown option " + argument);
        }
    }
    if (options.files.empty()) return usage_error("no data file named");
    if (const std::string wrong = inconsistency(options, plot_options); !wrong.empty()) return usage_error(wrong);
    return line;
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
        usage +=
            line(option.value != nullptr ? std::string(option.name) + " " + option.value : option.name, option.help);
    usage += line("--", "ends the options");
    usage += line("--help", "prints this text");
    usage += line("--version", "prints the version");
    return usage + "Exit code 2 for a usage error or a file that cannot be read.\n";
}
