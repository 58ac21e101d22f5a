// Batch mode: a list file names data files with their output bases and optional type letters.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "cli/environment.h"
#include "cli/run_entries.h"
#include "convert/convert.h"

struct ListEntry {
    std::string input;
    std::string output_base;
    std::string type;  // may be empty: the letters of the previous entry (or the command line) apply
};

// The entries of a list file's text, in the order of its lines.
std::vector<ListEntry> parse_list_text(const std::string& text);


enum class ListRead { ok, unreadable, data_file, interrupted };

// Takes each entry of a list as it is read, in list order.
using ListEntrySink = std::function<void(ListEntry&& entry)>;

// Reads the entries of the list file at path, printing nothing: unreadable when it cannot be
// opened or read whole, data_file when it is a data file (its output base forgotten),
// interrupted when stop is set while it is read (a list can be endless, or a pipe that waits).
// The sink may have taken entries by then; it takes none of a data file.
ListRead read_list_entries(const std::string& path, const ListEntrySink& take, const std::atomic<bool>* stop = nullptr);
ListRead read_list_entries(const std::string& path, std::vector<ListEntry>& entries,
                           const std::atomic<bool>* stop = nullptr);

// Reads the list file at path. False (after printing "Failed to open ...", or on a stop the
// note that the run was interrupted) when it cannot be read.
bool read_list_file(const std::string& path, const ListEntrySink& take, const std::atomic<bool>* stop = nullptr);
bool read_list_file(const std::string& path, std::vector<ListEntry>& entries, const std::atomic<bool>* stop = nullptr);

// The run's entries, made from a list's entries one at a time as they are read: type letters
// carry over from the last entry that had some, starting from the command line's flags. No
// entry writes to the list.
struct BatchEntries {
    RunEntries run;
    TypeFlags flags;

    BatchEntries(const std::string& list_path, TypeFlags command_line_flags, const RunSettings& settings);
    void add(ListEntry&& entry);
};

// The run's entries of a whole list, in list order, as BatchEntries makes them.
RunEntries batch_entries(std::vector<ListEntry> entries, const std::string& list_path, TypeFlags command_line_flags,
                         const RunSettings& settings);

// Converts every entry of the list in order, until a stop. Returns the process exit code: 2
// for a list that cannot be used, else 0.
int run_batch(const std::string& list_path, TypeFlags command_line_flags, const RunSettings& settings);
