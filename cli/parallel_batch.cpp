#include "cli/parallel_batch.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <map>
#include <optional>
#include <queue>
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

RunEntries shard_of(RunEntries run, Shard shard) {
    if (shard.count == 1) return run;
    std::vector<RunEntry> members;
    for (std::size_t i : shard_members(conflict_groups(run.entries, PathIdentity::text), shard))
        members.push_back(std::move(run.entries[i]));
    run.entries = std::move(members);
    return run;
}

// Who may start when: an entry starts once the entry before it in its conflict group is done.
struct Schedule {
    RunEntries run;
    std::vector<std::size_t> next_in_group;  // the entry that waits for this one, or NONE
    std::unique_ptr<ConvertProgress[]> progress;  // of every entry, when progress is shown

    std::mutex mutex;
    // For the entry threads: an entry became ready, a running one ended (its place and its
    // descriptors are free again), or a stop came.
    std::condition_variable may_start_more;
    // For the telling thread: the entry it tells of next finished, or the run changed (a stop,
    // the entry threads gave up).
    std::condition_variable told_of;
    std::size_t next_to_tell = 0;
    // Entries free to start, the earliest taken first.
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<std::size_t>> ready;
    std::size_t finished = 0;
    std::map<std::size_t, ConvertResult> results;  // of the finished entries not yet told of
    std::size_t threads_converting = 0;  // entry threads that have started and not given up
    std::size_t running = 0;             // entries being converted
    bool stopping = false;               // a stop was seen: no entry starts any more
    std::size_t max_running = 1;         // the threads; one once memory ran out beside others
    std::size_t descriptor_budget = 0;   // descriptors the running entries may hold together
    std::size_t descriptors_in_use = 0;  // the most the running entries hold (per their letters)

    // The head start (below), while the conflicts are looked for.
    bool look_done = false;
    std::condition_variable head_changed;  // for the looking thread: the head start told of one
    std::size_t head_next = 0;             // the first entry the head start did not start
    std::size_t head_converting = NONE;    // the entry it converts
    bool head_telling = false;
    bool head_interrupted = false;  // it told of an interrupted entry: the run ends
    std::atomic<bool> look_needless{false};  // the head start converted every entry
};

// Takes in the result of entry i (with the lock held): told of once it is the next, the entry
// waiting for it in its group ready.
void take_result(Schedule& schedule, std::size_t i, ConvertResult result) {
    if (i == schedule.next_to_tell) schedule.told_of.notify_one();
    schedule.results.emplace(i, std::move(result));
    ++schedule.finished;
    if (schedule.next_in_group[i] != NONE) schedule.ready.push(schedule.next_in_group[i]);
}

// Fills in the order of each group, from entry first on (those before it are done); returns
// the number of groups among them.
std::size_t plan(Schedule& schedule, const std::vector<std::size_t>& groups, std::size_t first) {
    const std::size_t n = groups.size();
    schedule.next_in_group.assign(n, NONE);
    std::vector<std::size_t> last_of_group(n, NONE);
    std::size_t group_count = 0;
    for (std::size_t i = first; i < n; ++i) {
        std::size_t& last = last_of_group[groups[i]];
        if (last == NONE) {
            if (i != schedule.head_converting) schedule.ready.push(i);  // that one runs already
            ++group_count;
        } else {
            schedule.next_in_group[last] = i;
        }
        last = i;
    }
    schedule.finished = first;
    return group_count;
}

struct JoinedThread {
    std::thread thread;

    JoinedThread() = default;
    ~JoinedThread() {
        if (thread.joinable()) thread.join();
    }
    JoinedThread(const JoinedThread&) = delete;
    JoinedThread& operator=(const JoinedThread&) = delete;
};

// The look for conflicts takes a while on a long list (about a microsecond an entry). Meanwhile
// one thread converts the first entries in list order and tells of them, as one thread would
// (that order is always safe); the threads take over from the first entry it did not start. A
// list that is looked at sooner than this starts on every thread at once.
constexpr std::chrono::milliseconds HEAD_START_AFTER{10};

