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

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

std::vector<std::string> keys_of(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

const std::vector<std::string> FILE_KEYS = {
    "path",         "size",         "status",      "message",     "title",          "version",
    "company",      "idn",          "unit_serial", "sensor_count", "start_time",    "records",
    "trailing_bytes", "first_record_time", "last_record_time", "sensors", "time_offset", "counter",
    "records_per_second", "clean", "findings"};

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

// An irregular step as the lists show it.
struct ModelStep {
    std::uint64_t record = 0;
    std::int32_t time_offset = 0;
    std::int64_t difference = 0;
    std::string kind;
};

struct ModelSteps {
    std::int64_t step = 0;
    std::uint64_t irregular = 0;
    std::uint64_t backward = 0;
    std::vector<ModelStep> irregular_steps;  // every one, in file order
};

// Records per second: the counts of the runs of equal time offsets.
struct ModelRate {
    std::uint64_t seconds = 0;
    double median = 0;
    std::uint64_t min = 0;
    std::uint64_t max = 0;
};

struct Model {
    std::uint64_t records = 0;
    std::vector<ModelSensor> sensors;
    std::vector<std::int32_t> offsets;
    std::vector<std::int32_t> counters;
    ModelSteps time;
    ModelSteps counter;
    ModelRate rate;
};

// The most common difference (positive ones only, for time offsets), the earliest on a tie;
// for time offsets a zero difference is regular too where the step is at most one second.
// Every other step is irregular: backward when negative, a gap when longer than the step,
// else short.
ModelSteps model_steps(const std::vector<std::int32_t>& values, const std::vector<std::int32_t>& offsets,
                       bool time_offsets) {
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
    for (std::size_t i = 1; i < values.size(); ++i) {
        const std::int64_t difference = static_cast<std::int64_t>(values[i]) - values[i - 1];
        if ((best > 0 && difference == steps.step) || (time_offsets && steps.step <= 1 && difference == 0)) continue;
        const char* kind = difference < 0 ? "backward" : difference > 0 && difference > steps.step ? "gap" : "short";
        steps.irregular_steps.push_back({i, offsets[i], difference, kind});
    }
    return steps;
}

ModelRate model_rate(const std::vector<std::int32_t>& offsets) {
    std::vector<std::uint64_t> counts;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (i == 0 || offsets[i] != offsets[i - 1]) counts.push_back(0);
        ++counts.back();
    }
    ModelRate rate;
    if (counts.empty()) return rate;
    std::sort(counts.begin(), counts.end());
    rate.seconds = counts.size();
    rate.median = (static_cast<double>(counts[(counts.size() - 1) / 2]) + static_cast<double>(counts[counts.size() / 2])) / 2;
    rate.min = counts.front();
    rate.max = counts.back();
    return rate;
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
    model.time = model_steps(model.offsets, model.offsets, true);
    model.counter = model_steps(model.counters, model.offsets, false);
    model.rate = model_rate(model.offsets);
    return model;
}

void expect_series(const Json& json, const std::vector<std::int32_t>& values, const ModelSteps& steps,
                   std::int32_t start_time) {
    if (values.empty()) {
        EXPECT_TRUE(json.is_null()) << json;
        return;
    }
    ASSERT_TRUE(json.is_object()) << json;
    EXPECT_EQ(keys_of(json), (std::vector<std::string>{"first", "last", "step", "irregular_steps", "backward_steps",
                                                       "irregular_list", "irregular_unlisted"}));
    EXPECT_EQ(json["first"], values.front());
    EXPECT_EQ(json["last"], values.back());
    EXPECT_EQ(json["step"], steps.step);
    EXPECT_EQ(json["irregular_steps"], steps.irregular);
    EXPECT_EQ(json["backward_steps"], steps.backward);
    ASSERT_EQ(steps.irregular_steps.size(), steps.irregular);
    // The first twenty in file order, and a count of the rest.
    const std::size_t listed = std::min<std::size_t>(steps.irregular_steps.size(), 20);
    ASSERT_TRUE(json["irregular_list"].is_array());
    ASSERT_EQ(json["irregular_list"].size(), listed);
    EXPECT_EQ(json["irregular_unlisted"], steps.irregular - listed);
    for (std::size_t i = 0; i < listed; ++i) {
        const Json& step = json["irregular_list"][i];
        const ModelStep& model = steps.irregular_steps[i];
        SCOPED_TRACE("irregular step " + std::to_string(i));
        EXPECT_EQ(keys_of(step), (std::vector<std::string>{"record", "time", "step", "kind"}));
        EXPECT_EQ(step["record"], model.record);
        EXPECT_EQ(step["time"], utc_text(record_time_value(start_time, model.time_offset)));
        EXPECT_EQ(step["step"], model.difference);
        EXPECT_EQ(step["kind"], model.kind);
    }
}

