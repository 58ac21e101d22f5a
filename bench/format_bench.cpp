// The fast formatters against snprintf, one cell at a time and as a whole data line of 64
// readings, on values shaped like measurements.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "baseline/baseline_format.h"
#include "convert/number_format.h"
#include "datafile/local_time.h"

namespace {

constexpr std::size_t VALUE_COUNT = 4096;  // a power of two, so the index wraps with a mask

std::vector<float> physic_values() {
    std::mt19937 random(1);
    std::uniform_int_distribution<int> thousandths(-1000000, 1000000);
    std::vector<float> values(VALUE_COUNT);
    for (float& v : values) v = static_cast<float>(thousandths(random)) / 1000.0f;
    return values;
}

std::vector<std::int32_t> wavelengths() {
    std::mt19937 random(2);
    std::uniform_int_distribution<std::int32_t> window(1500000, 1650000);
    std::vector<std::int32_t> values(VALUE_COUNT);
    for (std::int32_t& v : values) v = window(random);
    return values;
}

// One number formatter over a cycle of values shaped like measurements.
template <typename Value, std::vector<Value> (*Values)(), char* (*Format)(char*, Value)>
void number(benchmark::State& state) {
    const std::vector<Value> values = Values();
    char text[MAX_FORMATTED];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Format(text, values[i++ & (VALUE_COUNT - 1)]));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

template <char* (*Format)(char*, float)>
void fixed4(benchmark::State& state) {
    number<float, physic_values, Format>(state);
}

template <char* (*Format)(char*, std::int32_t)>
void integer(benchmark::State& state) {
    number<std::int32_t, wavelengths, Format>(state);
}

template <char* (*Format)(char*, const LocalTime&, std::int32_t)>
void datetime_prefix(benchmark::State& state) {
    std::vector<LocalTime> times;
    for (std::int64_t t = 1700000000; times.size() < VALUE_COUNT; t += 3607) times.push_back(utc_calendar_time(t));
    char text[MAX_FORMATTED];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Format(text, times[i & (VALUE_COUNT - 1)], static_cast<std::int32_t>(i)));
        ++i;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

// A physical-value text line of 64 readings: "offset\tcounter" and a tab and a value per reading.
template <char* (*Fixed4)(char*, float), char* (*Int)(char*, std::int32_t), char* (*Int06)(char*, std::int32_t)>
void physic_text_line(benchmark::State& state) {
    const std::vector<float> values = physic_values();
    std::vector<char> line(64 * MAX_FORMATTED + 2 * MAX_FORMATTED);
    std::size_t record = 0;
    for (auto _ : state) {
        char* p = Int06(line.data(), static_cast<std::int32_t>(record / 1000));
        *p++ = '\t';
        p = Int(p, static_cast<std::int32_t>(record));
        const float* readings = values.data() + (record * 64 & (VALUE_COUNT - 1));
        for (int i = 0; i < 64; ++i) {
            *p++ = '\t';
            p = Fixed4(p, readings[i]);
        }
        *p++ = '\r';
        *p++ = '\n';
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
        ++record;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(fixed4<format_fixed4>)->Name("fixed4/fast");
BENCHMARK(fixed4<baseline_format_fixed4>)->Name("fixed4/snprintf");
BENCHMARK(integer<format_int>)->Name("int/fast");
BENCHMARK(integer<baseline_format_int>)->Name("int/snprintf");
BENCHMARK(integer<format_int06>)->Name("int06/fast");
BENCHMARK(integer<baseline_format_int06>)->Name("int06/snprintf");
BENCHMARK(datetime_prefix<format_datetime_prefix>)->Name("datetime_prefix/fast");
BENCHMARK(datetime_prefix<baseline_format_datetime_prefix>)->Name("datetime_prefix/snprintf");
BENCHMARK(physic_text_line<format_fixed4, format_int, format_int06>)->Name("physic_text_line_64/fast");
BENCHMARK(physic_text_line<baseline_format_fixed4, baseline_format_int, baseline_format_int06>)
    ->Name("physic_text_line_64/snprintf");

}  // namespace

BENCHMARK_MAIN();
