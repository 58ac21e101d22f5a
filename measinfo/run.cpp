#include "measinfo/run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/c_file.h"
#include "measinfo/file_stats.h"
#include "measinfo/json_output.h"
#include "measinfo/svg_plot.h"
#include "measinfo/text_report.h"

namespace {

constexpr int EXIT_NOT_CLEAN = 1;
constexpr int EXIT_TROUBLE = 2;

bool same_file(const std::string& a, const std::string& b) {
    struct stat first = {};
    struct stat second = {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// The first sensor the selection names that the file does not have; 0 when it has them all.
std::size_t missing_sensor(const PlotSelection& selection, const FileInfo& info) {
    for (const std::size_t sensor : selection.sensors)
        if (sensor > info.sensors.size()) return sensor;
    return 0;
}

// True when the whole picture was written and closed; otherwise says why on standard error.
bool write_plot(const char* program, const std::string& path, const FileInfo& info, const PlotSelection& selection,
                const TimeBins& bins) {
    if (same_file(path, info.path)) {
        std::fprintf(stderr, "%s: %s is the data file itself; no plot written\n", program, path.c_str());
        return false;
    }
    if (const std::size_t sensor = missing_sensor(selection, info); sensor != 0 && info.records_read) {
        std::fprintf(stderr, "%s: --plot-sensors names sensor %zu, but %s has %zu; no plot written\n", program, sensor,
                     info.path.c_str(), info.sensors.size());
        return false;
    }
    const std::string svg = svg_plot(info, bins);
    CFile file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program, path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(svg.data(), 1, svg.size(), file.get()) == svg.size();
    if (!written || std::fclose(file.release()) != 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program, path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void put(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

int run_measinfo(const MeasinfoOptions& options, const char* program) {
    int exit_code = 0;
    const auto worsen = [&](int code) { exit_code = std::max(exit_code, code); };
    const bool plot = !options.plot_path.empty();
    TimeBins bins;
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        const FileInfo info = inspect_file(options.files[i], plot ? &bins : nullptr, options.plot);
        if (info.status == FileStatus::unreadable) {
            std::fprintf(stderr, "%s: cannot read %s: %s\n", program, info.path.c_str(), info.failure.c_str());
            worsen(EXIT_TROUBLE);
        }
        if (options.check && !check_findings(info).empty()) worsen(EXIT_NOT_CLEAN);
        if (options.json) {
            put(json_line(info));
        } else if (options.check) {
            put(check_line(info));
        } else {
            if (i > 0) put("\n");  // a blank line between reports
            put(text_report(info));
        }
        if (plot && info.status != FileStatus::unreadable &&
            !write_plot(program, options.plot_path, info, options.plot, bins))
            worsen(EXIT_TROUBLE);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: cannot write standard output\n", program);
        worsen(EXIT_TROUBLE);
    }
    return exit_code;
}
