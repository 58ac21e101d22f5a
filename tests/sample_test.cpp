// The bundled sample converts to the stored outputs, byte for byte. Those outputs were
// reviewed once and are kept as they are: any change in an output byte shows here.
#include <gtest/gtest.h>

#include "convert/hdf5_output.h"
#include "test_support.h"

namespace {

TEST(BundledSample, ConvertsToTheStoredOutputs) {
    test::Scratch scratch;
    const std::string examples = MEASCONV_SOURCE_DIR "/examples";
    const test::RunResult run =
        test::run_measconv({"tpwcsh", examples + "/sample.dat", "sample"}, scratch.dir.string());
    EXPECT_EQ(run.out, "");
    // The .h5 file too, byte for byte, where the build writes one.
    std::vector<std::string> expected_combined = {"sample", "sample_pv.csv", "sample_pv.txt", "sample_wl.csv",
                                                  "sample_wl.txt"};
    if (hdf5_supported()) expected_combined.insert(expected_combined.begin() + 1, "sample.h5");
    ASSERT_EQ(test::list_dir(scratch.dir.string()), expected_combined);
    ASSERT_EQ(test::list_dir(scratch.path("sample")), test::list_dir(examples + "/expected/sample"));
    for (const std::string& name : expected_combined) {
        if (name == "sample") continue;
        EXPECT_EQ(test::read_file(scratch.path(name)), test::read_file(examples + "/expected/" + name)) << name;
    }
    for (const std::string& name : test::list_dir(scratch.path("sample")))
        EXPECT_EQ(test::read_file(scratch.path("sample/" + name)),
                  test::read_file(examples + "/expected/sample/" + name))
            << name;
}

}  // namespace
