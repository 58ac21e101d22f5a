#include "measinfo/svg_plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "convert/number_format.h"
#include "measinfo/texts.h"

namespace {

constexpr int MIN_PAGE_WIDTH = 1000;
constexpr int GRID_PANEL_WIDTH = 300;
constexpr int HEADER_HEIGHT = 112;
constexpr int SINGLE_COLUMN_PANEL_HEIGHT = 230;
constexpr int GRID_PANEL_HEIGHT = 180;
constexpr int PLOT_LEFT = 80;  // room for the value labels and the quantity beside them
constexpr int PLOT_RIGHT = 16;
constexpr int PLOT_TOP = 34;  // the panel title and counts
constexpr int PLOT_BOTTOM = 40;  // time and date labels
constexpr int TIME_LABEL_SPACING = 110;  // pixels per time tick, at least
constexpr int VALUE_LABEL_SPACING = 40;
constexpr int RIGHT_EDGE_LABEL_ROOM = 30;

constexpr const char* ENVELOPE_COLOR = "#1f5fa8";
constexpr const char* INVALID_COLOR = "#7a7a7a";
constexpr const char* GAP_COLOR = "#f08c00";
constexpr const char* BACK_COLOR = "#d0202a";

struct Layout {
    int columns = 1;
    int rows = 1;
    int panel_width = 0;
    int panel_height = 0;
    int width = 0;
    int height = 0;
};

// Plot area of a panel, in pixels.
struct Frame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int right() const { return left + width; }
    int bottom() const { return top + height; }
};

// Every panel shares the time axis: from the earliest record time to one second past the latest.
struct TimeAxis {
    std::int64_t start = 0;
    std::int64_t span = 1;  // seconds
};

struct ValueAxis {
    double low = 0;
    double high = 1;
};

struct Tick {
    double position = 0;  // pixels from the frame's left or bottom edge
    std::string label;
    std::string second_label;  // the date below a time of day, where it changes
};

// A sqrt-shaped grid: about twice as many rows as columns, at most eight columns.
Layout layout_for(std::size_t sensor_count) {
    Layout layout;
    const int n = static_cast<int>(std::max<std::size_t>(sensor_count, 1));
    layout.columns = std::clamp(static_cast<int>(std::ceil(std::sqrt(n / 2.0))), 1, 8);
    layout.rows = (n + layout.columns - 1) / layout.columns;
    layout.width = std::max(MIN_PAGE_WIDTH, layout.columns * GRID_PANEL_WIDTH);
    layout.panel_width = layout.width / layout.columns;
    layout.panel_height = layout.columns == 1 ? SINGLE_COLUMN_PANEL_HEIGHT : GRID_PANEL_HEIGHT;
    layout.height = HEADER_HEIGHT + layout.rows * layout.panel_height;
    return layout;
}

// Text content for the SVG: markup characters as entities, bytes above 127 as the characters
// of the same number, and control bytes (which XML does not allow) as a visible \xHH.
std::string xml_text(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (byte >= 0x80) out += string_printf("&#x%02X;", byte);
        else if (byte < 0x20 || byte == 0x7f) out += string_printf("\\x%02X", byte);
        else out += c;
    }
    return out;
}

// "%.1f", by to_chars: the tens of thousands of path coordinates of a large grid add up under printf.
std::string number(double value) {
    char text[64];
    return std::string(text, std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1).ptr);
}

