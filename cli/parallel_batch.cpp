#include "cli/parallel_batch.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "cli/conflicts.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/resource_limits.h"
#include "cli/shards.h"
#include "cli/signals.h"
#include "convert/hdf5_output.h"

namespace {

constexpr std::size_t NONE = static_cast<std::size_t>(-1);

// How often the printing thread looks for a stop while it waits for results.
constexpr std::chrono::milliseconds STOP_LOOK_INTERVAL{100};

std::vector<ConvertRequest> shard_of(std::vector<ConvertRequest> requests, Shard shard) {
    if (shard.count == 1) return requests;
    std::vector<ConvertRequest> members;
    for (std::size_t i : shard_members(conflict_groups(requests, PathIdentity::text), shard))
        members.push_back(std::move(requests[i]));
    return members;
}

// Who may start when: an entry starts once the entry before it in its conflict group is done.
struct Schedule {
    std::vector<ConvertRequest> requests;
    std::vector<std::size_t> next_in_group;  // the entry that waits for this one, or NONE
    std::unique_ptr<ConvertProgress[]> progress;

    std::mutex mutex;
    std::condition_variable changed;  // an entry finished
    std::set<std::size_t> ready;      // entries free to start, the earliest taken first
    std::size_t started = 0;
    std::size_t finished = 0;
    std::vector<std::optional<ConvertResult>> results;
    std::size_t threads_converting = 0;  // entry threads that have started and not given up
    std::size_t running = 0;             // entries being converted
    bool stopping = false;               // a stop was seen: no entry starts any more
    std::size_t max_running = 1;         // the threads; one once memory ran out beside others
    std::size_t descriptor_budget = 0;   // descriptors the running entries may hold together
    std::size_t descriptors_in_use = 0;  // the most the running entries hold (per their letters)
};

// Fills in the order of each group; returns the number of groups.
std::size_t plan(Schedule& schedule) {
    const std::atomic<bool>* stop = schedule.requests.empty() ? nullptr : schedule.requests.front().stop;
    const std::vector<std::size_t> groups = conflict_groups(schedule.requests, PathIdentity::file_system, stop);
    const std::size_t n = groups.size();
    schedule.next_in_group.assign(n, NONE);
    std::vector<std::size_t> last_of_group(n, NONE);
    std::size_t group_count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t& last = last_of_group[groups[i]];
        if (last == NONE) {
            schedule.ready.insert(i);
            ++group_count;
        } else {
            schedule.next_in_group[last] = i;
        }
        last = i;
    }
    schedule.results.resize(n);
    return group_count;
}

// Whether the earliest ready entry may start now: fewer entries run than allowed, and its
// descriptors fit beside theirs (alone, an entry always starts, as it would on one thread).
bool may_start(const Schedule& schedule) {
    if (schedule.running == 0) return true;
    if (schedule.running >= schedule.max_running) return false;
    const std::size_t cost = descriptors_per_conversion(schedule.requests[*schedule.ready.begin()].flags);
    return schedule.descriptors_in_use + cost <= schedule.descriptor_budget;
}

void convert_ready_entries(Schedule& schedule) {
    std::unique_lock<std::mutex> lock(schedule.mutex);
    for (;;) {
        schedule.changed.wait(lock, [&] {
            return (!schedule.ready.empty() && may_start(schedule)) || schedule.started == schedule.requests.size() ||
                   schedule.stopping;
        });
        // After a stop no entry starts: it would have nothing to say, and nothing of it is made.
        if (schedule.ready.empty() || schedule.stopping) return;
        const std::size_t i = *schedule.ready.begin();
        schedule.ready.erase(schedule.ready.begin());
        ++schedule.started;
        const std::size_t cost = descriptors_per_conversion(schedule.requests[i].flags);
        schedule.descriptors_in_use += cost;
        ++schedule.running;
        const bool alone = schedule.max_running == 1;  // nothing else can run beside it
        lock.unlock();
        // An entry that starts as the stop comes has nothing to say either.
        const std::atomic<bool>* stop = schedule.requests[i].stop;
        ConvertResult result = stop != nullptr && stop->load() ? ConvertResult{} : convert_file(schedule.requests[i]);
        lock.lock();
        schedule.descriptors_in_use -= cost;
        --schedule.running;
        if (result.status == ConvertStatus::out_of_memory && !alone &&
            can_convert_again(schedule.requests[i].input.c_str())) {
            // Memory ran out beside other conversions (its outputs are removed): from now on one
            // entry at a time, and this one again, on its own, as one thread would convert it.
            schedule.max_running = 1;
            schedule.ready.insert(i);
            --schedule.started;
            schedule.changed.notify_all();
            continue;
        }
        schedule.results[i] = std::move(result);
        ++schedule.finished;
        if (schedule.next_in_group[i] != NONE) schedule.ready.insert(schedule.next_in_group[i]);
        schedule.changed.notify_all();
    }
}

