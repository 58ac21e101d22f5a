// Batch mode: reading the list file and converting every entry.
#include <gtest/gtest.h>

#include "cli/batch.h"
#include "test_support.h"

namespace {

using test::crlf;
using test::read_file;
using test::run_measconv;
using test::Scratch;

struct Fields {
    std::string input, output_base, type;
    bool operator==(const Fields&) const = default;
    friend void PrintTo(const Fields& f, std::ostream* os) {
        *os << "{" << f.input << "|" << f.output_base << "|" << f.type << "}";
    }
};

std::vector<Fields> fields_of(const std::string& text) {
    std::vector<Fields> out;
    for (const ListEntry& entry : parse_list_text(text)) out.push_back({entry.input, entry.output_base, entry.type});
    return out;
}

TEST(ListFile, FieldsAreSplitAtCommasAfterTheFilter) {
    EXPECT_EQ(fields_of("in.dat, out\r\n"), (std::vector<Fields>{{"in.dat", "out", ""}}));
    EXPECT_EQ(fields_of("C:\\My Data\\a.dat,C:\\Out\\a,cpt\n"),
              (std::vector<Fields>{{"C:\\MyData\\a.dat", "C:\\Out\\a", "cpt"}}));
    EXPECT_EQ(fields_of("a.dat,,pw"), (std::vector<Fields>{{"a.dat", "pw", ""}}));
    EXPECT_EQ(fields_of(",,a.dat,,,b,,c,"), (std::vector<Fields>{{"a.dat", "b", "c"}}));
    EXPECT_EQ(fields_of("a,b,c,d\n"), (std::vector<Fields>{{"a", "b", "c"}}));
    EXPECT_EQ(fields_of("only.dat\n"), (std::vector<Fields>{{"only.dat", "", ""}}));
}

TEST(ListFile, CommentsAndEmptyLinesAreSkipped) {
    EXPECT_EQ(fields_of("#a.dat,out,p\n   \n\n\t\r\n,,,\n"), std::vector<Fields>{});
    EXPECT_EQ(fields_of(" #a.dat,out,p\n"), (std::vector<Fields>{{"a.dat", "out", "p"}}));
    EXPECT_EQ(fields_of(""), std::vector<Fields>{});
}

TEST(ListFile, OnlyBytesFromCommaToTildeSurvive) {
    std::string line = "a!\"#$%&'()*+b\x7f\xff\x80.dat";
    line += std::string("\0", 1);
    line += "x,~o{u}t|,t\n";
    EXPECT_EQ(fields_of(line), (std::vector<Fields>{{"ab.datx", "~o{u}t|", "t"}}));
}

TEST(ListFile, OnlyTheFirst500BytesOfALineCount) {
    const std::string input(480, 'i');
    EXPECT_EQ(fields_of(input + ",out_base_that_is_cut_here,tp\n"),
              (std::vector<Fields>{{input, "out_base_that_is_cu", ""}}));
    // Spaces are dropped, but they still take room in the window.
    EXPECT_EQ(fields_of(std::string(499, ' ') + "ab,out\n"), (std::vector<Fields>{{"a", "", ""}}));
}

TEST(ListFile, LongLinesAreReadInPiecesOf998Bytes) {
    // 998 bytes make a piece; what follows is a line of its own.
    const std::string first = "a.dat,out,p" + std::string(998 - 11, ' ');
    EXPECT_EQ(fields_of(first + "b.dat,other\n"), (std::vector<Fields>{{"a.dat", "out", "p"}, {"b.dat", "other", ""}}));
    // A piece that starts with '#' is a comment, even in the middle of a long line.
    EXPECT_EQ(fields_of(first + "#b.dat,other\nc.dat\n"),
              (std::vector<Fields>{{"a.dat", "out", "p"}, {"c.dat", "", ""}}));
    // Exactly 997 bytes and the newline make one piece.
    EXPECT_EQ(fields_of("a.dat" + std::string(992, ' ') + "\nb.dat\n"),
              (std::vector<Fields>{{"a.dat", "", ""}, {"b.dat", "", ""}}));
}

// --- Whole runs of the program ---

FileShape one_sensor_shape(int counter) {
    FileShape shape = test::sample_shape();
    shape.sensors = {{1, "S1"}};
    shape.records = {{counter, counter, {{static_cast<float>(counter), 1500000 + counter}}}};
    return shape;
}

std::string wl_csv_of(int counter) {
    return crlf("Datetime,Counter,01.S1\n1980-01-02 02:03:" + std::to_string(55 + counter) + "," +
                std::to_string(counter) + "," + std::to_string(1500000 + counter) + "\n");
}

TEST(BatchRun, ConvertsEveryEntryWithItsOwnLettersAndCarriesThemOver) {
    Scratch scratch;
    for (int i = 1; i <= 3; ++i)
        test::write_file(scratch.path("in" + std::to_string(i) + ".dat"), data_file_bytes(one_sensor_shape(i)));
    test::write_file(scratch.path("list.txt"),
                     "# three files\r\n"
                     "in1.dat, first\r\n"  // command-line letters: cw
                     "in2.dat, second, tp\r\n"
                     "in3.dat, third\r\n");  // carries tp over
    const test::RunResult run = run_measconv({"cw", "list.txt"}, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(test::list_dir(scratch.dir.string()),
              (std::vector<std::string>{"first_wl.csv", "in1.dat", "in2.dat", "in3.dat", "list.txt", "second_pv.txt",
                                        "third_pv.txt"}));
    EXPECT_EQ(read_file(scratch.path("first_wl.csv")), wl_csv_of(1));
    const std::string third = read_file(scratch.path("third_pv.txt"));
    EXPECT_NE(third.find("# Column03= ID: 1, SN: S1\r\n*End*\r\n000003\t3\t3.0000\r\n"), std::string::npos);
    EXPECT_EQ(third.find("S2"), std::string::npos);
}

TEST(BatchRun, EachFileGetsItsOwnHeaders) {
    Scratch scratch;
    FileShape two = one_sensor_shape(2);
    two.sensors = {{9, "OTHER"}};
    test::write_file(scratch.path("a.dat"), data_file_bytes(one_sensor_shape(1)));
    test::write_file(scratch.path("b.dat"), data_file_bytes(two));
    test::write_file(scratch.path("list.txt"), "a.dat,a\nb.dat,b\n");
    EXPECT_EQ(run_measconv({"cw", "list.txt"}, scratch.dir.string()).out, "");
    EXPECT_EQ(read_file(scratch.path("a_wl.csv")), wl_csv_of(1));
    EXPECT_EQ(read_file(scratch.path("b_wl.csv")), crlf("Datetime,Counter,09.OTHER\n1980-01-02 02:03:57,2,1500002\n"));
}

TEST(BatchRun, AFailingEntryDoesNotStopTheRun) {
    Scratch scratch;
    test::write_file(scratch.path("in1.dat"), data_file_bytes(one_sensor_shape(1)));
    FileShape bad = one_sensor_shape(2);
    bad.version_minor = 4;
    test::write_file(scratch.path("bad.dat"), data_file_bytes(bad));
    test::write_file(scratch.path("in3.dat"), data_file_bytes(one_sensor_shape(3)));
    test::write_file(scratch.path("list.txt"), "missing.dat,m\nbad.dat,b\nin1.dat,one\nin3.dat,three,sc\n");
    const test::RunResult run = run_measconv({"cw", "list.txt"}, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out,
              "Can not open 'missing.dat' to read data.\nInput file Version  format error, need version: 1.3\n");
    EXPECT_EQ(read_file(scratch.path("b_wl.csv")), "");
    EXPECT_EQ(read_file(scratch.path("one_wl.csv")), wl_csv_of(1));
    EXPECT_EQ(read_file(scratch.path("three/S1.csv")),
              "Datetime,Counter,Wavelength,PhysicValue\n1980-01-02 02:03:58,3,1500003,3.0000\n");
}

TEST(BatchRun, ListsThatCannotBeUsedExitTwoAndConvertNothing) {
    const std::string hint = "measconv: 'run.dat' is a data file, not a list file; give an output base to convert it\n";
    std::vector<unsigned char> data_file = data_file_bytes(one_sensor_shape(1));
    FileShape negative_count = one_sensor_shape(1);
    negative_count.count_byte = 0x90;
    FileShape old_version = one_sensor_shape(1);
    old_version.version_minor = 2;
    const std::string nul_text = "in.dat,out\n" + std::string(30000, '\0');
    // A list read as one: each entry's input is missing, so each prints its message.
    const auto read_as_list = [](const std::string& bytes) {
        std::string out;
        for (const ListEntry& entry : parse_list_text(bytes))
            out += "Can not open '" + entry.input + "' to read data.\n";
        return out;
    };
    struct Case {
        const char* what;
        std::string list_bytes;  // empty: no list file at all
        bool directory;
        int exit_code;
        std::string out, err;
    };
    const Case cases[] = {
        {"missing", "", false, 2, "Failed to open run.dat\n", ""},
        {"a directory", "", true, 2, "Failed to open run.dat\n", ""},
        {"a data file", std::string(data_file.begin(), data_file.end()), false, 2, "Failed to open run.dat\n", hint},
        {"a data file with a broken count", test::bytes_of(negative_count), false, 2, "Failed to open run.dat\n", hint},
        // Text, however odd, is read as a list: here an entry whose input does not exist.
        {"a header of another version", test::bytes_of(old_version), false, 0,
         read_as_list(test::bytes_of(old_version)), ""},
        {"text with NUL bytes", nul_text, false, 0, "Can not open 'in.dat' to read data.\n", ""},
    };
    for (const Case& c : cases) {
        Scratch scratch;
        if (c.directory) std::filesystem::create_directory(scratch.path("run.dat"));
        if (!c.list_bytes.empty()) test::write_file(scratch.path("run.dat"), c.list_bytes);
        const test::RunResult run = run_measconv({"tp", "run.dat"}, scratch.dir.string());
        EXPECT_EQ(run.exit_code, c.exit_code) << c.what;
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        // Nothing was converted: the list (or the directory) is all there is.
        const std::size_t present = c.list_bytes.empty() && !c.directory ? 0 : 1;
        if (c.exit_code == 2) {
            EXPECT_EQ(test::list_dir(scratch.dir.string()).size(), present) << c.what;
        }
    }
}

TEST(BatchRun, AnEmptyListConvertsNothing) {
    Scratch scratch;
    test::write_file(scratch.path("empty.txt"), "");
    test::write_file(scratch.path("comments.txt"), "# nothing\n#here\n\n");
    for (const char* list : {"empty.txt", "comments.txt"}) {
        const test::RunResult run = run_measconv({"tpwc", list}, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(test::list_dir(scratch.dir.string()), (std::vector<std::string>{"comments.txt", "empty.txt"}));
}

TEST(BatchRun, MoreThanTwoHundredEntries) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), data_file_bytes(one_sensor_shape(1)));
    std::string list;
    for (int i = 0; i < 205; ++i) list += "in.dat,out" + std::to_string(i) + "\n";
    test::write_file(scratch.path("list.txt"), list);
    EXPECT_EQ(run_measconv({"cw", "list.txt"}, scratch.dir.string()).out, "");
    EXPECT_EQ(read_file(scratch.path("out0_wl.csv")), wl_csv_of(1));
    EXPECT_EQ(read_file(scratch.path("out204_wl.csv")), wl_csv_of(1));
}

}  // namespace