std::string zone_text(std::int64_t offset) {
    const std::int64_t magnitude = offset < 0 ? -offset : offset;
    return string_printf("UTC%c%02lld:%02lld", offset < 0 ? '-' : '+', static_cast<long long>(magnitude / 3600),
                         static_cast<long long>(magnitude / 60 % 60));
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

// Round intervals from a second to fifty years; the smallest that keeps the labels apart.
std::int64_t time_tick_interval(std::int64_t span, int width) {
    static constexpr std::int64_t DAY = 86400;
    static constexpr std::int64_t INTERVALS[] = {
        1,        2,        5,        10,       15,        30,        60,        120,       300,
        600,      900,      1800,     3600,     7200,      10800,     21600,     43200,     DAY,
        2 * DAY,  7 * DAY,  14 * DAY, 30 * DAY, 91 * DAY,  182 * DAY, 365 * DAY, 730 * DAY, 1826 * DAY,
        3652 * DAY, 7305 * DAY, 18262 * DAY};
    const std::int64_t most_ticks = std::max(2, width / TIME_LABEL_SPACING);
    for (const std::int64_t interval : INTERVALS)
        if (span / interval <= most_ticks) return interval;
    return INTERVALS[std::size(INTERVALS) - 1];
}

// Ticks at the local times that are whole multiples of the interval (midnight-aligned days).
std::vector<Tick> time_ticks(const TimeAxis& axis, int width) {
    const std::int64_t interval = time_tick_interval(axis.span, width);
    const std::int64_t offset = zone_offset(axis.start);
    std::vector<Tick> ticks;
    std::string previous_date;
    for (std::int64_t t = floor_div(axis.start + offset + interval - 1, interval) * interval - offset;
         t <= axis.start + axis.span; t += interval) {
        const std::string text = datetime_text(t);  // "YYYY-MM-DD HH:MM:SS"
        const std::string date = text.substr(0, 10);
        Tick tick;
        tick.position = static_cast<double>(t - axis.start) / static_cast<double>(axis.span) * width;
        if (interval >= 86400) {
            tick.label = date;
        } else {
            tick.label = interval < 60 ? text.substr(11) : text.substr(11, 5);
            if (date != previous_date) tick.second_label = date;
        }
        previous_date = date;
        ticks.push_back(tick);
    }
    return ticks;
}

ValueAxis value_axis(const ValueBin& all) {
    ValueAxis axis{all.min, all.max};
    const double range = axis.high - axis.low;
    const double padding = range > 0 ? range * 0.05 : std::max(1.0, std::fabs(axis.low) * 0.1);
    axis.low -= padding;
    axis.high += padding;
    return axis;
}

std::string value_label(double value, double step) {
    if (std::fabs(value) < step / 2) value = 0;  // no "-0.0" from rounding
    const double magnitude = std::max(std::fabs(value), step);
    if (magnitude >= 1e7 || step < 1e-4) return string_printf("%.3g", value);
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    return string_printf("%.*f", decimals, value);
}

// Steps of 1, 2 or 5 times a power of ten: the widest that still gives three ticks, or more
// on a tall panel.
std::vector<Tick> value_ticks(const ValueAxis& axis, int height) {
    const double range = axis.high - axis.low;
    const int wanted = std::max(3, height / VALUE_LABEL_SPACING);
    const auto ticks_of = [&](double step) { return std::floor(axis.high / step) - std::ceil(axis.low / step) + 1; };
    double step = std::pow(10.0, std::ceil(std::log10(range)));
    for (int tries = 0; tries < 12 && ticks_of(step) < wanted; ++tries) {
        const double mantissa = std::round(step / std::pow(10.0, std::floor(std::log10(step) + 1e-9)));
        step *= mantissa == 2 ? 0.5 : mantissa == 5 ? 0.4 : 0.5;  // 10 -> 5 -> 2 -> 1 -> 0.5 ...
    }
    std::vector<Tick> ticks;
    for (double k = std::ceil(axis.low / step); k * step <= axis.high && ticks.size() < 64; k += 1) {
        const double value = k * step;
        ticks.push_back({(value - axis.low) / range * height, value_label(value, step), ""});
    }
    return ticks;
}

// The bins of one sensor gathered per pixel column: a bin that straddles two columns counts in both.
std::vector<ValueBin> pixel_columns(const TimeBins& bins, std::size_t sensor, const TimeAxis& axis, int width) {
    std::vector<ValueBin> columns(static_cast<std::size_t>(width));
    const double seconds_per_column = static_cast<double>(axis.span) / width;
    for (int c = 0; c < width; ++c) {
        const double from = static_cast<double>(axis.start - bins.origin) + c * seconds_per_column;
        const double to = from + seconds_per_column;
        const auto first = static_cast<std::int64_t>(std::floor(from / static_cast<double>(bins.width)));
        const auto last = static_cast<std::int64_t>(std::ceil(to / static_cast<double>(bins.width))) - 1;
        for (std::int64_t b = std::max<std::int64_t>(first, 0);
             b <= std::min<std::int64_t>(last, TIME_BIN_COUNT - 1); ++b)
            merge_value_bin(columns[static_cast<std::size_t>(c)], bins.values[static_cast<std::size_t>(b) * bins.sensor_count + sensor]);
    }
    return columns;
}

double time_x(const TimeAxis& axis, const Frame& frame, double time) {
    const double x = frame.left + (time - static_cast<double>(axis.start)) / static_cast<double>(axis.span) * frame.width;
    return std::clamp(x, static_cast<double>(frame.left), static_cast<double>(frame.right()));
}

double value_y(const ValueAxis& axis, const Frame& frame, double value) {
    return frame.bottom() - (value - axis.low) / (axis.high - axis.low) * frame.height;
}

// Envelope segments as filled outlines: along the maxima, back along the minima. Columns
// without a plottable reading are bridged when they span less than the regular time step
// (records further apart than a pixel column); a longer run of them ends a segment.
void draw_envelope(std::string& svg, const std::vector<ValueBin>& columns, const ValueAxis& axis, const Frame& frame,
                   int bridged_columns) {
    std::vector<int> segment;
    const auto flush = [&] {
        if (segment.empty()) return;
        std::string d = "M";
        for (const int c : segment)
            d += number(frame.left + c + 0.5) + "," + number(value_y(axis, frame, columns[c].max)) + " ";
        for (auto it = segment.rbegin(); it != segment.rend(); ++it) {
            d += 'L';
            d += number(frame.left + *it + 0.5) + "," + number(value_y(axis, frame, columns[*it].min)) + " ";
        }
        d.back() = 'Z';
        svg += "<path d=\"" + d + "\"/>\n";
        segment.clear();
    };
    svg += string_printf("<g fill=\"%s\" fill-opacity=\"0.3\" stroke=\"%s\" stroke-width=\"1\" stroke-linejoin=\"round\" "
                         "stroke-linecap=\"round\">\n",
                         ENVELOPE_COLOR, ENVELOPE_COLOR);
    for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
        if (columns[c].plotted == 0) continue;
        if (!segment.empty() && c - segment.back() - 1 > bridged_columns) flush();
        segment.push_back(c);
    }
    flush();
    svg += "</g>\n";
}

