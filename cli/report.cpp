#include "cli/report.h"

#include <cstdio>

#include "convert/hdf5_output.h"

void print_problems(const ConvertResult& result) {
    for (const Problem& problem : result.problems) {
        const std::string message = problem_message(problem);
        std::fwrite(message.data(), 1, message.size(), stdout);
    }
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
