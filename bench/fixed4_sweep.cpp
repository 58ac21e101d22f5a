// fixed4_sweep [FIRST [LAST]]: compares format_fixed4 with snprintf's "%0.4f" for every float
// bit pattern from FIRST to LAST (hexadecimal; by default all 2^32 of them, about half an hour
// on one core). Too long for the test suite, which checks every exponent and millions of
// random values instead. Prints the first mismatches and their count; exit code 1 on any.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "baseline/baseline_format.h"
#include "convert/number_format.h"

int main(int argc, char** argv) {
    const std::uint64_t first = argc > 1 ? std::strtoull(argv[1], nullptr, 16) : 0;
    const std::uint64_t last = argc > 2 ? std::strtoull(argv[2], nullptr, 16) : 0xffffffffull;
    std::uint64_t mismatches = 0;
    for (std::uint64_t bits = first; bits <= last; ++bits) {
        const std::uint32_t pattern = static_cast<std::uint32_t>(bits);
        float value;
        std::memcpy(&value, &pattern, sizeof value);
        char fast[MAX_FORMATTED + CELL_COPY_SLACK];
        char expected[MAX_FORMATTED];
        const std::size_t fast_size = static_cast<std::size_t>(format_fixed4(fast, value) - fast);
        const std::size_t expected_size = static_cast<std::size_t>(baseline_format_fixed4(expected, value) - expected);
        if (fast_size != expected_size || std::memcmp(fast, expected, fast_size) != 0) {
            if (++mismatches <= 10)
                std::printf("0x%08x: fast %.*s, printf %.*s\n", static_cast<unsigned>(pattern),
                            static_cast<int>(fast_size), fast, static_cast<int>(expected_size), expected);
        }
    }
    std::printf("%llu patterns from 0x%08llx to 0x%08llx, %llu mismatches\n",
                static_cast<unsigned long long>(last - first + 1), static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(last), static_cast<unsigned long long>(mismatches));
    return mismatches == 0 ? 0 : 1;
}