// An entry thread: it converts only once the libraries it calls are set up for it.
void run_entry_thread(Schedule& schedule) {
    if (!prepare_hdf5_for_this_thread()) {
        const std::lock_guard<std::mutex> lock(schedule.mutex);
        --schedule.threads_converting;  // memory is short: the others (or the printing thread) go on
        schedule.changed.notify_all();
        return;
    }
    convert_ready_entries(schedule);
}

struct EntryThreads {
    Schedule& schedule;
    std::vector<std::thread> threads;

    EntryThreads(Schedule& s, std::size_t count) : schedule(s) {
        for (std::size_t i = 0; i < count; ++i) {
            {
                const std::lock_guard<std::mutex> lock(schedule.mutex);
                ++schedule.threads_converting;
            }
            try {
                threads.emplace_back(run_entry_thread, std::ref(schedule));
            } catch (const std::system_error&) {
                const std::lock_guard<std::mutex> lock(schedule.mutex);
                --schedule.threads_converting;
                break;
            }
        }
    }
    ~EntryThreads() {
        for (std::thread& thread : threads) thread.join();
    }
    EntryThreads(const EntryThreads&) = delete;
    EntryThreads& operator=(const EntryThreads&) = delete;
};

// What the progress line needs beyond the schedule: the sizes of the data files.
struct BatchMeter {
    bool shown = false;
    const char* program;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::uint64_t total_bytes = 0;  // of every data file, when all are regular files
    bool sizes_known = true;

