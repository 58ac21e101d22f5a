// meas convert: without selection it writes measconv's bytes (every letter set, every malformed
// input); a selection writes what measconv writes for a file holding only the selected sensors
// and records (the tests' own model of them); exit codes, --json lines, --utc, help and hints;
// several threads and shards write what one thread writes. meas info, check, plot and gen write
// what measinfo and measgen write for the same arguments.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "convert/type_flags.h"
#include "meas/selection_options.h"
#include "test_support.h"
#if MEASCONV_HAVE_HDF5
#include "hdf5_contents.h"
#endif

namespace {

using test::file_tree;
using test::tree_difference;
using test::read_file;
using test::RunResult;
using test::Scratch;
namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

#if MEASCONV_HAVE_HDF5
constexpr bool HDF5 = true;
#else
constexpr bool HDF5 = false;
#endif
// Every output at once.
const std::string ALL_LETTERS = HDF5 ? "tpwcsh" : "tpwcs";

RunResult run_meas(const std::vector<std::string>& args, const std::string& cwd, const std::string& tz = "UTC") {
    std::vector<std::string> argv = {MEAS_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run_command(argv, cwd, tz, {{"MEAS", MEAS_BINARY}});
}

// Every file of dir but the inputs. With described, an .h5 file as the description of what it
// holds, without the attributes that say what was selected (compared apart).
Tree outputs_of(const std::string& dir, bool described = false) {
    Tree tree = file_tree(dir, {"in.dat", "model.dat", "list.txt"});
#if MEASCONV_HAVE_HDF5
    for (auto& [name, bytes] : tree) {
        if (!described) break;
        if (fs::path(name).extension() != ".h5") continue;
        h5test::Contents contents = h5test::read_hdf5((fs::path(dir) / name).string());
        std::erase_if(contents.attributes, [](const auto& a) {
            return a.first.rfind("selected_", 0) == 0 || a.first == "source_sensor_count";
        });
        bytes = h5test::describe(contents);
    }
#endif
    return tree;
}

std::string tree_names(const Tree& tree) {
    std::string names;
    for (const auto& [name, bytes] : tree) names += name + " ";
    return names;
}


// --- Without selection: measconv's bytes ---

// Every set of the letters p w t c s h, as a string.
std::vector<std::string> every_letter_set() {
    std::vector<std::string> sets;
    for (unsigned bits = 0; bits < 64; ++bits) {
        std::string letters;
        for (unsigned i = 0; i < 6; ++i)
            if (bits & (1u << i)) letters += "pwtcsh"[i];
        sets.push_back(letters);
    }
    return sets;
}

// Runs measconv LETTERS in.dat out and meas convert -t LETTERS -o out in.dat on input in two
// directories. A set that writes no file (or an HDF5 file in a build without HDF5) is a usage
// error for meas (exit 2, nothing made). Where measconv's header tests fail it leaves empty
// files and meas, which names the failure (exit 1), leaves nothing; otherwise both leave the
// same files, byte for byte.
void expect_measconv_bytes(const std::string& input, const std::string& letters) {
    SCOPED_TRACE("letters '" + letters + "'");
    const TypeFlags flags = parse_type_letters(letters);
    const bool combined = (flags & (FLAG_TEXT | FLAG_CSV)) && (flags & (FLAG_PHYSIC | FLAG_WAVELENGTH));
    const bool split = (flags & FLAG_SPLIT) && (flags & (FLAG_TEXT | FLAG_CSV));
    const bool hdf5 = flags & FLAG_HDF5;
    const bool writes_a_file = (combined || split || hdf5) && (HDF5 || !hdf5);
    Scratch old_dir, new_dir;
    test::write_file(old_dir.path("in.dat"), input);
    test::write_file(new_dir.path("in.dat"), input);
    const RunResult old_run = test::run_measconv({letters, "in.dat", "out"}, old_dir.dir.string());
    const RunResult new_run = run_meas({"convert", "-q", "-t", letters, "-o", "out", "in.dat"}, new_dir.dir.string());
    const Tree expected = outputs_of(old_dir.dir.string());
    if (!writes_a_file) {
        EXPECT_EQ(new_run.exit_code, 2) << new_run.err;
        EXPECT_EQ(tree_names(outputs_of(new_dir.dir.string())), "");
        return;
    }
    const bool header_failed = input.size() < HEADER_SIZE || !old_run.out.empty();
    if (header_failed) {
        EXPECT_EQ(new_run.exit_code, 1);
        EXPECT_NE(new_run.err.find("'in.dat'"), std::string::npos) << new_run.err;
        EXPECT_EQ(tree_names(outputs_of(new_dir.dir.string())), "");
        for (const auto& [name, bytes] : expected) EXPECT_EQ(bytes, "") << name;
    } else {
        EXPECT_EQ(new_run.exit_code, 0) << new_run.err;
        EXPECT_EQ(new_run.err, "");
        EXPECT_EQ(tree_difference(expected, outputs_of(new_dir.dir.string())), "");
    }
}

FileShape two_sensor_shape(std::uint64_t records) {
    FileShape shape = test::sample_shape();
    shape.records = {test::example_record(), {-5, 8, {{-1.25f, 1650000}, {3.0f, 1500000}}}};
    shape.pattern_records = records;
    shape.invalid_every = 7;
    return shape;
}

TEST(MeasConvert, EveryLetterSetWritesTheBytesOfMeasconv) {
    // The threaded pass of files larger than a read block is compared in ThreadsAndShards.
    const std::string input = test::bytes_of(two_sensor_shape(500));
    for (const std::string& letters : every_letter_set()) expect_measconv_bytes(input, letters);
}

// Every truncation and broken header field of the malformed-input matrix, under all letters at
// once and under one combined file alone.
TEST(MeasConvert, MalformedInputsAsMeasconvLeavesThemOrNothing) {
    const std::vector<unsigned char> valid = data_file_bytes(two_sensor_shape(3));
    std::vector<std::pair<std::string, std::string>> inputs;  // what, bytes
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, HEADER_SIZE - 1, HEADER_SIZE,
                             HEADER_SIZE + 12, HEADER_SIZE + 3 * 24 - 1})
        inputs.push_back({"cut to " + std::to_string(size), std::string(valid.begin(), valid.begin() + size)});
    struct Broken {
        std::size_t first, last;  // the bytes set
        unsigned char byte;
    };
    // clang-format off
    const Broken broken[] = {
        {0, 0, 'X'},   {0, 0, 0},     {1, 1, 'B'},   {1, 1, 'a'},   {2, 3, 'X'},    {35, 35, 2},
        {35, 35, 0},   {36, 36, 2},   {36, 36, 4},   {97, 97, 0},   {97, 97, 1},    {97, 97, 127},
        {97, 97, 128}, {97, 97, 200}, {97, 97, 255}, {5, 34, 'x'},  {105, 135, 'y'}, {23336, 23339, 0xff},
    };
    // clang-format on
    for (const Broken& b : broken) {
        std::string bytes(valid.begin(), valid.end());
        for (std::size_t i = b.first; i <= b.last; ++i) bytes[i] = static_cast<char>(b.byte);
        inputs.push_back(
            {"bytes " + std::to_string(b.first) + "-" + std::to_string(b.last) + " = " + std::to_string(b.byte),
             bytes});
    }
    for (const auto& [what, bytes] : inputs) {
        SCOPED_TRACE(what);
        for (const char* letters : {"tpwcsh", "cp"}) expect_measconv_bytes(bytes, letters);
    }
}

