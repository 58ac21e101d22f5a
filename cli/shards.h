// List shards: the part of a list that one of N processes converts, so that N processes,
// on one machine or many that share the file system, together do what one run does.
#pragma once

#include <cstddef>
#include <vector>

#include "cli/environment.h"

// The members of shard.index, in list order, given the conflict group of every entry
// (conflict_groups with PathIdentity::text, so every process cuts the list alike). A group
// goes whole to one shard; the largest groups first, each to the shard with the fewest
// entries so far (the lowest-numbered among equals), so single entries go round in list order.
std::vector<std::size_t> shard_members(const std::vector<std::size_t>& groups, Shard shard);
