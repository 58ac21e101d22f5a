// Hostile names and places: outputs that cannot be created, outputs that lead to the input,
// a full disk, and names from the data file that try to leave the output directory.
// Whatever happens, the input keeps its bytes, nothing appears outside the output base's
// directory and the per-sensor directory, and the only messages are the named ones.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using test::bytes_of;

using test::crlf;
using test::list_dir;
using test::read_file;
using test::run_measconv;
using test::Scratch;
namespace fs = std::filesystem;

using Names = std::vector<std::string>;

FileShape example_shape() {
    FileShape shape = test::sample_shape();
    shape.records = {test::example_record()};
    return shape;
}

const std::string CSV_PV = crlf("Datetime,Counter,01.AB1,02.AB2\n1980-01-02 02:04:00,7,1.5000, \n");
const std::string CSV_WL = crlf("Datetime,Counter,01.AB1,02.AB2\n1980-01-02 02:04:00,7,1550000, \n");
const std::string SENSOR_CSV_HEADER = "Datetime,Counter,Wavelength,PhysicValue\n";
const std::string AB1_CSV = SENSOR_CSV_HEADER + "1980-01-02 02:04:00,7,1550000,1.5000\n";
const std::string AB2_CSV = SENSOR_CSV_HEADER + "1980-01-02 02:04:00,7,0,\t\n";

// Tests run as root in some places, where permission bits do not stop a write.
bool permission_bits_stop_writes(const std::string& read_only_dir) {
    const std::string probe = read_only_dir + "/probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return true;
    close(fd);
    unlink(probe.c_str());
    return false;
}

// --- Outputs that cannot be created ---

