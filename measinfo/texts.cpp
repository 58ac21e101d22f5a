#include "measinfo/texts.h"

#include <cstdio>

#include "convert/number_format.h"
#include "datafile/local_time.h"

std::string datetime_text(std::int64_t seconds_since_epoch) {
    char text[MAX_FORMATTED];
    char* const end = format_datetime(text, to_local_time(seconds_since_epoch));
    return std::string(text, static_cast<std::size_t>(end - 1 - text));  // without the comma that ends a CSV cell
}

std::string printable_text(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

std::string version_text(std::int8_t major, std::int8_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}
