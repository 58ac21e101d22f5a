#include "cli/report.h"

#include <cstdio>

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>
#endif

#include "cli/signals.h"
#include "convert/hdf5_output.h"

namespace {

// After a stop nothing may wait for standard output: a reader that takes nothing (a full pipe)
// would hold the run forever. A message is then written only when standard output takes it at
// once (a pipe with room, a terminal, a file); otherwise it is dropped.
bool stopped() { return received_stop_signal() != 0; }

bool standard_output_takes_now() {
#ifndef _WIN32
    struct pollfd ready {STDOUT_FILENO, POLLOUT, 0};
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0;
#else
    return true;
#endif
}

}  // namespace

bool standard_output_may_wait_or_takes_now() { return !stopped() || standard_output_takes_now(); }

ConvertStatus print_problems(const ConvertResult& result) {
    for (const Problem& problem : result.problems) {
        if (problem.status == ConvertStatus::interrupted) {
            if (standard_output_takes_now()) std::fflush(stdout);
            // Only what is true: the files that stay are named.
            if (result.not_removed.empty())
                std::fprintf(stderr, "measconv: interrupted, removed the unfinished outputs of '%s'\n",
                             problem.subject.c_str());
            for (const std::string& left : result.not_removed)
                std::fprintf(stderr, "measconv: interrupted, could not remove the unfinished output '%s' of '%s'\n",
                             left.c_str(), problem.subject.c_str());
            continue;
        }
        const std::string message = problem_message(problem);
        if (!standard_output_may_wait_or_takes_now()) continue;
        std::fwrite(message.data(), 1, message.size(), stdout);
        if (stopped()) std::fflush(stdout);  // nothing is left to a later flush that could wait
    }
    return result.status;
}

ResultReport problems_on_standard_output() {
    return {[](const ConvertRequest&, const ConvertResult& result) { print_problems(result); },
            [](const ConvertRequest&, const ConvertResult& result) { return !result.problems.empty(); }};
}

int finish_standard_output(int exit_code) {
    // The run ends by the signal, which tells more than a lost message would.
    if (stopped()) {
        if (standard_output_takes_now()) std::fflush(stdout);
        return exit_code;
    }
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return exit_code;
    std::fputs("measconv: could not write the messages to standard output\n", stderr);
    return 1;
}

void print_unsupported_notice(const std::vector<RunEntry>& entries) {
    if (hdf5_supported()) return;
    for (const RunEntry& entry : entries) {
        if (entry.flags & FLAG_HDF5) {
            std::fputs(HDF5_UNSUPPORTED_NOTICE, stderr);
            return;
        }
    }
}