TEST(HostilePaths, AReadOnlyDirectoryStopsTheCombinedFilesWithTheirMessage) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), bytes_of(example_shape()));
    fs::create_directory(scratch.path("locked"));
    fs::permissions(scratch.path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    if (!permission_bits_stop_writes(scratch.path("locked")))
        GTEST_SKIP() << "running as root: permission bits do not stop writes";

    const test::RunResult run = run_measconv({"cpw", "in.dat", "locked/out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'locked/out_pv.csv' to export.\n");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(list_dir(scratch.path("locked")).empty());
}

// A regular file where a directory should be stops creation for root as well.
TEST(HostilePaths, AFileInThePlaceOfADirectory) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), bytes_of(example_shape()));
    test::write_file(scratch.path("plain"), "a plain file");

    test::RunResult run = run_measconv({"tw", "in.dat", "plain/out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'plain/out_wl.txt' to export.\n");

    // In split mode the per-sensor directory cannot be made below it either; the combined
    // file beside it is written.
    fs::create_directory(scratch.path("d"));
    test::write_file(scratch.path("d/plain"), "a plain file");
    run = run_measconv({"scw", "in.dat", "d/plain/sub"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'd/plain/sub_wl.csv' to export.\n");
    EXPECT_EQ(read_file(scratch.path("d/plain")), "a plain file");
    EXPECT_EQ(list_dir(scratch.dir.string()), (Names{"d", "in.dat", "plain"}));
    EXPECT_EQ(list_dir(scratch.path("d")), (Names{"plain"}));
}

// --- Outputs that lead to the input ---

TEST(HostilePaths, AnOutputBaseThatIsTheInputInSplitMode) {
    Scratch scratch;
    const std::string input = bytes_of(example_shape());
    test::write_file(scratch.path("in.dat"), input);
    const test::RunResult run = run_measconv({"sctpw", "in.dat", "in.dat"}, scratch.dir.string());
    // The per-sensor directory cannot be made where the input is: each of its files is named.
    EXPECT_EQ(run.out,
              "Can not open 'in.dat/AB1.txt' to export.\nCan not open 'in.dat/AB1.csv' to export.\n"
              "Can not open 'in.dat/AB2.txt' to export.\nCan not open 'in.dat/AB2.csv' to export.\n");
    EXPECT_EQ(read_file(scratch.path("in.dat")), input);
    EXPECT_EQ(list_dir(scratch.dir.string()),
              (Names{"in.dat", "in.dat_pv.csv", "in.dat_pv.txt", "in.dat_wl.csv", "in.dat_wl.txt"}));
    EXPECT_EQ(read_file(scratch.path("in.dat_pv.csv")), CSV_PV);
}

TEST(HostilePaths, AHardLinkToTheInputIsNeverOpenedForWriting) {
    Scratch scratch;
    const std::string input = bytes_of(example_shape());
    test::write_file(scratch.path("in.dat"), input);
    fs::create_hard_link(scratch.path("in.dat"), scratch.path("out_wl.csv"));
    const test::RunResult run = run_measconv({"cpw", "in.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'out_wl.csv' to export.\n");
    EXPECT_EQ(read_file(scratch.path("in.dat")), input);
    // As for any output that cannot be created, the file created before it stays empty.
    EXPECT_EQ(read_file(scratch.path("out_pv.csv")), "");
}

// An output that is the input through a link, while the calls that tell files apart fail: each
// call number of newfstatat (fstat too) and openat in turn (and none), with the checks of every output
// made on what was opened, a failed one refuses the output, it never truncates the input.
TEST(HostilePaths, AnOutputLinkedToTheInputIsNeverTruncatedWhicheverStatFails) {
    ASSERT_TRUE(test::strace_can_trace()) << "strace is needed (scripts/ensure-tools.sh installs it)";
    struct Case {
        const char* what;
        const char* link;  // made to in.dat
        bool hard;
        const char* letters;
        const char* message;  // without a failure injected
    };
    const Case cases[] = {
        {"a hard link as a combined file", "o_pv.txt", true, "tpwcsh", "Can not open 'o_pv.txt' to export.\n"},
        {"a symbolic link as a combined file", "o_wl.csv", false, "cwh", "Can not open 'o_wl.csv' to export.\n"},
        {"a hard link as a per-sensor file", "o/AB2.csv", true, "sch",
         "Can not open 'o/AB2.csv' to export.\nCan not write 'o.h5'.\n"},
        {"a hard link as the .h5 name", "o.h5", true, "ph", "Can not open 'o.h5' to export.\n"},
    };
    const std::string input = bytes_of(example_shape());
    for (const Case& c : cases) {
        Scratch scratch;
        test::write_file(scratch.path("in.dat"), input);
        fs::create_directory(scratch.path("o"));
        const auto make_link = [&] {
            std::error_code ignored;
            fs::remove(scratch.path(c.link), ignored);
            if (c.hard)
                fs::create_hard_link(scratch.path("in.dat"), scratch.path(c.link));
            else
                fs::create_symlink("in.dat", scratch.path(c.link));
        };
        make_link();
        const std::string command = std::string("\"$MEASCONV\" ") + c.letters + " in.dat o";
        const test::RunResult plain = test::run_shell(command, scratch.dir.string());
        EXPECT_EQ(plain.out, c.message) << c.what;
        EXPECT_EQ(read_file(scratch.path("in.dat")), input) << c.what;
        for (const std::string call : {"newfstatat", "openat"}) {  // glibc makes fstat a newfstatat
            // As many call numbers as a run makes (counted per thread, as strace counts).
            const int last = std::stoi(test::run_shell(test::strace_command() + " -o strace.log -e trace=" + call +
                                                           " " + command + " >/dev/null; grep -c '" + call +
                                                           "(' strace.log; rm strace.log",
                                                       scratch.dir.string())
                                           .out);
            ASSERT_GT(last, 0) << c.what << ", " << call;
            for (int n = 1; n <= last; ++n) {
                make_link();
                for (const std::string& error : {std::string("EACCES"), std::string("EIO")}) {
                    if (error == "EIO" && n % 4 != 0) continue;  // a sample of the second error
                    const test::RunResult run = test::run_shell(
                        test::strace_command() + " -o /dev/null -e trace=" + call + " -e inject=" + call +
                            ":error=" + error + ":when=" + std::to_string(n) + " " + command,
                        scratch.dir.string());
                    EXPECT_EQ(read_file(scratch.path("in.dat")), input) << c.what << ", " << call << " " << n;
                    // 127: the loader could not load a library; nothing ran.
                    EXPECT_TRUE(run.exit_code == 0 || run.exit_code == 127) << c.what << ", " << call << " " << n;
                }
            }
        }
    }
}

TEST(HostilePaths, APerSensorFileLinkedToTheInputIsNamedAndSkipped) {
    Scratch scratch;
    const std::string input = bytes_of(example_shape());
    test::write_file(scratch.path("in.dat"), input);
    fs::create_directory(scratch.path("out"));
    fs::create_symlink("../in.dat", scratch.path("out/AB1.csv"));
    fs::create_hard_link(scratch.path("in.dat"), scratch.path("out/AB2.txt"));
    const test::RunResult run = run_measconv({"sct", "in.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'out/AB1.csv' to export.\nCan not open 'out/AB2.txt' to export.\n");
    EXPECT_EQ(read_file(scratch.path("in.dat")), input);
    EXPECT_EQ(read_file(scratch.path("out/AB2.csv")), AB2_CSV);
    EXPECT_EQ(list_dir(scratch.path("out")), (Names{"AB1.csv", "AB1.txt", "AB2.csv", "AB2.txt"}));
    EXPECT_TRUE(fs::is_symlink(scratch.path("out/AB1.csv")));
}

// An output base ending in '/' puts the combined files and the per-sensor files in one
// directory, where a serial such as "_pv" names a combined file. That file keeps the combined
// data whole; the sensor's own file is not written (and named), and every other sensor's is.
// The sample's header text with the second sensor's serial AB2 replaced.
std::string with_second_serial(std::string header, const std::string& serial) {
    return header.replace(header.find("SN: AB2"), 7, "SN: " + serial);
}

TEST(HostilePaths, APerSensorFileNeverClobbersACombinedFile) {
    FileShape shape = example_shape();
    shape.sensors = {{1, "_pv"}, {2, "AB2"}};
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), bytes_of(shape));
    fs::create_directory(scratch.path("o"));
    const test::RunResult run = run_measconv({"scp", "in.dat", "o/"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not open 'o//_pv.csv' to export.\n");
    EXPECT_EQ(list_dir(scratch.path("o")), (Names{"AB2.csv", "_pv.csv"}));
    EXPECT_EQ(read_file(scratch.path("o/_pv.csv")),
              crlf("Datetime,Counter,01._pv,02.AB2\n1980-01-02 02:04:00,7,1.5000, \n"));
    EXPECT_EQ(read_file(scratch.path("o/AB2.csv")), AB2_CSV);

    // The same through the output base "." and a serial "._wl".
    shape.sensors = {{1, "AB1"}, {2, "._wl"}};
    test::write_file(scratch.path("o/in.dat"), bytes_of(shape));
    const test::RunResult dot = run_measconv({"sctw", "in.dat", "."}, scratch.path("o"));
    EXPECT_EQ(dot.out, "Can not open './._wl.txt' to export.\nCan not open './._wl.csv' to export.\n");
    EXPECT_EQ(read_file(scratch.path("o/._wl.txt")),
              crlf(with_second_serial(test::combined_header("Wavelength"), "._wl") + "000005\t7\t1550000\t0\n"));
    EXPECT_EQ(read_file(scratch.path("o/._wl.csv")),
              crlf("Datetime,Counter,01.AB1,02.._wl\n1980-01-02 02:04:00,7,1550000, \n"));
    EXPECT_EQ(read_file(scratch.path("o/AB1.txt")).substr(0, 15), "## Strain test\n");
}

// --- A full disk ---

TEST(HostilePaths, AFullDiskAtTheFinalFlushIsReported) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    // A small file: nothing reaches the disk before the files are closed.
    for (const std::string name : {"out_pv.txt", "out_wl.txt", "out_pv.csv", "out_wl.csv"}) {
        SCOPED_TRACE(name);
        Scratch scratch;
        const std::string input = bytes_of(example_shape());
        test::write_file(scratch.path("in.dat"), input);
        fs::create_symlink("/dev/full", scratch.path(name));
        const test::RunResult run = run_measconv({"tcpw", "in.dat", "out"}, scratch.dir.string());
        EXPECT_EQ(run.out, "Can not write '" + name + "'.\n");
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(read_file(scratch.path("in.dat")), input);
    }
}

TEST(HostilePaths, AFullDiskOnAPerSensorCsvFile) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    Scratch scratch;
    const std::string input = bytes_of(example_shape());
    test::write_file(scratch.path("in.dat"), input);
    fs::create_directory(scratch.path("out"));
    fs::create_symlink("/dev/full", scratch.path("out/AB1.csv"));
    const test::RunResult run = run_measconv({"scp", "in.dat", "out"}, scratch.dir.string());
    EXPECT_EQ(run.out, "Can not write 'out/AB1.csv'.\n");
    EXPECT_EQ(read_file(scratch.path("in.dat")), input);
    // The combined file is fed in the same pass, and the full disk shows only when the
    // per-sensor file is flushed at the end: it is complete.
    EXPECT_EQ(read_file(scratch.path("out_pv.csv")),
              test::crlf("Datetime,Counter,01.AB1,02.AB2\n1980-01-02 02:04:00,7,1.5000, \n"));
}

// --- Names from the data file ---

TEST(HostilePaths, SerialsCannotLeaveThePerSensorDirectory) {
    FileShape shape = example_shape();
    shape.sensors = {{1, ".."}, {2, "/tmp/abs"}, {3, "."}, {4, "..\\..\\up"}, {5, "../../../../../../../../x"}};
    shape.records = {{1, 1, {{1.0f, 1500000}, {2.0f, 1500000}, {3.0f, 1500000}, {4.0f, 1500000}, {5.0f, 1500000}}}};
    Scratch scratch;
    // Run two levels down, so a name that climbed out would show in the levels above.
    fs::create_directories(scratch.path("a/b"));
    test::write_file(scratch.path("a/b/in.dat"), bytes_of(shape));
    const test::RunResult run = run_measconv({"sc", "in.dat", "out"}, scratch.path("a/b"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(list_dir(scratch.dir.string()), Names{"a"});
    EXPECT_EQ(list_dir(scratch.path("a")), Names{"b"});
    EXPECT_EQ(list_dir(scratch.path("a/b")), (Names{"in.dat", "out"}));
    EXPECT_EQ(list_dir(scratch.path("a/b/out")),
              (Names{"...csv", ".._.._.._.._.._.._.._.._x.csv", ".._.._up.csv", "..csv", "_tmp_abs.csv"}));
    EXPECT_EQ(read_file(scratch.path("a/b/out/...csv")), SENSOR_CSV_HEADER + "1980-01-02 02:03:56,1,1500000,1.0000\n");
    EXPECT_EQ(read_file(scratch.path("a/b/out/_tmp_abs.csv")),
              SENSOR_CSV_HEADER + "1980-01-02 02:03:56,1,1500000,2.0000\n");
    EXPECT_EQ(read_file(scratch.path("a/b/out/..csv")), SENSOR_CSV_HEADER + "1980-01-02 02:03:56,1,1500000,3.0000\n");
}

}  // namespace
