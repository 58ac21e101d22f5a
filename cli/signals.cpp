#include "cli/signals.h"

#include <csignal>
#include <cstdlib>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace {

// Signal handlers can reach nothing else: these are the program's only process-wide state.
std::atomic<bool> g_stop{false};
volatile std::sig_atomic_t g_signal = 0;

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

#ifndef _WIN32
// The thread that installed the handlers (the main thread, before any other starts), written
// once then and only read afterwards. It writes the messages: a signal that another thread takes
// is passed on to it, so that a write standard output holds (a full pipe) is cut short.
pthread_t g_main_thread;
#endif

extern "C" void on_stop_signal(int signal_number) {
    g_signal = signal_number;
    g_stop.store(true, std::memory_order_relaxed);
#ifndef _WIN32
    if (!pthread_equal(pthread_self(), g_main_thread)) pthread_kill(g_main_thread, signal_number);
#endif
}

#ifdef _WIN32
// Ctrl-C, Ctrl-Break and termination: the Windows C runtime has neither SIGHUP nor SIGPIPE (a
// write to a closed pipe fails there, and is reported as any failed write).
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGBREAK};

void catch_unless_ignored(int signal_number) {
    // No sigaction there: std::signal tells the previous handler, and an ignored signal is put back.
    if (std::signal(signal_number, on_stop_signal) == SIG_IGN) std::signal(signal_number, SIG_IGN);
}
#else
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void catch_unless_ignored(int signal_number) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a read or write blocked on a pipe returns, so the stop is seen
    sigaction(signal_number, &action, nullptr);
}
#endif

}  // namespace

const std::atomic<bool>* install_stop_signals() {
#ifndef _WIN32
    g_main_thread = pthread_self();
#endif
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    // Past a file-size limit (ulimit -f) a write then fails with EFBIG, reported like a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    for (int signal_number : STOP_SIGNALS) catch_unless_ignored(signal_number);
    return &g_stop;
}

int received_stop_signal() { return g_signal; }

void pass_stop_signal_on(std::thread& thread) {
#ifndef _WIN32
    const int signal_number = g_signal;
    if (signal_number != 0 && thread.joinable()) pthread_kill(thread.native_handle(), signal_number);
#else
    (void)thread;
#endif
}

void pass_stop_signal_on(std::vector<std::thread>& threads) {
    for (std::thread& thread : threads) pass_stop_signal_on(thread);
}

void end_by_stop_signal() {
    const int signal_number = g_signal;
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
    std::_Exit(128 + signal_number);  // only if the default action did not end the process
}