void expect_rate(const Json& json, const ModelRate& rate) {
    if (rate.seconds == 0) {
        EXPECT_TRUE(json.is_null()) << json;
        return;
    }
    ASSERT_TRUE(json.is_object()) << json;
    EXPECT_EQ(keys_of(json), (std::vector<std::string>{"median", "min", "max", "seconds"}));
    EXPECT_EQ(json["median"].get<double>(), rate.median);
    EXPECT_EQ(json["min"], rate.min);
    EXPECT_EQ(json["max"], rate.max);
    EXPECT_EQ(json["seconds"], rate.seconds);
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
    expect_series(json["time_offset"], model.offsets, model.time, shape.start_time);
    expect_series(json["counter"], model.counters, model.counter, shape.start_time);
    expect_rate(json["records_per_second"], model.rate);
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
    {"more irregular steps than are listed", [] {
         FileShape shape = base_shape(2, 3000);
         for (std::uint64_t k = 1; k <= 25; ++k) shape.time_jumps.push_back({100 * k, 3});
         for (const std::uint64_t record : {2600, 2700, 2800}) shape.time_jumps.push_back({record, -2});
         for (std::uint64_t k = 0; k < 30; ++k) shape.counter_jumps.push_back({50 + 90 * k, 2});
         return shape;
     }, "irregular time steps 28, backward time steps 3, irregular counter steps 30"},
    {"a counter that stands still for thirty records", [] {
         FileShape shape = base_shape(2, 1000);
         for (std::uint64_t record = 500; record < 530; ++record) shape.counter_jumps.push_back({record, -1});
         return shape;
     }, "irregular counter steps 30"},
    {"one to four records a second: a median between two counts", [] {
         FileShape shape = test::sample_shape();
         const std::int32_t offsets[] = {0, 1, 1, 2, 2, 2, 3, 3, 3, 3};
         for (int i = 0; i < 10; ++i) shape.records.push_back({offsets[i], i, {{1.0f, 1550000}}});
         return shape;
     }, ""},
    {"seven records a second and a partial last second", [] {
         FileShape shape = base_shape(2, 100);
         shape.records_per_second = 7;
         return shape;
     }, ""},
    {"more distinct steps than the table holds", [] {
         FileShape shape = test::sample_shape();
         std::int32_t offset = 0;
         const auto add = [&](std::int32_t difference) {
             offset += difference;
             shape.records.push_back({offset, offset, {{1.0f, 1550000}, {2.0f, 1560000}}});
         };
         for (int i = 0; i < 50; ++i) add(1);
         for (int difference = 2; difference <= 1101; ++difference) add(difference);
         for (int i = 0; i < 50; ++i) add(1);
         add(0);
         add(-5);
         return shape;
     }, "irregular time steps 1101, backward time steps 1, irregular counter steps 1102"},
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
    // With --json the line says the same, and the exit code is --check's.
    const ProgramRun json_check = run_measinfo({"--json", "--check", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(json_check.exit_code, clean ? 0 : 1);
    EXPECT_EQ(json_check.out, run_measinfo({"--json", "in.dat"}, scratch.dir.string()).out);
    const Json json = Json::parse(json_check.out);
    EXPECT_EQ(json["clean"], clean);
    std::string findings;
    for (const Json& finding : json["findings"]) findings.append(findings.empty() ? "" : ", ").append(finding.get<std::string>());
    EXPECT_EQ(findings, shape_case.check);
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
              "  records a second  1 (median over 3 seconds with records; least 1, most 2)\n"
              "  counter           first 0, last 3, step 1, irregular steps 0, backward steps 0\n"
              "\n"
              "  irregular time steps:\n"
              "  record  time                 step  kind\n"
              "       3  1980-01-02 02:04:00  +4 s  gap\n"
              "\n" +
              // Group names start above their first column: "    min" at 2+6+2+2+2+6+2+5+2+7+2+10+2 = 50,
              // and the physical value's at 50+7+2+7+2+9+2 = 79.
              std::string(50, ' ') + "wavelength (pm)" + std::string(14, ' ') + "physical value (unit not stored)\n" +
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
              R"("time_offset":{"first":0,"last":5,"step":1,"irregular_steps":1,"backward_steps":0,)"
              R"("irregular_list":[{"record":3,"time":"1980-01-02 02:04:00","step":4,"kind":"gap"}],)"
              R"("irregular_unlisted":0},)"
              R"("counter":{"first":0,"last":3,"step":1,"irregular_steps":0,"backward_steps":0,)"
              R"("irregular_list":[],"irregular_unlisted":0},)"
              R"("records_per_second":{"median":1.0,"min":1,"max":2,"seconds":3},)"
              R"("clean":false,"findings":["trailing bytes 3","irregular time steps 1"]})"
              "\n");
    EXPECT_EQ(Json::parse(run.out)["size"], WORKED_EXAMPLE_SIZE);
}

// Lines of the report beyond the worked example: records per second (a median between two
// counts, one second, a second time returns to, a count beyond the histogram's array) and
// the lists of irregular steps (capped, backward, short).
TEST(WorkedExample, RateAndIrregularStepLinesOfOtherFiles) {
    const auto records_at = [](std::vector<std::int32_t> offsets) {
        FileShape shape = test::sample_shape();
        for (std::size_t i = 0; i < offsets.size(); ++i)
            shape.records.push_back({offsets[i], static_cast<std::int32_t>(i), {{1.0f, 1550000}, {2.0f, 1550000}}});
        return shape;
    };
    FileShape fast = base_shape(1, 5010);
    fast.records_per_second = 5000;
    FileShape capped = base_shape(2, 3000);
    for (std::uint64_t k = 1; k <= 25; ++k) capped.time_jumps.push_back({100 * k, 3});
    for (const std::uint64_t record : {2600, 2700, 2800}) capped.time_jumps.push_back({record, -2});
    for (std::uint64_t k = 0; k < 30; ++k) capped.counter_jumps.push_back({50 + 90 * k, 2});
    FileShape back = base_shape(2, 1000);
    back.time_jumps = {{400, -20}};
    FileShape still = base_shape(2, 1000);
    still.counter_jumps = {{500, -1}};
    const std::pair<FileShape, std::vector<std::string>> rows[] = {
        {records_at({0, 1, 1, 2, 2, 2, 3, 3, 3, 3}),
         {"  records a second  2.5 (median over 4 seconds with records; least 1, most 4)\n"}},
        {records_at({7}), {"  records a second  1 (median over 1 second with records; least 1, most 1)\n"}},
        {records_at({0, 0, 0, 10, 10, 10, 0, 0}),
         {"  records a second  3 (median over 3 seconds with records; least 2, most 3)\n"}},
        {fast, {"  records a second  2505 (median over 2 seconds with records; least 10, most 5000)\n"}},
        {capped,
         {"\n  irregular time steps, the first 20 of 28:\n"
          "  record  time                 step  kind\n"
          "     100  1980-01-02 02:04:08  +4 s  gap\n",
          "  irregular counter steps, the first 20 of 30:\n"
          "  record  time                 step  kind\n"
          "      50  1980-01-02 02:04:00    +3  gap\n"}},
        {back,
         {"\n  irregular time steps:\n"
          "  record  time                  step  kind\n"
          "     400  1980-01-02 02:04:15  -19 s  backward\n\n"}},
        {still,
         {"\n  irregular counter steps:\n"
          "  record  time                 step  kind\n"
          "     500  1980-01-02 02:04:45    +0  short\n\n"}},
    };
    for (const auto& [shape, parts] : rows) {
        Scratch scratch;
        ASSERT_TRUE(write_data_file(shape, scratch.path("in.dat")));
        const std::string report = run_measinfo({"in.dat"}, scratch.dir.string()).out;
        for (const std::string& part : parts) EXPECT_NE(report.find(part), std::string::npos) << part << report;
        // The lists hold at most twenty steps each.
        EXPECT_LE(count_of(report, " gap\n") + count_of(report, " backward\n") + count_of(report, " short\n"), 40);
    }
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
                                "time_offset", "counter", "records_per_second"})
            EXPECT_TRUE(json[key].is_null()) << key;
    }
    EXPECT_EQ(json["clean"], false);
    EXPECT_EQ(json["findings"][0], header_case.status);

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
            if (it.key() != "path" && it.key() != "status" && it.key() != "message" && it.key() != "clean" &&
                it.key() != "findings") {
                EXPECT_TRUE(it->is_null()) << it.key();
            }
        EXPECT_EQ(json["clean"], false);
        EXPECT_EQ(json["findings"], Json::array({"unreadable"}));

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
        {{"--json", "--check", "clean.dat", "gap.dat"}, 1, false},
        {{"--plot-from", "2024-01-01 00:00:00", "clean.dat"}, 2, true},
        {{"--plot-wavelength", "clean.dat"}, 2, true},
        {{"--plot", "p.svg", "--plot-sensors", "0", "clean.dat"}, 2, true},
        {{"--plot", "p.svg", "--plot-sensors", "3", "clean.dat"}, 2, false},
        {{"--plot", "p.svg", "--plot-to"}, 2, true},
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
    EXPECT_EQ(help.out.rfind("usage: measinfo [--json] [--check] [--plot FILE.svg [PLOT OPTION...]] DATAFILE...\n", 0),
              0u);
    for (const char* option : {"--json", "--check", "--plot FILE.svg", "--plot-from TIME", "--plot-to TIME",
                               "--plot-sensors LIST", "--plot-wavelength", "--help", "--version"})
        EXPECT_NE(help.out.find(std::string("\n  ") + option + " "), std::string::npos) << option;
    EXPECT_EQ(help.err, "");
    const ProgramRun version = run_measinfo({"--version", "missing.dat"}, scratch.dir.string());
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("measinfo ") + MEASCONV_VERSION + "\n");
    EXPECT_EQ(version.err, "");
    // After "--", a name that looks like an option is a file.
    ASSERT_TRUE(write_data_file(base_shape(1, 2), scratch.path("--json")));
    EXPECT_EQ(run_measinfo({"--check", "--", "--json"}, scratch.dir.string()).out, "--json: ok\n");
}

