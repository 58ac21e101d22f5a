#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

#ifndef MEASCONV_BINARY
#error "MEASCONV_BINARY must name the program under test"
#endif

namespace test {

Scratch::Scratch() {
    std::string pattern = (fs::temp_directory_path() / "measconv-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
}

Scratch::~Scratch() {
    std::error_code ignored;
    // Tests may leave read-only directories behind; make them writable again so they can go.
    for (auto it = fs::recursive_directory_iterator(dir, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir, ignored);
}

std::string measconv_path() { return MEASCONV_BINARY; }

RunResult run_command(const std::vector<std::string>& argv, const std::string& cwd, const std::string& tz,
                      const std::vector<std::pair<std::string, std::string>>& env) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    // Standard error goes to a file, so neither stream can fill up while the other is read.
    FILE* err_file = std::tmpfile();
    if (err_file == nullptr) throw std::runtime_error("tmpfile failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(fileno(err_file), STDERR_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        const int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, STDIN_FILENO);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("TZ", tz.c_str(), 1);
        setenv("MEASCONV", MEASCONV_BINARY, 1);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<std::string> copies = argv;
        std::vector<char*> pointers;
        for (std::string& arg : copies) pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        execvp(pointers[0], pointers.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    RunResult result;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.peak_kib = usage.ru_maxrss;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::rewind(err_file);
    while ((got = static_cast<ssize_t>(std::fread(buffer, 1, sizeof buffer, err_file))) > 0)
        result.err.append(buffer, static_cast<size_t>(got));
    std::fclose(err_file);
    return result;
}

RunResult run_measconv(const std::vector<std::string>& args, const std::string& cwd, const std::string& tz) {
    std::vector<std::string> argv = {MEASCONV_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, cwd, tz);
}

RunResult run_measconv_with(const std::vector<std::pair<std::string, std::string>>& env,
                            const std::vector<std::string>& args, const std::string& cwd, const std::string& tz) {
    std::vector<std::string> argv = {MEASCONV_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, cwd, tz, env);
}

RunResult run_shell(const std::string& script, const std::string& cwd, const std::string& tz) {
    return run_command({"/bin/bash", "-c", script}, cwd, tz);
}

bool strace_can_trace() {
    static const bool works = run_shell("strace -qq -e trace=none true", "/").exit_code == 0;
    return works;
}

std::string strace_command() { return "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" strace -f -qq"; }

std::vector<long> traced_results(const std::string& syscall, const std::string& file, const std::string& command,
                                 const std::string& cwd) {
    const std::string log_path = cwd + "/strace.log";
    run_shell(
        strace_command() + " -e trace=" + syscall + " -P " + file + " -o '" + log_path + "' " + command + " >/dev/null",
        cwd);
    std::istringstream log(read_file(log_path));
    fs::remove(log_path);
    std::vector<long> results;
    const std::regex call("(^|[ \\]])" + syscall + "\\(.*= (-?[0-9]+)");
    for (std::string line; std::getline(log, line);) {
        std::smatch match;
        if (std::regex_search(line, match, call)) results.push_back(std::stol(match[2]));
    }
    return results;
}

std::string bytes_of(const FileShape& shape) {
    const std::vector<unsigned char> bytes = data_file_bytes(shape);
    return std::string(bytes.begin(), bytes.end());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing file " + path + ">";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::map<std::string, std::string> file_tree(const std::string& dir, const std::set<std::string>& left_out) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        // The name as it stands in the directory (fs::relative would name a link by its target).
        const std::string name = entry.path().lexically_relative(dir).string();
        if (left_out.count(name) != 0) continue;
        if (entry.is_directory())
            files[name + "/"] = "";
        else
            files[name] = read_file(entry.path().string());
    }
    return files;
}

std::string tree_difference(const std::map<std::string, std::string>& expected,
                            const std::map<std::string, std::string>& actual) {
    std::string names;
    for (const auto& [name, bytes] : expected) {
        const auto it = actual.find(name);
        if (it == actual.end())
            names += " missing:" + name;
        else if (it->second != bytes)
            names += " differs:" + name + "(" + std::to_string(bytes.size()) + " vs " +
                     std::to_string(it->second.size()) + " bytes)";
    }
    for (const auto& [name, bytes] : actual)
        if (expected.count(name) == 0) names += " extra:" + name;
    return names;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(path, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

FileShape sample_shape() {
    FileShape shape;
    shape.title = "Strain test";
    shape.company = "Example Labs";
    shape.idn = "MU-4000";
    shape.unit_serial = "SA2024001";
    shape.start_time = 315626635;
    shape.sensors = {{1, "AB1"}, {2, "AB2"}};
    return shape;
}

std::string combined_header(const std::string& type) {
    return "## Strain test\n"
           "## Type             : " +
           type +
           "\n"
           "## Version          : 1.3\n"
           "## Company          : Example Labs\n"
           "## IDN              : MU-4000\n"
           "## SN               : SA2024001\n"
           "## Count            : 2\n"
           "## Time             : Wed Jan 02 02:03:55 1980\n"
           "# Column01= Record Time\n"
           "# Column02= Counter\n"
           "# Column03= ID: 1, SN: AB1\n"
           "# Column04= ID: 2, SN: AB2\n"
           "*End*\n";
}

std::string sensor_header(const std::string& serial) {
    return "## Strain test\n"
           "## Type             : Wavelength & PhysicValue\n"
           "## Version          : 1.3\n"
           "## Company          : Example Labs\n"
           "## IDN              : MU-4000\n"
           "## SA SN            : SA2024001\n"
           "## Sensor SN        : " +
           serial +
           "\n"
           "## Time             : Wed Jan 02 02:03:55 1980\n"
           "# Column01= Record Time\n"
           "# Column02= Counter\n"
           "# Column03= Wavelength\n"
           "# Column04= PhysicValue\n"
           "*End*\n";
}

GenRecord example_record() { return {5, 7, {{1.5f, 1550000}, {2.25f, 0}}}; }

}  // namespace test
