// Numbers as people type them on a command line: decimal only. An optional sign, then ASCII
// digits and nothing else: no spaces, no "0x" (and a leading 0 is not octal: 010 is ten), no
// exponent, no digit separators. Header-only, for programs that link no library of ours.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

// The value of text when it is such a number within [low, high]; nothing otherwise (also when
// it does not fit 64 bits).
inline std::optional<long long> parse_decimal(std::string_view text, long long low, long long high) {
    std::size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) at = 1;
    if (at == text.size()) return std::nullopt;
    // The magnitude of the most negative value, one more than the greatest positive one.
    constexpr std::uint64_t LIMIT = static_cast<std::uint64_t>(std::numeric_limits<long long>::max()) + 1;
    std::uint64_t magnitude = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(text[at] - '0');
        if (magnitude > (LIMIT - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (!negative && magnitude == LIMIT) return std::nullopt;
    const long long value = !negative            ? static_cast<long long>(magnitude)
                            : magnitude == LIMIT ? std::numeric_limits<long long>::min()
                                                 : -static_cast<long long>(magnitude);
    if (value < low || value > high) return std::nullopt;
    return value;
}
