#include "cli/entry.h"

#include <cstdio>

#include "cli/batch.h"
#include "cli/environment.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/signals.h"

namespace {

constexpr char USAGE[] = "Need file name or directory to convert\ne.g.\nType\tDir or File\tDestine file\n";

int run_single(const char* type, const char* input, const char* output_base, const RunSettings& settings) {
    ConvertRequest request;
    request.input = input;
    request.output_base = output_base;
    request.flags = parse_type_letters(type);
    request.hdf5_compression = settings.hdf5_compression;
    request.stop = settings.stop;
    request.threads = settings.jobs;
    print_unsupported_notice({request});
    print_problems(convert_showing_progress(request, shows_progress(settings.progress)));
    return 0;  // a failed conversion has printed its message; the exit code stays 0
}

int run(int argc, const char* const* argv, const RunSettings& settings) {
    if (argc == 4) return run_single(argv[1], argv[2], argv[3], settings);
    if (argc == 3) return run_batch(argv[2], parse_type_letters(argv[1]), settings);
    std::fputs(USAGE, stdout);
    return 0;
}

}  // namespace

int measconv_main(int argc, const char* const* argv) {
    std::optional<RunSettings> settings;
    if (argc == 3 || argc == 4) {
        // Settings that cannot be used stop the run before anything is converted.
        settings = read_run_settings();
        if (!settings) return finish_standard_output(2);
        settings->stop = install_stop_signals();
    }
    const int exit_code = finish_standard_output(run(argc, argv, settings ? *settings : RunSettings{}));
    if (received_stop_signal() != 0) end_by_stop_signal();
    return exit_code;
}
