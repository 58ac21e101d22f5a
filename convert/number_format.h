// Number and date-time formatting for the output lines. Each function writes its text at
// `out` and returns the position after it; the caller provides MAX_FORMATTED bytes of room.
// The text is exactly what printf gives for the format named beside each function; the
// tests compare every function with snprintf (see baseline_format.h) over the edge values
// and millions of random ones. The functions are inline because the record loops call
// them tens of millions of times per file.
#pragma once

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "datafile/local_time.h"

inline constexpr std::size_t MAX_FORMATTED = 64;

namespace format_detail {

inline constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr std::uint64_t POWERS_OF_10[] = {1ull,
                                                 10ull,
                                                 100ull,
                                                 1000ull,
                                                 10000ull,
                                                 100000ull,
                                                 1000000ull,
                                                 10000000ull,
                                                 100000000ull,
                                                 1000000000ull,
                                                 10000000000ull,
                                                 100000000000ull,
                                                 1000000000000ull,
                                                 10000000000000ull,
                                                 100000000000000ull,
                                                 1000000000000000ull,
                                                 10000000000000000ull,
                                                 100000000000000000ull,
                                                 1000000000000000000ull,
                                                 10000000000000000000ull};

// Number of decimal digits of value (1 for 0).
inline int decimal_digit_count(std::uint64_t value) {
    // bit_width * log10(2), which is the digit count or one less.
    const int guess = static_cast<int>((std::bit_width(value) * 1233) >> 12);
    const int count = guess + (value >= POWERS_OF_10[guess] ? 1 : 0);
    return count == 0 ? 1 : count;
}

// Exactly `width` digits of value, zero-padded on the left; value must be below 10^width.
inline char* put_digits(char* out, std::uint64_t value, int width) {
    char* const end = out + width;
    char* p = end;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, DIGIT_PAIRS + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        p -= 2;
        std::memcpy(p, DIGIT_PAIRS + 2 * value, 2);
    } else {
        *--p = static_cast<char>('0' + value);
    }
    while (p > out) *--p = '0';
    return end;
}

// The two digit characters of value (below 100) as a little-endian 16-bit word.
inline std::uint32_t pair_chars(unsigned value) {
    std::uint16_t chars;
    std::memcpy(&chars, DIGIT_PAIRS + 2 * value, 2);
    return chars;
}

inline char* put_two_digits(char* out, unsigned value) {
    std::memcpy(out, DIGIT_PAIRS + 2 * value, 2);
    return out + 2;
}

// "%0*lld" with the given field width: a minus sign counts towards the width.
inline char* put_padded_int(char* out, std::int64_t value, int width) {
    std::uint64_t magnitude = static_cast<std::uint64_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0 - magnitude;
        --width;
    }
    const int digits = decimal_digit_count(magnitude);
    return put_digits(out, magnitude, digits > width ? digits : width);
}

// Values of 2^39 and more have integer parts beyond the fast path's 64-bit arithmetic;
// std::to_chars with a precision is exact as well (correctly rounded, like printf).
inline char* put_fixed4_wide(char* out, double value) {
    return std::to_chars(out, out + MAX_FORMATTED, value, std::chars_format::fixed, 4).ptr;
}

}  // namespace format_detail

// "%ld" of a 32-bit value.
inline char* format_int(char* out, std::int32_t value) { return format_detail::put_padded_int(out, value, 1); }

// "%06ld" of a 32-bit value: a negative value keeps its minus sign inside the six.
inline char* format_int06(char* out, std::int32_t value) { return format_detail::put_padded_int(out, value, 6); }

// "%0.4f" of the value widened to double (nan, -nan, inf and -inf included).
//
// A float is m * 2^e with an integer m below 2^24. For |value| < 2^39 the value times 10^4
// is computed exactly in 64 bits: either (m << e) * 10^4, or m * 10^4 (below 2^38) shifted
// right by -e with the remainder compared against one half. printf rounds an exact half to
// the even neighbour (0.03125 gives 0.0312), and so does this. Larger values go to
// std::to_chars, which is exact as well.
inline char* format_fixed4(char* out, float value) {
    using namespace format_detail;
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 31) != 0;
    const std::uint32_t exponent_field = (bits >> 23) & 0xff;
    const std::uint64_t fraction = bits & 0x7fffff;

    if (exponent_field == 0xff) {
        if (negative) *out++ = '-';
        std::memcpy(out, fraction != 0 ? "nan" : "inf", 3);
        return out + 3;
    }
    const std::uint64_t mantissa = exponent_field != 0 ? (fraction | 0x800000) : fraction;
    const int exponent = (exponent_field != 0 ? static_cast<int>(exponent_field) : 1) - 150;
    if (exponent > 15) return put_fixed4_wide(out, static_cast<double>(value));

    std::uint64_t scaled;  // |value| * 10^4, rounded to nearest, ties to even
    if (exponent >= 0) {
        scaled = (mantissa << exponent) * 10000;
    } else if (-exponent >= 39) {
        scaled = 0;  // m * 10^4 < 2^38 is below half of 2^-e: rounds to zero
    } else {
        const int shift = -exponent;
        const std::uint64_t product = mantissa * 10000;
        scaled = product >> shift;
        const std::uint64_t remainder = product - (scaled << shift);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        scaled += (remainder > half) | ((remainder == half) & scaled);
    }

    // printf keeps the sign of -0.0 and of negatives that round to zero. Signs, digit counts
    // and roundings vary from cell to cell unpredictably, so this part avoids branches.
    *out = '-';
    out += negative;
    const std::uint64_t integer_part = scaled / 10000;
    const unsigned fraction_digits = static_cast<unsigned>(scaled % 10000);
    if (std::endian::native == std::endian::little && integer_part < 10000) {
        // The common case, built in registers: the integer part as four zero-padded digit
        // characters shifted down to its first significant one, then the four decimals. (Text
        // assembled in memory and read back at once as a whole would stall the store buffer.)
        const unsigned integer = static_cast<unsigned>(integer_part);
        const std::uint32_t integer_chars = pair_chars(integer / 100) | pair_chars(integer % 100) << 16;
        const std::uint32_t fraction_chars = pair_chars(fraction_digits / 100) | pair_chars(fraction_digits % 100)
                                                                                     << 16;
        const int digits = 1 + (integer >= 10) + (integer >= 100) + (integer >= 1000);
        const std::uint32_t significant = integer_chars >> (8 * (4 - digits));
        std::memcpy(out, &significant, 4);
        out += digits;
        *out = '.';
        std::memcpy(out + 1, &fraction_chars, 4);
        return out + 5;
    }
    out = put_digits(out, integer_part, decimal_digit_count(integer_part));
    *out++ = '.';
    return put_digits(out, fraction_digits, 4);
}

