// The command line: type letters, output names, argument counts and exit codes.
#include <gtest/gtest.h>

#include "convert/hdf5_output.h"
#include "convert/output_names.h"
#include "convert/type_flags.h"
#include "test_support.h"

namespace {

using test::read_file;
using test::run_measconv;
using test::Scratch;

constexpr char USAGE[] = "Need file name or directory to convert\ne.g.\nType\tDir or File\tDestine file\n";

TEST(TypeLetters, EachLetterSetsItsBitInEitherCaseOthersAreIgnored) {
    struct Case {
        std::string text;
        TypeFlags flags;
    };
    const Case cases[] = {
        {"p", FLAG_PHYSIC},
        {"W", FLAG_WAVELENGTH},
        {"s", FLAG_SPLIT},
        {"C", FLAG_CSV},
        {"t", FLAG_TEXT},
        {"h", FLAG_HDF5},
        {"H", FLAG_HDF5},
        {"PWSCTH", 0x77},
        {"pwscth", 0x77},
        {"PwX", FLAG_PHYSIC | FLAG_WAVELENGTH},
        {"pppp", FLAG_PHYSIC},
        {"hhH", FLAG_HDF5},
        {"", 0},
        {"xyz-123 ", 0},
        {"gijk", 0},  // the neighbours of h
        {std::string("t\0p", 3), FLAG_TEXT | FLAG_PHYSIC},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_type_letters(c.text), c.flags) << c.text;
}

TEST(TypeLetters, CombinedFilesNeedBothBitsOfTheirPair) {
    const TypeFlags flags = parse_type_letters("tpw");
    EXPECT_TRUE(has_flags(flags, FLAG_TEXT | FLAG_PHYSIC));
    EXPECT_TRUE(has_flags(flags, FLAG_TEXT | FLAG_WAVELENGTH));
    EXPECT_FALSE(has_flags(flags, FLAG_CSV | FLAG_PHYSIC));
    EXPECT_FALSE(has_flags(parse_type_letters("cp"), FLAG_CSV | FLAG_WAVELENGTH));
}

TEST(OutputNames, AreFormedFromTheBaseUnchanged) {
    const RunPaths paths = derive_output_paths("in.dat", "dir/out.dat");
    EXPECT_EQ(paths.input, "in.dat");
    EXPECT_EQ(paths.output_base, "dir/out.dat");
    EXPECT_EQ(paths[CombinedKind::physic_text], "dir/out.dat_pv.txt");
    EXPECT_EQ(paths[CombinedKind::physic_csv], "dir/out.dat_pv.csv");
    EXPECT_EQ(paths[CombinedKind::wavelength_text], "dir/out.dat_wl.txt");
    EXPECT_EQ(paths[CombinedKind::wavelength_csv], "dir/out.dat_wl.csv");
    EXPECT_EQ(paths.hdf5, "dir/out.dat.h5");
}

TEST(OutputNames, LongBasesAreKeptWhole) {
    const std::string base(300, 'b');
    EXPECT_EQ(derive_output_paths("in.dat", base)[CombinedKind::physic_text], base + "_pv.txt");
}

TEST(CommandLine, WrongArgumentCountsPrintTheUsageAndExitZero) {
    Scratch scratch;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"tpw"}, {"tpw", "a", "b", "c"}, {"tpw", "a", "b", "c", "d"}}) {
        const test::RunResult run = run_measconv(args, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, USAGE);
    }
    EXPECT_TRUE(test::list_dir(scratch.dir.string()).empty());
}

TEST(CommandLine, SingleModeExitsZeroEvenWhenTheConversionFails) {
    Scratch scratch;
    const test::RunResult run = run_measconv({"tpw", "missing.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "Can not open 'missing.dat' to read data.\n");
    EXPECT_TRUE(test::list_dir(scratch.dir.string()).empty());
}

TEST(CommandLine, TypeWithoutLettersTestsTheHeaderAndCreatesNothing) {
    Scratch scratch;
    FileShape shape = test::sample_shape();
    shape.magic = "XY";
    test::write_file(scratch.path("bad.dat"), data_file_bytes(shape));
    test::write_file(scratch.path("good.dat"), data_file_bytes(test::sample_shape()));

    test::RunResult run = run_measconv({"xyz", "bad.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Input file format error. [SART]:[XY]\n");
    run = run_measconv({"xyz", "good.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(test::list_dir(scratch.dir.string()), (std::vector<std::string>{"bad.dat", "good.dat"}));
}

// A build without HDF5 says once on standard error that it ignores 'h', and converts the rest;
// a build with it writes the .h5 file and says nothing.
TEST(CommandLine, TheLetterHWithOrWithoutHdf5Support) {
    const std::string notice = hdf5_supported() ? "" : HDF5_UNSUPPORTED_NOTICE;
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> h5_files;  // written with HDF5 support
    };
    const Case cases[] = {
        {{"hcp", "in.dat", "out"}, {"out.h5"}},
        {{"cp", "list.txt"}, {"a.h5", "b.h5"}},  // two entries with h, one notice
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Scratch scratch;
        test::write_file(scratch.path("in.dat"), data_file_bytes(test::sample_shape()));
        test::write_file(scratch.path("list.txt"), "in.dat,a,h\nin.dat,b\nin.dat,c,cp\n");
        std::vector<std::string> command = {"sh", "-c", "\"$0\" \"$@\" 2>&1", test::measconv_path()};
        command.insert(command.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(test::run_command(command, scratch.dir.string()).out, notice);
        for (const std::string& name : c.h5_files)
            EXPECT_EQ(std::filesystem::exists(scratch.path(name)), hdf5_supported()) << name;
        const bool single = c.args.size() == 3;
        EXPECT_EQ(read_file(scratch.path(single ? "out_pv.csv" : "c_pv.csv")),
                  test::crlf("Datetime,Counter,01.AB1,02.AB2\n"));
    }
}

}  // namespace