// Plot options that cannot be used: the first line of standard error says why, and nothing is drawn.
TEST(ExitCodes, PlotOptionsThatCannotBeUsedSayWhy) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(base_shape(2, 50), scratch.path("in.dat")));
    const std::string SENSORS = "' (expected sensor numbers from 1 such as 1,3,5-8)";
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--plot-from", "2024-01-01 00:00:00", "in.dat"}, "--plot-from needs --plot"},
        {{"--plot-sensors", "1", "--plot-wavelength", "in.dat"}, "--plot-sensors needs --plot"},
        {{"--plot-wavelength", "--plot", "p.svg", "in.dat", "in.dat"}, "--plot draws one data file; 2 are named"},
        {{"--plot", "p.svg", "--plot-from", "2024-01-02 00:00:00", "--plot-to", "2024-01-01 23:59:59", "in.dat"},
         "--plot-from is later than --plot-to"},
        {{"--plot", "p.svg", "--plot-to"}, "missing value for --plot-to"},
        {{"--plot", "", "in.dat"}, "bad value for --plot: '' (expected the name of the SVG file)"},
        {{"--plot", "p.svg", "--plot-from", "yesterday", "in.dat"},
         "bad value for --plot-from: 'yesterday' (expected a local date-time YYYY-MM-DD HH:MM:SS)"},
        {{"--plot", "p.svg", "--plot-sensors", "0", "in.dat"}, "bad value for --plot-sensors: '0" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "3-1", "in.dat"}, "bad value for --plot-sensors: '3-1" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "1,,2", "in.dat"}, "bad value for --plot-sensors: '1,,2" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "1-", "in.dat"}, "bad value for --plot-sensors: '1-" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "+1", "in.dat"}, "bad value for --plot-sensors: '+1" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "0x1", "in.dat"}, "bad value for --plot-sensors: '0x1" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "1-5000", "in.dat"}, "bad value for --plot-sensors: '1-5000" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "", "in.dat"}, "bad value for --plot-sensors: '" + SENSORS},
        {{"--plot", "p.svg", "--plot-sensors", "1,3", "in.dat"}, "--plot-sensors names sensor 3, but in.dat has 2; no plot written"},
    };
    for (const auto& [args, message] : rows) {
        SCOPED_TRACE(testing::PrintToString(args));
        const ProgramRun run = run_measinfo(args, scratch.dir.string());
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), "measinfo: " + message + "\n");
        EXPECT_FALSE(test::fs::exists(scratch.path("p.svg")));
    }
    // A sensor the file does not have stops only the plot: the report is there.
    const ProgramRun run = run_measinfo({"--plot", "p.svg", "--plot-sensors", "07", "in.dat"}, scratch.dir.string());
    EXPECT_EQ(run.out, run_measinfo({"in.dat"}, scratch.dir.string()).out);
    EXPECT_EQ(run.err, "measinfo: --plot-sensors names sensor 7, but in.dat has 2; no plot written\n");
}

