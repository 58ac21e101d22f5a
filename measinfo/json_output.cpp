#include "measinfo/json_output.h"

#include <charconv>
#include <nlohmann/json.hpp>

#include "measinfo/texts.h"

namespace {

using Json = nlohmann::ordered_json;

// Each byte as the code point of the same number (bytes above 127 as two UTF-8 bytes), so the
// library's ASCII escaping turns the bytes into \u00XX and a reader gets the bytes back.
Json byte_text(const std::string& bytes) {
    std::string utf8;
    utf8.reserve(bytes.size());
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xc0 | byte >> 6);
            utf8 += static_cast<char>(0x80 | (byte & 0x3f));
        }
    }
    return utf8;
}

// The float's shortest decimal form as a double, so 0.1f reads 0.1 rather than 0.10000000149011612.
double shortest_double(float value) {
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value);
    double result = value;
    std::from_chars(text, written.ptr, result);
    return result;
}

Json wavelength_summary(const SensorStats& stats) {
    if (stats.valid == 0) return nullptr;
    return Json{{"min", stats.wavelength_min},
                {"max", stats.wavelength_max},
                {"mean", static_cast<double>(stats.wavelength_sum) / static_cast<double>(stats.valid)}};
}

Json value_summary(const SensorStats& stats) {
    if (finite_values(stats) == 0) return nullptr;
    return Json{{"min", shortest_double(stats.value_min)},
                {"max", shortest_double(stats.value_max)},
                {"mean", stats.value_sum / static_cast<double>(finite_values(stats))}};
}

Json sensors_of(const FileInfo& info) {
    if (!info.records_read) return nullptr;
    Json sensors = Json::array();
    for (std::size_t i = 0; i < info.sensors.size(); ++i) {
        const SensorStats& stats = info.sensors[i];
        const SensorEntry& entry = info.header->sensors[i];
        sensors.push_back(Json{{"index", i + 1},
                               {"id", entry.id},
                               {"serial", byte_text(entry.serial)},
                               {"valid", stats.valid},
                               {"invalid", info.records - stats.valid},
                               {"non_finite", stats.non_finite},
                               {"wavelength", wavelength_summary(stats)},
                               {"physical_value", value_summary(stats)}});
    }
    return sensors;
}

Json irregular_list(const FileInfo& info, const StepSummary& steps) {
    Json list = Json::array();
    for (const StepEvent& event : steps.listed)
        list.push_back(Json{{"record", event.record},
                            {"time", datetime_text(record_time_value(info.header->start_time, event.time_offset))},
                            {"step", event.difference},
                            {"kind", step_kind_name(step_kind(event.difference, steps.step))}});
    return list;
}

Json series_of(const FileInfo& info, const SeriesInfo& series) {
    if (!info.records_read || info.records == 0) return nullptr;
    return Json{{"first", series.first},
                {"last", series.last},
                {"step", series.steps.step},
                {"irregular_steps", series.steps.irregular},
                {"backward_steps", series.steps.backward},
                {"irregular_list", irregular_list(info, series.steps)},
                {"irregular_unlisted", series.steps.irregular - series.steps.listed.size()}};
}

Json rate_of(const FileInfo& info) {
    if (!info.records_read || info.records == 0) return nullptr;
    const RateSummary& rate = info.rate;
    return Json{{"median", rate.median}, {"min", rate.min}, {"max", rate.max}, {"seconds", rate.seconds}};
}

template <typename T>
Json optional_value(bool present, const T& value) {
    return present ? Json(value) : Json(nullptr);
}

Json record_time(const FileInfo& info, std::int32_t offset) {
    if (!info.records_read || info.records == 0) return nullptr;
    return datetime_text(record_time_value(info.header->start_time, offset));
}

}  // namespace

std::string json_line(const FileInfo& info) {
    const bool has_header = info.header.has_value();
    const DataFileHeader header = has_header ? *info.header : DataFileHeader{};
    const std::vector<std::string> findings = check_findings(info);
    const Json object{
        {"path", byte_text(info.path)},
        {"size", optional_value(info.size.has_value(), info.size.value_or(0))},
        {"status", status_name(info.status)},
        {"message", info.converter_message.empty() ? Json(nullptr) : byte_text(info.converter_message)},
        {"title", has_header ? byte_text(header.title) : Json(nullptr)},
        {"version", optional_value(has_header, version_text(header.version_major, header.version_minor))},
        {"company", has_header ? byte_text(header.company) : Json(nullptr)},
        {"idn", has_header ? byte_text(header.idn) : Json(nullptr)},
        {"unit_serial", has_header ? byte_text(header.serial) : Json(nullptr)},
        {"sensor_count", optional_value(has_header, header.sensor_count)},
        {"start_time", optional_value(has_header, header.start_time)},
        {"records", optional_value(info.records_read, info.records)},
        {"trailing_bytes", optional_value(info.records_read, info.trailing_bytes)},
        {"first_record_time", record_time(info, info.time_offset.first)},
        {"last_record_time", record_time(info, info.time_offset.last)},
        {"sensors", sensors_of(info)},
        {"time_offset", series_of(info, info.time_offset)},
        {"counter", series_of(info, info.counter)},
        {"records_per_second", rate_of(info)},
        {"clean", findings.empty()},
        {"findings", findings},
    };
    // ASCII escaping: \u00XX for every byte outside 0x20 to 0x7e (DEL included), short forms such as \n for some.
    return object.dump(-1, ' ', true) + "\n";
}
