#include "cli/entry.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#ifndef _WIN32
#include <unistd.h>
#else
#include <io.h>
#define write _write
#endif

#include "cli/batch.h"
#include "cli/environment.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/resource_limits.h"
#include "cli/signals.h"
#include "convert/hdf5_output.h"

namespace {

// The exit code of a run that ran out of memory outside a conversion (which reports its own).
constexpr int OUT_OF_MEMORY_EXIT = 4;
constexpr char OUT_OF_MEMORY_NOTE[] = "measconv: not enough memory to go on\n";

[[noreturn]] void end_out_of_memory() {
    // Nothing that allocates: the note goes straight to the descriptor.
    if (write(2, OUT_OF_MEMORY_NOTE, sizeof OUT_OF_MEMORY_NOTE - 1) < 0) {
        // Nothing more can be said.
    }
    std::_Exit(OUT_OF_MEMORY_EXIT);
}

// An allocation that fails where no conversion catches it (on a thread of the run's own
// bookkeeping) ends the run with the same note and exit code, never an abort.
[[noreturn]] void on_terminate() {
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            end_out_of_memory();
        } catch (...) {
        }
    }
    std::abort();
}

constexpr char USAGE[] = "Need file name or directory to convert\ne.g.\nType\tDir or File\tDestine file\n";

int run_single(const char* type, const char* input, const char* output_base, const RunSettings& settings) {
    ConvertRequest request;
    request.input = input;
    request.output_base = output_base;
    request.flags = parse_type_letters(type);
    request.hdf5_compression = settings.hdf5_compression;
    request.stop = settings.stop;
    request.threads = settings.jobs;
    print_unsupported_notice({{request.input, request.output_base, request.flags, request.outputs}});
    ConvertResult result = convert_showing_progress(request, shows_progress(settings.progress));
    if (result.status == ConvertStatus::out_of_memory && request.threads > 1 && can_convert_again(input)) {
        // Its outputs are removed: converted again on one thread, as MEASCONV_JOBS=1 would.
        request.threads = 1;
        result = convert_showing_progress(request, shows_progress(settings.progress));
    }
    print_problems(result);
    return 0;  // a failed conversion has printed its message; the exit code stays 0
}

int run(int argc, const char* const* argv, const RunSettings& settings) {
    if (argc == 4) return run_single(argv[1], argv[2], argv[3], settings);
    if (argc == 3) return run_batch(argv[2], parse_type_letters(argv[1]), settings);
    std::fputs(USAGE, stdout);
    return 0;
}

int run_within_limits(int argc, const char* const* argv) {
    std::optional<RunSettings> settings;
    if (argc == 3 || argc == 4) {
        // Settings that cannot be used stop the run before anything is converted.
        settings = read_run_settings();
        if (!settings) return finish_standard_output(2);
        settings->jobs = threads_within_address_space(settings->jobs);
        settings->stop = install_stop_signals();
    }
    const int exit_code = finish_standard_output(run(argc, argv, settings ? *settings : RunSettings{}));
    if (received_stop_signal() != 0) end_by_stop_signal();
    return exit_code;
}

}  // namespace

int measconv_main(int argc, const char* const* argv) {
    // Process-wide set-up, before any thread starts.
    std::set_terminate(on_terminate);
    raise_open_file_limit();
    fit_threads_to_address_space();
    if (!prepare_hdf5_for_this_thread()) end_out_of_memory();
    try {
        return run_within_limits(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);  // the messages of the entries converted before
        end_out_of_memory();
    }
}
