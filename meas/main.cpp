#include "base/standard_streams.h"
#include "meas/command_line.h"

int main(int argc, char** argv) {
    use_binary_standard_streams();
    return meas_main(argc, argv);
}