// Grey where readings are invalid, the darker the larger their share in the column.
void draw_invalid_shading(std::string& svg, const std::vector<ValueBin>& columns, const Frame& frame) {
    const auto level_of = [](const ValueBin& column) {
        const std::uint64_t readings = column.plotted + column.invalid;
        return readings == 0 ? 0 : static_cast<int>(std::lround(10.0 * column.invalid / readings));
    };
    const int width = static_cast<int>(columns.size());
    for (int c = 0; c < width;) {
        const int level = level_of(columns[c]);
        int end = c + 1;
        while (end < width && level_of(columns[end]) == level) ++end;
        if (level > 0)
            svg += string_printf("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" fill-opacity=\"%.2f\"/>\n",
                                 frame.left + c, frame.top, end - c, frame.height, INVALID_COLOR, level * 0.05);
        c = end;
    }
}

// Gaps (a time step longer than the regular one) as bands over the time without records, and
// backward steps as arrows from where time ran back to where it went.
void draw_time_marks(std::string& svg, const TimeBins& bins, const TimeAxis& axis, const Frame& frame,
                     std::int64_t regular_step) {
    for (const StepMarks& marks : bins.marks) {
        if (regular_step > 0 && marks.gap > regular_step) {
            const double from = time_x(axis, frame, static_cast<double>(marks.gap_end - marks.gap + 1));
            const double to = time_x(axis, frame, static_cast<double>(marks.gap_end));
            svg += "<rect x=\"" + number(std::min(from, to - 1)) + "\" y=\"" + std::to_string(frame.top) + "\" width=\"" +
                   number(std::max(to - from, 1.0)) + "\" height=\"" + std::to_string(frame.height) + "\" fill=\"" +
                   GAP_COLOR + "\" fill-opacity=\"0.35\"/>\n";
        }
        if (marks.back > 0) {
            const double from = time_x(axis, frame, static_cast<double>(marks.back_from) + 0.5);
            const double to = time_x(axis, frame, static_cast<double>(marks.back_from - marks.back) + 0.5);
            const double y = frame.top + 5.0;
            svg += "<path d=\"M" + number(from) + "," + number(frame.bottom()) + " L" + number(from) + "," + number(y) +
                   " L" + number(to) + "," + number(y) + "\" fill=\"none\" stroke=\"" + BACK_COLOR +
                   "\" stroke-width=\"1.5\"/>\n";
            svg += "<path d=\"M" + number(to) + "," + number(y) + " L" + number(to + 6) + "," + number(y - 4) + " L" +
                   number(to + 6) + "," + number(y + 4) + " Z\" fill=\"" + BACK_COLOR + "\"/>\n";
        }
    }
}

