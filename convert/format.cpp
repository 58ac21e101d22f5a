#include "convert/format.h"

#include <cstdio>

char* format_fixed4(char* out, float value) {
    return out + std::snprintf(out, MAX_FORMATTED, "%0.4f", static_cast<double>(value));
}

char* format_int(char* out, std::int32_t value) {
    return out + std::snprintf(out, MAX_FORMATTED, "%ld", static_cast<long>(value));
}

char* format_int06(char* out, std::int32_t value) {
    return out + std::snprintf(out, MAX_FORMATTED, "%06ld", static_cast<long>(value));
}

char* format_datetime_prefix(char* out, const LocalTime& time, std::int32_t counter) {
    return out + std::snprintf(out, MAX_FORMATTED, "%04d-%02d-%02d %02d:%02d:%02d,%ld", time.year, time.month,
                               time.day, time.hour, time.minute, time.second, static_cast<long>(counter));
}

#include <cstdarg>
#include <vector>

std::string string_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}
