// measinfo: generated files of known content checked key by key in the JSON lines against a
// straightforward model of the same records, the report and --check lines byte for byte,
// every header failure against what measconv itself prints, exit codes, hostile texts, and
// the SVG plot rendered by rsvg-convert. The step counts and the plot's time bins are also
// checked directly against brute-force counts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "datafile/data_file.h"
#include "measconv_version.h"
#include "measinfo/step_tally.h"
#include "measinfo/time_bins.h"
#include "test_support.h"

#ifndef MEASINFO_BINARY
#error "MEASINFO_BINARY must name the program under test"
#endif

namespace {

using Json = nlohmann::ordered_json;
using test::Scratch;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

// --- Running programs ---

struct ProgramRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs program with args in cwd and TZ=tz; standard output goes to stdout_path when one is given.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                const std::string& tz, const std::string& stdout_path = "") {
    char err_name[] = "/tmp/measinfo-test-stderr-XXXXXX";
    const int err_fd = mkstemp(err_name);
    int pipe_fds[2];
    if (err_fd < 0 || pipe(pipe_fds) != 0) throw std::runtime_error("mkstemp or pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        const int out_fd = stdout_path.empty() ? pipe_fds[1] : open(stdout_path.c_str(), O_WRONLY);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        close(pipe_fds[0]);
        const int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, STDIN_FILENO);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("TZ", tz.c_str(), 1);
        setenv("LC_ALL", "C", 1);
        std::vector<std::string> copies = args;
        std::string name = program;
        std::vector<char*> argv{name.data()};
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    ProgramRun run;
    char buffer[65536];
    ssize_t got;
    while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) run.out.append(buffer, static_cast<std::size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    close(err_fd);
    run.err = test::read_file(err_name);
    unlink(err_name);
    return run;
}

ProgramRun run_measinfo(const std::vector<std::string>& args, const std::string& cwd, const std::string& tz = "UTC") {
    return run_program(MEASINFO_BINARY, args, cwd, tz);
}

// The file's one JSON line, parsed.
Json json_of(const std::string& path, const std::string& cwd, const std::string& tz = "UTC") {
    const ProgramRun run = run_measinfo({"--json", path}, cwd, tz);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_TRUE(!run.out.empty() && run.out.back() == '\n');
    return Json::parse(run.out);
}

// What measconv prints when asked to convert the file, named as measinfo was given it in cwd
// (the outputs go to a scratch directory).
std::string measconv_message(const std::string& path, const std::string& cwd) {
    Scratch outputs;
    return test::run_measconv({"tpw", path, outputs.path("out")}, cwd).out;
}

// A JSON text back to the bytes it stands for: each code point is one byte.
std::string bytes_of(const Json& text) {
    const std::string utf8 = text.get<std::string>();
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
        } else if ((lead & 0xe0) == 0xc0 && i + 1 < utf8.size() && lead <= 0xc3) {
            bytes += static_cast<char>(((lead & 0x1f) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3f));
        } else {
            ADD_FAILURE() << "code point above 255 in " << text;
            return bytes;
        }
    }
    return bytes;
}