void draw_axes(std::string& svg, const Frame& frame, const std::vector<Tick>& times, const std::vector<Tick>& values) {
    svg += "<g stroke=\"#d8d8d8\" stroke-width=\"1\">\n";
    for (const Tick& tick : times)
        svg += "<path d=\"M" + number(frame.left + tick.position) + "," + std::to_string(frame.top) + " V" +
               std::to_string(frame.bottom()) + "\"/>\n";
    for (const Tick& tick : values)
        svg += "<path d=\"M" + std::to_string(frame.left) + "," + number(frame.bottom() - tick.position) + " H" +
               std::to_string(frame.right()) + "\"/>\n";
    svg += "</g>\n<g fill=\"#333\" font-size=\"10\">\n";
    for (const Tick& tick : times) {
        // A label centred on a tick near the right edge would run past the panel: it ends there instead.
        const char* anchor = tick.position > frame.width - RIGHT_EDGE_LABEL_ROOM ? "end" : "middle";
        const std::string x = number(frame.left + tick.position);
        svg += "<text x=\"" + x + "\" y=\"" + std::to_string(frame.bottom() + 13) + "\" text-anchor=\"" + anchor + "\">" +
               tick.label + "</text>\n";
        if (!tick.second_label.empty())
            svg += "<text x=\"" + x + "\" y=\"" + std::to_string(frame.bottom() + 26) + "\" text-anchor=\"" + anchor +
                   "\">" + tick.second_label + "</text>\n";
    }
    for (const Tick& tick : values)
        svg += "<text x=\"" + std::to_string(frame.left - 5) + "\" y=\"" + number(frame.bottom() - tick.position + 3.5) +
               "\" text-anchor=\"end\">" + tick.label + "</text>\n";
    svg += "</g>\n";
}

struct PlotContext {
    const FileInfo& info;
    const TimeBins& bins;
    TimeAxis time;
    std::vector<Tick> time_ticks;
    int bridged_columns = 0;
};

const char* quantity_name(const TimeBins& bins) { return bins.wavelengths ? "wavelength (pm)" : "physical value"; }

// The quantity along the value axis, upright beside the value labels.
void draw_quantity_label(std::string& svg, const TimeBins& bins, int left, const Frame& frame) {
    svg += string_printf("<text transform=\"translate(%d,%d) rotate(-90)\" text-anchor=\"middle\" fill=\"#555\" "
                         "font-size=\"10\">%s</text>\n",
                         left + 11, frame.top + frame.height / 2, quantity_name(bins));
}