// --- Selection against a model of the records ---

constexpr std::int64_t HOUR = 3600;
// 2024-03-31T00:30:00Z: Berlin puts its clocks forward at 01:00Z (02:00 CET to 03:00 CEST).
constexpr std::int32_t SPRING_START = 1711845000;
// 2024-10-26T23:30:00Z: Berlin puts them back at 01:00Z (03:00 CEST to 02:00 CET).
constexpr std::int32_t AUTUMN_START = 1729985400;

// Four sensors; a record every 10 minutes for three hours, then a gap of an hour, then one
// hour more, and last two records whose time runs back.
FileShape selection_shape(std::int32_t start) {
    FileShape shape = test::sample_shape();
    shape.start_time = start;
    shape.sensors = {{1, "AB1"}, {2, "1234"}, {3, "AB3"}, {7, "AB7"}};
    std::int32_t offset = 0;
    for (int i = 0; i < 26; ++i) {
        GenRecord record{offset, 100 + i, {}};
        for (int s = 0; s < 4; ++s)
            record.readings.push_back(
                {static_cast<float>(i) + 0.25f * static_cast<float>(s), (i + s) % 5 == 0 ? 0 : 1500000 + 1000 * i + s});
        shape.records.push_back(record);
        offset += i == 17 ? 7200 : i == 23 ? -5400 : 600;
    }
    return shape;
}

// The shape holding only the sensors (indices) and the records (numbers from 1) chosen.
FileShape model_of(const FileShape& shape, const std::vector<std::size_t>& sensors,
                   bool (*keep)(std::int64_t time, std::size_t number), std::size_t every) {
    FileShape model = shape;
    model.sensors.clear();
    for (std::size_t s : sensors) model.sensors.push_back(shape.sensors[s]);
    model.records.clear();
    std::size_t in_span = 0;
    for (std::size_t i = 0; i < shape.records.size(); ++i) {
        const GenRecord& record = shape.records[i];
        if (!keep(std::int64_t{shape.start_time} + record.time_offset, i + 1) || in_span++ % every != 0) continue;
        GenRecord kept{record.time_offset, record.counter, {}};
        for (std::size_t s : sensors) kept.readings.push_back(record.readings[s]);
        model.records.push_back(kept);
    }
    return model;
}

struct SelectionCase {
    const char* what;
    std::int32_t start;
    std::vector<std::string> options;
    std::vector<std::size_t> sensors;
    bool (*keep)(std::int64_t time, std::size_t number);
    std::size_t every = 1;
};

bool everything(std::int64_t, std::size_t) { return true; }

// clang-format off
const SelectionCase SELECTION_CASES[] = {
    {"a sensor by number", SPRING_START, {"--sensors", "2"}, {1}, everything},
    {"a range and a serial, in table order", SPRING_START, {"--sensors", "AB7,1-2"}, {0, 1, 3}, everything},
    {"a serial of digits", SPRING_START, {"--sensors", "=1234,AB3"}, {1, 2}, everything},
    {"local times across the change to summer time", SPRING_START,
     {"--from", "2024-03-31T01:50", "--to", "2024-03-31 03:20:00"}, {0, 1, 2, 3},
     [](std::int64_t t, std::size_t) { return t >= SPRING_START + 20 * 60 && t <= SPRING_START + 50 * 60; }},
    {"a local time the clocks skip", SPRING_START, {"--from", "2024-03-31T02:30:00"}, {0, 1, 2, 3},
     [](std::int64_t t, std::size_t) { return t >= SPRING_START + 30 * 60; }},
    {"up to a local time the clocks skip", SPRING_START, {"--to", "2024-03-31T02:30:00"}, {0, 1, 2, 3},
     [](std::int64_t t, std::size_t) { return t < SPRING_START + 30 * 60; }},
    {"a local time the clocks show twice", AUTUMN_START,
     {"--from", "2024-10-27T02:30:00", "--to", "2024-10-27T02:30:00"}, {0, 1, 2, 3},
     [](std::int64_t t, std::size_t) { return t >= AUTUMN_START + 60 * 60 && t <= AUTUMN_START + 2 * HOUR; }},
    {"UTC and an offset", AUTUMN_START, {"--from", "2024-10-27T00:10:00Z", "--to", "2024-10-27T02:00:00+01:00"},
     {0, 1, 2, 3},
     [](std::int64_t t, std::size_t) { return t >= AUTUMN_START + 40 * 60 && t <= AUTUMN_START + 90 * 60; }},
    {"a span across the gap", SPRING_START, {"--from", "2024-03-31T03:00:00Z", "--to", "2024-03-31T05:40:00Z"},
     {0, 1, 2, 3},
     [](std::int64_t t, std::size_t) { return t >= SPRING_START + 150 * 60 && t <= SPRING_START + 310 * 60; }},
    {"record numbers", SPRING_START, {"--from", "3", "--to", "7"}, {0, 1, 2, 3},
     [](std::int64_t, std::size_t n) { return n >= 3 && n <= 7; }},
    {"every third record", SPRING_START, {"--every", "3"}, {0, 1, 2, 3}, everything, 3},
    {"all at once", AUTUMN_START, {"--sensors", "4,AB1", "--from", "5", "--to", "2024-10-27T04:00:00", "--every", "2"},
     {0, 3}, [](std::int64_t t, std::size_t n) { return n >= 5 && t <= AUTUMN_START + 3 * HOUR + 30 * 60; }, 2},
};
// clang-format on