std::vector<std::string> keys_of(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

const std::vector<std::string> FILE_KEYS = {
    "path",         "size",         "status",      "message",     "title",          "version",
    "company",      "idn",          "unit_serial", "sensor_count", "start_time",    "records",
    "trailing_bytes", "first_record_time", "last_record_time", "sensors", "time_offset", "counter"};

// "YYYY-MM-DD HH:MM:SS" of a time in UTC, by the C library.
std::string utc_text(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// --- A straightforward model of what the JSON must say about a generated file ---

struct ModelSensor {
    std::uint64_t valid = 0;
    std::uint64_t non_finite = 0;
    std::int64_t wavelength_sum = 0;
    double value_sum = 0;
    std::int32_t wavelength_min = std::numeric_limits<std::int32_t>::max();
    std::int32_t wavelength_max = std::numeric_limits<std::int32_t>::min();
    float value_min = INF;
    float value_max = -INF;
};

struct ModelSteps {
    std::int64_t step = 0;
    std::uint64_t irregular = 0;
    std::uint64_t backward = 0;
};

struct Model {
    std::uint64_t records = 0;
    std::vector<ModelSensor> sensors;
    std::vector<std::int32_t> offsets;
    std::vector<std::int32_t> counters;
    ModelSteps time;
    ModelSteps counter;
};

// The most common difference (positive ones only, for time offsets), the earliest on a tie;
// for time offsets a zero difference is regular too where the step is at most one second.
ModelSteps model_steps(const std::vector<std::int32_t>& values, bool time_offsets) {
    std::vector<std::int64_t> order;
    std::map<std::int64_t, std::uint64_t> counts;
    ModelSteps steps;
    for (std::size_t i = 1; i < values.size(); ++i) {
        const std::int64_t difference = static_cast<std::int64_t>(values[i]) - values[i - 1];
        if (counts[difference]++ == 0) order.push_back(difference);
        if (difference < 0) ++steps.backward;
    }
    std::uint64_t best = 0;
    for (const std::int64_t difference : order)
        if ((!time_offsets || difference > 0) && counts[difference] > best) {
            best = counts[difference];
            steps.step = difference;
        }
    std::uint64_t regular = best;
    if (time_offsets && steps.step <= 1) regular += counts[0];
    steps.irregular = values.empty() ? 0 : values.size() - 1 - regular;
    return steps;
}

Model model_of(const FileShape& shape) {
    Model model;
    model.sensors.resize(shape.sensors.size());
    const auto add = [&](const GenRecord& record) {
        ++model.records;
        model.offsets.push_back(record.time_offset);
        model.counters.push_back(record.counter);
        for (std::size_t s = 0; s < shape.sensors.size(); ++s) {
            const GenReading reading = s < record.readings.size() ? record.readings[s] : GenReading{};
            ModelSensor& sensor = model.sensors[s];
            if (reading.wavelength < 1500000 || reading.wavelength > 1650000) continue;
            ++sensor.valid;
            sensor.wavelength_sum += reading.wavelength;
            sensor.wavelength_min = std::min(sensor.wavelength_min, reading.wavelength);
            sensor.wavelength_max = std::max(sensor.wavelength_max, reading.wavelength);
            if (std::isnan(reading.physic_value) || std::isinf(reading.physic_value)) {
                ++sensor.non_finite;
                continue;
            }
            sensor.value_sum += reading.physic_value;
            sensor.value_min = std::min(sensor.value_min, reading.physic_value);
            sensor.value_max = std::max(sensor.value_max, reading.physic_value);
        }
    };
    for (const GenRecord& record : shape.records) add(record);
    for (std::uint64_t i = 0; i < shape.pattern_records; ++i) add(pattern_record(shape, i));
    model.time = model_steps(model.offsets, true);
    model.counter = model_steps(model.counters, false);
    return model;
}

void expect_series(const Json& json, const std::vector<std::int32_t>& values, const ModelSteps& steps) {
    if (values.empty()) {
        EXPECT_TRUE(json.is_null()) << json;
        return;
    }
    ASSERT_TRUE(json.is_object()) << json;
    EXPECT_EQ(keys_of(json), (std::vector<std::string>{"first", "last", "step", "irregular_steps", "backward_steps"}));
    EXPECT_EQ(json["first"], values.front());
    EXPECT_EQ(json["last"], values.back());
    EXPECT_EQ(json["step"], steps.step);
    EXPECT_EQ(json["irregular_steps"], steps.irregular);
    EXPECT_EQ(json["backward_steps"], steps.backward);
}

void expect_sensor(const Json& json, std::size_t index, const GenSensor& entry, const ModelSensor& model,
                   std::uint64_t records) {
    SCOPED_TRACE("sensor " + std::to_string(index + 1));
    EXPECT_EQ(keys_of(json), (std::vector<std::string>{"index", "id", "serial", "valid", "invalid", "non_finite",
                                                       "wavelength", "physical_value"}));
    EXPECT_EQ(json["index"], index + 1);
    EXPECT_EQ(json["id"], entry.id);
    EXPECT_EQ(bytes_of(json["serial"]), entry.serial.substr(0, 31));
    EXPECT_EQ(json["valid"], model.valid);
    EXPECT_EQ(json["invalid"], records - model.valid);
    EXPECT_EQ(json["non_finite"], model.non_finite);
    if (model.valid == 0) {
        EXPECT_TRUE(json["wavelength"].is_null());
    } else {
        EXPECT_EQ(json["wavelength"]["min"], model.wavelength_min);
        EXPECT_EQ(json["wavelength"]["max"], model.wavelength_max);
        EXPECT_DOUBLE_EQ(json["wavelength"]["mean"].get<double>(),
                         static_cast<double>(model.wavelength_sum) / static_cast<double>(model.valid));
    }
    const std::uint64_t finite = model.valid - model.non_finite;
    if (finite == 0) {
        EXPECT_TRUE(json["physical_value"].is_null());
    } else {
        // The shortest decimal of the float: read back as a float, it is the float itself.
        EXPECT_EQ(static_cast<float>(json["physical_value"]["min"].get<double>()), model.value_min);
        EXPECT_EQ(static_cast<float>(json["physical_value"]["max"].get<double>()), model.value_max);
        EXPECT_NEAR(json["physical_value"]["mean"].get<double>(), model.value_sum / static_cast<double>(finite),
                    1e-9 * (1 + std::fabs(model.value_sum / static_cast<double>(finite))));
    }
}

// Every key of the JSON line of a file measinfo reads whole (status ok).
void expect_json_of_shape(const Json& json, const FileShape& shape, const std::string& path, std::uint64_t size) {
    const Model model = model_of(shape);
    EXPECT_EQ(keys_of(json), FILE_KEYS);
    EXPECT_EQ(bytes_of(json["path"]), path);
    EXPECT_EQ(json["size"], size);
    EXPECT_EQ(json["status"], "ok");
    EXPECT_TRUE(json["message"].is_null());
    EXPECT_EQ(bytes_of(json["title"]), shape.title.substr(0, 30));
    EXPECT_EQ(json["version"], "1.3");
    EXPECT_EQ(bytes_of(json["company"]), shape.company.substr(0, 20));
    EXPECT_EQ(bytes_of(json["idn"]), shape.idn.substr(0, 20));
    EXPECT_EQ(bytes_of(json["unit_serial"]), shape.unit_serial.substr(0, 20));
    EXPECT_EQ(json["sensor_count"], shape.sensors.size());
    EXPECT_EQ(json["start_time"], shape.start_time);
    EXPECT_EQ(json["records"], model.records);
    EXPECT_EQ(json["trailing_bytes"], shape.trailing_bytes);
    if (model.records == 0) {
        EXPECT_TRUE(json["first_record_time"].is_null());
        EXPECT_TRUE(json["last_record_time"].is_null());
    } else {
        EXPECT_EQ(json["first_record_time"], utc_text(record_time_value(shape.start_time, model.offsets.front())));
        EXPECT_EQ(json["last_record_time"], utc_text(record_time_value(shape.start_time, model.offsets.back())));
    }
    ASSERT_TRUE(json["sensors"].is_array());
    ASSERT_EQ(json["sensors"].size(), shape.sensors.size());
    for (std::size_t s = 0; s < shape.sensors.size(); ++s)
        expect_sensor(json["sensors"][s], s, shape.sensors[s], model.sensors[s], model.records);
    expect_series(json["time_offset"], model.offsets, model.time);
    expect_series(json["counter"], model.counters, model.counter);
}

FileShape base_shape(int sensors, std::uint64_t records) {
    FileShape shape = test::sample_shape();
    shape.sensors = numbered_sensors(sensors);
    shape.pattern_records = records;
    shape.records_per_second = 10;
    return shape;
}

// --- Generated files, key by key, and what --check says of them ---

struct ShapeCase {
    const char* name;
    FileShape (*make)();
    const char* check;  // the --check findings, "" for a clean file
};

const ShapeCase SHAPE_CASES[] = {
    {"clean", [] { return base_shape(3, 1000); }, ""},
    {"one record a second", [] {
         FileShape shape = base_shape(2, 300);
         shape.records_per_second = 1;
         return shape;
     }, ""},
    {"invalid readings", [] {
         FileShape shape = base_shape(3, 1000);
         shape.invalid_every = 7;
         return shape;
     }, ""},
    {"a gap in time", [] {
         FileShape shape = base_shape(3, 1000);
         shape.time_jumps = {{500, 30}};
         return shape;
     }, "irregular time steps 1"},
    {"time running back", [] {
         FileShape shape = base_shape(2, 1000);
         shape.time_jumps = {{400, -20}};
         return shape;
     }, "irregular time steps 1, backward time steps 1"},
    {"two gaps and a step back", [] {
         FileShape shape = base_shape(2, 2000);
         shape.time_jumps = {{100, 5}, {700, 100}, {1500, -3}};
         return shape;
     }, "irregular time steps 3, backward time steps 1"},
    {"a counter that jumps", [] {
         FileShape shape = base_shape(2, 1000);
         shape.counter_jumps = {{300, 5}};
         return shape;
     }, "irregular counter steps 1"},
    {"a counter that runs back", [] {
         FileShape shape = base_shape(2, 1000);
         shape.counter_jumps = {{300, -10}, {600, 1}};
         return shape;
     }, "irregular counter steps 2"},
    {"NaN and infinite values among invalid readings", [] {
         FileShape shape = base_shape(3, 1000);
         shape.non_finite_every = 5;
         shape.invalid_every = 11;
         return shape;
     }, ""},
    {"a sensor without valid readings", [] {
         FileShape shape = base_shape(3, 500);
         shape.invalid_stretches = {{0, 500, 2}};
         return shape;
     }, ""},
    {"a sensor without finite values", [] {
         FileShape shape = base_shape(1, 300);
         shape.non_finite_every = 1;
         return shape;
     }, ""},
    {"an invalid stretch of every sensor", [] {
         FileShape shape = base_shape(4, 800);
         shape.invalid_stretches = {{100, 250, 0}};
         return shape;
     }, ""},
    {"a partial record", [] {
         FileShape shape = base_shape(2, 100);
         shape.trailing_bytes = 13;
         return shape;
     }, "trailing bytes 13"},
    {"no records", [] { return base_shape(2, 0); }, ""},
    {"no records and a partial one", [] {
         FileShape shape = base_shape(2, 0);
         shape.trailing_bytes = 23;
         return shape;
     }, "trailing bytes 23"},
    {"one record", [] { return base_shape(2, 1); }, ""},
    {"no sensors", [] { return base_shape(0, 50); }, ""},
    {"127 sensors", [] { return base_shape(127, 200); }, ""},
    {"a record every ten seconds, once twice in a second", [] {
         FileShape shape = test::sample_shape();
         for (int i = 0; i < 20; ++i) shape.records.push_back({i * 10, i, {{1.0f * i, 1550000}, {-2.0f * i, 1560000}}});
         shape.records[12].time_offset = shape.records[11].time_offset;
         return shape;
     }, "irregular time steps 2"},
    {"times across the whole 32-bit range", [] {
         FileShape shape = test::sample_shape();
         shape.start_time = std::numeric_limits<std::int32_t>::max();
         shape.records = {{0, 0, {{1.0f, 1550000}}},
                          {1, 1, {{2.0f, 1550000}}},
                          {std::numeric_limits<std::int32_t>::max(), 2, {{3.0f, 1550000}}},
                          {std::numeric_limits<std::int32_t>::min(), 3, {{4.0f, 1550000}}}};
         return shape;
     }, "irregular time steps 2, backward time steps 1"},
    {"extreme values", [] {
         FileShape shape = test::sample_shape();
         const float big = std::numeric_limits<float>::max();
         shape.records = {{0, 0, {{big, 1500000}, {-big, 1650000}}},
                          {1, 1, {{-big, 1650000}, {std::numeric_limits<float>::denorm_min(), 1500000}}},
                          {2, 2, {{-0.0f, 1600000}, {0.1f, 1600000}}}};
         return shape;
     }, ""},
};

class GeneratedFiles : public testing::TestWithParam<ShapeCase> {};

TEST_P(GeneratedFiles, JsonSaysWhatTheFileHolds) {
    const FileShape shape = GetParam().make();
    Scratch scratch;
    ASSERT_TRUE(write_data_file(shape, scratch.path("in.dat")));
    const Json json = json_of("in.dat", scratch.dir.string());
    expect_json_of_shape(json, shape, "in.dat", test::fs::file_size(scratch.path("in.dat")));
}

TEST_P(GeneratedFiles, CheckNamesEveryFindingAndSetsTheExitCode) {
    const ShapeCase& shape_case = GetParam();
    Scratch scratch;
    ASSERT_TRUE(write_data_file(shape_case.make(), scratch.path("in.dat")));
    const bool clean = std::string(shape_case.check).empty();
    const ProgramRun check = run_measinfo({"--check", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(check.out, clean ? "in.dat: ok\n" : "in.dat: FAIL: " + std::string(shape_case.check) + "\n");
    EXPECT_EQ(check.exit_code, clean ? 0 : 1);
    EXPECT_EQ(check.err, "");
    // Without --check the same file never fails the run.
    const ProgramRun report = run_measinfo({"in.dat"}, scratch.dir.string());
    EXPECT_EQ(report.exit_code, 0);
    EXPECT_EQ(report.err, "");
}

INSTANTIATE_TEST_SUITE_P(Shapes, GeneratedFiles, testing::ValuesIn(SHAPE_CASES),
                         [](const testing::TestParamInfo<ShapeCase>& info) {
                             std::string name;
                             for (const char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

// --- One small file, every output byte ---

// Two sensors, four records, three trailing bytes; the expected figures are worked out by hand.
FileShape worked_example() {
    FileShape shape = test::sample_shape();
    shape.records = {{0, 0, {{1.5f, 1550000}, {2.25f, 0}}},
                     {1, 1, {{-1.25f, 1650000}, {3.0f, 1500000}}},
                     {1, 2, {{NaN, 1600000}, {0.5f, 1500003}}},
                     {5, 3, {{2.0f, 1650001}, {INF, 1500000}}}};
    shape.trailing_bytes = 3;
    return shape;
}

constexpr std::uint64_t WORKED_EXAMPLE_SIZE = 23344 + 4 * 24 + 3;

TEST(WorkedExample, Report) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(worked_example(), scratch.path("in.dat")));
    const ProgramRun run = run_measinfo({"in.dat"}, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "in.dat\n"
              "  status            ok\n"
              "  size              23443 bytes\n"
              "  title             Strain test\n"
              "  version           1.3\n"
              "  company           Example Labs\n"
              "  IDN               MU-4000\n"
              "  unit serial       SA2024001\n"
              "  sensor count      2\n"
              "  start time        Wed Jan 02 02:03:55 1980 (315626635)\n"
              "  records           4\n"
              "  trailing bytes    3\n"
              "  time offset       first 0, last 5, step 1 s, irregular steps 1, backward steps 0\n"
              "  record time       first 1980-01-02 02:03:55, last 1980-01-02 02:04:00\n"
              "  counter           first 0, last 3, step 1, irregular steps 0, backward steps 0\n"
              "\n" +
              // Group names start above their first column: "    min" at 2+6+2+2+2+6+2+5+2+7+2+10+2 = 50,
              // and the physical value's at 50+7+2+7+2+9+2 = 79.
              std::string(50, ' ') + "wavelength" + std::string(19, ' ') + "physical value\n" +
              "  sensor  id  serial  valid  invalid  non-finite      min      max       mean      min     max    mean\n"
              "       1   1  AB1         3        1           1  1550000  1650000  1600000.0  -1.2500  1.5000  0.1250\n"
              "       2   2  AB2         3        1           1  1500000  1500003  1500001.0   0.5000  3.0000  1.7500\n");
}

TEST(WorkedExample, JsonLine) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(worked_example(), scratch.path("in.dat")));
    const ProgramRun run = run_measinfo({"--json", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out,
              R"({"path":"in.dat","size":23443,"status":"ok","message":null,"title":"Strain test","version":"1.3",)"
              R"("company":"Example Labs","idn":"MU-4000","unit_serial":"SA2024001","sensor_count":2,)"
              R"("start_time":315626635,"records":4,"trailing_bytes":3,"first_record_time":"1980-01-02 02:03:55",)"
              R"("last_record_time":"1980-01-02 02:04:00","sensors":[)"
              R"({"index":1,"id":1,"serial":"AB1","valid":3,"invalid":1,"non_finite":1,)"
              R"("wavelength":{"min":1550000,"max":1650000,"mean":1600000.0},)"
              R"("physical_value":{"min":-1.25,"max":1.5,"mean":0.125}},)"
              R"({"index":2,"id":2,"serial":"AB2","valid":3,"invalid":1,"non_finite":1,)"
              R"("wavelength":{"min":1500000,"max":1500003,"mean":1500001.0},)"
              R"("physical_value":{"min":0.5,"max":3.0,"mean":1.75}}],)"
              R"("time_offset":{"first":0,"last":5,"step":1,"irregular_steps":1,"backward_steps":0},)"
              R"("counter":{"first":0,"last":3,"step":1,"irregular_steps":0,"backward_steps":0}})"
              "\n");
    EXPECT_EQ(Json::parse(run.out)["size"], WORKED_EXAMPLE_SIZE);
}

TEST(WorkedExample, RecordTimesAreLocal) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(worked_example(), scratch.path("in.dat")));
    const Json berlin = json_of("in.dat", scratch.dir.string(), "Europe/Berlin");
    EXPECT_EQ(berlin["first_record_time"], "1980-01-02 03:03:55");
    EXPECT_EQ(berlin["last_record_time"], "1980-01-02 03:04:00");
    const ProgramRun report = run_measinfo({"in.dat"}, scratch.dir.string(), "America/New_York");
    EXPECT_NE(report.out.find("  start time        Tue Jan 01 21:03:55 1980 (315626635)\n"), std::string::npos);
    EXPECT_NE(report.out.find("  record time       first 1980-01-01 21:03:55, last 1980-01-01 21:04:00\n"),
              std::string::npos);
}

TEST(WorkedExample, ReportsOfSeveralFilesAreSeparatedByABlankLine) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(worked_example(), scratch.path("a.dat")));
    ASSERT_TRUE(write_data_file(base_shape(1, 3), scratch.path("b.dat")));
    const std::string a = run_measinfo({"a.dat"}, scratch.dir.string()).out;
    const std::string b = run_measinfo({"b.dat"}, scratch.dir.string()).out;
    EXPECT_EQ(run_measinfo({"a.dat", "b.dat"}, scratch.dir.string()).out, a + "\n" + b);
    EXPECT_EQ(run_measinfo({"--json", "a.dat", "b.dat"}, scratch.dir.string()).out,
              run_measinfo({"--json", "a.dat"}, scratch.dir.string()).out +
                  run_measinfo({"--json", "b.dat"}, scratch.dir.string()).out);
}

