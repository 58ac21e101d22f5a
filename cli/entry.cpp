#include "cli/entry.h"

#include <cstdio>

#include "cli/batch.h"
#include "cli/report.h"

namespace {

constexpr char USAGE[] = "Need file name or directory to convert\ne.g.\nType\tDir or File\tDestine file\n";

int run_single(const char* type, const char* input, const char* output_base, const RecordLoops& loops) {
    const ConvertRequest request{input, output_base, parse_type_letters(type), loops};
    print_unsupported_notice({request});
    print_problems(convert_file(request));
    return 0;  // a failed conversion has printed its message; the exit code stays 0
}

}  // namespace

int measconv_main(int argc, const char* const* argv, const RecordLoops& loops) {
    if (argc == 4) return run_single(argv[1], argv[2], argv[3], loops);
    if (argc == 3) return run_batch(argv[2], parse_type_letters(argv[1]), loops);
    std::fputs(USAGE, stdout);
    return 0;
}