void convert_from_the_head(Schedule& schedule, const ResultReport& report) {
    if (!prepare_hdf5_for_this_thread()) return;
    const RunEntries& run = schedule.run;
    const std::atomic<bool>* stop = run.common.stop;
    std::unique_lock<std::mutex> lock(schedule.mutex);
    if (schedule.head_changed.wait_for(lock, HEAD_START_AFTER, [&] { return schedule.look_done; })) return;
    while (!schedule.look_done && schedule.head_next < run.entries.size() && !(stop != nullptr && stop->load())) {
        const std::size_t i = schedule.head_next++;
        schedule.head_converting = i;
        // Made with the lock held: once the look is done the request the entries share changes.
        ConvertRequest request = entry_request(run, i);
        if (schedule.progress) request.progress = &schedule.progress[i];
        lock.unlock();
        ConvertResult result = convert_file(request);
        lock.lock();
        schedule.head_converting = NONE;
        if (schedule.look_done) {
            // The threads took over while it converted: it finishes as one of theirs.
            schedule.descriptors_in_use -= descriptors_per_conversion(run.entries[i].flags);
            --schedule.running;
            take_result(schedule, i, std::move(result));
            schedule.may_start_more.notify_all();
            return;
        }
        schedule.head_telling = true;
        lock.unlock();
        report.tell(request, result);
        lock.lock();
        schedule.head_telling = false;
        schedule.head_changed.notify_all();
        if (result.status == ConvertStatus::interrupted) {
            schedule.head_interrupted = true;
            return;
        }
    }
    // Every entry is done (a look that costs more than the conversions, as where every output
    // name has to be looked at and every input is missing): nothing is left to plan.
    if (schedule.head_next == run.entries.size()) schedule.look_needless = true;
}

// Looks for the conflict groups of the run's entries with a head start on another thread, and
// plans the rest (group_count: the groups in it). Returns the first entry the threads convert
// or, when the head start converts it still, the entry it converts (schedule.head_converting),
// which then runs in the schedule; the entries before it were converted and told of.
std::size_t look_with_head_start(Schedule& schedule, const ResultReport& report, std::thread& head,
                                 std::size_t& group_count) {
    std::vector<std::size_t> groups;
    const std::atomic<bool>* stop = schedule.run.common.stop;
    try {
        head = std::thread(convert_from_the_head, std::ref(schedule), std::cref(report));
    } catch (const std::system_error&) {
        // no head start
    }
    groups = conflict_groups(schedule.run.entries, PathIdentity::file_system, stop, &schedule.look_needless);
    std::unique_lock<std::mutex> lock(schedule.mutex);
    schedule.look_done = true;
    schedule.head_changed.notify_all();
    // The head start tells of an entry still: this thread tells of the next ones.
    bool stop_passed_on = false;
    while (schedule.head_telling) {
        if (!stop_passed_on && stop != nullptr && stop->load()) {
            pass_stop_signal_on(head);  // a write standard output holds is cut short
            stop_passed_on = true;
        }
        schedule.head_changed.wait_for(lock, STOP_LOOK_INTERVAL);
    }
    const std::size_t first = schedule.head_converting != NONE ? schedule.head_converting : schedule.head_next;
    if (schedule.head_converting != NONE) {
        schedule.running = 1;
        schedule.descriptors_in_use = descriptors_per_conversion(schedule.run.entries[first].flags);
    }
    // Planned before the head start can end its entry as one of the threads'.
    if (!schedule.head_interrupted) group_count = plan(schedule, groups, first);
    return first;
}

// Whether the earliest ready entry may start now: fewer entries run than allowed, and its
// descriptors fit beside theirs (alone, an entry always starts, as it would on one thread).
bool may_start(const Schedule& schedule) {
    if (schedule.running == 0) return true;
    if (schedule.running >= schedule.max_running) return false;
    const std::size_t cost = descriptors_per_conversion(schedule.run.entries[schedule.ready.top()].flags);
    return schedule.descriptors_in_use + cost <= schedule.descriptor_budget;
}

// Entries that take less than this each are taken several at a time: for them, taking an
// entry (the lock, waking the thread that tells) costs more than converting it. A long list
// of entries that fail at once (missing inputs) so costs no more on many threads than on one.
// The first entry that takes longer sends the rest of its batch back, for any thread to take.
constexpr std::chrono::microseconds QUICK_ENTRY{200};
constexpr std::size_t MOST_TAKEN_AT_ONCE = 64;

// Entries one thread converts one after the other, and the descriptors they hold at most.
struct Taken {
    std::vector<std::size_t> entries;
    std::size_t descriptors = 0;
    bool alone = false;  // nothing else could run beside them
};

// Takes the earliest ready entry and, up to most in all, the ready ones after it whose
// descriptors fit too (with the lock held, once may_start allowed the first).
Taken take_ready_entries(Schedule& schedule, std::size_t most) {
    Taken taken;
    taken.alone = schedule.max_running == 1;
    while (!schedule.ready.empty() && taken.entries.size() < most) {
        const std::size_t i = schedule.ready.top();
        const std::size_t cost = descriptors_per_conversion(schedule.run.entries[i].flags);
        const std::size_t more = cost > taken.descriptors ? cost - taken.descriptors : 0;
        if (!taken.entries.empty() && schedule.descriptors_in_use + more > schedule.descriptor_budget) break;
        schedule.ready.pop();
        taken.entries.push_back(i);
        schedule.descriptors_in_use += more;
        taken.descriptors += more;
    }
    ++schedule.running;
    return taken;
}

