// Converting the entries of a list: a shard of them when MEASCONV_SHARD asks, on
// MEASCONV_JOBS threads, with the standard output and the files of one run in list order.
#pragma once

#include <vector>

#include "cli/environment.h"
#include "cli/report.h"
#include "cli/run_entries.h"

// Converts the run's entries (every entry of the list, in list order) and prints each one's
// messages whole, in list order. With one job and no progress shown they are converted one
// after the other, as always. With more, a pool of threads converts entries that cannot
// touch each other's files at the same time (conflicts.h); entries that can run in list order.
// When every entry depends on the one before, each is converted with all the threads instead.
// report tells of each entry's result (measconv: its problems on standard output).
void convert_entries(RunEntries run, const RunSettings& settings,
                     const ResultReport& report = problems_on_standard_output());