// "%04d-%02d-%02d %02d:%02d:%02d,": the date and time of a date-time prefix, without the counter.
inline char* format_datetime(char* out, const LocalTime& time) {
    using namespace format_detail;
    const auto in_two_digits = [](int v) { return v >= 0 && v <= 99; };
    if (time.year >= 0 && time.year <= 9999 && in_two_digits(time.month) && in_two_digits(time.day) &&
        in_two_digits(time.hour) && in_two_digits(time.minute) && in_two_digits(time.second)) {
        out = put_digits(out, static_cast<unsigned>(time.year), 4);
        *out++ = '-';
        out = put_two_digits(out, static_cast<unsigned>(time.month));
        *out++ = '-';
        out = put_two_digits(out, static_cast<unsigned>(time.day));
        *out++ = ' ';
        out = put_two_digits(out, static_cast<unsigned>(time.hour));
        *out++ = ':';
        out = put_two_digits(out, static_cast<unsigned>(time.minute));
        *out++ = ':';
        out = put_two_digits(out, static_cast<unsigned>(time.second));
        *out++ = ',';
        return out;
    }
    // Fields outside their usual ranges: the general padded form, same text as printf.
    out = put_padded_int(out, time.year, 4);
    *out++ = '-';
    out = put_padded_int(out, time.month, 2);
    *out++ = '-';
    out = put_padded_int(out, time.day, 2);
    *out++ = ' ';
    out = put_padded_int(out, time.hour, 2);
    *out++ = ':';
    out = put_padded_int(out, time.minute, 2);
    *out++ = ':';
    out = put_padded_int(out, time.second, 2);
    *out++ = ',';
    return out;
}

// "%04d-%02d-%02d %02d:%02d:%02d,%ld": date, time and counter.
inline char* format_datetime_prefix(char* out, const LocalTime& time, std::int32_t counter) {
    return format_int(format_datetime(out, time), counter);
}

// A formatted cell, kept to be copied into several lines of a record.
struct CellText {
    char text[MAX_FORMATTED];
    std::size_t size = 0;
};

inline void set_cell(CellText& cell, const char* end) { cell.size = static_cast<std::size_t>(end - cell.text); }

// put_short_text and put_cell may write up to this many bytes past the end of the text they put.
inline constexpr std::size_t CELL_COPY_SLACK = 32;

// Copies size bytes from text, which must have CELL_COPY_SLACK bytes of room to read. Nearly
// all cells and line prefixes are short: they go as one fixed 32-byte move, which beats a copy
// of variable length, at the price of the slack above in the destination.
inline char* put_short_text(char* out, const char* text, std::size_t size) {
    if (size <= CELL_COPY_SLACK)
        std::memcpy(out, text, CELL_COPY_SLACK);
    else
        std::memcpy(out, text, size);
    return out + size;
}

inline char* put_cell(char* out, const CellText& cell) { return put_short_text(out, cell.text, cell.size); }

// Copies size bytes of text of any length.
inline char* put_text(char* out, const char* text, std::size_t size) {
    std::memcpy(out, text, size);
    return out + size;
}

// MinGW's printf family is the C standard's (glibc's) one where __USE_MINGW_ANSI_STDIO is set, as
// libstdc++ sets it; the format checks must then take %zu and %llu as that one does.
#ifdef __MINGW32__
#include <cstdio>
#define MEASCONV_PRINTF_ARCHETYPE __MINGW_PRINTF_FORMAT
#else
#define MEASCONV_PRINTF_ARCHETYPE printf
#endif

// printf into a string of whatever length the text needs.
std::string string_printf(const char* format, ...) __attribute__((format(MEASCONV_PRINTF_ARCHETYPE, 1, 2)));
