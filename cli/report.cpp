#include "cli/report.h"

#include <cstdio>

void print_problems(const ConvertResult& result) {
    for (const Problem& problem : result.problems) {
        const std::string message = problem_message(problem);
        std::fwrite(message.data(), 1, message.size(), stdout);
    }
}
