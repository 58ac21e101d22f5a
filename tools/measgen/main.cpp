// measgen: writes a measurement data file for trying and testing the converter.
#include <cstdio>
#include <string>
#include <vector>

#include "base/standard_streams.h"
#include "measconv_version.h"
#include "measgen/command_line.h"

int main(int argc, char** argv) {
    use_binary_standard_streams();
    const MeasgenCommandLine line = parse_measgen_command_line(std::vector<std::string>(argv + 1, argv + argc));
    switch (line.command) {
    case MeasgenCommand::help: std::fputs(measgen_usage().c_str(), stdout); return 0;
    case MeasgenCommand::version: std::printf("measgen %s\n", MEASCONV_VERSION); return 0;
    case MeasgenCommand::usage_error:
        std::fprintf(stderr, "measgen: %s\nTry 'measgen --help' for the options.\n", line.error.c_str());
        return 2;
    case MeasgenCommand::write: break;
    }
    return run_measgen(line.options);
}