// --- Header failures: status, the converter's own message, and what could still be read ---

struct HeaderCase {
    const char* name;
    void (*spoil)(FileShape&);
    const char* status;
    bool records_read;  // the sensor count still gives the layout
    const char* report_lines;  // the report from "status" to "sensor count", for a spot check
};

const HeaderCase HEADER_CASES[] = {
    {"empty file", [](FileShape& s) { s.truncate_to = 0; }, "too_short", false,
     "  status            too_short: the header takes 23344 bytes\n  size              0 bytes\n"},
    {"a hundred bytes", [](FileShape& s) { s.truncate_to = 100; }, "too_short", false,
     "  status            too_short: the header takes 23344 bytes\n  size              100 bytes\n"},
    {"one byte short of the header", [](FileShape& s) { s.truncate_to = HEADER_SIZE - 1; }, "too_short", false,
     "  status            too_short: the header takes 23344 bytes\n  size              23343 bytes\n"},
    {"wrong magic", [](FileShape& s) { s.magic = "XXXX"; }, "bad_magic", true,
     "  status            bad_magic: Input file format error. [SART]:[XXXX]\n"},
    {"magic of one byte", [](FileShape& s) { s.magic.assign(1, 'S'); }, "bad_magic", true,
     "  status            bad_magic: Input file format error. [SART]:[S]\n"},
    {"magic of four other bytes", [](FileShape& s) { s.magic = "SB\x01\xff"; }, "bad_magic", true,
     "  status            bad_magic: Input file format error. [SART]:[SB\\x01\\xFF]\n"},
    {"version 1.2", [](FileShape& s) { s.version_minor = 2; }, "bad_version", true,
     "  status            bad_version: Input file Version  format error, need version: 1.3\n"},
    {"version -1.3", [](FileShape& s) { s.version_major = -1; }, "bad_version", true,
     "  version           -1.3\n"},
    {"sensor count byte 200", [](FileShape& s) { s.count_byte = 200; }, "bad_sensor_count", false,
     "  status            bad_sensor_count: Input file sensor count error: -56\n"},
    {"sensor count byte 128", [](FileShape& s) { s.count_byte = 128; }, "bad_sensor_count", false,
     "  sensor count      -128\n"},
    {"wrong magic and a negative count", [](FileShape& s) {
         s.magic = "ZZ";
         s.count_byte = 255;
     }, "bad_magic", false, "  sensor count      -1\n"},
    {"wrong version and a partial record", [](FileShape& s) {
         s.version_major = 2;
         s.trailing_bytes = 7;
     }, "bad_version", true, "  trailing bytes    7\n"},
};

