#include "measgen/generator.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "base/c_file.h"
#include "datafile/data_file.h"

namespace {

void put_text(std::vector<unsigned char>& out, std::size_t offset, std::size_t width, const std::string& text) {
    std::memcpy(out.data() + offset, text.data(), text.size() < width ? text.size() : width);
}

void put_le32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

std::vector<GenSensor> numbered_sensors(int count) {
    std::vector<GenSensor> sensors;
    for (int i = 1; i <= count; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "SN%04d", i);
        sensors.push_back({static_cast<std::uint8_t>(i), serial});
    }
    return sensors;
}

std::vector<unsigned char> header_bytes(const FileShape& shape) {
    using namespace header_field;
    std::vector<unsigned char> out(HEADER_SIZE, 0);
    put_text(out, MAGIC, 4, shape.magic);
    put_text(out, TITLE, TITLE_WIDTH, shape.title);
    out[VERSION_MAJOR] = static_cast<unsigned char>(shape.version_major);
    out[VERSION_MINOR] = static_cast<unsigned char>(shape.version_minor);
    put_text(out, COMPANY, COMPANY_WIDTH, shape.company);
    put_text(out, IDN, IDN_WIDTH, shape.idn);
    put_text(out, SERIAL, SERIAL_WIDTH, shape.unit_serial);
    out[SENSOR_COUNT] = shape.count_byte ? *shape.count_byte : static_cast<unsigned char>(shape.sensors.size());
    for (std::size_t i = 0; i < shape.sensors.size() && i < SENSOR_TABLE_CAPACITY; ++i) {
        const std::size_t entry = SENSOR_TABLE + i * SENSOR_ENTRY_SIZE;
        out[entry] = shape.sensors[i].id;
        put_text(out, entry + 1, SENSOR_SERIAL_WIDTH, shape.sensors[i].serial);
    }
    put_le32(out.data() + START_TIME, static_cast<std::uint32_t>(shape.start_time));
    return out;
}

namespace {

std::int64_t jump_total(const std::vector<GenJump>& jumps, std::uint64_t index) {
    std::int64_t total = 0;
    for (const GenJump& jump : jumps)
        if (index >= jump.from_record) total += jump.amount;
    return total;
}

bool in_invalid_stretch(const FileShape& shape, std::uint64_t index, std::size_t sensor) {
    for (const GenStretch& stretch : shape.invalid_stretches)
        if (index >= stretch.first_record && index - stretch.first_record < stretch.count &&
            (stretch.sensor == 0 || stretch.sensor == sensor + 1))
            return true;
    return false;
}

// NaN, inf and -inf in turn, for the k-th, 2k-th, 3k-th... reading.
float non_finite_value(std::uint64_t serial_number, std::uint32_t every) {
    switch ((serial_number / every - 1) % 3) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return std::numeric_limits<float>::infinity();
    default: return -std::numeric_limits<float>::infinity();
    }
}

// A sine per sensor (amplitude 100 * sensor number, phase shifted from sensor to sensor)
// with a little noise, so a plot shows shapes rather than a band of noise.
float wave_value(const FileShape& shape, std::uint64_t index, std::size_t sensor, std::uint64_t r) {
    const double seconds = static_cast<double>(index) / (shape.records_per_second == 0 ? 1 : shape.records_per_second);
    const double amplitude = 100.0 * static_cast<double>(sensor + 1);
    const double noise = (static_cast<double>(r % 2001) - 1000.0) / 1000.0 * 0.02 * amplitude;
    return static_cast<float>(amplitude * std::sin(6.283185307179586 * seconds / shape.wave_period + 0.7 * sensor) + noise);
}

}  // namespace

