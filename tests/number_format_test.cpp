// The fast formatters of number_format.h against snprintf (baseline_format.h), whose text is the one
// every output must have: edge values of every kind, then millions of random ones.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "baseline/baseline_format.h"
#include "convert/number_format.h"

namespace {

// Text of a formatter, with a guard area that must stay untouched past MAX_FORMATTED.
template <typename Format, typename Value>
std::string text_of(Format format, Value value) {
    char buffer[MAX_FORMATTED + 16];
    std::memset(buffer, '#', sizeof buffer);
    const char* end = format(buffer, value);
    for (std::size_t i = MAX_FORMATTED; i < sizeof buffer; ++i)
        if (buffer[i] != '#') return "<wrote past MAX_FORMATTED>";
    return std::string(buffer, static_cast<std::size_t>(end - buffer));
}

float float_from_bits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint32_t bits_of(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Counts mismatches and reports the first few, so a broken formatter does not flood the log.
struct MismatchLog {
    int count = 0;
    void add(const std::string& what, const std::string& fast, const std::string& expected) {
        if (++count <= 10) ADD_FAILURE() << what << ": fast \"" << fast << "\", printf \"" << expected << "\"";
    }
};

void expect_fixed4_matches(float value, MismatchLog& log) {
    const std::string fast = text_of(format_fixed4, value);
    const std::string expected = text_of(baseline_format_fixed4, value);
    if (fast != expected) {
        char bits[16];
        std::snprintf(bits, sizeof bits, "%08x", static_cast<unsigned>(bits_of(value)));
        log.add(std::string("float bits 0x") + bits, fast, expected);
    }
}

void expect_ints_match(std::int32_t value, MismatchLog& log) {
    const std::string fast = text_of(format_int, value);
    const std::string expected = text_of(baseline_format_int, value);
    if (fast != expected) log.add("%ld of " + std::to_string(value), fast, expected);
    const std::string fast06 = text_of(format_int06, value);
    const std::string expected06 = text_of(baseline_format_int06, value);
    if (fast06 != expected06) log.add("%06ld of " + std::to_string(value), fast06, expected06);
}

std::vector<float> fixed4_edge_values() {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> values = {
        0.0f, -0.0f, 1.0f, -1.0f, 3.0f, -1.25f, 1.5f, 2.25f,
        // ties of the fourth decimal: printf rounds them to the even neighbour
        0.03125f, -0.03125f, 0.09375f, 0.15625f, 1.03125f, 2.96875f, 1023.96875f, 65535.96875f,
        // just beside the ties, and values close to rounding boundaries
        std::nextafter(0.03125f, 0.0f), std::nextafter(0.03125f, 1.0f), 0.00005f, -0.00005f, 0.00015f, 0.99995f,
        9.99995f, 99.99995f, 9999.99995f, 0.00004999f, -0.00004999f,
        // where the integer part gains a digit
        9.9999f, 10.0f, 99.9999f, 100.0f, 999.9999f, 1000.0f, 9999.9999f, 9999.99f, 10000.0f, 99999.99f,
        // subnormals, the smallest normal, tiny negatives that round to -0.0000
        float_from_bits(1), float_from_bits(0x80000001), float_from_bits(0x007fffff), float_from_bits(0x807fffff),
        FLT_MIN, -FLT_MIN, 1e-30f, -1e-30f,
        // the ends of the exact 64-bit path and of the float range
        16777215.0f, 16777216.0f, 33554432.0f, std::ldexp(1.0f, 39), std::nextafter(std::ldexp(1.0f, 39), 0.0f),
        std::ldexp(1.0f, 40), -std::ldexp(1.0f, 39), 1e12f, 1e15f, 1e20f, 1e33f, -1e33f, FLT_MAX, -FLT_MAX,
        // non-finite values, nan with and without sign and payload
        inf, -inf, nan, -nan, float_from_bits(0x7f800001), float_from_bits(0xff800001), float_from_bits(0x7fffffff),
        float_from_bits(0xffffffff)};
    return values;
}

TEST(FormatFixed4, EdgeValuesMatchPrintf) {
    MismatchLog log;
    for (float value : fixed4_edge_values()) expect_fixed4_matches(value, log);
    EXPECT_EQ(log.count, 0);
    // A few spelled out, so the comparison itself is known to compare the right thing.
    EXPECT_EQ(text_of(format_fixed4, 0.03125f), "0.0312");
    EXPECT_EQ(text_of(format_fixed4, -0.0f), "-0.0000");
    EXPECT_EQ(text_of(format_fixed4, -1.25f), "-1.2500");
    EXPECT_EQ(text_of(format_fixed4, 3.0f), "3.0000");
    EXPECT_EQ(text_of(format_fixed4, -std::numeric_limits<float>::quiet_NaN()), "-nan");
    EXPECT_EQ(text_of(format_fixed4, -std::numeric_limits<float>::infinity()), "-inf");
}

// Values k/32 with odd k are the only floats whose fourth decimal is an exact tie: all of
// them up to 512, then a sample up to 2^19 (where k reaches the 24 bits of a float).
TEST(FormatFixed4, TiesRoundToEvenLikePrintf) {
    MismatchLog log;
    for (std::uint32_t k = 1; k < (1u << 24); k += 2) {
        const float value = static_cast<float>(k) / 32.0f;
        expect_fixed4_matches(value, log);
        expect_fixed4_matches(-value, log);
        if (k > (1u << 14)) k += 2 * 997;  // beyond the first thousand, a sample is enough
    }
    EXPECT_EQ(log.count, 0);
}

// Every exponent (subnormals and the fast path's limits included), both signs, with the
// extreme mantissas and random ones in between.
TEST(FormatFixed4, EveryExponentWithRandomMantissasMatchesPrintf) {
    std::mt19937 random(20240601);
    MismatchLog log;
    for (std::uint32_t sign = 0; sign < 2; ++sign) {
        for (std::uint32_t exponent = 0; exponent < 255; ++exponent) {
            const std::uint32_t high = sign << 31 | exponent << 23;
            for (std::uint32_t mantissa : {0u, 1u, 2u, 0x400000u, 0x7ffffeu, 0x7fffffu})
                expect_fixed4_matches(float_from_bits(high | mantissa), log);
            for (int i = 0; i < 1500; ++i) expect_fixed4_matches(float_from_bits(high | (random() & 0x7fffff)), log);
        }
    }
    EXPECT_EQ(log.count, 0);
}

// Random bit patterns, and values shaped like measurements (a few decimals, any magnitude).
TEST(FormatFixed4, MillionsOfRandomValuesMatchPrintf) {
    std::mt19937_64 random(7);
    MismatchLog log;
    for (int i = 0; i < 1500000; ++i) expect_fixed4_matches(float_from_bits(static_cast<std::uint32_t>(random())), log);
    std::uniform_int_distribution<std::int64_t> digits(-100000000, 100000000);
    const float scales[] = {1.0f, 10.0f, 100.0f, 1000.0f, 10000.0f, 100000.0f};
    for (int i = 0; i < 1500000; ++i) expect_fixed4_matches(static_cast<float>(digits(random)) / scales[i % 6], log);
    EXPECT_EQ(log.count, 0);
}

std::vector<std::int32_t> int_edge_values() {
    std::vector<std::int32_t> values = {
        0,       1,      -1,      5,         -5,        99999,         -99999,       100000,
        -100000, 999999, -999999, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1};
    std::int64_t power = 1;
    for (int k = 0; k <= 10; ++k, power *= 10) {
        for (std::int64_t v : {power - 1, power, power + 1, -(power - 1), -power, -(power + 1)})
            if (v >= INT32_MIN && v <= INT32_MAX) values.push_back(static_cast<std::int32_t>(v));
    }
    for (int k = 0; k < 31; ++k) {
        const std::int64_t two = std::int64_t{1} << k;
        for (std::int64_t v : {two - 1, two, -two, -(two - 1)}) values.push_back(static_cast<std::int32_t>(v));
    }
    return values;
}

TEST(FormatInt, EveryBoundaryMatchesPrintf) {
    MismatchLog log;
    for (std::int32_t value : int_edge_values()) expect_ints_match(value, log);
    EXPECT_EQ(log.count, 0);
    EXPECT_EQ(text_of(format_int06, -5), "-00005");
    EXPECT_EQ(text_of(format_int06, 5), "000005");
    EXPECT_EQ(text_of(format_int, INT32_MIN), "-2147483648");
}

// Random values of every length: uniform bits give mostly ten digits, so the magnitude is
// drawn as well.
TEST(FormatInt, MillionsOfRandomValuesMatchPrintf) {
    std::mt19937 random(99);
    MismatchLog log;
    for (int i = 0; i < 1500000; ++i) {
        const std::uint32_t bits = random();
        const int shift = static_cast<int>(random() % 32);
        expect_ints_match(static_cast<std::int32_t>(bits), log);
        expect_ints_match(static_cast<std::int32_t>(bits) >> shift, log);
    }
    EXPECT_EQ(log.count, 0);
}

void expect_datetime_prefix_matches(const LocalTime& time, std::int32_t counter, MismatchLog& log) {
    char fast[MAX_FORMATTED];
    char expected[MAX_FORMATTED];
    const std::string fast_text(fast, format_datetime_prefix(fast, time, counter));
    const std::string expected_text(expected, baseline_format_datetime_prefix(expected, time, counter));
    if (fast_text != expected_text) log.add("date-time prefix", fast_text, expected_text);
}

TEST(FormatDatetimePrefix, CalendarTimesAndOddFieldsMatchPrintf) {
    MismatchLog log;
    // Every day and second of years across the 32-bit time range, through the UTC calendar.
    for (std::int64_t t = INT32_MIN; t <= INT32_MAX; t += 86400 * 7 + 3601)
        expect_datetime_prefix_matches(utc_calendar_time(t), static_cast<std::int32_t>(t), log);
    // Fields outside their usual ranges take the general path: the text must still be printf's.
    for (int year : {0, 5, 999, 1000, 9999, 10000, 123456, -1, -5, -999, -1000})
        for (int field : {0, 1, 9, 10, 59, 60, 99, 100, -1, -10})
            for (std::int32_t counter : {0, -1, INT32_MIN, INT32_MAX}) {
                LocalTime time;
                time.year = year;
                time.month = field;
                time.day = field;
                time.hour = field;
                time.minute = field;
                time.second = field;
                expect_datetime_prefix_matches(time, counter, log);
            }
    EXPECT_EQ(log.count, 0);
    LocalTime time;
    time.year = 2024;
    time.month = 3;
    time.day = 31;
    time.hour = 2;
    time.minute = 5;
    time.second = 9;
    char text[MAX_FORMATTED];
    EXPECT_EQ(std::string(text, format_datetime_prefix(text, time, -7)), "2024-03-31 02:05:09,-7");
}

// Cells copied with put_cell arrive whole, whatever their length.
TEST(PutCell, CopiesShortAndLongCellsWhole) {
    for (float value : {1.5f, -0.0f, 1e20f, -FLT_MAX}) {
        CellText cell;
        set_cell(cell, format_fixed4(cell.text, value));
        char line[MAX_FORMATTED + CELL_COPY_SLACK];
        const char* end = put_cell(line, cell);
        EXPECT_EQ(std::string(static_cast<const char*>(line), end), text_of(baseline_format_fixed4, value));
    }
}

}  // namespace
