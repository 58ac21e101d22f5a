#include "cli/report.h"

#include <cstdio>

#include "convert/hdf5_output.h"

ConvertStatus print_problems(const ConvertResult& result) {
    for (const Problem& problem : result.problems) {
        if (problem.status == ConvertStatus::interrupted) {
            std::fflush(stdout);
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
        std::fwrite(message.data(), 1, message.size(), stdout);
    }
    return result.status;
}

ResultReport problems_on_standard_output() {
    return {[](const ConvertRequest&, const ConvertResult& result) { print_problems(result); },
            [](const ConvertRequest&, const ConvertResult& result) { return !result.problems.empty(); }};
}

int finish_standard_output(int exit_code) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return exit_code;
    std::fputs("measconv: could not write the messages to standard output\n", stderr);
    return 1;
}

void print_unsupported_notice(const std::vector<ConvertRequest>& requests) {
    if (hdf5_supported()) return;
    for (const ConvertRequest& request : requests) {
        if (request.flags & FLAG_HDF5) {
            std::fputs(HDF5_UNSUPPORTED_NOTICE, stderr);
            return;
        }
    }
}
