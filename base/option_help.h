// An option as a program's help shows it: what a command line parser built on a table of
// options hands to the program that prints the help. Header-only, for programs that link no
// library of ours.
#pragma once

#include <string>
#include <vector>

struct OptionHelp {
    std::vector<std::string> names;  // as typed: "-o", "--output"
    std::string value;               // the value's form ("FILE.svg"); empty for a flag
    std::string text;                // what it does, with its default where it takes a value
    std::string section;             // the heading it is listed under
};