TEST(MeasConvert, SelectionWritesTheFileOfTheSelectedSensorsAndRecords) {
    for (const SelectionCase& c : SELECTION_CASES) {
        SCOPED_TRACE(c.what);
        const FileShape shape = selection_shape(c.start);
        const FileShape model = model_of(shape, c.sensors, c.keep, c.every);
        ASSERT_FALSE(model.records.empty());
        Scratch old_dir, new_dir;
        test::write_file(old_dir.path("model.dat"), data_file_bytes(model));
        test::write_file(new_dir.path("in.dat"), data_file_bytes(shape));
        test::run_measconv({ALL_LETTERS, "model.dat", "out"}, old_dir.dir.string(), "Europe/Berlin");
        std::vector<std::string> args = {"convert", "-t", ALL_LETTERS, "-o", "out", "--json", "in.dat"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult new_run = run_meas(args, new_dir.dir.string(), "Europe/Berlin");
        EXPECT_EQ(new_run.exit_code, 0) << new_run.err;
        const Tree expected = outputs_of(old_dir.dir.string(), true);
        EXPECT_EQ(outputs_of(new_dir.dir.string(), true), expected);
        const nlohmann::json line = nlohmann::json::parse(new_run.out);
        EXPECT_EQ(line["records"], model.records.size());
        EXPECT_EQ(line["sensors"], c.sensors.size());
        EXPECT_EQ(line["outputs"].size(), expected.size() - 1) << tree_names(expected);  // less the directory
#if MEASCONV_HAVE_HDF5
        // The .h5 says what was selected.
        const h5test::Contents contents = h5test::read_hdf5(new_dir.path("out.h5"));
        std::string numbers;
        for (std::size_t s : c.sensors) numbers += h5test::le_bytes(s + 1, 4);
        EXPECT_EQ(contents.attributes.at("selected_sensors").bytes, numbers);
        EXPECT_EQ(contents.attributes.at("source_sensor_count").bytes, h5test::le_bytes(4, 4));
        EXPECT_EQ(contents.attributes.count("selected_every"), c.every > 1 ? 1u : 0u);
#endif
    }
}

TEST(MeasConvert, WholeSelectionsAndTheirAttributes) {
    Scratch scratch;
    test::write_file(scratch.path("in.dat"), data_file_bytes(selection_shape(SPRING_START)));
    ASSERT_EQ(test::run_measconv({ALL_LETTERS, "in.dat", "plain"}, scratch.dir.string()).exit_code, 0);
    // Every sensor named is no selection: the same bytes as no option.
    ASSERT_EQ(
        run_meas({"convert", "-q", "-t", ALL_LETTERS, "-o", "all", "--sensors", "1-4", "in.dat"}, scratch.dir.string())
            .exit_code,
        0);
    for (const char* suffix : {"_pv.txt", "_wl.csv", ".h5", "/AB7.csv"})
        EXPECT_EQ(read_file(scratch.path(std::string("all") + suffix)),
                  read_file(scratch.path(std::string("plain") + suffix)))
            << suffix;
#if MEASCONV_HAVE_HDF5
    ASSERT_EQ(run_meas({"convert", "-q", "-o", "span", "--from", "2024-03-31T01:00:00Z", "--to", "9", "in.dat"},
                       scratch.dir.string())
                  .exit_code,
              0);
    const h5test::Contents contents = h5test::read_hdf5(scratch.path("span.h5"));
    EXPECT_EQ(contents.attributes.at("selected_from").bytes, "2024-03-31T01:00:00Z");
    EXPECT_EQ(contents.attributes.at("selected_to").bytes, "record 9");
    EXPECT_EQ(contents.attributes.count("selected_every"), 0u);
#endif
}

// --- Exit codes and messages ---

struct ExitCase {
    const char* what;
    const char* setup;  // bash, run first in the scratch directory (good.dat is there)
    std::vector<std::string> args;
    int exit_code;
    const char* message;  // a part of standard error
    const char* left;     // the names the run leaves besides the inputs, sorted, space-separated
};

// The names below dir (a directory as "name/"), sorted, space-separated, without those in left_out.
std::string names_below(const std::string& dir, const std::set<std::string>& left_out) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().lexically_relative(dir).string() + (entry.is_directory() ? "/" : "");
        if (left_out.count(name) == 0) names.insert(name);
    }
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

