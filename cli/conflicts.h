// Which entries of a list may touch the same files, and so must run in list order relative to
// each other. Two entries conflict when one's outputs (the four combined names, and in split
// mode everything in its per-sensor directory) meet the other's outputs or input; entries
// that only read the same input do not. Conflicts join entries into groups, transitively.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "cli/run_entries.h"

enum class PathIdentity {
    // The path's text, lexically normalised ("a/./b", "a/x/../b" and "a//b/" are "a/b"): the
    // same on every machine that shares the list, so shards can be cut by it.
    text,
    // Also made absolute against the working directory with symbolic links resolved, and for
    // files that exist their device and inode (hard links, other mounts): for one process.
    file_system,
};

// The group of every entry: the index of the first entry of its group. When stop (a stop
// signal) or needless (the groups are no longer wanted) is set meanwhile, the look ends at once
// and every entry is put in one group.
std::vector<std::size_t> conflict_groups(const std::vector<RunEntry>& entries, PathIdentity identity,
                                         const std::atomic<bool>* stop = nullptr,
                                         const std::atomic<bool>* needless = nullptr);
