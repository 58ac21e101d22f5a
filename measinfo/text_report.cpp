#include "measinfo/text_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "convert/number_format.h"
#include "measinfo/texts.h"

namespace {

constexpr int LABEL_WIDTH = 18;

void add_field(std::string& out, const char* label, const std::string& value) {
    out += string_printf("  %-*s%s\n", LABEL_WIDTH, label, value.c_str());
}

std::string fixed4(float value) {
    char text[MAX_FORMATTED];
    return std::string(text, format_fixed4(text, value));
}

struct Column {
    std::string group;  // shown above the first column of a group
    std::string name;
    bool right_aligned = true;
    std::vector<std::string> cells;
};

std::string pad(const std::string& text, std::size_t width, bool right_aligned) {
    const std::string padding(width > text.size() ? width - text.size() : 0, ' ');
    return right_aligned ? padding + text : text + padding;
}

std::string render_table(const std::vector<Column>& columns) {
    constexpr std::size_t GAP = 2;
    std::vector<std::size_t> widths;
    for (const Column& column : columns) {
        std::size_t width = column.name.size();
        for (const std::string& cell : column.cells) width = std::max(width, cell.size());
        widths.push_back(width);
    }
    std::string groups = "  ";
    std::string names = "  ";
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (c > 0) names += std::string(GAP, ' ');
        if (!columns[c].group.empty()) {
            // A group's name starts above its first column, a space after any name before it.
            groups.resize(std::max(names.size(), groups.size() + 1), ' ');
            groups += columns[c].group;
        }
        names += pad(columns[c].name, widths[c], columns[c].right_aligned);
    }
    std::string out;
    if (groups.find_first_not_of(' ') != std::string::npos) out += groups + "\n";
    names.erase(names.find_last_not_of(' ') + 1);
    out += names + "\n";
    const std::size_t rows = columns.empty() ? 0 : columns.front().cells.size();
    for (std::size_t r = 0; r < rows; ++r) {
        std::string line = "  ";
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c > 0) line += std::string(GAP, ' ');
            line += pad(columns[c].cells[r], widths[c], columns[c].right_aligned);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

std::string sensor_table(const FileInfo& info) {
    std::vector<Column> columns = {
        {"", "sensor", true, {}},         {"", "id", true, {}},          {"", "serial", false, {}},
        {"", "valid", true, {}},          {"", "invalid", true, {}},     {"", "non-finite", true, {}},
        {"wavelength (pm)", "min", true, {}},  {"", "max", true, {}},    {"", "mean", true, {}},
        {"physical value (unit not stored)", "min", true, {}}, {"", "max", true, {}}, {"", "mean", true, {}},
    };
    for (std::size_t i = 0; i < info.sensors.size(); ++i) {
        const SensorStats& stats = info.sensors[i];
        const SensorEntry& entry = info.header->sensors[i];
        const bool wavelengths = stats.valid > 0;
        const bool values = finite_values(stats) > 0;
        const std::string cells[] = {
            std::to_string(i + 1),
            std::to_string(entry.id),
            printable_text(entry.serial),
            std::to_string(stats.valid),
            std::to_string(info.records - stats.valid),
            std::to_string(stats.non_finite),
            wavelengths ? std::to_string(stats.wavelength_min) : "-",
            wavelengths ? std::to_string(stats.wavelength_max) : "-",
            wavelengths ? string_printf("%.1f", static_cast<double>(stats.wavelength_sum) / static_cast<double>(stats.valid)) : "-",
            values ? fixed4(stats.value_min) : "-",
            values ? fixed4(stats.value_max) : "-",
            values ? string_printf("%.4f", stats.value_sum / static_cast<double>(finite_values(stats))) : "-",
        };
        for (std::size_t c = 0; c < columns.size(); ++c) columns[c].cells.push_back(cells[c]);
    }
    return render_table(columns);
}

std::string series_text(const SeriesInfo& series, const char* unit) {
    return string_printf("first %d, last %d, step %lld%s, irregular steps %llu, backward steps %llu", series.first,
                         series.last, static_cast<long long>(series.steps.step), unit,
                         static_cast<unsigned long long>(series.steps.irregular),
                         static_cast<unsigned long long>(series.steps.backward));
}

std::string status_text(const FileInfo& info) {
    std::string text = status_name(info.status);
    if (info.status == FileStatus::unreadable) return text + ": " + printable_text(info.failure);
    if (info.status == FileStatus::too_short)
        return text + string_printf(": the header takes %zu bytes", HEADER_SIZE);
    if (!info.converter_message.empty()) text += ": " + printable_text(info.converter_message);
    return text;
}

void add_header_fields(std::string& out, const DataFileHeader& header) {
    add_field(out, "title", printable_text(header.title));
    add_field(out, "version", version_text(header.version_major, header.version_minor));
    add_field(out, "company", printable_text(header.company));
    add_field(out, "IDN", printable_text(header.idn));
    add_field(out, "unit serial", printable_text(header.serial));
    add_field(out, "sensor count", std::to_string(header.sensor_count));
    std::string start = asctime_text(to_local_time(header.start_time));
    start.pop_back();  // the line end
    add_field(out, "start time", start + string_printf(" (%d)", header.start_time));
}

// A median of whole counts: whole, or halfway between two.
std::string median_text(double median) {
    return median == std::floor(median) ? string_printf("%.0f", median) : string_printf("%.1f", median);
}

std::string rate_text(const RateSummary& rate) {
    return median_text(rate.median) +
           string_printf(" (median over %llu second%s with records; least %llu, most %llu)",
                         static_cast<unsigned long long>(rate.seconds), rate.seconds == 1 ? "" : "s",
                         static_cast<unsigned long long>(rate.min), static_cast<unsigned long long>(rate.max));
}

void add_record_fields(std::string& out, const FileInfo& info) {
    add_field(out, "records", std::to_string(info.records));
    add_field(out, "trailing bytes", std::to_string(info.trailing_bytes));
    if (info.records == 0) return;
    const std::int32_t start = info.header->start_time;
    add_field(out, "time offset", series_text(info.time_offset, " s"));
    add_field(out, "record time", "first " + datetime_text(record_time_value(start, info.time_offset.first)) +
                                      ", last " + datetime_text(record_time_value(start, info.time_offset.last)));
    add_field(out, "records a second", rate_text(info.rate));
    add_field(out, "counter", series_text(info.counter, ""));
}

// Where the irregular steps of a series are: a table of the first ones, under a line that
// says how many there are.
std::string irregular_step_table(const FileInfo& info, const SeriesInfo& series, const char* name, const char* unit) {
    const StepSummary& steps = series.steps;
    if (steps.irregular == 0) return "";
    std::string out = "\n  irregular " + std::string(name) + " steps";
    if (steps.listed.size() < steps.irregular)
        out += string_printf(", the first %zu of %llu", steps.listed.size(),
                             static_cast<unsigned long long>(steps.irregular));
    out += ":\n";
    std::vector<Column> columns = {
        {"", "record", true, {}}, {"", "time", false, {}}, {"", "step", true, {}}, {"", "kind", false, {}}};
    for (const StepEvent& event : steps.listed) {
        columns[0].cells.push_back(std::to_string(event.record));
        columns[1].cells.push_back(datetime_text(record_time_value(info.header->start_time, event.time_offset)));
        columns[2].cells.push_back(string_printf("%+lld%s", static_cast<long long>(event.difference), unit));
        columns[3].cells.push_back(step_kind_name(step_kind(event.difference, steps.step)));
    }
    return out + render_table(columns);
}

}  // namespace

std::string text_report(const FileInfo& info) {
    std::string out = printable_text(info.path) + "\n";
    add_field(out, "status", status_text(info));
    if (info.size) add_field(out, "size", std::to_string(*info.size) + " bytes");
    if (info.header) add_header_fields(out, *info.header);
    if (info.records_read) {
        add_record_fields(out, info);
        out += irregular_step_table(info, info.time_offset, "time", " s");
        out += irregular_step_table(info, info.counter, "counter", "");
        if (!info.sensors.empty()) {
            out += '\n';
            out += sensor_table(info);
        }
    }
    return out;
}

std::string check_line(const FileInfo& info) {
    const std::vector<std::string> findings = check_findings(info);
    std::string line = printable_text(info.path) + ": ";
    if (findings.empty()) return line + "ok\n";
    line += "FAIL: ";
    for (std::size_t i = 0; i < findings.size(); ++i) line += (i > 0 ? ", " : "") + findings[i];
    return line + "\n";
}
