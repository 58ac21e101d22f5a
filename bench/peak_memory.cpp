// peak_memory REPORT COMMAND [ARGS...]: runs the command and writes its peak resident memory
// in KiB to REPORT, then on a second line the CPU seconds it used (user and system). A small
// launcher of its own, because a child forked from a large process (the Python benchmark
// script) would count that process's memory as its own peak. The figure still includes this
// launcher's own few hundred KiB, so it errs on the high side.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

double seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: peak_memory REPORT COMMAND [ARGS...]\n", stderr);
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return 127;
    std::FILE* report = std::fopen(argv[1], "w");
    if (report == nullptr) return 127;
    std::fprintf(report, "%ld\n%.3f %.3f\n", usage.ru_maxrss, seconds(usage.ru_utime), seconds(usage.ru_stime));
    std::fclose(report);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
