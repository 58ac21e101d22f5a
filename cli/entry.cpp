#include "cli/entry.h"

#include <cstdio>

#include "cli/batch.h"
#include "cli/run_state.h"
#include "convert/convert.h"

namespace {

constexpr char USAGE[] = "Need file name or directory to convert\ne.g.\nType\tDir or File\tDestine file\n";

int run_single(const char* type, const char* input, const char* output_base) {
    derive_output_paths(output_base);
    g_type_flags = parse_type_letters(type);
    g_run_paths.input = input;
    convert_file();  // a failed conversion has printed its message; the exit code stays 0
    return 0;
}

int run_list(const char* type, const char* list) {
    g_type_flags = parse_type_letters(type);
    g_run_paths.list = list;
    return run_batch();
}

}  // namespace

int measconv_main(int argc, const char* const* argv) {
    if (argc == 4) return run_single(argv[1], argv[2], argv[3]);
    if (argc == 3) return run_list(argv[1], argv[2]);
    std::fputs(USAGE, stdout);
    return 0;
}