class HeaderFailures : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderFailures, StatusMessageAndWhatCouldStillBeRead) {
    const HeaderCase& header_case = GetParam();
    FileShape shape = base_shape(2, 40);
    header_case.spoil(shape);
    Scratch scratch;
    const std::string path = scratch.path("in.dat");
    ASSERT_TRUE(write_data_file(shape, path));
    const std::uint64_t size = test::fs::file_size(path);

    const Json json = json_of("in.dat", scratch.dir.string());
    EXPECT_EQ(keys_of(json), FILE_KEYS);
    EXPECT_EQ(json["status"], header_case.status);
    EXPECT_EQ(json["size"], size);
    // The message is exactly what the converter prints for this file (nothing for a short one).
    const std::string converter = measconv_message("in.dat", scratch.dir.string());
    if (converter.empty()) EXPECT_TRUE(json["message"].is_null());
    else EXPECT_EQ(bytes_of(json["message"]) + "\n", converter);

    const bool has_header = size >= HEADER_SIZE;
    for (const char* key : {"title", "version", "company", "idn", "unit_serial", "sensor_count", "start_time"})
        EXPECT_EQ(json[key].is_null(), !has_header) << key;
    if (has_header) {
        EXPECT_EQ(json["version"], std::to_string(shape.version_major) + "." + std::to_string(shape.version_minor));
        EXPECT_EQ(json["sensor_count"],
                  static_cast<std::int8_t>(shape.count_byte ? *shape.count_byte : shape.sensors.size()));
        EXPECT_EQ(bytes_of(json["title"]), shape.title);
    }
    if (header_case.records_read) {
        FileShape readable = shape;
        readable.magic = "SART";
        readable.version_major = 1;
        readable.version_minor = 3;
        Json same = json;
        same["status"] = "ok";
        same["message"] = nullptr;
        same["version"] = "1.3";
        expect_json_of_shape(same, readable, "in.dat", size);
    } else {
        for (const char* key : {"records", "trailing_bytes", "first_record_time", "last_record_time", "sensors",
                                "time_offset", "counter"})
            EXPECT_TRUE(json[key].is_null()) << key;
    }

    const ProgramRun report = run_measinfo({"in.dat"}, scratch.dir.string());
    EXPECT_EQ(report.exit_code, 0);
    EXPECT_NE(report.out.find(header_case.report_lines), std::string::npos) << report.out;
    if (!has_header) {
        EXPECT_EQ(report.out, "in.dat\n" + std::string(header_case.report_lines));
    }
    EXPECT_EQ(report.out.find("  records ") != std::string::npos, header_case.records_read);