// clang-format off
const ExitCase EXIT_CASES[] = {
    {"all good", "cp good.dat b.dat", {"convert", "-t", "cp", "good.dat", "b.dat"}, 0,
     "meas: converted 'good.dat' (2 sensors, 4 records) into 'good_pv.csv'", "b_pv.csv good_pv.csv"},
    {"one missing input among good ones", "cp good.dat b.dat",
     {"convert", "-t", "cp", "good.dat", "gone.dat", "b.dat"}, 1,
     "meas: 'gone.dat' does not exist\n", "b_pv.csv good_pv.csv"},
    {"a header failure", "printf 'XY' | dd of=good.dat conv=notrunc status=none",
     {"convert", "-t", "cp", "good.dat"}, 1,
     "meas: 'good.dat' is not a data file: it starts with 'XYRT', where a data file starts with 'SA'\n", ""},
    {"a file shorter than a header", "head -c 100 good.dat > short.dat", {"convert", "-t", "tpwsc", "short.dat"}, 1,
     "meas: 'short.dat' is shorter than a data file's header (23344 bytes); nothing was converted\n", ""},
    {"a full disk", "ln -s /dev/full out_pv.csv", {"convert", "-t", "cpw", "-o", "out", "good.dat"}, 1,
     "meas: could not write 'out_pv.csv' (is the disk full?); it is incomplete\n", "out_pv.csv out_wl.csv"},
    {"a sensor the file lacks", "", {"convert", "--sensors", "AB9", "good.dat"}, 1,
     "meas: 'good.dat' has no sensor 'AB9' to select (--sensors)", ""},
    {"no record in the span", "", {"convert", "-t", "cp", "--from", "2030-01-01", "good.dat"}, 1,
     "meas: no record of 'good.dat' lies in the selection", "good_pv.csv"},
    {"outputs that write nothing", "", {"convert", "-t", "pw", "good.dat"}, 2, "the outputs chosen write no file", ""},
    {"letters measconv would half ignore", "", {"convert", "-t", "csv", "good.dat"}, 2,
     "'v' is not an output letter (p w t c s h); for the CSV files give -t cpw or --outputs csv", ""},
    {"an unknown option", "", {"convert", "--sensor", "1", "good.dat"}, 2,
     "meas convert: unknown option '--sensor'; did you mean '--sensors'?\n(see 'meas convert --help')\n", ""},
    {"an unknown command", "", {"conevrt", "good.dat"}, 2,
     "meas: unknown command 'conevrt'; did you mean 'convert'?", ""},
    {"no command", "", {}, 2, "Usage: meas [OPTIONS] [SUBCOMMAND]", ""},
    {"a bad --sensors", "", {"convert", "--sensors", "3-1", "good.dat"}, 2,
     "--sensors: the range '3-1' runs backwards; write 1-3", ""},
    {"sensor 0", "", {"convert", "--sensors", "0", "good.dat"}, 2, "--sensors: sensors are numbered from 1", ""},
    {"a bad --from", "", {"convert", "--from", "2024-02-30T10:00", "good.dat"}, 2,
     "--from: '2024-02-30T10:00' has no day 30 in its month", ""},
    {"a --from after --to", "", {"convert", "--from", "9", "--to", "3", "good.dat"}, 2,
     "--from '9' lies after --to '3'",
     ""},
    {"record 0", "", {"convert", "--to", "0", "good.dat"}, 2,
     "'0' is no record number: records are numbered from 1", ""},
    {"a bad --every", "", {"convert", "--every", "0", "good.dat"}, 2,
     "--every: '0' is not a positive whole number", ""},
    {"bad jobs", "", {"convert", "-j", "x", "good.dat"}, 2, "-j: 'x' is not a positive whole number of jobs", ""},
    {"-o with two inputs", "cp good.dat b.dat", {"convert", "-o", "x", "good.dat", "b.dat"}, 2, "use -d DIR", ""},
    {"a missing output directory", "", {"convert", "-o", "nowhere/x", "good.dat"}, 2,
     "output directory 'nowhere' does not exist; create it or use -d", ""},
    {"two inputs of one name", "mkdir d && cp good.dat d/good.dat", {"convert", "-d", "out", "good.dat", "d/good.dat"},
     2, "two inputs would write the outputs named 'out/good'", ""},
    {"-d makes its directory", "cp good.dat b.dat", {"convert", "-t", "cp", "-d", "o/p", "good.dat", "b.dat"}, 0, "",
     "o/ o/p/ o/p/b_pv.csv o/p/good_pv.csv"},
    {"standard input", "exec < good.dat", {"convert", "-t", "cw", "-o", "piped", "-"}, 0, "", "piped_wl.csv"},
    {"a list", "printf 'good.dat,one,cp\\ngood.dat,two\\n' > list.txt", {"convert", "--list", "list.txt"}, 0, "",
     "one_pv.csv two_pv.csv"},
    {"a data file as the list", "", {"convert", "--list", "good.dat"}, 2,
     "'good.dat' is a data file, not a list file; convert it with 'meas convert good.dat'", ""},
    {"a list entry that writes nothing", "printf 'good.dat,one,x\\n' > list.txt", {"convert", "--list", "list.txt"}, 2,
     "entry 1 of 'list.txt' ('good.dat') writes no file with the letters 'x'", ""},
    {"a file name like an option", "", {"convert", "-x"}, 2,
     "meas convert: unknown option '-x' (a file name starting with '-' needs -- before it)\n", ""},
    {"a command far from any", "", {"frobnicate"}, 2,
     "meas: unknown command 'frobnicate' (commands: convert, info, check, plot, gen)\n(see 'meas --help')\n", ""},
    {"a command near one", "", {"inof", "good.dat"}, 2, "meas: unknown command 'inof'; did you mean 'info'?", ""},
    {"two letters swapped", "", {"gne", "x.dat"}, 2, "meas: unknown command 'gne'; did you mean 'gen'?", ""},
    // info, check, plot and gen: measinfo's and measgen's values, messages and checks, worded by meas.
    {"info: an unknown option", "", {"info", "--jsn", "good.dat"}, 2,
     "meas info: unknown option '--jsn'; did you mean '--json'?\n(see 'meas info --help')\n", ""},
    {"info: measinfo's --check", "", {"info", "--check", "good.dat"}, 2,
     "meas info: unknown option '--check'; did you mean 'meas check'?\n", ""},
    {"info: an option of plot", "", {"info", "--plot-sensors", "1", "good.dat"}, 2,
     "meas info: unknown option '--plot-sensors'; did you mean 'meas plot --plot-sensors'?\n", ""},
    {"check: a file name like an option", "", {"check", "-x"}, 2,
     "meas check: unknown option '-x' (a file name starting with '-' needs -- before it)\n", ""},
    {"check: no file", "", {"check"}, 2, "meas check: no data file named\n(see 'meas check --help')\n", ""},
    {"plot: measinfo's --plot", "", {"plot", "--plot", "p.svg", "good.dat"}, 2,
     "meas plot: unknown option '--plot'; did you mean '-o'?\n", ""},
    {"plot: two files", "cp good.dat b.dat", {"plot", "good.dat", "b.dat"}, 2,
     "meas plot: a plot draws one data file; 2 are named\n(see 'meas plot --help')\n", ""},
    {"plot: a window that runs back", "", {"plot", "--plot-from", "2024-01-02 00:00", "--plot-to", "2024-01-01 00:00",
     "good.dat"}, 2, "meas plot: --plot-from is later than --plot-to\n", ""},
    {"plot: a time that is none", "", {"plot", "--plot-to", "yesterday", "good.dat"}, 2,
     "meas plot: bad value for --plot-to: 'yesterday' (expected a local date-time YYYY-MM-DD HH:MM:SS)\n", ""},
    {"plot: no name", "", {"plot", "-o", "", "good.dat"}, 2,
     "meas plot: bad value for -o: '' (expected the name of the SVG file)\n", ""},
    {"plot: a missing value", "", {"plot", "good.dat", "--output"}, 2, "meas plot: missing value for --output\n", ""},
    {"gen: no file", "", {"gen"}, 2, "meas gen: no output file named\n(see 'meas gen --help')\n", ""},
    {"gen: an unknown option", "", {"gen", "--recrods", "5", "x.dat"}, 2,
     "meas gen: unknown option '--recrods'; did you mean '--records'?\n", ""},
    {"gen: a number that is not decimal", "", {"gen", "--records", "0x10", "x.dat"}, 2,
     "meas gen: bad value for --records: '0x10' (expected N, a decimal number from 0 to 9223372036854775807)\n", ""},
    {"gen: two files", "", {"gen", "x.dat", "y.dat"}, 2, "meas gen: more than one output file named: x.dat, y.dat\n",
     ""},
    {"gen: a sensor the file lacks", "", {"gen", "--invalid-stretch", "1:2:9", "x.dat"}, 2,
     "meas gen: --invalid-stretch names sensor 9; the file has 4\n", ""},
    {"gen: its file", "", {"gen", "--records", "3", "x.dat"}, 0, "", "x.dat"},
};
// clang-format on

