// measinfo: what measurement data files hold, whether they are sound, and a picture of one,
// without converting them.
#include <cstdio>
#include <string>
#include <vector>

#include "base/standard_streams.h"
#include "measconv_version.h"
#include "measinfo/command_line.h"
#include "measinfo/run.h"

int main(int argc, char** argv) {
    use_binary_standard_streams();
    const MeasinfoCommandLine line = parse_measinfo_command_line(std::vector<std::string>(argv + 1, argv + argc));
    switch (line.command) {
    case MeasinfoCommand::help: std::fputs(measinfo_usage().c_str(), stdout); return 0;
    case MeasinfoCommand::version: std::printf("measinfo %s\n", MEASCONV_VERSION); return 0;
    case MeasinfoCommand::usage_error:
        std::fprintf(stderr, "measinfo: %s\n%s", line.error.c_str(), measinfo_usage().c_str());
        return 2;
    case MeasinfoCommand::run: break;
    }
    return run_measinfo(line.options);
}