// The panel of the place-th plotted sensor, which is the file's sensor `sensor` (from 0).
void draw_panel(std::string& svg, const PlotContext& context, std::size_t place, int left, int top, const Layout& layout) {
    const Frame frame{left + PLOT_LEFT, top + PLOT_TOP, layout.panel_width - PLOT_LEFT - PLOT_RIGHT,
                      layout.panel_height - PLOT_TOP - PLOT_BOTTOM};
    const TimeBins& bins = context.bins;
    const std::size_t sensor = bins.sensors[place];
    const SensorEntry& entry = context.info.header->sensors[sensor];
    // The counts of what the plot shows: the readings of the records in its time window.
    ValueBin all;
    for (std::size_t b = 0; b < TIME_BIN_COUNT; ++b) merge_value_bin(all, bins.values[b * bins.sensor_count + place]);
    const std::uint64_t valid = bins.records - all.invalid;
    // The titles are cut at the panel's edge rather than run into the next panel.
    svg += string_printf("<clipPath id=\"title%zu\"><rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"/></clipPath>\n", sensor + 1,
                         left, top, layout.panel_width - PLOT_RIGHT, PLOT_TOP);
    svg += string_printf("<g clip-path=\"url(#title%zu)\">\n<text x=\"%d\" y=\"%d\" font-weight=\"bold\">", sensor + 1,
                         frame.left, top + 14) +
           string_printf("%zu: ID %d, SN ", sensor + 1, entry.id) + xml_text(entry.serial) + "</text>\n";
    std::string counts = string_printf("valid %llu, invalid %llu", static_cast<unsigned long long>(valid),
                                       static_cast<unsigned long long>(all.invalid));
    if (!bins.wavelengths)
        counts += string_printf(", non-finite %llu", static_cast<unsigned long long>(valid - all.plotted));
    svg += string_printf("<text x=\"%d\" y=\"%d\" fill=\"#555\" font-size=\"10\">%s</text>\n</g>\n", frame.left, top + 27,
                         counts.c_str());
    const std::vector<ValueBin> columns = pixel_columns(bins, place, context.time, frame.width);
    draw_invalid_shading(svg, columns, frame);
    if (all.plotted > 0) {
        const ValueAxis values = value_axis(all);
        draw_axes(svg, frame, context.time_ticks, value_ticks(values, frame.height));
        draw_envelope(svg, columns, values, frame, context.bridged_columns);
    } else {
        draw_axes(svg, frame, context.time_ticks, {});
        svg += string_printf("<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" fill=\"#555\">%s</text>\n",
                             frame.left + frame.width / 2, frame.top + frame.height / 2,
                             valid == 0 ? "no valid readings" : "no finite values");
    }
    draw_quantity_label(svg, bins, left, frame);
    draw_time_marks(svg, bins, context.time, frame, context.info.time_offset.steps.step);
    svg += string_printf("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#888\"/>\n",
                         frame.left, frame.top, frame.width, frame.height);
}

bool has_window(const TimeBins& bins) {
    return bins.from != std::numeric_limits<std::int64_t>::min() || bins.to != std::numeric_limits<std::int64_t>::max();
}

// The file, its unit and counts; with a plot (bins and its time axis) also what the plot shows.
std::string header_lines(const FileInfo& info, const TimeBins* bins, const TimeAxis* time) {
    std::string title = xml_text(info.path);
    if (info.header) title += " &#x2014; " + xml_text(info.header->title);
    std::string svg = "<text x=\"12\" y=\"20\" font-size=\"15\" font-weight=\"bold\">" + title + "</text>\n";
    if (!info.header) return svg;
    const DataFileHeader& header = *info.header;
    std::string unit = xml_text(header.company) + ", " + xml_text(header.idn) + ", SN " + xml_text(header.serial) +
                       string_printf(", %d sensor%s", header.sensor_count, header.sensor_count == 1 ? "" : "s");
    if (bins != nullptr && bins->sensor_count != info.sensors.size())
        unit += string_printf(" (%zu plotted)", bins->sensor_count);
    if (info.records_read)
        unit += string_printf(", %llu record%s", static_cast<unsigned long long>(info.records), info.records == 1 ? "" : "s");
    if (bins != nullptr && has_window(*bins))
        unit += string_printf(" (%llu in the time window)", static_cast<unsigned long long>(bins->records));
    if (info.status != FileStatus::ok) unit += ", status " + std::string(status_name(info.status));
    svg += "<text x=\"12\" y=\"40\" fill=\"#333\">" + unit + "</text>\n";
    if (bins == nullptr || time == nullptr) return svg;
    const StepSummary& steps = info.time_offset.steps;
    const std::string span = std::string(has_window(*bins) ? "time window " : "") + datetime_text(time->start) + " to " +
                             datetime_text(time->start + time->span - 1) + " (" + zone_text(zone_offset(time->start)) + ")" +
                             string_printf(", time step %lld s, irregular steps %llu, backward steps %llu",
                                           static_cast<long long>(steps.step), static_cast<unsigned long long>(steps.irregular),
                                           static_cast<unsigned long long>(steps.backward));
    svg += "<text x=\"12\" y=\"58\" fill=\"#333\">" + span + "</text>\n";
    svg += std::string("<text x=\"12\" y=\"76\" fill=\"#333\">") +
           (bins->wavelengths ? "Wavelengths in picometres (pm)."
                              : "Physical values are in the unit set by the interrogator&#x2019;s sensor configuration; "
                                "the file does not store it.") +
           "</text>\n";
    return svg;
}