TEST(MeasConvert, ExitCodesAndMessages) {
    const std::string good = test::bytes_of(two_sensor_shape(2));
    for (const ExitCase& c : EXIT_CASES) {
        SCOPED_TRACE(c.what);
        Scratch scratch;
        test::write_file(scratch.path("good.dat"), good);
        const std::string setup = std::string(c.setup);
        const bool piped = setup.rfind("exec", 0) == 0;  // standard input from a file
        if (!piped) {
            ASSERT_EQ(test::run_shell(setup, scratch.dir.string()).exit_code, 0);
        }
        std::string command = (piped ? setup + "\n" : std::string()) + "exec \"$MEAS\"";
        for (const std::string& arg : c.args) command += " '" + arg + "'";
        const RunResult run =
            test::run_command({"/bin/bash", "-c", command}, scratch.dir.string(), "UTC", {{"MEAS", MEAS_BINARY}});
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(names_below(scratch.dir.string(), {"good.dat", "b.dat", "short.dat", "list.txt", "d/", "d/good.dat"}),
                  c.left);
    }
}

// The entries of a help page ("  -o, --output FILE.svg   text", the text perhaps on lines of
// its own below) by what they name, the text joined into one line.
std::map<std::string, std::string> help_entries(const std::string& help) {
    std::map<std::string, std::string> entries;
    std::istringstream lines(help);
    std::string names;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("  -")) {
            const std::size_t gap = line.find("  ", 2);
            names = line.substr(2, gap == std::string::npos ? std::string::npos : gap - 2);
            entries[names] = gap == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', gap));
        } else if (!names.empty() && line.starts_with(std::string(26, ' '))) {
            std::string& text = entries[names];
            if (!text.empty()) text += ' ';
            text += line.substr(26);
        } else {
            names.clear();
        }
    }
    return entries;
}

// The options an old program's help lists ("  --json   ..."), but those that are left out.
std::vector<std::string> options_of(const std::string& help, const std::set<std::string>& left_out) {
    std::vector<std::string> options;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("  --") || line.starts_with("  -- ")) continue;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        if (left_out.count(name) == 0) options.push_back(name);
    }
    return options;
}

