// measinfo: what measurement data files hold, whether they are sound, and a picture of one,
// without converting them.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/c_file.h"
#include "base/standard_streams.h"
#include "measconv_version.h"
#include "measinfo/file_stats.h"
#include "measinfo/json_output.h"
#include "measinfo/svg_plot.h"
#include "measinfo/text_report.h"

namespace {

constexpr char USAGE[] =
    "usage: measinfo [--json] [--check] [--plot FILE.svg] DATAFILE...\n"
    "  without options  a readable report per file\n"
    "  --json           one JSON object per file and line instead of the report\n"
    "  --check          one line per file instead of the report, 'ok' or what is wrong;\n"
    "                   exit code 1 when a file is not clean\n"
    "  --plot FILE.svg  also draws the (one) data file as an SVG picture\n"
    "  --               ends the options\n"
    "  --help           prints this text; --version prints the version\n"
    "Exit code 2 for a usage error or a file that cannot be read.\n";

constexpr int EXIT_NOT_CLEAN = 1;
constexpr int EXIT_TROUBLE = 2;

struct Options {
    bool json = false;
    bool check = false;
    std::string plot_path;
    std::vector<std::string> files;
};

enum class Parsed { run, help, version, usage_error };

Parsed parse_arguments(int argc, char** argv, Options& options, std::string& error) {
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            options.files.push_back(argument);
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--help") {
            return Parsed::help;
        } else if (argument == "--version") {
            return Parsed::version;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--check") {
            options.check = true;
        } else if (argument == "--plot") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                error = "--plot needs the name of the SVG file";
                return Parsed::usage_error;
            }
            options.plot_path = argv[++i];
        } else {
            error = "unknown option " + argument;
            return Parsed::usage_error;
        }
    }
    if (options.files.empty()) {
        error = "no data file named";
        return Parsed::usage_error;
    }
    if (!options.plot_path.empty() && options.files.size() != 1) {
        error = "--plot draws one data file; " + std::to_string(options.files.size()) + " are named";
        return Parsed::usage_error;
    }
    return Parsed::run;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "measinfo: %s\n%s", what.c_str(), USAGE);
    return EXIT_TROUBLE;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// True when the whole picture was written and closed; otherwise says why on standard error.
bool write_plot(const std::string& path, const std::string& data_path, const std::string& svg) {
    if (same_file(path, data_path)) {
        std::fprintf(stderr, "measinfo: %s is the data file itself; no plot written\n", path.c_str());
        return false;
    }
    CFile file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        std::fprintf(stderr, "measinfo: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(svg.data(), 1, svg.size(), file.get()) == svg.size();
    if (!written || std::fclose(file.release()) != 0) {
        std::fprintf(stderr, "measinfo: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void put(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

int main(int argc, char** argv) {
    use_binary_standard_streams();
    Options options;
    std::string error;
    switch (parse_arguments(argc, argv, options, error)) {
    case Parsed::help: std::fputs(USAGE, stdout); return 0;
    case Parsed::version: std::printf("measinfo %s\n", MEASCONV_VERSION); return 0;
    case Parsed::usage_error: return usage_error(error);
    case Parsed::run: break;
    }

    int exit_code = 0;
    const auto worsen = [&](int code) { exit_code = std::max(exit_code, code); };
    TimeBins bins;
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        const FileInfo info = inspect_file(options.files[i], options.plot_path.empty() ? nullptr : &bins);
        if (info.status == FileStatus::unreadable) {
            std::fprintf(stderr, "measinfo: cannot read %s: %s\n", info.path.c_str(), info.failure.c_str());
            worsen(EXIT_TROUBLE);
        }
        if (options.check && !check_findings(info).empty()) worsen(EXIT_NOT_CLEAN);
        if (options.json) put(json_line(info));
        else if (options.check) put(check_line(info));
        else put((i > 0 ? "\n" : "") + text_report(info));
        if (!options.plot_path.empty() && info.status != FileStatus::unreadable &&
            !write_plot(options.plot_path, info.path, svg_plot(info, bins)))
            worsen(EXIT_TROUBLE);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "measinfo: cannot write standard output\n");
        worsen(EXIT_TROUBLE);
    }
    return exit_code;
}
