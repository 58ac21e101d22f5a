// Batch mode: a list file names data files with their output bases and optional type letters.
#pragma once

#include <string>
#include <vector>

struct ListEntry {
    std::string input;
    std::string output_base;
    std::string type;  // may be empty: the letters of the previous entry (or the command line) apply
};

// The entries of a list file's text, in the order of its lines.
std::vector<ListEntry> parse_list_text(const std::string& text);

// Reads the list file named in g_run_paths. 0 on success, 1 when it cannot be opened
// (after printing "Failed to open ...").
int read_list_file(std::vector<ListEntry>& entries);

// Converts every entry in order. Returns the process exit code: 2 for an unreadable list, else 0.
int run_batch();
