#include "meas/usage.h"

#include <algorithm>
#include <cstdio>

namespace {

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

int usage_error(const std::string& where, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n(see '%s --help')\n", where.c_str(), message.c_str(), where.c_str());
    return EXIT_USAGE;
}

std::string closest_name(const std::string& typed, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t best_distance = std::max<std::size_t>(2, typed.size() / 3) + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t distance = edit_distance(typed, candidate);
        // Less than half of the longer one changed: any two one-letter options are one letter apart.
        if (distance < best_distance && 2 * distance < std::max(typed.size(), candidate.size())) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

std::string with_hint(const std::string& message, const std::string& typed,
                      const std::vector<std::string>& candidates) {
    const std::string hint = closest_name(typed, candidates);
    return hint.empty() ? message : message + "; did you mean '" + hint + "'?";
}

std::string unknown_option_message(const std::string& typed, const std::vector<std::string>& options) {
    const std::string message = "unknown option '" + typed + "'";
    if (const std::string hint = closest_name(typed, options); !hint.empty())
        return message + "; did you mean '" + hint + "'?";
    if (typed.starts_with("--")) return message;
    return message + " (a file name starting with '-' needs -- before it)";
}
