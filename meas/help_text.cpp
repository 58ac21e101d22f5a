#include "meas/help_text.h"

#include <cctype>

namespace {

constexpr std::size_t HELP_WIDTH = 79;
constexpr std::size_t HELP_COLUMN = 26;  // where the descriptions start

}  // namespace

std::string wrapped(const std::string& text, std::size_t indent) {
    std::string out;
    std::size_t column = indent;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::size_t length = end - at;
        if (!out.empty() && column + 1 + length > HELP_WIDTH) {
            out += '\n';
            out.append(indent, ' ');
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

std::string help_entry(const std::string& names, const std::string& text) {
    std::string line = "  " + names;
    if (line.size() + 2 > HELP_COLUMN) {
        line += "\n" + std::string(HELP_COLUMN, ' ');
    } else {
        line += std::string(HELP_COLUMN - line.size(), ' ');
    }
    return line + wrapped(text, HELP_COLUMN) + "\n";
}

std::string names_with_value(const OptionHelp& option) {
    std::string names;
    for (const std::string& name : option.names) names += (names.empty() ? "" : ", ") + name;
    return option.value.empty() ? names : names + " " + option.value;
}

std::string help_page(const HelpPage& page) {
    std::string help = wrapped(page.description, 0) + "\nUsage: " + page.usage + "\n";
    if (!page.positionals.empty()) {
        help += "\nPositionals:\n";
        for (const OptionHelp& positional : page.positionals)
            help += help_entry(names_with_value(positional), positional.text);
    }
    for (std::size_t i = 0; i < page.options.size(); ++i) {
        const OptionHelp& option = page.options[i];
        if (i == 0 || option.section != page.options[i - 1].section) {
            std::string heading = option.section;
            heading[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(heading[0])));
            help += "\n" + heading + ":\n";
        }
        help += help_entry(names_with_value(option), option.text);
    }
    if (!page.footer.empty()) help += "\n" + page.footer + "\n";
    return help;
}