TEST(Meas, HelpOfEveryCommandNamesEveryOptionWithItsDefault) {
    Scratch scratch;
    const std::string measinfo_help = test::run_command({MEASINFO_BINARY, "--help"}, scratch.dir.string()).out;
    const std::string measgen_help = test::run_command({MEASGEN_BINARY, "--help"}, scratch.dir.string()).out;
    std::vector<std::string> plot_options = options_of(measinfo_help, {"--check", "--plot", "--help", "--version"});
    plot_options.push_back("-o");
    ASSERT_EQ(plot_options.size(), 6u);  // --json and the four of the plot, and -o
    const std::vector<std::string> gen_options = options_of(measgen_help, {"--help", "--version"});
    ASSERT_GT(gen_options.size(), 20u);
    struct Command {
        const char* name;
        std::vector<std::string> options;
    };
    const Command commands[] = {
        {"convert", {"--list", "-t", "--outputs", "-o", "-d", "--sensors", "--from", "--to", "--every", "--utc", "-j",
                     "--shard", "--progress", "--no-progress", "-q", "--json"}},
        {"info", {"--json", "--"}},
        {"check", {"--json", "--"}},
        {"plot", plot_options},
        {"gen", gen_options},
    };
    const std::string meas_help = run_meas({"--help"}, scratch.dir.string()).out;
    for (const Command& command : commands) {
        SCOPED_TRACE(command.name);
        EXPECT_NE(meas_help.find(std::string("\n  ") + command.name + " "), std::string::npos) << meas_help;
        const RunResult help = run_meas({command.name, "--help"}, scratch.dir.string());
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(run_meas({command.name, "-h"}, scratch.dir.string()).out, help.out);
        EXPECT_NE(help.out.find(std::string("\nUsage: meas ") + command.name + " [OPTIONS] "), std::string::npos);
        std::istringstream lines(help.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
        const std::map<std::string, std::string> entries = help_entries(help.out);
        EXPECT_EQ(entries.count("-h, --help"), 1u);
        for (const std::string& option : command.options) {
            const auto entry = std::find_if(entries.begin(), entries.end(), [&](const auto& e) {
                std::istringstream names(e.first);
                for (std::string name; names >> name;)
                    if (name == option || name == option + ",") return true;
                return false;
            });
            ASSERT_NE(entry, entries.end()) << option << " in\n" << help.out;
            EXPECT_FALSE(entry->second.empty()) << option;
            // An option that takes a value says what it is without the option.
            const std::string last_word = entry->first.substr(entry->first.rfind(' ') + 1);
            if (!last_word.starts_with("-")) {
                EXPECT_NE(entry->second.find("(default: "), std::string::npos) << entry->first;
            }
        }
    }
    for (const char* command : {"info", "check", "plot", "gen"})
        EXPECT_EQ(run_meas({command, "--version"}, scratch.dir.string()).out, "meas 1.0\n");
    EXPECT_EQ(run_meas({"--version"}, scratch.dir.string()).out, "meas 1.0\n");
}

// --- info, check, plot, gen: what measinfo and measgen do ---

struct OldProgramCase {
    const char* what;
    std::vector<std::string> args;  // meas's
    const char* program;            // the old one
    std::vector<std::string> old_args;
    int exit_code;
    const char* made;  // a file both make, or ""
};

// clang-format off
const OldProgramCase OLD_PROGRAM_CASES[] = {
    {"info: reports", {"info", "clean.dat", "irregular.dat", "old.dat"}, MEASINFO_BINARY,
     {"clean.dat", "irregular.dat", "old.dat"}, 0, ""},
    {"info: JSON lines, files that cannot be read", {"info", "--json", "clean.dat", "short.dat", "missing.dat"},
     MEASINFO_BINARY, {"--json", "clean.dat", "short.dat", "missing.dat"}, 2, ""},
    {"check: clean files", {"check", "clean.dat", "clean.dat"}, MEASINFO_BINARY, {"--check", "clean.dat", "clean.dat"},
     0, ""},
    {"check: files that are not", {"check", "clean.dat", "irregular.dat", "old.dat", "short.dat"}, MEASINFO_BINARY,
     {"--check", "clean.dat", "irregular.dat", "old.dat", "short.dat"}, 1, ""},
    {"check: JSON lines", {"check", "--json", "irregular.dat", "missing.dat"}, MEASINFO_BINARY,
     {"--json", "--check", "irregular.dat", "missing.dat"}, 2, ""},
    {"check: a name after --", {"check", "--", "--json"}, MEASINFO_BINARY, {"--check", "--", "--json"}, 0, ""},
    {"plot: beside the data file", {"plot", "irregular.dat"}, MEASINFO_BINARY,
     {"--plot", "irregular.svg", "irregular.dat"}, 0, "irregular.svg"},
    {"plot: a window of two sensors' wavelengths",
     {"plot", "-o", "w.svg", "--plot-from", "2024-03-31 01:00:10", "--plot-to", "2024-03-31T03:30:00",
      "--plot-sensors", "1,3", "--plot-wavelength", "irregular.dat"}, MEASINFO_BINARY,
     {"--plot", "w.svg", "--plot-from", "2024-03-31 01:00:10", "--plot-to", "2024-03-31T03:30:00",
      "--plot-sensors", "1,3", "--plot-wavelength", "irregular.dat"}, 0, "w.svg"},
    {"plot: with the JSON line", {"plot", "--json", "--output", "j.svg", "clean.dat"}, MEASINFO_BINARY,
     {"--json", "--plot", "j.svg", "clean.dat"}, 0, "j.svg"},
    {"plot: a sensor the file lacks", {"plot", "--plot-sensors", "2,7", "clean.dat"}, MEASINFO_BINARY,
     {"--plot", "clean.svg", "--plot-sensors", "2,7", "clean.dat"}, 2, ""},
    {"plot: into a missing directory", {"plot", "-o", "nowhere/p.svg", "clean.dat"}, MEASINFO_BINARY,
     {"--plot", "nowhere/p.svg", "clean.dat"}, 2, ""},
    {"plot: over the data file", {"plot", "-o", "clean.dat", "clean.dat"}, MEASINFO_BINARY,
     {"--plot", "clean.dat", "clean.dat"}, 2, ""},
    {"plot: a file that cannot be read", {"plot", "missing.dat"}, MEASINFO_BINARY,
     {"--plot", "missing.svg", "missing.dat"}, 2, ""},
    {"gen: jumps and stretches", {"gen", "--sensors", "3", "--records", "40", "--rate", "4", "--time-jump", "10:-3",
     "--counter-jump", "20:7", "--invalid-stretch", "5:3:2", "new.dat"}, MEASGEN_BINARY,
     {"--sensors", "3", "--records", "40", "--rate", "4", "--time-jump", "10:-3", "--counter-jump", "20:7",
      "--invalid-stretch", "5:3:2", "new.dat"}, 0, "new.dat"},
    {"gen: a broken file", {"gen", "--serials", "A,B", "--record", "0,1,1.5:1500000,nan(7):0", "--magic", "SARX",
     "--trailing-bytes", "5", "broken.dat"}, MEASGEN_BINARY,
     {"--serials", "A,B", "--record", "0,1,1.5:1500000,nan(7):0", "--magic", "SARX", "--trailing-bytes", "5",
      "broken.dat"}, 0, "broken.dat"},
    {"gen: no record", {"gen", "empty.dat"}, MEASGEN_BINARY, {"empty.dat"}, 0, "empty.dat"},
    {"gen: a name after --", {"gen", "--records", "2", "--", "-odd.dat"}, MEASGEN_BINARY,
     {"--records", "2", "--", "-odd.dat"}, 0, "-odd.dat"},
    {"gen: a file that cannot be written", {"gen", "--records", "1", "nowhere/x.dat"}, MEASGEN_BINARY,
     {"--records", "1", "nowhere/x.dat"}, 1, ""},
};
// clang-format on

// The standard error of an old program as meas words it: each line that starts with the
// program's name starts with "meas" instead.
std::string in_meas_words(const std::string& err, const std::string& program) {
    std::string words;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        words += (line.starts_with(program + ": ") ? "meas" + line.substr(program.size()) : line) + "\n";
    return words;
}

TEST(MeasTools, EveryCommandDoesWhatMeasinfoOrMeasgenDoes) {
    // Three sensors at two records a second, from 2024-03-31 00:00 UTC, the night Berlin's
    // clocks go forward: clean; with a gap, time running back, a counter jump, invalid and
    // non-finite readings; of an older version; shorter than a header.
    FileShape clean;
    clean.sensors = numbered_sensors(3);
    clean.start_time = 1711843200;
    clean.pattern_records = 200;
    clean.records_per_second = 2;
    FileShape irregular = clean;
    irregular.time_jumps = {{50, 3600}, {120, -30}};
    irregular.counter_jumps = {{80, 5}};
    irregular.invalid_every = 7;
    irregular.non_finite_every = 11;
    FileShape old = clean;
    old.version_minor = 2;
    FileShape short_file = clean;
    short_file.truncate_to = 100;
    Scratch inputs;
    for (const auto& [name, shape] : {std::pair{"clean.dat", clean}, std::pair{"--json", clean},
                                      std::pair{"irregular.dat", irregular}, std::pair{"old.dat", old},
                                      std::pair{"short.dat", short_file}})
        ASSERT_TRUE(write_data_file(shape, inputs.path(name)));
    for (const OldProgramCase& c : OLD_PROGRAM_CASES) {
        SCOPED_TRACE(c.what);
        Scratch old_dir, new_dir;
        fs::copy(inputs.dir, old_dir.dir, fs::copy_options::recursive);
        fs::copy(inputs.dir, new_dir.dir, fs::copy_options::recursive);
        std::vector<std::string> old_argv = {c.program};
        old_argv.insert(old_argv.end(), c.old_args.begin(), c.old_args.end());
        const RunResult old_run = test::run_command(old_argv, old_dir.dir.string(), "Europe/Berlin");
        const RunResult new_run = run_meas(c.args, new_dir.dir.string(), "Europe/Berlin");
        EXPECT_EQ(old_run.exit_code, c.exit_code) << old_run.err;
        EXPECT_EQ(new_run.exit_code, c.exit_code) << new_run.err;
        EXPECT_EQ(new_run.out, old_run.out);
        EXPECT_EQ(new_run.err, in_meas_words(old_run.err, fs::path(c.program).filename().string()));
        EXPECT_EQ(tree_difference(file_tree(old_dir.dir.string()), file_tree(new_dir.dir.string())), "");
        if (*c.made != '\0') {
            EXPECT_TRUE(fs::exists(new_dir.path(c.made)));
        }
    }
}

// --- --json and --utc ---

TEST(MeasConvert, JsonLinesTellOfEveryInput) {
    Scratch scratch;
    test::write_file(scratch.path("good.dat"), test::bytes_of(two_sensor_shape(5)));
    test::write_file(scratch.path("short.dat"), std::string(100, 'S'));
    const RunResult run = run_meas(
        {"convert", "--json", "-t", "cps", "--sensors", "AB2", "--every", "2", "good.dat", "gone.dat", "short.dat"},
        scratch.dir.string());
    EXPECT_EQ(run.exit_code, 1);
    // The messages go to standard error, nothing else; one JSON object per input on standard output.
    EXPECT_EQ(run.err,
              "meas: 'gone.dat' does not exist\n"
              "meas: 'short.dat' is shorter than a data file's header (23344 bytes); nothing was converted\n");
    std::istringstream out(run.out);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(out, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 3u);
    const nlohmann::json& good = lines[0];
    EXPECT_EQ(good["input"], "good.dat");
    EXPECT_EQ(good["complete"], true);
    EXPECT_EQ(good["sensors"], 1);
    EXPECT_EQ(good["records"], 4);  // 7 records, every second one
    EXPECT_EQ(good["problems"], nlohmann::json::array());
    std::vector<std::string> paths;
    for (const nlohmann::json& output : good["outputs"]) {
        paths.push_back(output["path"]);
        EXPECT_EQ(output["bytes"], fs::file_size(scratch.path(output["path"])));
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"good_pv.csv", "good/AB2.csv"}));
    EXPECT_EQ(lines[1]["input"], "gone.dat");
    EXPECT_EQ(lines[1]["complete"], false);
    EXPECT_EQ(lines[1]["outputs"], nlohmann::json::array());
    EXPECT_EQ(lines[1]["problems"][0]["kind"], "input_unreadable");
    EXPECT_EQ(lines[1]["problems"][0]["message"], "'gone.dat' does not exist");
    EXPECT_EQ(lines[2]["problems"][0]["kind"], "short_file");
    EXPECT_FALSE(fs::exists(scratch.path("short_pv.csv")));
    EXPECT_FALSE(fs::exists(scratch.path("short")));
}

