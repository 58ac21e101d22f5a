// Where the converter's messages go: one line per problem on standard output; the note that
// an interrupted conversion removed its outputs on standard error.
#pragma once

#include <functional>
#include <vector>

#include "cli/run_entries.h"
#include "convert/convert.h"
#include "convert/convert_status.h"

// Prints the result's problems and returns its status.
ConvertStatus print_problems(const ConvertResult& result);

// What a run does with each entry's result, in list order.
struct ResultReport {
    std::function<void(const ConvertRequest& request, const ConvertResult& result)> tell;
    // Whether tell writes anything for the result (a progress line is erased before).
    std::function<bool(const ConvertRequest& request, const ConvertResult& result)> has_words;
};

// Whether a message may go to standard output now: always before a stop; after one only when
// standard output takes it at once (a reader that takes nothing would hold the run forever).
bool standard_output_may_wait_or_takes_now();

// measconv's: the problems' messages on standard output (print_problems).
ResultReport problems_on_standard_output();

// Flushes standard output. When anything could not be written there, says so on standard
// error and returns 1 (the messages were lost), else exit_code.
int finish_standard_output(int exit_code);

// One notice on standard error when a request asks for 'h' and this build has no HDF5 support.
void print_unsupported_notice(const std::vector<RunEntry>& entries);
