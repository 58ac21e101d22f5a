// measconv-baseline: measconv with the straightforward record loops (baseline_record_loops.cpp,
// linked in place of convert/record_loops.cpp), the measure of the fast ones.
#include "base/standard_streams.h"
#include "cli/entry.h"

int main(int argc, char** argv) {
    use_binary_standard_streams();
    return measconv_main(argc, argv);
}