    BatchMeter(const std::vector<ConvertRequest>& requests, bool show, const char* program_name)
        : shown(show), program(program_name) {
        if (!shown) return;
        for (const ConvertRequest& request : requests) {
            struct stat status {};
            if (::stat(request.input.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
                sizes_known = false;
                return;
            }
            total_bytes += static_cast<std::uint64_t>(status.st_size);
        }
    }

    // Read with the schedule's lock held.
    BatchProgress measure(const Schedule& schedule) const {
        BatchProgress progress;
        progress.program = program;
        progress.done = schedule.finished;
        progress.total = schedule.requests.size();
        std::uint64_t record_bytes = 0;
        for (std::size_t i = 0; i < schedule.requests.size(); ++i) {
            progress.output_bytes += schedule.progress[i].output_bytes.load(std::memory_order_relaxed);
            record_bytes += schedule.progress[i].record_bytes.load(std::memory_order_relaxed);
        }
        if (sizes_known && total_bytes > 0)
            progress.fraction = static_cast<double>(record_bytes) / static_cast<double>(total_bytes);
        else if (progress.total > 0)
            progress.fraction = static_cast<double>(progress.done) / static_cast<double>(progress.total);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        progress.elapsed = elapsed.count();
        return progress;
    }
};

void convert_scheduled(std::vector<ConvertRequest> requests, const RunSettings& settings, bool show_progress,
                       const ResultReport& report) {
    const unsigned jobs = settings.jobs;
    Schedule schedule;
    schedule.requests = std::move(requests);
    const std::size_t n = schedule.requests.size();
    schedule.progress = std::make_unique<ConvertProgress[]>(n);
    const std::size_t groups = plan(schedule);
    if (settings.stop != nullptr && settings.stop->load()) return;  // stopped while planning: nothing ran
    // One chain of dependent entries: the threads go to each conversion instead.
    const unsigned threads_per_entry = groups == 1 ? jobs : 1;
    for (std::size_t i = 0; i < n; ++i) {
        schedule.requests[i].threads = threads_per_entry;
        if (show_progress) schedule.requests[i].progress = &schedule.progress[i];
    }
    schedule.max_running = jobs;
    schedule.descriptor_budget = descriptors_for_conversions();
    const BatchMeter meter(schedule.requests, show_progress, settings.program);

    ProgressLine line;
    if (meter.shown) line.show(batch_progress_text(meter.measure(schedule)));  // at once, however soon it is done
    auto next_draw = std::chrono::steady_clock::now() + PROGRESS_INTERVAL;
    EntryThreads threads(schedule, std::min<std::size_t>(jobs, groups));
    // This thread only waits and prints: a stop signal goes to a converting thread.
    std::optional<StopSignalsHeldHere> held;
    if (!threads.threads.empty()) held.emplace();
    if (threads.threads.empty()) {  // no thread could be started: this one converts
        line.erase();
        for (const ConvertRequest& request : schedule.requests) {
            const ConvertResult result = convert_file(request);
            report.tell(request, result);
            if (result.status == ConvertStatus::interrupted) break;
        }
        return;
    }
    std::unique_lock<std::mutex> lock(schedule.mutex);
    bool stop_passed_on = false;
    for (std::size_t printed = 0; printed < n;) {
        // Every entry thread learns of a stop at once, also one waiting for a pipe to deliver.
        if (!stop_passed_on && settings.stop != nullptr && settings.stop->load()) {
            pass_stop_signal_on(threads.threads);
            stop_passed_on = true;
            schedule.stopping = true;
            schedule.changed.notify_all();
        }
        // Stopped: once the entries in progress are done, the results there are are told (in
        // list order, the interrupted entry's among them); the entries that never started have none.
        if (stop_passed_on && schedule.running == 0 && !schedule.results[printed]) {
            ++printed;
            continue;
        }
        if (schedule.results[printed]) {
            const ConvertResult result = std::move(*schedule.results[printed]);
            schedule.results[printed].reset();
            const ConvertRequest& request = schedule.requests[printed++];
            lock.unlock();
            if (report.has_words(request, result)) line.erase();  // a message does not share the line with the progress
            // A stop signal may come to this thread while it writes: a write that standard
            // output holds (a full pipe) is then cut short, and after a stop none waits.
            held.reset();
            report.tell(request, result);
            held.emplace();
            lock.lock();
            continue;
        }
        if (schedule.threads_converting == 0) {
            // Every entry thread gave up before converting: this thread converts what is left
            // (and can be interrupted while it does), then prints it.
            lock.unlock();
            held.reset();
            convert_ready_entries(schedule);
            held.emplace();
            lock.lock();
            continue;
        }
        if (!meter.shown) {
            schedule.changed.wait_for(lock, STOP_LOOK_INTERVAL);
            continue;
        }
        if (std::chrono::steady_clock::now() >= next_draw) {
            const std::string text = batch_progress_text(meter.measure(schedule));
            lock.unlock();
            line.show(text);
            lock.lock();
            next_draw = std::chrono::steady_clock::now() + PROGRESS_INTERVAL;
        }
        schedule.changed.wait_until(lock, next_draw);
    }
    lock.unlock();
    line.erase();
}

}  // namespace

void convert_entries(std::vector<ConvertRequest> requests, const RunSettings& settings, const ResultReport& report) {
    requests = shard_of(std::move(requests), settings.shard);
    const bool show_progress = shows_progress(settings.progress);
    if (settings.jobs == 1 && !show_progress) {
        for (const ConvertRequest& request : requests) {
            if (settings.stop != nullptr && settings.stop->load()) break;
            const ConvertResult result = convert_file(request);
            report.tell(request, result);
            // A failed entry does not stop the run; an interrupted one does.
            if (result.status == ConvertStatus::interrupted) break;
        }
        return;
    }
    convert_scheduled(std::move(requests), settings, show_progress, report);
}