    const ProgramRun check = run_measinfo({"--check", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_EQ(check.out.rfind("in.dat: FAIL: " + std::string(header_case.status), 0), 0u) << check.out;
}

INSTANTIATE_TEST_SUITE_P(Headers, HeaderFailures, testing::ValuesIn(HEADER_CASES),
                         [](const testing::TestParamInfo<HeaderCase>& info) {
                             std::string name;
                             for (const char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(HeaderFailures, ReportOfAFileWithABrokenVersion) {
    FileShape shape = worked_example();
    shape.version_minor = 4;
    shape.trailing_bytes = 0;
    Scratch scratch;
    ASSERT_TRUE(write_data_file(shape, scratch.path("v.dat")));
    const ProgramRun run = run_measinfo({"v.dat"}, scratch.dir.string());
    const std::string head =
        "v.dat\n"
        "  status            bad_version: Input file Version  format error, need version: 1.3\n"
        "  size              23440 bytes\n"
        "  title             Strain test\n"
        "  version           1.4\n"
        "  company           Example Labs\n"
        "  IDN               MU-4000\n"
        "  unit serial       SA2024001\n"
        "  sensor count      2\n"
        "  start time        Wed Jan 02 02:03:55 1980 (315626635)\n"
        "  records           4\n"
        "  trailing bytes    0\n";
    EXPECT_EQ(run.out.substr(0, head.size()), head);
}

TEST(HeaderFailures, ReportOfAFileWithABrokenSensorCountEndsAfterTheHeader) {
    FileShape shape = worked_example();
    shape.count_byte = 0x80;
    Scratch scratch;
    ASSERT_TRUE(write_data_file(shape, scratch.path("c.dat")));
    EXPECT_EQ(run_measinfo({"c.dat"}, scratch.dir.string()).out,
              "c.dat\n"
              "  status            bad_sensor_count: Input file sensor count error: -128\n"
              "  size              23443 bytes\n"
              "  title             Strain test\n"
              "  version           1.3\n"
              "  company           Example Labs\n"
              "  IDN               MU-4000\n"
              "  unit serial       SA2024001\n"
              "  sensor count      -128\n"
              "  start time        Wed Jan 02 02:03:55 1980 (315626635)\n");
}

// --- Files that cannot be read, usage errors, exit codes ---

TEST(Unreadable, MissingFilesAndDirectoriesSayWhyAndExitTwo) {
    Scratch scratch;
    test::fs::create_directory(scratch.path("dir"));
    for (const std::string name : {"missing.dat", "dir"}) {
        SCOPED_TRACE(name);
        const Json json = json_of(name, scratch.dir.string());
        EXPECT_EQ(keys_of(json), FILE_KEYS);
        EXPECT_EQ(json["status"], "unreadable");
        EXPECT_EQ(bytes_of(json["message"]) + "\n", measconv_message(name, scratch.dir.string()));
        for (auto it = json.begin(); it != json.end(); ++it)
            if (it.key() != "path" && it.key() != "status" && it.key() != "message") {
                EXPECT_TRUE(it->is_null()) << it.key();
            }

        const ProgramRun report = run_measinfo({name}, scratch.dir.string());
        EXPECT_EQ(report.exit_code, 2);
        const std::string reason = name == "dir" ? "Is a directory" : "No such file or directory";
        EXPECT_EQ(report.out, name + "\n  status            unreadable: " + reason + "\n");
        EXPECT_EQ(report.err, "measinfo: cannot read " + name + ": " + reason + "\n");
        const ProgramRun check = run_measinfo({"--check", name}, scratch.dir.string());
        EXPECT_EQ(check.out, name + ": FAIL: unreadable\n");
        EXPECT_EQ(check.exit_code, 2);
    }
}

TEST(ExitCodes, OfEveryCombination) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(base_shape(2, 50), scratch.path("clean.dat")));
    FileShape gap = base_shape(2, 50);
    gap.time_jumps = {{20, 9}};
    ASSERT_TRUE(write_data_file(gap, scratch.path("gap.dat")));
    FileShape old = base_shape(2, 50);
    old.version_minor = 2;
    ASSERT_TRUE(write_data_file(old, scratch.path("old.dat")));
    struct Row {
        std::vector<std::string> args;
        int exit_code;
        bool usage_on_stderr;
    };
    const Row rows[] = {
        {{"clean.dat"}, 0, false},
        {{"gap.dat", "old.dat"}, 0, false},
        {{"--check", "clean.dat"}, 0, false},
        {{"--check", "clean.dat", "clean.dat"}, 0, false},
        {{"--check", "clean.dat", "gap.dat"}, 1, false},
        {{"gap.dat", "--check"}, 1, false},
        {{"--check", "old.dat"}, 1, false},
        {{"--json", "--check", "gap.dat"}, 1, false},
        {{"--json", "--check", "clean.dat"}, 0, false},
        {{"--check", "gap.dat", "missing.dat"}, 2, false},
        {{"missing.dat", "clean.dat"}, 2, false},
        {{"--check", "--", "clean.dat"}, 0, false},
        {{}, 2, true},
        {{"--check"}, 2, true},
        {{"--frobnicate", "clean.dat"}, 2, true},
        {{"-x", "clean.dat"}, 2, true},
        {{"--plot"}, 2, true},
        {{"clean.dat", "--plot"}, 2, true},
        {{"--plot", "p.svg", "clean.dat", "gap.dat"}, 2, true},
        {{"--help"}, 0, false},
        {{"--version"}, 0, false},
    };
    for (const Row& row : rows) {
        std::string line;
        for (const std::string& arg : row.args) line += arg + " ";
        SCOPED_TRACE(line);
        const ProgramRun run = run_measinfo(row.args, scratch.dir.string());
        EXPECT_EQ(run.exit_code, row.exit_code);
        EXPECT_EQ(run.err.find("usage: measinfo") != std::string::npos, row.usage_on_stderr) << run.err;
        if (row.usage_on_stderr) {
            EXPECT_EQ(run.out, "");
        }
    }
    EXPECT_FALSE(test::fs::exists(scratch.path("p.svg")));
    const ProgramRun help = run_measinfo({"--help"}, scratch.dir.string());
    EXPECT_EQ(help.out.rfind("usage: measinfo [--json] [--check] [--plot FILE.svg] DATAFILE...\n", 0), 0u);
    EXPECT_EQ(help.err, "");
    const ProgramRun version = run_measinfo({"--version", "missing.dat"}, scratch.dir.string());
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("measinfo ") + MEASCONV_VERSION + "\n");
    EXPECT_EQ(version.err, "");
    // After "--", a name that looks like an option is a file.
    ASSERT_TRUE(write_data_file(base_shape(1, 2), scratch.path("--json")));
    EXPECT_EQ(run_measinfo({"--check", "--", "--json"}, scratch.dir.string()).out, "--json: ok\n");
}

TEST(ExitCodes, AFailedWriteToStandardOutputIsReported) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(base_shape(127, 2000), scratch.path("in.dat")));
    const ProgramRun run = run_program(MEASINFO_BINARY, {"in.dat"}, scratch.dir.string(), "UTC", "/dev/full");
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "measinfo: cannot write standard output\n");
}

// --- Hostile texts: the JSON line stays valid and gives the bytes back ---

const std::string HOSTILE_TEXTS[] = {
    "quote\" and \"\"",
    "back\\slash\\",
    "\\u0041 not an escape",
    std::string("control\x01\x02\x1f\t\n\r\b\f", 14),
    "del\x7f",
    "high\x80\xff\xfe",
    "utf8 caf\xc3\xa9 \xe2\x82\xac",
    "</script><svg>&amp;",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",  // fills every field, no NUL
};

TEST(HostileTexts, JsonIsPrintableAsciiAndGivesEveryByteBack) {
    for (const std::string& text : HOSTILE_TEXTS) {
        SCOPED_TRACE(testing::PrintToString(text));
        FileShape shape = base_shape(2, 20);
        shape.title = shape.company = shape.idn = shape.unit_serial = text;
        shape.sensors[1].serial = text;
        Scratch scratch;
        std::string file_name = "in";
        for (const char c : text)
            if (c != '/' && c != '\0') file_name += c;
        ASSERT_TRUE(write_data_file(shape, scratch.path(file_name)));

        const ProgramRun run = run_measinfo({"--json", file_name}, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 0) << run.err;
        ASSERT_FALSE(run.out.empty());
        for (std::size_t i = 0; i + 1 < run.out.size(); ++i)
            ASSERT_TRUE(run.out[i] >= 0x20 && run.out[i] < 0x7f) << "byte " << i << " of " << run.out;
        const Json json = Json::parse(run.out);
        expect_json_of_shape(json, shape, file_name, test::fs::file_size(scratch.path(file_name)));

        // The report shows the same texts in printable form: no byte that could drive a terminal.
        const ProgramRun report = run_measinfo({file_name}, scratch.dir.string());
        for (const char c : report.out)
            ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << report.out;

        // A header that fails shows the leading text in its message, escaped the same way.
        shape.magic = text;
        ASSERT_TRUE(write_data_file(shape, scratch.path("bad.dat")));
        const Json bad = json_of("bad.dat", scratch.dir.string());
        EXPECT_EQ(bad["status"], "bad_magic");
        EXPECT_EQ(bytes_of(bad["message"]) + "\n", measconv_message("bad.dat", scratch.dir.string()));
    }
}

