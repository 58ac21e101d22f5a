#include "cli/shards.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <utility>

namespace {

struct Group {
    std::size_t first;  // its first entry, which names it
    std::size_t size;
};

// The groups, largest first, in list order among equals.
std::vector<Group> groups_by_size(const std::vector<std::size_t>& groups) {
    std::vector<std::size_t> sizes(groups.size(), 0);
    for (std::size_t first : groups) ++sizes[first];
    std::vector<Group> ordered;
    for (std::size_t i = 0; i < groups.size(); ++i)
        if (sizes[i] > 0) ordered.push_back({i, sizes[i]});
    std::stable_sort(ordered.begin(), ordered.end(), [](const Group& a, const Group& b) { return a.size > b.size; });
    return ordered;
}

}  // namespace

std::vector<std::size_t> shard_members(const std::vector<std::size_t>& groups, Shard shard) {
    const std::vector<Group> ordered = groups_by_size(groups);
    std::vector<bool> chosen(groups.size(), false);  // by group name
    if (shard.count >= ordered.size()) {
        // As many shards as groups or more: group k of the order finds shard k empty.
        if (shard.index < ordered.size()) chosen[ordered[shard.index].first] = true;
    } else {
        // (entries so far, shard): the least loaded shard on top, the lowest-numbered among equals.
        using Load = std::pair<std::size_t, std::size_t>;
        std::priority_queue<Load, std::vector<Load>, std::greater<Load>> loads;
        for (std::size_t k = 0; k < shard.count; ++k) loads.push({0, k});
        for (const Group& group : ordered) {
            const auto [load, k] = loads.top();
            loads.pop();
            if (k == shard.index) chosen[group.first] = true;
            loads.push({load + group.size, k});
        }
    }
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < groups.size(); ++i)
        if (chosen[groups[i]]) members.push_back(i);
    return members;
}