// The window's times are local times, read as the report prints them: the count of records in
// the window of a file of one record a second gives the second they stand for.
TEST(PlotWindow, TimesAreLocal) {
    struct Row {
        const char* tz;
        std::int32_t start;  // of a file of 7200 records, one a second
        std::vector<std::string> options;
        std::string says;  // the count of records in the window, or the reason for refusing a time
    };
    constexpr std::int32_t MARCH = 1711843200;    // 2024-03-31 00:00:00 UTC: clocks in Berlin go forward at 01:00
    constexpr std::int32_t OCTOBER = 1729987200;  // 2024-10-27 00:00:00 UTC: and back at 01:00
    const std::string FORM = "expected a local date-time YYYY-MM-DD HH:MM:SS";
    const Row rows[] = {
        {"UTC", MARCH, {"--plot-from", "2024-03-31 00:00:00", "--plot-to", "2024-03-31 00:00:09"}, "10"},
        {"UTC", MARCH, {"--plot-from", "2024-03-31T00:00:00", "--plot-to", "2024-03-31 00:01"}, "61"},
        {"UTC", MARCH, {"--plot-from", "2024-03-31 01:59:59"}, "1"},
        {"UTC", MARCH, {"--plot-to", "2024-03-30 23:59:59", "--plot-from", "1999-12-31 00:00"}, "0"},
        {"Europe/Berlin", MARCH, {"--plot-from", "2024-03-31 01:00:00", "--plot-to", "2024-03-31 01:59:59"}, "3600"},
        {"Europe/Berlin", MARCH, {"--plot-from", "2024-03-31 03:00:00", "--plot-to", "2024-03-31 03:00:04"}, "5"},
        {"America/New_York", MARCH, {"--plot-from", "2024-03-30 20:00:00", "--plot-to", "2024-03-30 20:00:00"}, "1"},
        // 02:30 comes twice, at 00:30 and at 01:30 UTC: the earlier.
        {"Europe/Berlin", OCTOBER, {"--plot-from", "2024-10-27 02:30:00"}, "5400"},
        {"Europe/Berlin", MARCH, {"--plot-from", "2024-03-31 02:30:00"}, "the clock skips that time in this time zone"},
        {"UTC", MARCH, {"--plot-from", "2024-02-30 00:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2023-02-29 00:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2024-03-31 24:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2024-03-31 00:00:60"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2024-3-31 00:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", " 2024-03-31 00:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2024-03-31  00:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2024-03-31 00:00:00Z"}, FORM},
        {"UTC", MARCH, {"--plot-from", "+024-03-31 00:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2024-03-31 0x:00:00"}, FORM},
        {"UTC", MARCH, {"--plot-from", "2024-03-31"}, FORM},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.tz) + " " + testing::PrintToString(row.options));
        Scratch scratch;
        FileShape shape = base_shape(1, 7200);
        shape.records_per_second = 1;
        shape.start_time = row.start;
        ASSERT_TRUE(write_data_file(shape, scratch.path("in.dat")));
        std::vector<std::string> args = {"--plot", "p.svg", "in.dat"};
        args.insert(args.begin() + 2, row.options.begin(), row.options.end());
        const ProgramRun run = run_measinfo(args, scratch.dir.string(), row.tz);
        if (row.says.front() >= '0' && row.says.front() <= '9') {
            EXPECT_EQ(run.exit_code, 0) << run.err;
            const std::string svg = test::read_file(scratch.path("p.svg"));
            if (row.says == "0")
                EXPECT_NE(svg.find(">no records in the time window</text>"), std::string::npos);
            else
                EXPECT_NE(svg.find(", 7200 records (" + row.says + " in the time window)</text>"), std::string::npos);
        } else {
            EXPECT_EQ(run.exit_code, 2);
            EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1),
                      "measinfo: bad value for --plot-from: '" + row.options[1] + "' (" + row.says + ")\n");
        }
    }
}

