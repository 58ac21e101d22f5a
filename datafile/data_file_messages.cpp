#include "datafile/data_file_messages.h"

std::string header_failure_subject(HeaderCheck check, const unsigned char* header_bytes) {
    switch (check) {
    case HeaderCheck::bad_magic: return header_leading_text(header_bytes);
    case HeaderCheck::bad_sensor_count:
        return std::to_string(static_cast<std::int8_t>(header_bytes[header_field::SENSOR_COUNT]));
    case HeaderCheck::bad_version:
    case HeaderCheck::ok: break;
    }
    return {};
}

std::string header_failure_message(HeaderCheck check, const std::string& subject) {
    switch (check) {
    case HeaderCheck::bad_magic: return "Input file format error. [SART]:[" + subject + "]\n";
    case HeaderCheck::bad_version:
        return "Input file Version  format error, need version: " + std::to_string(REQUIRED_VERSION_MAJOR) + "." +
               std::to_string(REQUIRED_VERSION_MINOR) + "\n";
    case HeaderCheck::bad_sensor_count: return "Input file sensor count error: " + subject + "\n";
    case HeaderCheck::ok: break;
    }
    return {};
}

std::string input_open_message(const std::string& path) { return "Can not open '" + path + "' to read data.\n"; }
