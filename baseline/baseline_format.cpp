#include "baseline/baseline_format.h"

#include <cstdio>

#include "convert/number_format.h"

char* baseline_format_fixed4(char* out, float value) {
    return out + std::snprintf(out, MAX_FORMATTED, "%0.4f", static_cast<double>(value));
}

char* baseline_format_int(char* out, std::int32_t value) {
    return out + std::snprintf(out, MAX_FORMATTED, "%ld", static_cast<long>(value));
}

char* baseline_format_int06(char* out, std::int32_t value) {
    return out + std::snprintf(out, MAX_FORMATTED, "%06ld", static_cast<long>(value));
}

char* baseline_format_datetime_prefix(char* out, const LocalTime& time, std::int32_t counter) {
    return out + std::snprintf(out, MAX_FORMATTED, "%04d-%02d-%02d %02d:%02d:%02d,%ld", time.year, time.month, time.day,
                               time.hour, time.minute, time.second, static_cast<long>(counter));
}
