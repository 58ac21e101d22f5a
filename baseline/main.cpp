// measconv-baseline: measconv with the straightforward record loops, the measure of the fast ones.
#include "base/standard_streams.h"
#include "baseline/baseline_records.h"
#include "cli/entry.h"

int main(int argc, char** argv) {
    use_binary_standard_streams();
    return measconv_main(argc, argv, BASELINE_RECORD_LOOPS);
}