TEST(MeasConvert, UtcWritesWhatMeasconvWritesInUtc) {
    for (const char* zone : {"Europe/Berlin", "Australia/Lord_Howe", "UTC"}) {
        SCOPED_TRACE(zone);
        Scratch old_dir, new_dir;
        const std::vector<unsigned char> bytes = data_file_bytes(selection_shape(AUTUMN_START));
        test::write_file(old_dir.path("in.dat"), bytes);
        test::write_file(new_dir.path("in.dat"), bytes);
        test::run_measconv({"tpwcs", "in.dat", "out"}, old_dir.dir.string(), "UTC");
        const RunResult run =
            run_meas({"convert", "--utc", "-q", "-t", "tpwcs", "-o", "out", "in.dat"}, new_dir.dir.string(), zone);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(tree_difference(outputs_of(old_dir.dir.string()), outputs_of(new_dir.dir.string())), "");
        // --from and --to are read in UTC too: 00:40 is the fifth record's time in UTC.
        const RunResult span = run_meas({"convert", "--utc", "--json", "-t", "cp", "-o", "span", "--from",
                                         "2024-10-27T00:10:00", "--to", "2024-10-27T00:40", "in.dat"},
                                        new_dir.dir.string(), zone);
        EXPECT_EQ(nlohmann::json::parse(span.out)["records"], 4);
    }
}

// --- Threads and shards ---

