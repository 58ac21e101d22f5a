#include "meas/usage.h"

#include <algorithm>
#include <cstdio>

namespace {

// Letters added, removed, changed, or two neighbours swapped ("inof" is one from "info").
std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
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
