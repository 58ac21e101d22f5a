// The entries of one run (a list, or meas's inputs): what differs from one entry to the next
// (its paths and letters) apart from the rest of a conversion request, which they all share.
// A list of a million entries so holds its paths and a few words an entry, and each entry's
// request is made only when it is converted or told of.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "convert/convert.h"

struct RunEntry {
    std::string input;
    std::string output_base;
    TypeFlags flags = 0;
    OutputSet outputs = ALL_OUTPUTS;
};

struct RunEntries {
    ConvertRequest common;          // every field but the four an entry has of its own
    std::vector<RunEntry> entries;  // in list order
};

inline ConvertRequest entry_request(const RunEntries& run, std::size_t i) {
    ConvertRequest request = run.common;
    const RunEntry& entry = run.entries[i];
    request.input = entry.input;
    request.output_base = entry.output_base;
    request.flags = entry.flags;
    request.outputs = entry.outputs;
    return request;
}