TEST(HostileTexts, ReportEscapesBytesThatAreNotPrintable) {
    FileShape shape = base_shape(1, 1);
    shape.title = "a\"b\\c\x01\x7f\xff";
    shape.sensors[0].serial = "s\te";
    Scratch scratch;
    ASSERT_TRUE(write_data_file(shape, scratch.path("in.dat")));
    const std::string out = run_measinfo({"in.dat"}, scratch.dir.string()).out;
    EXPECT_NE(out.find("  title             a\"b\\\\c\\x01\\x7F\\xFF\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  s\\x09e "), std::string::npos) << out;
}

// --- The plot ---

bool have_rsvg() { return !std::string(RSVG_CONVERT).empty(); }

struct Png {
    bool valid = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

Png png_of(const std::string& bytes) {
    Png png;
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return png;
    const auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    png.valid = true;
    png.width = u32(16);
    png.height = u32(20);
    return png;
}

int svg_attribute(const std::string& svg, const std::string& name) {
    const std::regex pattern("<svg [^>]*\\b" + name + "=\"([0-9]+)\"");
    std::smatch match;
    return std::regex_search(svg, match, pattern) ? std::stoi(match[1]) : -1;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// Renders the SVG to PNG with rsvg-convert: it must succeed silently and keep the size.
void expect_renders(const std::string& svg_path, const std::string& cwd) {
    const std::string svg = test::read_file(svg_path);
    const ProgramRun render = run_program(RSVG_CONVERT, {svg_path, "-o", svg_path + ".png"}, cwd, "UTC");
    EXPECT_EQ(render.exit_code, 0) << render.err;
    EXPECT_EQ(render.err, "");
    const Png png = png_of(test::read_file(svg_path + ".png"));
    EXPECT_TRUE(png.valid);
    EXPECT_EQ(static_cast<int>(png.width), svg_attribute(svg, "width"));
    EXPECT_EQ(static_cast<int>(png.height), svg_attribute(svg, "height"));
}

// A panel's plot frame and envelope points, as drawn.
struct Panel {
    double left = 0, top = 0, width = 0, height = 0;
    std::vector<std::pair<double, double>> points;  // of the envelope outlines
    std::vector<std::pair<double, double>> gaps;   // x and width of each gap band
    std::vector<std::pair<double, double>> backs;  // x where time ran back and where it went
    int back_arrows = 0;
    int shaded_columns = 0;
};

std::vector<Panel> panels_of(const std::string& svg) {
    std::vector<Panel> panels;
    const std::regex panel_start("<clipPath id=\"title[0-9]+\">");
    const std::regex frame("<rect x=\"([0-9.]+)\" y=\"([0-9.]+)\" width=\"([0-9.]+)\" height=\"([0-9.]+)\" fill=\"none\"");
    const std::regex point("([0-9.]+),([0-9.]+)");
    const std::regex gap("<rect x=\"([0-9.]+)\" y=\"[0-9]+\" width=\"([0-9.]+)\" height=\"[0-9]+\" fill=\"#f08c00\"");
    const std::regex back("<path d=\"M([0-9.]+),[0-9.]+ L[0-9.]+,[0-9.]+ L([0-9.]+),[0-9.]+\" fill=\"none\" stroke=\"#d0202a\"");
    const std::regex shade("<rect x=\"[0-9]+\" y=\"[0-9]+\" width=\"([0-9]+)\" height=\"[0-9]+\" fill=\"#7a7a7a\"");
    std::vector<std::size_t> starts;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), panel_start); it != std::sregex_iterator(); ++it)
        starts.push_back(static_cast<std::size_t>(it->position()));
    starts.push_back(svg.size());
    for (std::size_t p = 0; p + 1 < starts.size(); ++p) {
        const std::string part = svg.substr(starts[p], starts[p + 1] - starts[p]);
        Panel panel;
        std::smatch match;
        if (std::regex_search(part, match, frame)) {
            panel.left = std::stod(match[1]);
            panel.top = std::stod(match[2]);
            panel.width = std::stod(match[3]);
            panel.height = std::stod(match[4]);
        }
        const std::size_t envelope = part.find("<g fill=\"#1f5fa8\"");
        if (envelope != std::string::npos) {
            const std::string paths = part.substr(envelope, part.find("</g>", envelope) - envelope);
            for (auto it = std::sregex_iterator(paths.begin(), paths.end(), point); it != std::sregex_iterator(); ++it)
                panel.points.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
        }
        for (auto it = std::sregex_iterator(part.begin(), part.end(), gap); it != std::sregex_iterator(); ++it)
            panel.gaps.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
        for (auto it = std::sregex_iterator(part.begin(), part.end(), back); it != std::sregex_iterator(); ++it)
            panel.backs.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
        panel.back_arrows = count_of(part, "fill=\"#d0202a\"");
        for (auto it = std::sregex_iterator(part.begin(), part.end(), shade); it != std::sregex_iterator(); ++it)
            panel.shaded_columns += std::stoi((*it)[1]);
        panels.push_back(panel);
    }
    return panels;
}

struct PlotCase {
    const char* name;
    FileShape (*make)();
    int shaded_sensor = 0;      // the one sensor whose invalid readings are shaded (1-based), or none
    double shaded_share = 0;    // the share of its panel's width they cover
};

