// The look of meas's help: descriptions in a column of their own, wrapped at 79 columns. Every
// command's help has it, whether CLI11 lists the options (meas, meas convert) or a table of
// options does (meas info, check, plot and gen).
#pragma once

#include <string>
#include <vector>

#include "base/option_help.h"

// The words of text from column indent on, wrapped at 79 columns, each further line indented as far.
std::string wrapped(const std::string& text, std::size_t indent);

// "  NAMES   text", text in its column (under NAMES when they reach into it); ends with a newline.
std::string help_entry(const std::string& names, const std::string& text);

// "-o, --output FILE.svg".
std::string names_with_value(const OptionHelp& option);

// A command's help, laid out as CLI11 lays out meas convert's: the description, the usage line,
// the positionals, the options under their sections (a section's first letter in capitals), the
// footer.
struct HelpPage {
    std::string description;
    std::string usage;                    // "meas info [OPTIONS] DATAFILE..."
    std::vector<OptionHelp> positionals;  // names and text
    std::vector<OptionHelp> options;      // in the order shown, each section's together (not empty)
    std::string footer;                   // lines of their own; empty for none
};

std::string help_page(const HelpPage& page);