GenRecord pattern_record(const FileShape& shape, std::uint64_t index) {
    GenRecord record;
    const std::uint32_t rate = shape.records_per_second == 0 ? 1 : shape.records_per_second;
    record.time_offset = static_cast<std::int32_t>(static_cast<std::int64_t>(index / rate) + jump_total(shape.time_jumps, index));
    record.counter = static_cast<std::int32_t>(static_cast<std::int64_t>(index) + jump_total(shape.counter_jumps, index));
    for (std::size_t i = 0; i < shape.sensors.size(); ++i) {
        const std::uint64_t r = mix(shape.seed * 0x100000001b3ull ^ (index * 131 + i));
        GenReading reading;
        // Values with up to four decimals around a slow drift, so most cells look like real data.
        reading.physic_value = static_cast<float>(static_cast<std::int64_t>(r % 2000001) - 1000000) / 1000.0f;
        if (shape.wave_period != 0) reading.physic_value = wave_value(shape, index, i, r);
        reading.wavelength = 1500000 + static_cast<std::int32_t>((r >> 24) % 150001);
        const std::uint64_t serial_number = index * shape.sensors.size() + i + 1;
        if (shape.invalid_every != 0 && serial_number % shape.invalid_every == 0)
            reading.wavelength = (r >> 40) % 2 == 0 ? 0 : 1650001;
        if (in_invalid_stretch(shape, index, i)) reading.wavelength = (r >> 40) % 2 == 0 ? 0 : 1650001;
        if (shape.non_finite_every != 0 && serial_number % shape.non_finite_every == 0)
            reading.physic_value = non_finite_value(serial_number, shape.non_finite_every);
        record.readings.push_back(reading);
    }
    return record;
}

void append_record(std::vector<unsigned char>& out, const GenRecord& record, std::size_t sensor_count) {
    const std::size_t start = out.size();
    out.resize(start + record_size(sensor_count), 0);
    unsigned char* p = out.data() + start;
    put_le32(p, static_cast<std::uint32_t>(record.time_offset));
    put_le32(p + 4, static_cast<std::uint32_t>(record.counter));
    for (std::size_t i = 0; i < sensor_count && i < record.readings.size(); ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &record.readings[i].physic_value, sizeof bits);
        put_le32(p + 8 + 8 * i, bits);
        put_le32(p + 12 + 8 * i, static_cast<std::uint32_t>(record.readings[i].wavelength));
    }
}

namespace {

// Feeds the file's bytes to sink in blocks, honouring truncate_to.
template <typename Sink>
bool emit_file(const FileShape& shape, Sink&& sink) {
    std::uint64_t left = shape.truncate_to ? *shape.truncate_to : UINT64_MAX;
    auto emit = [&](std::vector<unsigned char>& bytes) {
        const std::uint64_t take = bytes.size() < left ? bytes.size() : left;
        left -= take;
        const bool ok = take == 0 || sink(bytes.data(), static_cast<std::size_t>(take));
        bytes.clear();
        return ok;
    };
    const std::size_t n = shape.sensors.size();
    std::vector<unsigned char> block = header_bytes(shape);
    for (const GenRecord& record : shape.records) append_record(block, record, n);
    for (std::uint64_t i = 0; i < shape.pattern_records; ++i) {
        append_record(block, pattern_record(shape, i), n);
        if (block.size() >= (1u << 20) && !emit(block)) return false;
    }
    block.resize(block.size() + shape.trailing_bytes, 0x5a);
    return emit(block);
}

}  // namespace

std::vector<unsigned char> data_file_bytes(const FileShape& shape) {
    std::vector<unsigned char> out;
    emit_file(shape, [&](const unsigned char* data, std::size_t size) {
        out.insert(out.end(), data, data + size);
        return true;
    });
    return out;
}

std::uint64_t whole_records(const FileShape& shape) {
    const std::uint64_t records = shape.records.size() + shape.pattern_records;
    if (!shape.truncate_to) return records;
    if (*shape.truncate_to < HEADER_SIZE) return 0;
    const std::uint64_t kept = (*shape.truncate_to - HEADER_SIZE) / record_size(shape.sensors.size());
    return kept < records ? kept : records;
}

bool write_data_file(const FileShape& shape, const std::string& path) {
    CFile file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    const bool written = emit_file(shape, [&](const unsigned char* data, std::size_t size) {
        return std::fwrite(data, 1, size, file.get()) == size;
    });
    return written && std::fclose(file.release()) == 0;
}
