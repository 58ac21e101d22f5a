#include "meas/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

#include "meas/convert_command.h"
#include "measconv_version.h"

namespace {

constexpr int EXIT_USAGE = 2;

constexpr std::size_t HELP_WIDTH = 79;
constexpr std::size_t HELP_COLUMN = 26;  // where the descriptions start

// Words of text from column indent on, wrapped at HELP_WIDTH, each further line indented as far.
std::string wrapped(const std::string& text, std::size_t indent) {
    std::string out;
    std::size_t column = indent;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::size_t length = end - at;
        if (!out.empty() && column + 1 + length > HELP_WIDTH) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (!out.empty()) {
            out += ' ';
            ++column;
        }
        out.append(text, at, length);
        column += length;
        at = end + 1;
    }
    return out;
}

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
        std::string line = "  " + names;
        if (line.size() + 2 > HELP_COLUMN) {
            line += "\n" + std::string(HELP_COLUMN, ' ');
        } else {
            line += std::string(HELP_COLUMN - line.size(), ' ');
        }
        return line + wrapped(option->get_description(), HELP_COLUMN) + "\n";
    }

    std::string make_description(const CLI::App* app) const override {
        return wrapped(app->get_description(), 0) + "\n";
    }

    std::string make_subcommand(const CLI::App* subcommand) const override {
        std::string line = "  " + subcommand->get_name();
        line += std::string(HELP_COLUMN > line.size() ? HELP_COLUMN - line.size() : 1, ' ');
        return line + wrapped(subcommand->get_description(), HELP_COLUMN) + "\n";
    }
};

struct Subcommand {
    const char* name;
    const char* summary;
};

constexpr Subcommand SUBCOMMANDS[] = {
    {"convert", "convert data files into text, CSV, per-sensor and HDF5 files, all or a selection of them"},
};

std::vector<std::string> subcommand_names() {
    std::vector<std::string> names;
    for (const Subcommand& subcommand : SUBCOMMANDS) names.push_back(subcommand.name);
    return names;
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::vector<std::string> option_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
}

int usage_error(const std::string& where, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n(see '%s --help')\n", where.c_str(), message.c_str(), where.c_str());
    return EXIT_USAGE;
}

std::string with_hint(const std::string& message, const std::string& typed, const std::vector<std::string>& names) {
    const std::string hint = closest_name(typed, names);
    return hint.empty() ? message : message + "; did you mean '" + hint + "'?";
}

// The first argument that names neither an option nor a subcommand, with a hint.
int unknown_subcommand(const std::string& typed) {
    std::string known;
    for (const Subcommand& subcommand : SUBCOMMANDS) known += std::string(known.empty() ? "" : ", ") + subcommand.name;
    return usage_error(
        "meas", with_hint("unknown command '" + typed + "'", typed, subcommand_names()) + " (commands: " + known + ")");
}

}  // namespace

std::string closest_name(const std::string& typed, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t best_distance = std::max<std::size_t>(2, typed.size() / 3) + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t distance = edit_distance(typed, candidate);
        if (distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

int meas_main(int argc, const char* const* argv) {
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

    if (argc >= 2 && argv[1][0] != '-') {
        const std::vector<std::string> names = subcommand_names();
        if (std::find(names.begin(), names.end(), argv[1]) == names.end()) return unknown_subcommand(argv[1]);
    }
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
            return usage_error("meas convert",
                               with_hint("unknown option '" + typed + "'", typed, option_names(*convert)));
        return usage_error("meas convert", "unexpected argument '" + typed + "'");
    }
    std::string error;
    std::optional<ConvertPlan> plan = plan_conversion(convert_options, error);
    if (!plan) return usage_error("meas convert", error);
    return run_conversion_plan(std::move(*plan));
}