void convert_ready_entries(Schedule& schedule) {
    std::size_t most = 1;  // grows while entries are quick
    std::vector<std::pair<std::size_t, ConvertResult>> done;
    const std::size_t n = schedule.run.entries.size();
    const std::atomic<bool>* stop = schedule.run.common.stop;
    std::unique_lock<std::mutex> lock(schedule.mutex);
    for (;;) {
        // Until every entry is done: a thread converting entries taken together may send some back.
        schedule.may_start_more.wait(lock, [&] {
            return (!schedule.ready.empty() && may_start(schedule)) || schedule.finished == n || schedule.stopping;
        });
        // After a stop no entry starts: it would have nothing to say, and nothing of it is made.
        if (schedule.finished == n || schedule.stopping || (stop != nullptr && stop->load())) return;
        const Taken taken = take_ready_entries(schedule, most);
        lock.unlock();
        bool out_of_memory = false;
        bool slow = false;
        done.clear();
        for (const std::size_t i : taken.entries) {
            // An entry that would start as the stop comes has nothing to say.
            if (stop != nullptr && stop->load()) break;
            ConvertRequest request = entry_request(schedule.run, i);
            if (schedule.progress) request.progress = &schedule.progress[i];
            const auto start = std::chrono::steady_clock::now();
            ConvertResult result = convert_file(request);
            // Memory ran out beside other conversions (its outputs are removed): this one again,
            // on its own, as one thread would convert it.
            out_of_memory = result.status == ConvertStatus::out_of_memory && !taken.alone &&
                            can_convert_again(request.input.c_str());
            if (out_of_memory) break;
            done.emplace_back(i, std::move(result));
            // A slow entry among quick ones: the rest go back, so other threads may take them.
            slow = std::chrono::steady_clock::now() - start >= QUICK_ENTRY;
            if (slow) break;
        }
        most = slow || out_of_memory || done.empty() ? 1 : std::min(2 * most, MOST_TAKEN_AT_ONCE);
        lock.lock();
        schedule.descriptors_in_use -= taken.descriptors;
        --schedule.running;
        for (auto& [i, result] : done) take_result(schedule, i, std::move(result));
        // From now on one entry at a time, after memory ran out beside others.
        if (out_of_memory) schedule.max_running = 1;
        // The entries taken and not converted are ready again (after a stop none starts).
        for (std::size_t k = done.size(); k < taken.entries.size(); ++k) schedule.ready.push(taken.entries[k]);
        if (schedule.stopping) schedule.told_of.notify_one();
        schedule.may_start_more.notify_all();
    }
}

