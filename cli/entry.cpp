#include "cli/entry.h"

#include <cstdio>

#include "cli/batch.h"
#include "cli/environment.h"
#include "cli/progress.h"
#include "cli/report.h"

namespace {

constexpr char USAGE[] = "Need file name or directory to convert\ne.g.\nType\tDir or File\tDestine file\n";

int run_single(const char* type, const char* input, const char* output_base, const RecordLoops& loops,
               const RunSettings& settings) {
    ConvertRequest request{input, output_base, parse_type_letters(type), loops};
    request.threads = settings.jobs;
    print_problems(convert_showing_progress(request, shows_progress(settings.progress)));
    return 0;  // a failed conversion has printed its message; the exit code stays 0
}

}  // namespace

int measconv_main(int argc, const char* const* argv, const RecordLoops& loops) {
    if (argc != 3 && argc != 4) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    // Settings that cannot be used stop the run before anything is converted.
    const std::optional<RunSettings> settings = read_run_settings();
    if (!settings) return 2;
    if (argc == 4) return run_single(argv[1], argv[2], argv[3], loops, *settings);
    return run_batch(argv[2], parse_type_letters(argv[1]), loops, *settings);
}