TEST(ExitCodes, AFailedWriteToStandardOutputIsReported) {
    Scratch scratch;
    ASSERT_TRUE(write_data_file(base_shape(127, 2000), scratch.path("in.dat")));
    const ProgramRun run = run_program(MEASINFO_BINARY, {"in.dat"}, scratch.dir.string(), "UTC", "/dev/full");
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "measinfo: cannot write standard output\n");
    // A reader that has gone (measinfo *.dat | head -1) ends it by SIGPIPE, silently, as it ends cat.
    const test::RunResult piped = test::run_command(
        {"/bin/bash", "-c", R"({ sleep 0.3; "$MEASINFO" in.dat in.dat in.dat; echo "exit=$?" >&2; } | true)"},
        scratch.dir.string(), "UTC", {{"MEASINFO", MEASINFO_BINARY}});
    EXPECT_EQ(piped.err, "exit=141\n");
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
    int sensor = 0;      // of the file, from 1, as the title names it
    std::string counts;  // the line under the title
    std::string quantity;  // the label of the value axis
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
    const std::regex title("<clipPath id=\"title([0-9]+)\">[^\n]*\n<g [^\n]*\n<text [^>]*>([0-9]+): ID");
    const std::regex counts("<text [^>]*>(valid [^<]*)</text>\n</g>");
    const std::regex quantity(R"re(<text transform="translate\([0-9]+,[0-9]+\) rotate\(-90\)"[^>]*>([^<]*)</text>)re");
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
        if (std::regex_search(part, match, title) && match[1] == match[2]) panel.sensor = std::stoi(match[1]);
        if (std::regex_search(part, match, counts)) panel.counts = match[1];
        if (std::regex_search(part, match, quantity)) panel.quantity = match[1];
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
    PlotSelection selection{};  // given as the options; times as offsets from the start time
};

