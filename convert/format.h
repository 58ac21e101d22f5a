// Number and date-time formatting for the output lines. Each function writes its text at
// `out` and returns the position after it; the caller provides MAX_FORMATTED bytes of room.
// The text is exactly what printf gives for the format named beside each function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "convert/local_time.h"

inline constexpr std::size_t MAX_FORMATTED = 64;

// "%0.4f" of the value widened to double (nan, -nan, inf and -inf included).
char* format_fixed4(char* out, float value);

// "%ld" of a 32-bit value.
char* format_int(char* out, std::int32_t value);

// "%06ld" of a 32-bit value: a negative value keeps its minus sign inside the six.
char* format_int06(char* out, std::int32_t value);

// "%04d-%02d-%02d %02d:%02d:%02d,%ld": date, time and counter.
char* format_datetime_prefix(char* out, const LocalTime& time, std::int32_t counter);

#include <string>

// printf into a string of whatever length the text needs.
std::string string_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
