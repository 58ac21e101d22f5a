// Writes measurement data files of a chosen shape: valid ones, and deliberately broken ones
// (wrong magic, version or count byte, texts without NUL, truncated files, partial records).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct GenSensor {
    std::uint8_t id = 0;
    std::string serial;  // bytes beyond the 31-byte field are cut; 31 bytes leave no NUL
};

struct GenReading {
    float physic_value = 0;
    std::int32_t wavelength = 0;
};

struct GenRecord {
    std::int32_t time_offset = 0;
    std::int32_t counter = 0;
    std::vector<GenReading> readings;  // one per sensor; missing ones are written as zeros
};

// From generated record from_record on, every time offset (or counter) is shifted by amount:
// a forward time jump is a gap, a backward one makes time run back.
struct GenJump {
    std::uint64_t from_record = 0;
    std::int64_t amount = 0;
};

// Generated records first_record .. first_record + count - 1 have invalid wavelengths for one
// sensor (1-based) or, with sensor 0, for all of them.
struct GenStretch {
    std::uint64_t first_record = 0;
    std::uint64_t count = 0;
    std::uint32_t sensor = 0;
};

struct FileShape {
    std::string magic = "SART";
    std::int8_t version_major = 1;
    std::int8_t version_minor = 3;
    std::string title = "Strain test";
    std::string company = "Example Labs";
    std::string idn = "MU-4000";
    std::string unit_serial = "SA2024001";
    std::vector<GenSensor> sensors;
    std::optional<std::uint8_t> count_byte;  // written instead of the number of sensors
    std::int32_t start_time = 0;

    std::vector<GenRecord> records;      // written first
    std::uint64_t pattern_records = 0;   // then this many generated records
    std::uint32_t records_per_second = 1;
    std::uint32_t invalid_every = 0;     // every k-th generated reading has an invalid wavelength
    std::uint32_t seed = 1;
    std::vector<GenJump> time_jumps;
    std::vector<GenJump> counter_jumps;
    std::vector<GenStretch> invalid_stretches;
    std::uint32_t non_finite_every = 0;  // every k-th generated reading's value is NaN, inf or -inf in turn
    std::uint32_t wave_period = 0;       // seconds: values follow a sine per sensor instead of random ones

    std::uint32_t trailing_bytes = 0;          // a partial record after the last whole one
    std::optional<std::uint64_t> truncate_to;  // the file is cut to this many bytes
};

// Sensors with ids 1..count and serials "SN0001", "SN0002", ...
std::vector<GenSensor> numbered_sensors(int count);

std::vector<unsigned char> header_bytes(const FileShape& shape);

// The index-th generated record (deterministic for a given seed).
GenRecord pattern_record(const FileShape& shape, std::uint64_t index);

void append_record(std::vector<unsigned char>& out, const GenRecord& record, std::size_t sensor_count);

// The whole file in memory: for tests and small files.
std::vector<unsigned char> data_file_bytes(const FileShape& shape);

// The number of whole records in the file: explicit and generated ones, less those truncate_to cuts.
std::uint64_t whole_records(const FileShape& shape);

// Streams the file to path; true on success.
bool write_data_file(const FileShape& shape, const std::string& path);