// The options that ask for a selection of a file with this start time (times in UTC).
std::vector<std::string> selection_options(const PlotSelection& selection, std::int32_t start_time) {
    std::vector<std::string> options;
    if (selection.from) options.insert(options.end(), {"--plot-from", utc_text(start_time + *selection.from)});
    if (selection.to) options.insert(options.end(), {"--plot-to", utc_text(start_time + *selection.to)});
    if (!selection.sensors.empty()) {
        std::string list;
        for (const std::size_t sensor : selection.sensors) list.append(list.empty() ? "" : ",").append(std::to_string(sensor));
        options.insert(options.end(), {"--plot-sensors", list});
    }
    if (selection.wavelengths) options.push_back("--plot-wavelength");
    return options;
}

// What a panel must show of one sensor: its readings in the records of the time window.
struct PanelModel {
    std::uint64_t valid = 0;
    std::uint64_t invalid = 0;
    std::uint64_t plotted = 0;
    double least = INF;
    double greatest = -INF;
};

PanelModel panel_model(const FileShape& shape, std::size_t sensor, std::int64_t from, std::int64_t to, bool wavelengths) {
    PanelModel model;
    const auto add = [&](const GenRecord& record) {
        const std::int64_t time = record_time_value(shape.start_time, record.time_offset);
        if (time < from || time > to) return;
        const GenReading reading = sensor < record.readings.size() ? record.readings[sensor] : GenReading{};
        if (reading.wavelength < 1500000 || reading.wavelength > 1650000) {
            ++model.invalid;
            return;
        }
        ++model.valid;
        const double value = wavelengths ? reading.wavelength : reading.physic_value;
        if (!std::isfinite(value)) return;
        ++model.plotted;
        model.least = std::min(model.least, value);
        model.greatest = std::max(model.greatest, value);
    };
    for (const GenRecord& record : shape.records) add(record);
    for (std::uint64_t i = 0; i < shape.pattern_records; ++i) add(pattern_record(shape, i));
    return model;
}

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
    {"a time window and two of four sensors", [] {
         FileShape shape = base_shape(4, 5000);
         shape.wave_period = 100;
         shape.time_jumps = {{2000, 60}};
         shape.invalid_stretches = {{2500, 500, 2}};
         return shape;
     }, 2, 50.0 / 251, {150, 400, {2, 4}, false}},
    {"the wavelengths of one of three sensors and time running back", [] {
         FileShape shape = base_shape(3, 6000);
         shape.wave_period = 100;
         shape.time_jumps = {{4000, -150}};
         return shape;
     }, 0, 0, {std::nullopt, std::nullopt, {3}, true}},
    {"two of 64 sensors in a window of one second", [] {
         FileShape shape = base_shape(64, 3000);
         shape.wave_period = 50;
         return shape;
     }, 0, 0, {100, 100, {1, 64}, false}},
    {"the wavelengths of the first 21 seconds", [] { return base_shape(2, 1000); }, 0, 0,
     {std::nullopt, 20, {}, true}},
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
    const PlotSelection& selection = plot_case.selection;
    Scratch scratch;
    ASSERT_TRUE(write_data_file(shape, scratch.path("in.dat")));
    std::vector<std::string> args = {"--plot", "plot.svg", "--json", "in.dat"};
    const std::vector<std::string> options = selection_options(selection, shape.start_time);
    args.insert(args.begin() + 2, options.begin(), options.end());
    const ProgramRun run = run_measinfo(args, scratch.dir.string());
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, run_measinfo({"--json", "in.dat"}, scratch.dir.string()).out);  // the plot changes no output
    expect_renders(scratch.path("plot.svg"), scratch.dir.string());

    const std::string svg = test::read_file(scratch.path("plot.svg"));
    const std::vector<Panel> panels = panels_of(svg);
    std::vector<std::size_t> sensors = selection.sensors;
    if (sensors.empty())
        for (std::size_t s = 1; s <= shape.sensors.size(); ++s) sensors.push_back(s);
    ASSERT_EQ(panels.size(), sensors.size());
    const Model model = model_of(shape);
    // The records the plot shows: those of the time window, which is also its time axis, or
    // from the first record time to one second past the last.
    const std::int64_t from = selection.from ? shape.start_time + *selection.from : INT64_MIN;
    const std::int64_t to = selection.to ? shape.start_time + *selection.to : INT64_MAX;
    std::vector<std::int64_t> times, shown;
    for (const std::int32_t offset : model.offsets) {
        times.push_back(record_time_value(shape.start_time, offset));
        if (times.back() >= from && times.back() <= to) shown.push_back(times.back());
    }
    ASSERT_FALSE(shown.empty());
    const std::int64_t first_time = selection.from ? from : *std::min_element(shown.begin(), shown.end());
    const double span = static_cast<double>((selection.to ? to : *std::max_element(shown.begin(), shown.end())) + 1 - first_time);
    // Where the gaps and backward steps must be marked: a gap over the seconds without records
    // after a step longer than the regular one, an arrow from the second before a backward step
    // to the second after it (middles of the seconds); each for a step into a record shown.
    std::vector<std::pair<std::int64_t, std::int64_t>> gaps, backs;  // record times before and after
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i] < from || times[i] > to) continue;
        const std::int64_t difference = static_cast<std::int64_t>(model.offsets[i]) - model.offsets[i - 1];
        if (difference > model.time.step && model.time.step > 0) gaps.emplace_back(times[i - 1], times[i]);
        if (difference < 0) backs.emplace_back(times[i - 1], times[i]);
    }
    const std::string quantity = selection.wavelengths ? "wavelength (pm)" : "physical value";
    EXPECT_NE(svg.find(selection.wavelengths ? ">Wavelengths in picometres (pm).</text>"
                                             : ">Physical values are in the unit set by the interrogator&#x2019;s "
                                               "sensor configuration; the file does not store it.</text>"),
              std::string::npos);
    for (std::size_t p = 0; p < panels.size(); ++p) {
        const Panel& panel = panels[p];
        const std::size_t sensor = sensors[p];
        SCOPED_TRACE("panel of sensor " + std::to_string(sensor));
        EXPECT_EQ(panel.sensor, static_cast<int>(sensor));
        EXPECT_EQ(panel.quantity, quantity);
        const PanelModel expected = panel_model(shape, sensor - 1, from, to, selection.wavelengths);
        std::string counts = "valid " + std::to_string(expected.valid) + ", invalid " + std::to_string(expected.invalid);
        if (!selection.wavelengths) counts += ", non-finite " + std::to_string(expected.valid - expected.plotted);
        EXPECT_EQ(panel.counts, counts);
        const auto x_of = [&](double time) {
            return std::clamp(panel.left + (time - static_cast<double>(first_time)) / span * panel.width, panel.left,
                              panel.left + panel.width);
        };
        ASSERT_EQ(panel.gaps.size(), gaps.size());
        for (std::size_t g = 0; g < gaps.size(); ++g) {
            const double gap_from = x_of(static_cast<double>(gaps[g].first + 1));
            const double gap_to = x_of(static_cast<double>(gaps[g].second));
            EXPECT_NEAR(panel.gaps[g].first, std::min(gap_from, gap_to - 1), 0.11);
            EXPECT_NEAR(panel.gaps[g].second, std::max(gap_to - gap_from, 1.0), 0.11);
        }
        ASSERT_EQ(panel.backs.size(), backs.size());
        EXPECT_EQ(panel.back_arrows, static_cast<int>(backs.size()));
        for (std::size_t b = 0; b < backs.size(); ++b) {
            EXPECT_NEAR(panel.backs[b].first, x_of(static_cast<double>(backs[b].first) + 0.5), 0.11);
            EXPECT_NEAR(panel.backs[b].second, x_of(static_cast<double>(backs[b].second) + 0.5), 0.11);
        }
        if (static_cast<int>(sensor) == plot_case.shaded_sensor)
            EXPECT_NEAR(panel.shaded_columns, plot_case.shaded_share * panel.width, 3);
        else
            EXPECT_EQ(panel.shaded_columns, 0);
        if (expected.plotted == 0) {
            EXPECT_TRUE(panel.points.empty());
            EXPECT_NE(svg.find(expected.valid == 0 ? ">no valid readings<" : ">no finite values<"), std::string::npos);
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
        const double range = static_cast<double>(static_cast<float>(expected.greatest)) - static_cast<float>(expected.least);
        const double margin = range > 0 ? panel.height * 0.05 / 1.1 : panel.height / 2;
        EXPECT_NEAR(top, panel.top + margin, 0.11);
        EXPECT_NEAR(bottom, panel.top + panel.height - margin, 0.11);
        EXPECT_NEAR(leftmost, panel.left + 0.5, 0.11);
        EXPECT_NEAR(rightmost, panel.left + panel.width - 0.5, 0.11);
    }
    // Texts from the file are in the picture, escaped.
    EXPECT_NE(svg.find(">" + std::to_string(sensors[0]) + ": ID "), std::string::npos);
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
        std::vector<std::string> options;
    };
    FileShape broken = base_shape(2, 10);
    broken.count_byte = 0xff;
    // base_shape starts at 1980-01-02 02:03:55 UTC.
    const Row rows[] = {
        {base_shape(2, 0), "no records", {}},
        {base_shape(0, 10), "no sensors", {}},
        {broken, "no records could be read", {}},
        {broken, "no records could be read", {"--plot-sensors", "5"}},
        {base_shape(2, 10), "no records in the time window", {"--plot-from", "1980-01-02 02:03:56"}},
        {base_shape(2, 10), "no records in the time window", {"--plot-to", "1980-01-02 02:03:54"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.says);
        Scratch scratch;
        ASSERT_TRUE(write_data_file(row.shape, scratch.path("in.dat")));
        std::vector<std::string> args = {"--plot", "plot.svg", "in.dat"};
        args.insert(args.begin() + 2, row.options.begin(), row.options.end());
        const ProgramRun run = run_measinfo(args, scratch.dir.string());
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

struct ExpectedSteps {
    std::int64_t step;
    std::uint64_t irregular;
    std::uint64_t backward;
};

struct StepRow {
    std::vector<std::int64_t> differences;
    ExpectedSteps time;
    ExpectedSteps counter;
};

TEST(StepTally, SummariesOfDifferenceSequences) {
    std::vector<std::int64_t> overflow(100, 1);
    for (int i = 0; i < 3000; ++i) overflow.push_back(1000 + i);  // far more distinct steps than the table holds
    overflow.insert(overflow.end(), 100, 1);
    std::vector<std::int64_t> runs = {1, 1, 1};
    runs.insert(runs.end(), 25, 0);
    runs.insert(runs.end(), {2, 1, 1, -1, -1, -1});
    std::vector<std::int64_t> three_in_turn;  // 5, 6, 7, 5, 6, 7, ...: more irregular steps than are listed
    for (int k = 0; k < 60; ++k) three_in_turn.push_back(5 + k % 3);
    const StepRow rows[] = {
        {runs, {1, 4, 3}, {0, 9, 3}},
        {three_in_turn, {5, 40, 0}, {5, 40, 0}},
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
        for (std::size_t i = 0; i < row.differences.size(); ++i)
            add_difference(*tally, row.differences[i], i + 1, static_cast<std::int32_t>(i % 7));
        flush_run(*tally);
        const StepSummary time = summarize_time_steps(*tally);
        const StepSummary counter = summarize_counter_steps(*tally);
        EXPECT_EQ(time.step, row.time.step);
        EXPECT_EQ(time.irregular, row.time.irregular);
        EXPECT_EQ(time.backward, row.time.backward);
        EXPECT_EQ(counter.step, row.counter.step);
        EXPECT_EQ(counter.irregular, row.counter.irregular);
        EXPECT_EQ(counter.backward, row.counter.backward);
        // The first twenty steps that are not regular, straight from the sequence.
        for (const bool time_steps : {true, false}) {
            const StepSummary& summary = time_steps ? time : counter;
            std::vector<std::uint64_t> expected;
            for (std::size_t i = 0; i < row.differences.size() && expected.size() < 20; ++i) {
                const std::int64_t d = row.differences[i];
                const bool regular = time_steps ? (d == summary.step && d > 0) || (d == 0 && summary.step <= 1)
                                                : d == summary.step;
                if (!regular) expected.push_back(i + 1);
            }
            std::vector<std::uint64_t> listed;
            for (const StepEvent& event : summary.listed) {
                listed.push_back(event.record);
                EXPECT_EQ(event.difference, row.differences[event.record - 1]);
                EXPECT_EQ(event.time_offset, static_cast<std::int32_t>((event.record - 1) % 7));
            }
            EXPECT_EQ(listed, expected) << (time_steps ? "time" : "counter");
        }
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
