// Signals that end a run (SIGINT, SIGTERM, SIGHUP): they only set a stop flag, which the
// conversion in progress checks between blocks of records; it then removes its unfinished
// outputs, and the program ends by the same signal once its messages are out. SIGPIPE is
// ignored, so an output whose reader has gone fails like any other write; so is SIGXFSZ, so a
// write past a file-size limit fails (EFBIG) instead of ending the process.
#pragma once

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

// Installs the handlers (a signal ignored when the program started, as under nohup, stays
// ignored) and returns the stop flag they set.
const std::atomic<bool>* install_stop_signals();

// The signal that set the stop flag, or 0.
int received_stop_signal();

// Ends the process by the signal received, with its default action, so the shell and make see it.
[[noreturn]] void end_by_stop_signal();

// Sends the stop signal received to each of threads, so that each one blocked reading a pipe is
// interrupted and sees the stop (nothing on Windows, where such reads cannot be interrupted).
void pass_stop_signal_on(std::vector<std::thread>& threads);
void pass_stop_signal_on(std::thread& thread);