std::string legend(const TimeBins& bins) {
    std::string svg = "<g font-size=\"11\" fill=\"#333\">\n";
    svg += string_printf("<rect x=\"12\" y=\"88\" width=\"18\" height=\"10\" fill=\"%s\" fill-opacity=\"0.3\" stroke=\"%s\"/>\n",
                         ENVELOPE_COLOR, ENVELOPE_COLOR);
    svg += string_printf("<text x=\"36\" y=\"97\">%s: least to greatest valid reading per pixel column</text>\n",
                         bins.wavelengths ? "wavelength" : "physical value");
    svg += string_printf("<rect x=\"430\" y=\"88\" width=\"18\" height=\"10\" fill=\"%s\" fill-opacity=\"0.35\"/>\n", INVALID_COLOR);
    svg += "<text x=\"454\" y=\"97\">invalid readings (darker: larger share)</text>\n";
    svg += string_printf("<rect x=\"690\" y=\"88\" width=\"18\" height=\"10\" fill=\"%s\" fill-opacity=\"0.35\"/>\n", GAP_COLOR);
    svg += "<text x=\"714\" y=\"97\">gap in time</text>\n";
    svg += string_printf("<path d=\"M800,93 H818\" stroke=\"%s\" stroke-width=\"1.5\"/><path d=\"M800,93 L806,89 L806,97 Z\" fill=\"%s\"/>\n",
                         BACK_COLOR, BACK_COLOR);
    svg += "<text x=\"824\" y=\"97\">time runs back</text>\n</g>\n";
    return svg;
}

std::string document_start(int width, int height) {
    return string_printf(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
        "font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"12\">\n"
        "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
        width, height, width, height);
}

std::string nothing_to_plot(const FileInfo& info, const TimeBins* bins, const char* why) {
    std::string svg = document_start(MIN_PAGE_WIDTH, 110) + header_lines(info, bins, nullptr);
    svg += std::string("<text x=\"12\" y=\"80\" fill=\"#555\">") + why + "</text>\n</svg>\n";
    return svg;
}

}  // namespace

std::string svg_plot(const FileInfo& info, const TimeBins& bins) {
    if (!info.records_read) return nothing_to_plot(info, nullptr, "no records could be read");
    if (info.records == 0) return nothing_to_plot(info, nullptr, "no records");
    if (info.sensors.empty()) return nothing_to_plot(info, nullptr, "no sensors");
    if (bins.records == 0) return nothing_to_plot(info, &bins, "no records in the time window");

    const Layout layout = layout_for(bins.sensor_count);
    const int plot_width = layout.panel_width - PLOT_LEFT - PLOT_RIGHT;
    // The time axis is the window where one is given, else from the first record time to one
    // second past the last.
    const std::int64_t start = bins.from != std::numeric_limits<std::int64_t>::min() ? bins.from : bins.min_time;
    const std::int64_t end = bins.to != std::numeric_limits<std::int64_t>::max() ? bins.to + 1 : bins.max_time + 1;
    PlotContext context{info, bins, {start, end - start}, {}, 0};
    context.time_ticks = time_ticks(context.time, plot_width);
    // A record stands for its whole second, so with a step of a second any empty column is a gap;
    // with a longer step, the step's empty seconds between two records are regular.
    const double columns_per_second = static_cast<double>(plot_width) / static_cast<double>(context.time.span);
    const std::int64_t step = info.time_offset.steps.step;
    context.bridged_columns = step <= 1 ? 0 : static_cast<int>(std::ceil(columns_per_second * static_cast<double>(step - 1))) + 1;

    std::string svg = document_start(layout.width, layout.height) + header_lines(info, &bins, &context.time) + legend(bins);
    for (std::size_t place = 0; place < bins.sensor_count; ++place) {
        const int column = static_cast<int>(place) % layout.columns;
        const int row = static_cast<int>(place) / layout.columns;
        draw_panel(svg, context, place, column * layout.panel_width, HEADER_HEIGHT + row * layout.panel_height, layout);
    }
    svg += "</svg>\n";
    return svg;
}