// An entry thread: it converts only once the libraries it calls are set up for it.
void run_entry_thread(Schedule& schedule) {
    if (!prepare_hdf5_for_this_thread()) {
        const std::lock_guard<std::mutex> lock(schedule.mutex);
        --schedule.threads_converting;  // memory is short: the others (or the printing thread) go on
        schedule.told_of.notify_one();
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

    BatchMeter(const std::vector<RunEntry>& entries, bool show, const char* program_name)
        : shown(show), program(program_name) {
        if (!shown) return;
        for (const RunEntry& entry : entries) {
            struct stat status {};
            if (::stat(entry.input.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
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
        progress.total = schedule.run.entries.size();
        std::uint64_t record_bytes = 0;
        for (std::size_t i = 0; i < progress.total; ++i) {
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

// Converts the entries from first on one after the other and tells of each, until a stop.
void convert_one_after_another(const RunEntries& run, std::size_t first, const ResultReport& report) {
    const std::atomic<bool>* stop = run.common.stop;
    for (std::size_t i = first; i < run.entries.size(); ++i) {
        if (stop != nullptr && stop->load()) break;
        const ConvertRequest request = entry_request(run, i);
        const ConvertResult result = convert_file(request);
        report.tell(request, result);
        // A failed entry does not stop the run; an interrupted one does.
        if (result.status == ConvertStatus::interrupted) break;
    }
}

// Tells of one entry's result, its request made again for the report.
void tell_entry(const RunEntries& run, std::size_t i, const ConvertResult& result, const ResultReport& report,
                ProgressLine& line) {
    const ConvertRequest request = entry_request(run, i);
    if (report.has_words(request, result)) line.erase();  // a message does not share the line with the progress
    report.tell(request, result);
}

void convert_scheduled(RunEntries run, const RunSettings& settings, bool show_progress, const ResultReport& report) {
    const unsigned jobs = settings.jobs;
    Schedule schedule;
    schedule.run = std::move(run);
    const std::size_t n = schedule.run.entries.size();
    if (show_progress) schedule.progress = std::make_unique<ConvertProgress[]>(n);
    // Joined last: its entry in progress, if any, ends as one of the threads' entries.
    JoinedThread head;
    std::size_t first = 0;
    std::size_t groups = 0;
    if (jobs > 1) {
        first = look_with_head_start(schedule, report, head.thread, groups);
        if (schedule.head_interrupted) return;  // told of: the run ends
    } else {
        groups = plan(schedule, conflict_groups(schedule.run.entries, PathIdentity::file_system, schedule.run.common.stop), 0);
    }
    if (groups == 0) return;  // the head start converted every entry
    // One chain of dependent entries: the threads go to each conversion instead.
    schedule.run.common.threads = groups == 1 ? jobs : 1;
    schedule.max_running = jobs;
    schedule.descriptor_budget = descriptors_for_conversions();
    const BatchMeter meter(schedule.run.entries, show_progress, settings.program);

    ProgressLine line;
    if (meter.shown) line.show(batch_progress_text(meter.measure(schedule)));  // at once, however soon it is done
    auto next_draw = std::chrono::steady_clock::now() + PROGRESS_INTERVAL;
    // This thread waits and prints; it sees a stop within STOP_LOOK_INTERVAL (or a progress
    // interval) and passes it on to the entry threads, so one blocked reading a pipe sees it too.
    EntryThreads threads(schedule, std::min<std::size_t>(jobs, groups));
    if (threads.threads.empty() && schedule.head_converting == NONE) {  // no thread could be started: this one converts
        line.erase();
        convert_one_after_another(schedule.run, first, report);
        return;
    }
    std::unique_lock<std::mutex> lock(schedule.mutex);
    bool stop_passed_on = false;
    for (std::size_t printed = first; printed < n;) {
        // Every entry thread learns of a stop at once, also one waiting for a pipe to deliver.
        if (!stop_passed_on && settings.stop != nullptr && settings.stop->load()) {
            pass_stop_signal_on(threads.threads);
            pass_stop_signal_on(head.thread);
            stop_passed_on = true;
            schedule.stopping = true;
            schedule.may_start_more.notify_all();
        }
        schedule.next_to_tell = printed;
        // The results that can be told of now, in list order, taken at once.
        std::vector<std::pair<std::size_t, ConvertResult>> tellable;
        for (auto next = schedule.results.find(printed); next != schedule.results.end() && next->first == printed;
             next = schedule.results.erase(next), ++printed)
            tellable.emplace_back(printed, std::move(next->second));
        if (!tellable.empty()) {
            lock.unlock();
            // A stop signal that comes while this thread writes cuts short a write that standard
            // output holds (a full pipe), and after a stop none waits (report.h).
            for (const auto& [i, result] : tellable) tell_entry(schedule.run, i, result, report, line);
            lock.lock();
            continue;
        }
        // Stopped: once the entries in progress are done, the results there are are told (in
        // list order, the interrupted entry's among them); the entries that never started have none.
        if (stop_passed_on && schedule.running == 0) {
            ++printed;
            continue;
        }
        if (schedule.threads_converting == 0) {
            // Every entry thread gave up before converting: this thread converts what is left
            // (and can be interrupted while it does), then prints it.
            lock.unlock();
            convert_ready_entries(schedule);
            lock.lock();
            continue;
        }
        if (!meter.shown) {
            schedule.told_of.wait_for(lock, STOP_LOOK_INTERVAL);
            continue;
        }
        if (std::chrono::steady_clock::now() >= next_draw) {
            const std::string text = batch_progress_text(meter.measure(schedule));
            lock.unlock();
            line.show(text);
            lock.lock();
            next_draw = std::chrono::steady_clock::now() + PROGRESS_INTERVAL;
        }
        schedule.told_of.wait_until(lock, next_draw);
    }
    lock.unlock();
    line.erase();
}

}  // namespace

void convert_entries(RunEntries run, const RunSettings& settings, const ResultReport& report) {
    run = shard_of(std::move(run), settings.shard);
    const bool show_progress = shows_progress(settings.progress);
    if (settings.jobs == 1 && !show_progress) {
        convert_one_after_another(run, 0, report);
        return;
    }
    convert_scheduled(std::move(run), settings, show_progress, report);
}