const PlotCase PLOT_CASES[] = {
    {"one sensor", [] {
         FileShape shape = base_shape(1, 5000);
         shape.wave_period = 60;
         return shape;
     }},
    {"four sensors with a gap", [] {
         FileShape shape = base_shape(4, 5000);
         shape.wave_period = 100;
         shape.time_jumps = {{2000, 60}};
         return shape;
     }},
    {"time running back", [] {
         FileShape shape = base_shape(2, 6000);
         shape.wave_period = 100;
         shape.time_jumps = {{4000, -150}};
         return shape;
     }},
    {"an invalid stretch", [] {
         FileShape shape = base_shape(3, 6000);
         shape.invalid_stretches = {{2000, 1500, 2}};
         return shape;
     }, 2, 0.25},
    {"64 sensors in a grid", [] {
         FileShape shape = base_shape(64, 3000);
         shape.wave_period = 50;
         return shape;
     }},
    {"127 sensors", [] { return base_shape(127, 300); }},
    {"100,000 records a second apart", [] {
         FileShape shape = base_shape(2, 100000);
         shape.records_per_second = 1;
         shape.time_jumps = {{30000, 5000}};
         return shape;
     }},
    {"a sensor without valid readings and one without finite values", [] {
         FileShape shape = base_shape(3, 500);
         shape.invalid_stretches = {{0, 500, 1}};
         shape.non_finite_every = 3;
         return shape;
     }, 1, 1.0},
    {"all records in one second", [] {
         FileShape shape = base_shape(2, 50);
         shape.records_per_second = 1000;
         return shape;
     }},
    {"times across the whole 32-bit range", [] {
         FileShape shape = test::sample_shape();
         shape.sensors.resize(1);
         shape.start_time = 0;
         const std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
        const std::int32_t highest = std::numeric_limits<std::int32_t>::max();
        shape.records = {{lowest, 0, {{1.0f, 1550000}}},
                         {lowest + 1, 1, {{2.0f, 1550000}}},
                         {lowest + 2, 2, {{3.0f, 1550000}}},
                         {highest - 1, 3, {{3.0f, 1550000}}},
                         {highest, 4, {{5.0f, 1550000}}}};
         return shape;
     }},
    {"extreme values", [] {
         FileShape shape = test::sample_shape();
         const float big = std::numeric_limits<float>::max();
         shape.records = {{0, 0, {{big, 1500000}, {1e-30f, 1650000}}}, {1, 1, {{-big, 1650000}, {-1e-30f, 1500000}}}};
         return shape;
     }},
    {"hostile texts", [] {
         FileShape shape = base_shape(2, 100);
         shape.title = "<&>\"'\x01\x7f\xff";
         shape.sensors[0].serial = "]]></text><x a='\x02\xc3\xa9";
         shape.company = "&amp;";
         return shape;
     }},
};

class Plots : public testing::TestWithParam<PlotCase> {};

