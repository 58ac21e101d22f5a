// The straightforward formatters: one snprintf per cell. The record loops of the baseline
// converter (baseline_records.h) use them, and the tests hold the fast formatters of
// number_format.h against them, since printf's text is the text every output must have.
#pragma once

#include <cstdint>

#include "datafile/local_time.h"

// Each writes at out (MAX_FORMATTED bytes of room) and returns the position after the text.
char* baseline_format_fixed4(char* out, float value);        // "%0.4f" of the value widened to double
char* baseline_format_int(char* out, std::int32_t value);    // "%ld"
char* baseline_format_int06(char* out, std::int32_t value);  // "%06ld"
// "%04d-%02d-%02d %02d:%02d:%02d,%ld"
char* baseline_format_datetime_prefix(char* out, const LocalTime& time, std::int32_t counter);