TEST(MeasConvert, ThreadsAndShardsWriteWhatOneThreadWrites) {
    Scratch inputs;
    test::write_file(inputs.path("big.dat"), test::bytes_of(two_sensor_shape(90000)));
    std::string list;
    for (int i = 0; i < 7; ++i) {
        FileShape shape = selection_shape(SPRING_START + i * 86400);
        shape.pattern_records = 2000;
        std::string name(1, 'f');  // "f" + std::to_string(i) draws a false -Wrestrict from g++ 12
        name += std::to_string(i) + ".dat";
        test::write_file(inputs.path(name), data_file_bytes(shape));
        list += name + ",out" + std::to_string(i % 5);
        if (i == 3) list += "," + ALL_LETTERS;
        list += "\n";
    }
    test::write_file(inputs.path("list.txt"), list);
    const std::string selection = "--sensors 1,3 --from 2 --every 3";
    const std::string big = "--sensors 2 --from 2 --every 3 -o big big.dat";
    struct Run {
        const char* what;
        std::string script;
    };
    const Run runs[] = {
        {"one thread", "\"$MEAS\" convert -j 1 --json -t cpws " + selection +
                           " --list list.txt > out.json && "
                           "\"$MEAS\" convert -j 1 -q -t tpwc " +
                           big},
        {"three threads", "\"$MEAS\" convert -j 3 --json -t cpws " + selection +
                              " --list list.txt > out.json && "
                              "\"$MEAS\" convert -j 3 -q -t tpwc " +
                              big},
        {"three shards at once through GNU parallel",
         "parallel \"\\\"$MEAS\\\" convert -j 1 --json -t cpws " + selection +
             " --list list.txt --shard {}/3\" ::: 0 1 2 | sort > out.json && "
             "\"$MEAS\" convert -j 2 -q -t tpwc " +
             big},
    };
    Tree first;
    std::string first_json;
    for (const Run& run : runs) {
        SCOPED_TRACE(run.what);
        Scratch scratch;
        fs::copy(inputs.dir, scratch.dir, fs::copy_options::recursive);
        const RunResult result = test::run_command({"/bin/bash", "-c", run.script}, scratch.dir.string(),
                                                   "Europe/Berlin", {{"MEAS", MEAS_BINARY}});
        ASSERT_EQ(result.exit_code, 0) << result.err;
        Tree tree = file_tree(scratch.dir.string());
        std::string json = tree["out.json"];
        tree.erase("out.json");
        if (first.empty()) {
            first = tree;
            first_json = json;
            continue;
        }
        EXPECT_EQ(tree_difference(first, tree), "");
        // The shards' lines come in any order: compared sorted.
        const auto sorted = [](const std::string& text) {
            std::vector<std::string> lines;
            std::istringstream in(text);
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            std::sort(lines.begin(), lines.end());
            return lines;
        };
        EXPECT_EQ(sorted(json), sorted(first_json));
        EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 7);
    }
}

// --- The options' values ---

TEST(MeasOptions, RecordBounds) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    struct Case {
        const char* text;
        BoundEnd end;
        RecordBound::Kind kind;
        std::int64_t value;
    };
    // clang-format off
    const Case cases[] = {
        {"1", BoundEnd::from, RecordBound::Kind::record, 1},
        {"123456789012", BoundEnd::to, RecordBound::Kind::record, 123456789012},
        {"2024-01-15", BoundEnd::from, RecordBound::Kind::time, 1705273200},  // midnight, CET
        {"2024-01-15T10:20", BoundEnd::from, RecordBound::Kind::time, 1705310400},
        {"2024-01-15t10:20:05Z", BoundEnd::to, RecordBound::Kind::time, 1705314005},
        {"2024-01-15 10:20:05z", BoundEnd::to, RecordBound::Kind::time, 1705314005},
        {"2024-01-15T10:20:05+0530", BoundEnd::to, RecordBound::Kind::time, 1705314005 - 19800},
        {"2024-01-15T10:20:05-05", BoundEnd::to, RecordBound::Kind::time, 1705314005 + 18000},
        {"2024-02-29T00:00:00Z", BoundEnd::to, RecordBound::Kind::time, 1709164800},
        {"1969-12-31T23:59:59Z", BoundEnd::to, RecordBound::Kind::time, -1},
        // Summer time begins: 02:00 to 02:59 do not exist.
        {"2024-03-31T02:00:00", BoundEnd::from, RecordBound::Kind::time, 1711846800},
        {"2024-03-31T02:59:59", BoundEnd::to, RecordBound::Kind::time, 1711846799},
        {"2024-03-31T03:00:00", BoundEnd::to, RecordBound::Kind::time, 1711846800},
        // It ends: 02:00 to 02:59 come twice.
        {"2024-10-27T02:00:00", BoundEnd::from, RecordBound::Kind::time, 1729987200},
        {"2024-10-27T02:00:00", BoundEnd::to, RecordBound::Kind::time, 1729990800},
        {"2024-10-27T01:59:59", BoundEnd::to, RecordBound::Kind::time, 1729987199},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const std::optional<RecordBound> bound = parse_record_bound(c.text, c.end, error);
        ASSERT_TRUE(bound) << error;
        EXPECT_EQ(bound->kind, c.kind);
        EXPECT_EQ(bound->value, c.value);
    }
    for (const char* bad : {"", "0", "-3", "2024-1-15", "2024-13-01", "2023-02-29", "2024-01-15T24:00",
                            "2024-01-15T10:60", "2024-01-15T10", "2024-01-15T10:20:05+", "2024-01-15T10:20:05+2400",
                            "2024-01-15T10:20:05 Z", "2024-01-15T10:20:05.5", "2024-01-15Z", "yesterday"}) {
        std::string error;
        EXPECT_FALSE(parse_record_bound(bad, BoundEnd::from, error)) << bad;
        EXPECT_NE(error.find(std::string("'") + bad + "'"), std::string::npos) << error;
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST(MeasOptions, SensorLists) {
    struct Case {
        const char* text;
        std::vector<std::string> picks;  // as sensor_pick_text gives them back
    };
    const Case cases[] = {
        {"3", {"3"}},
        {"2-5,AB1", {"2-5", "AB1"}},
        {"=12,12", {"12", "12"}},
        {"x-1,1-1", {"x-1", "1"}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto picks = parse_sensor_list(c.text, error);
        ASSERT_TRUE(picks) << c.text << ": " << error;
        std::vector<std::string> texts;
        for (const SensorPick& pick : *picks) texts.push_back(sensor_pick_text(pick));
        EXPECT_EQ(texts, c.picks) << c.text;
    }
    for (const char* bad : {"", "1,", ",1", "1,,2", "=", "0", "0-3", "5-2"}) {
        std::string error;
        EXPECT_FALSE(parse_sensor_list(bad, error)) << bad;
    }
}

}  // namespace