TEST_P(Plots, RenderWithOnePanelPerSensorAndTheMarksOfTheData) {
    if (!have_rsvg()) GTEST_SKIP() << "rsvg-convert (Debian package librsvg2-bin) is not installed";
    const PlotCase& plot_case = GetParam();
    const FileShape shape = plot_case.make();
    Scratch scratch;
    ASSERT_TRUE(write_data_file(shape, scratch.path("in.dat")));
    const ProgramRun run = run_measinfo({"--plot", "plot.svg", "--json", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, run_measinfo({"--json", "in.dat"}, scratch.dir.string()).out);  // the plot changes no output
    expect_renders(scratch.path("plot.svg"), scratch.dir.string());

    const std::string svg = test::read_file(scratch.path("plot.svg"));
    const std::vector<Panel> panels = panels_of(svg);
    ASSERT_EQ(panels.size(), shape.sensors.size());
    const Model model = model_of(shape);
    // Where the gaps and backward steps must be marked: a gap over the seconds without records
    // after a step longer than the regular one, an arrow from the second before a backward step
    // to the second after it (middles of the seconds).
    std::vector<std::int64_t> times;
    for (const std::int32_t offset : model.offsets) times.push_back(record_time_value(shape.start_time, offset));
    const std::int64_t first_time = *std::min_element(times.begin(), times.end());
    const double span = static_cast<double>(*std::max_element(times.begin(), times.end()) + 1 - first_time);
    std::vector<std::pair<std::int64_t, std::int64_t>> gaps, backs;  // record times before and after
    for (std::size_t i = 1; i < times.size(); ++i) {
        const std::int64_t difference = static_cast<std::int64_t>(model.offsets[i]) - model.offsets[i - 1];
        if (difference > model.time.step && model.time.step > 0) gaps.emplace_back(times[i - 1], times[i]);
        if (difference < 0) backs.emplace_back(times[i - 1], times[i]);
    }
    for (std::size_t s = 0; s < panels.size(); ++s) {
        SCOPED_TRACE("panel " + std::to_string(s + 1));
        const Panel& panel = panels[s];
        const auto x_of = [&](double time) {
            return std::clamp(panel.left + (time - static_cast<double>(first_time)) / span * panel.width, panel.left,
                              panel.left + panel.width);
        };
        ASSERT_EQ(panel.gaps.size(), gaps.size());
        for (std::size_t g = 0; g < gaps.size(); ++g) {
            const double from = x_of(static_cast<double>(gaps[g].first + 1));
            const double to = x_of(static_cast<double>(gaps[g].second));
            EXPECT_NEAR(panel.gaps[g].first, std::min(from, to - 1), 0.11);
            EXPECT_NEAR(panel.gaps[g].second, std::max(to - from, 1.0), 0.11);
        }
        ASSERT_EQ(panel.backs.size(), backs.size());
        EXPECT_EQ(panel.back_arrows, static_cast<int>(backs.size()));
        for (std::size_t b = 0; b < backs.size(); ++b) {
            EXPECT_NEAR(panel.backs[b].first, x_of(static_cast<double>(backs[b].first) + 0.5), 0.11);
            EXPECT_NEAR(panel.backs[b].second, x_of(static_cast<double>(backs[b].second) + 0.5), 0.11);
        }
        if (static_cast<int>(s) + 1 == plot_case.shaded_sensor)
            EXPECT_NEAR(panel.shaded_columns, plot_case.shaded_share * panel.width, 3);
        else
            EXPECT_EQ(panel.shaded_columns, 0);
        const ModelSensor& sensor = model.sensors[s];
        if (sensor.valid == sensor.non_finite) {
            EXPECT_TRUE(panel.points.empty());
            EXPECT_NE(svg.find(sensor.valid == 0 ? ">no valid readings<" : ">no finite values<"), std::string::npos);
            continue;
        }
        // At most two points per pixel column, whatever the number of records.
        ASSERT_FALSE(panel.points.empty());
        EXPECT_LE(panel.points.size(), 2 * static_cast<std::size_t>(panel.width));
        double top = 1e9, bottom = -1e9, leftmost = 1e9, rightmost = -1e9;
        for (const auto& [x, y] : panel.points) {
            top = std::min(top, y);
            bottom = std::max(bottom, y);
            leftmost = std::min(leftmost, x);
            rightmost = std::max(rightmost, x);
        }
        // The envelope reaches the greatest and least value, 5 % of the range inside the frame
        // (a single value sits in the middle), and spans the time axis from edge to edge.
        const double range = static_cast<double>(sensor.value_max) - sensor.value_min;
        const double margin = range > 0 ? panel.height * 0.05 / 1.1 : panel.height / 2;
        EXPECT_NEAR(top, panel.top + margin, 0.11);
        EXPECT_NEAR(bottom, panel.top + panel.height - margin, 0.11);
        EXPECT_NEAR(leftmost, panel.left + 0.5, 0.11);
        EXPECT_NEAR(rightmost, panel.left + panel.width - 0.5, 0.11);
    }
    // Texts from the file are in the picture, escaped.
    EXPECT_NE(svg.find(">1: ID 1, SN "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Plots, testing::ValuesIn(PLOT_CASES), [](const testing::TestParamInfo<PlotCase>& info) {
    std::string name;
    for (const char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST(Plot, OfTheBundledSampleIsTheOneInTheDocumentation) {
    Scratch scratch;
    const ProgramRun run = run_measinfo({"--plot", scratch.path("sample.svg"), "examples/sample.dat"}, MEASCONV_SOURCE_DIR);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(test::read_file(scratch.path("sample.svg")), test::read_file(MEASCONV_SOURCE_DIR "/doc/measinfo-sample.svg"));
    if (have_rsvg()) expect_renders(scratch.path("sample.svg"), scratch.dir.string());
}

TEST(Plot, FilesWithoutRecordsGiveAPictureThatSaysSo) {
    if (!have_rsvg()) GTEST_SKIP() << "rsvg-convert (Debian package librsvg2-bin) is not installed";
    struct Row {
        FileShape shape;
        const char* says;
    };
    FileShape broken = base_shape(2, 10);
    broken.count_byte = 0xff;
    const Row rows[] = {{base_shape(2, 0), "no records"}, {base_shape(0, 10), "no sensors"}, {broken, "no records could be read"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.says);
        Scratch scratch;
        ASSERT_TRUE(write_data_file(row.shape, scratch.path("in.dat")));
        const ProgramRun run = run_measinfo({"--plot", "plot.svg", "in.dat"}, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 0) << run.err;
        const std::string svg = test::read_file(scratch.path("plot.svg"));
        EXPECT_NE(svg.find(std::string(">") + row.says + "</text>"), std::string::npos) << svg;
        expect_renders(scratch.path("plot.svg"), scratch.dir.string());
    }
}

TEST(Plot, NeverOverwritesTheDataFileAndReportsFilesItCannotCreate) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(base_shape(1, 10), scratch.path("in.dat")));
    const std::string before = test::read_file(scratch.path("in.dat"));
    test::fs::create_symlink("in.dat", scratch.path("link.svg"));
    for (const std::string target : {"in.dat", "link.svg", "./in.dat"}) {
        const ProgramRun run = run_measinfo({"--plot", target, "in.dat"}, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.err, "measinfo: " + target + " is the data file itself; no plot written\n");
        EXPECT_EQ(test::read_file(scratch.path("in.dat")), before);
    }
    const ProgramRun missing_dir = run_measinfo({"--plot", "no/such/dir.svg", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(missing_dir.exit_code, 2);
    EXPECT_EQ(missing_dir.err, "measinfo: cannot create no/such/dir.svg: No such file or directory\n");
    const ProgramRun full = run_measinfo({"--plot", "/dev/full", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(full.exit_code, 2);
    EXPECT_EQ(full.err, "measinfo: cannot write /dev/full: No space left on device\n");
    const ProgramRun unreadable = run_measinfo({"--plot", "p.svg", "missing.dat"}, scratch.dir.string());
    EXPECT_EQ(unreadable.exit_code, 2);
    EXPECT_FALSE(test::fs::exists(scratch.path("p.svg")));
}

// --- The step counts and the plot's time bins against brute force ---

struct StepRow {
    std::vector<std::int64_t> differences;
    StepSummary time;
    StepSummary counter;
};

TEST(StepTally, SummariesOfDifferenceSequences) {
    std::vector<std::int64_t> overflow(100, 1);
    for (int i = 0; i < 3000; ++i) overflow.push_back(1000 + i);  // far more distinct steps than the table holds
    overflow.insert(overflow.end(), 100, 1);
    const StepRow rows[] = {
        {{}, {0, 0, 0}, {0, 0, 0}},
        {{1, 1, 1}, {1, 0, 0}, {1, 0, 0}},
        {{0, 0, 1, 0, 0, 1}, {1, 0, 0}, {0, 2, 0}},
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        {{10, 10, 0, 10}, {10, 1, 0}, {10, 1, 0}},
        {{1, 1, 5, 1}, {1, 1, 0}, {1, 1, 0}},
        {{2, 3}, {2, 1, 0}, {2, 1, 0}},
        {{3, 2, 2, 3}, {3, 2, 0}, {3, 2, 0}},
        {{-1, -1, -1}, {0, 3, 3}, {-1, 0, 3}},
        {{1, -4, 1, 0}, {1, 1, 1}, {1, 2, 1}},
        {{4294967295ll, -4294967295ll}, {4294967295ll, 1, 1}, {4294967295ll, 1, 1}},
        {overflow, {1, 3000, 0}, {1, 3000, 0}},
    };
    for (const StepRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.differences.size() > 20 ? std::vector<std::int64_t>{} : row.differences));
        const auto tally = std::make_unique<StepTally>();
        for (const std::int64_t difference : row.differences) add_difference(*tally, difference);
        flush_run(*tally);
        const StepSummary time = summarize_time_steps(*tally);
        const StepSummary counter = summarize_counter_steps(*tally);
        EXPECT_EQ(time.step, row.time.step);
        EXPECT_EQ(time.irregular, row.time.irregular);
        EXPECT_EQ(time.backward, row.time.backward);
        EXPECT_EQ(counter.step, row.counter.step);
        EXPECT_EQ(counter.irregular, row.counter.irregular);
        EXPECT_EQ(counter.backward, row.counter.backward);
    }
}

TEST(TimeBins, EveryReadingLandsInTheBinOfItsTime) {
    const std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
    const std::int64_t highest = std::numeric_limits<std::int32_t>::max();
    std::vector<std::vector<std::int64_t>> sequences = {
        {5},
        {100, 101, 102, 5000, 90},
        {lowest, highest},
        {highest, lowest, 0},
        {0, 1023, 1024, -1, -1025, 2047},
    };
    std::vector<std::int64_t> rising, falling, wild;
    for (std::int64_t i = 0; i < 20000; ++i) {
        rising.push_back(1700000000 + i / 3);
        falling.push_back(1700000000 - i);
        wild.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(i * 2654435761u)));
    }
    sequences.insert(sequences.end(), {rising, falling, wild});
    for (const std::vector<std::int64_t>& times : sequences) {
        SCOPED_TRACE(times.size());
        TimeBins bins = make_time_bins(2);
        for (std::size_t i = 0; i < times.size(); ++i) {
            const std::size_t index = bin_index(bins, times[i]);
            ValueBin* row = bin_row(bins, index);
            add_to_bin(row[0], {static_cast<float>(i), 1550000});
            add_to_bin(row[1], {0.0f, static_cast<std::int32_t>(i % 2 == 0 ? 0 : 1550000)});
        }
        EXPECT_EQ(bins.min_time, *std::min_element(times.begin(), times.end()));
        EXPECT_EQ(bins.max_time, *std::max_element(times.begin(), times.end()));
        EXPECT_LE(bins.origin, bins.min_time);
        EXPECT_LT(bins.max_time - bins.origin, bins.width * static_cast<std::int64_t>(TIME_BIN_COUNT));
        // The same readings put straight into the bins of the final grid.
        std::vector<ValueBin> expected0(TIME_BIN_COUNT), expected1(TIME_BIN_COUNT);
        for (std::size_t i = 0; i < times.size(); ++i) {
            const auto b = static_cast<std::size_t>((times[i] - bins.origin) / bins.width);
            add_to_bin(expected0[b], {static_cast<float>(i), 1550000});
            add_to_bin(expected1[b], {0.0f, static_cast<std::int32_t>(i % 2 == 0 ? 0 : 1550000)});
        }
        for (std::size_t b = 0; b < TIME_BIN_COUNT; ++b) {
            const ValueBin& got0 = bin_row(bins, b)[0];
            const ValueBin& got1 = bin_row(bins, b)[1];
            ASSERT_EQ(got0.plotted, expected0[b].plotted) << "bin " << b;
            ASSERT_EQ(got0.min, expected0[b].min) << "bin " << b;
            ASSERT_EQ(got0.max, expected0[b].max) << "bin " << b;
            ASSERT_EQ(got1.invalid, expected1[b].invalid) << "bin " << b;
            ASSERT_EQ(got1.plotted, expected1[b].plotted) << "bin " << b;
        }
    }
}

}  // namespace
