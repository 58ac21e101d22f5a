// Layout of a measurement data file: a fixed 23344-byte header, then records of
// 8 + 8*n bytes (time offset, counter, and per sensor a physical value and a wavelength).
// All numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "datafile/local_time.h"

inline constexpr std::size_t HEADER_SIZE = 23344;

namespace header_field {
inline constexpr std::size_t MAGIC = 0;
inline constexpr std::size_t TITLE = 5;
inline constexpr std::size_t TITLE_WIDTH = 30;
inline constexpr std::size_t VERSION_MAJOR = 35;
inline constexpr std::size_t VERSION_MINOR = 36;
inline constexpr std::size_t COMPANY = 37;
inline constexpr std::size_t COMPANY_WIDTH = 20;
inline constexpr std::size_t IDN = 57;
inline constexpr std::size_t IDN_WIDTH = 20;
inline constexpr std::size_t SERIAL = 77;
inline constexpr std::size_t SERIAL_WIDTH = 20;
inline constexpr std::size_t SENSOR_COUNT = 97;
inline constexpr std::size_t SENSOR_TABLE = 104;
inline constexpr std::size_t SENSOR_ENTRY_SIZE = 32;
inline constexpr std::size_t SENSOR_TABLE_CAPACITY = 726;
inline constexpr std::size_t SENSOR_SERIAL_WIDTH = 31;
inline constexpr std::size_t START_TIME = 23336;
}  // namespace header_field

inline constexpr std::int8_t REQUIRED_VERSION_MAJOR = 1;
inline constexpr std::int8_t REQUIRED_VERSION_MINOR = 3;
inline constexpr std::int32_t MIN_VALID_WAVELENGTH = 1500000;
inline constexpr std::int32_t MAX_VALID_WAVELENGTH = 1650000;

struct SensorEntry {
    std::uint8_t id = 0;
    std::string serial;
};

struct DataFileHeader {
    std::string title;
    std::int8_t version_major = 0;
    std::int8_t version_minor = 0;
    std::string company;
    std::string idn;
    std::string serial;
    std::int8_t sensor_count = 0;
    std::vector<SensorEntry> sensors;  // entries 0..n-1; empty for a negative count
    std::int32_t start_time = 0;
};

struct SensorReading {
    float physic_value;
    std::int32_t wavelength;
};

// One record as it lies in the read buffer.
struct DataRecord {
    const unsigned char* bytes;

    std::int32_t time_offset() const;
    std::int32_t counter() const;
    SensorReading reading(std::size_t i) const;
};

inline std::size_t record_size(std::size_t sensor_count) { return 8 + 8 * sensor_count; }

inline std::uint32_t load_le_u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::int32_t load_le_i32(const unsigned char* p) { return static_cast<std::int32_t>(load_le_u32(p)); }

inline std::int32_t DataRecord::time_offset() const { return load_le_i32(bytes); }
inline std::int32_t DataRecord::counter() const { return load_le_i32(bytes + 4); }
inline SensorReading DataRecord::reading(std::size_t i) const {
    const unsigned char* p = bytes + 8 + 8 * i;
    std::uint32_t bits = load_le_u32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return {value, load_le_i32(p + 4)};
}

// Valid when 1500000 <= wavelength <= 1650000; negative wavelengths are invalid.
inline bool is_valid_wavelength(std::int32_t wavelength) {
    return static_cast<std::uint32_t>(wavelength) - static_cast<std::uint32_t>(MIN_VALID_WAVELENGTH) <=
           static_cast<std::uint32_t>(MAX_VALID_WAVELENGTH - MIN_VALID_WAVELENGTH);
}

enum class HeaderCheck { ok, bad_magic, bad_version, bad_sensor_count };

// Tests the header bytes in order: magic ("SA"), version 1.3, non-negative sensor count.
HeaderCheck check_header(const unsigned char* header_bytes);

// The header's text from offset 0 up to its first NUL (at most the whole header).
std::string header_leading_text(const unsigned char* header_bytes);

// Decodes every field; sensors are decoded only for a count of 0 to 127.
DataFileHeader decode_header(const unsigned char* header_bytes);

// Seconds since 1970 of a record: the 32-bit wrap-around sum of start time and offset.
inline std::int64_t record_time_value(std::int32_t start_time, std::int32_t time_offset) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(start_time) + static_cast<std::uint32_t>(time_offset));
}

// Local calendar time of a record (start time plus its offset, in the process's time zone).
LocalTime record_local_time(const DataFileHeader& header, DataRecord record);

// The header's start time as the header lines print it, newline included.
std::string header_time_text(const DataFileHeader& header);
