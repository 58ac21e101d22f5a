#include "datafile/data_file.h"

namespace {

// A text field ends at its first NUL, and never runs past its own width.
std::string field_text(const unsigned char* header_bytes, std::size_t offset, std::size_t width) {
    const char* start = reinterpret_cast<const char*>(header_bytes + offset);
    const void* nul = std::memchr(start, '\0', width);
    const std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - start) : width;
    return std::string(start, length);
}

std::int8_t signed_byte(const unsigned char* header_bytes, std::size_t offset) {
    return static_cast<std::int8_t>(header_bytes[offset]);
}

}  // namespace

HeaderCheck check_header(const unsigned char* header_bytes) {
    if (header_bytes[0] != 'S' || header_bytes[1] != 'A') return HeaderCheck::bad_magic;
    if (signed_byte(header_bytes, header_field::VERSION_MAJOR) != REQUIRED_VERSION_MAJOR ||
        signed_byte(header_bytes, header_field::VERSION_MINOR) != REQUIRED_VERSION_MINOR)
        return HeaderCheck::bad_version;
    if (signed_byte(header_bytes, header_field::SENSOR_COUNT) < 0) return HeaderCheck::bad_sensor_count;
    return HeaderCheck::ok;
}

std::string header_leading_text(const unsigned char* header_bytes) {
    return field_text(header_bytes, header_field::MAGIC, HEADER_SIZE);
}

DataFileHeader decode_header(const unsigned char* header_bytes) {
    using namespace header_field;
    DataFileHeader header;
    header.title = field_text(header_bytes, TITLE, TITLE_WIDTH);
    header.version_major = signed_byte(header_bytes, VERSION_MAJOR);
    header.version_minor = signed_byte(header_bytes, VERSION_MINOR);
    header.company = field_text(header_bytes, COMPANY, COMPANY_WIDTH);
    header.idn = field_text(header_bytes, IDN, IDN_WIDTH);
    header.serial = field_text(header_bytes, SERIAL, SERIAL_WIDTH);
    header.sensor_count = signed_byte(header_bytes, SENSOR_COUNT);
    for (int i = 0; i < header.sensor_count; ++i) {
        const std::size_t entry = SENSOR_TABLE + static_cast<std::size_t>(i) * SENSOR_ENTRY_SIZE;
        header.sensors.push_back({header_bytes[entry], field_text(header_bytes, entry + 1, SENSOR_SERIAL_WIDTH)});
    }
    header.start_time = load_le_i32(header_bytes + START_TIME);
    return header;
}

LocalTime record_local_time(const DataFileHeader& header, DataRecord record) {
    return to_local_time(record_time_value(header.start_time, record.time_offset()));
}

std::string header_time_text(const DataFileHeader& header) { return asctime_text(to_local_time(header.start_time)); }
