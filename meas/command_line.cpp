#include "meas/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

#include "meas/convert_command.h"
#include "meas/help_text.h"
#include "meas/tool_commands.h"
#include "meas/usage.h"
#include "measconv_version.h"

namespace {

// Options as "  -t, --type LETTERS   what it does", the description wrapped at 79 columns
// (CLI11's own form also lists what an option excludes and runs on past the terminal's width).
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_option(const CLI::Option* option, bool is_positional) const override {
        std::string names = make_option_name(option, is_positional);
        if (const std::size_t brace = names.find('{'); brace != std::string::npos) names.erase(brace);  // "{false}"
        for (std::size_t comma = names.find(','); comma != std::string::npos; comma = names.find(',', comma + 2))
            names.replace(comma, 1, ", ");
        if (!option->get_type_name().empty()) names += " " + option->get_type_name();
        if (is_positional && option->get_expected_max() > 1) names += " ...";
        return help_entry(names, option->get_description());
    }

    std::string make_description(const CLI::App* app) const override {
        return wrapped(app->get_description(), 0) + "\n";
    }

    std::string make_subcommand(const CLI::App* subcommand) const override {
        return help_entry(subcommand->get_name(), subcommand->get_description());
    }
};

struct Subcommand {
    const char* name;
    const char* summary;
    int (*run)(const std::vector<std::string>& args);  // nullptr: parsed by CLI11 (convert)
};

constexpr Subcommand SUBCOMMANDS[] = {
    {"convert", "convert data files into text, CSV, per-sensor and HDF5 files, all or a selection of them", nullptr},
    {"info", "report what data files hold: the header, the sensors, the records, their time steps and rate", meas_info},
    {"check", "tell whether data files are sound, one line each (exit code 1 when one is not)", meas_check},
    {"plot", "draw a data file's values over time as an SVG picture", meas_plot},
    {"gen", "write a measurement data file of a chosen shape, for trying and testing", meas_gen},
};

std::vector<std::string> subcommand_names() {
    std::vector<std::string> names;
    for (const Subcommand& subcommand : SUBCOMMANDS) names.push_back(subcommand.name);
    return names;
}

std::vector<std::string> option_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
}

// The first argument that names neither an option nor a subcommand, with a hint.
int unknown_subcommand(const std::string& typed) {
    std::string known;
    for (const Subcommand& subcommand : SUBCOMMANDS) known += std::string(known.empty() ? "" : ", ") + subcommand.name;
    return usage_error(
        "meas", with_hint("unknown command '" + typed + "'", typed, subcommand_names()) + " (commands: " + known + ")");
}

}  // namespace

int meas_main(int argc, const char* const* argv) {
    if (argc >= 2 && argv[1][0] != '-') {
        const Subcommand* subcommand =
            std::find_if(std::begin(SUBCOMMANDS), std::end(SUBCOMMANDS),
                         [&](const Subcommand& s) { return argv[1] == std::string(s.name); });
        if (subcommand == std::end(SUBCOMMANDS)) return unknown_subcommand(argv[1]);
        // Commands over a table of options of their own parse their arguments with it.
        if (subcommand->run != nullptr) return subcommand->run(std::vector<std::string>(argv + 2, argv + argc));
    }
    CLI::App app{"meas converts measurement data files and tells what they hold.", "meas"};
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag("-h,--help", "print this help and exit");
    app.footer("Each command's options: meas COMMAND --help. The manual: man meas.");
    app.require_subcommand(0, 1);
    bool version = false;
    app.add_flag("--version", version, "print the version and exit");

    ConvertOptions convert_options;
    CLI::App* convert = app.add_subcommand(SUBCOMMANDS[0].name, SUBCOMMANDS[0].summary);
    convert->allow_extras();
    convert->footer(
        "Outputs are named after the output base: BASE.h5, BASE_pv.txt, BASE_wl.txt,\n"
        "BASE_pv.csv, BASE_wl.csv, and per sensor BASE/SERIAL.txt and BASE/SERIAL.csv.\n"
        "Exit codes: 0 every input converted completely; 1 an input had a problem (each\n"
        "is named on standard error); 2 a usage error or an unusable value (nothing is\n"
        "converted then).");
    add_convert_options(*convert, convert_options);
    // The others only for the list of commands in the help: they never reach CLI11's parser.
    for (const Subcommand& subcommand : SUBCOMMANDS)
        if (subcommand.run != nullptr) app.add_subcommand(subcommand.name, subcommand.summary)->allow_extras();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        const std::string where = convert->parsed() ? "meas convert" : "meas";
        return usage_error(where, error.what());
    }
    if (version) {
        std::printf("meas %s\n", MEASCONV_VERSION);
        return 0;
    }
    if (!convert->parsed()) {  // no command: a usage error, with the help to show what there is
        std::fputs(app.help().c_str(), stderr);
        return EXIT_USAGE;
    }
    const std::vector<std::string> extras = convert->remaining();
    if (!extras.empty()) {
        const std::string& typed = extras.front();
        if (typed.size() > 1 && typed[0] == '-')
            return usage_error("meas convert", unknown_option_message(typed, option_names(*convert)));
        return usage_error("meas convert", "unexpected argument '" + typed + "'");
    }
    std::string error;
    std::optional<ConvertPlan> plan = plan_conversion(convert_options, error);
    if (!plan) return usage_error("meas convert", error);
    return run_conversion_plan(std::move(*plan));
}
