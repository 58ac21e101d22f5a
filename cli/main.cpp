#include "base/standard_streams.h"
#include "cli/entry.h"

int main(int argc, char** argv) {
    use_binary_standard_streams();
    return measconv_main(argc, argv);
}
