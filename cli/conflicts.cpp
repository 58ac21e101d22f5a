#include "cli/conflicts.h"

#include <sys/stat.h>
#ifndef _WIN32
#include <dirent.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "convert/output_names.h"

namespace {

namespace fs = std::filesystem;

// Starts the keys made of a device and an inode; keys made of paths start with "/" or a list byte.
constexpr char INODE_KEY[] = "\x01";

// What the last look at a resolved path found.
enum class Look { found, absent, unknown };

// What is at path, its link not followed: found (a file that is no link, its status filled in),
// absent, or unknown for a symbolic link.
Look look_without_following(const std::string& path, struct stat& status) {
#ifdef _WIN32
    std::error_code error;
    const fs::file_status link = fs::symlink_status(path, error);
    if (error || !fs::exists(link)) return Look::absent;
    if (fs::is_symlink(link)) return Look::unknown;
    return ::stat(path.c_str(), &status) == 0 ? Look::found : Look::absent;
#else
    if (::lstat(path.c_str(), &status) != 0) return Look::absent;
    return S_ISLNK(status.st_mode) ? Look::unknown : Look::found;
#endif
}

// A path's text, its resolved path, its device and inode.
constexpr std::size_t KEY_KINDS = 3;

// Lexically normal, without a trailing '/': "." for the working directory itself.
std::string normal_text(const fs::path& path) {
    std::string key = path.lexically_normal().string();
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key.empty() ? "." : key;
}

// Whether text is lexically normal already: no empty, "." or ".." part and no trailing '/'.
// Most paths of a list are, and their keys then need no parsing.
bool is_normal_text(const std::string& text) {
#ifdef _WIN32
    if (!text.empty()) return false;  // drive letters and backslashes: left to std::filesystem
#endif
    if (text == "/") return true;
    if (text.empty() || text.back() == '/') return false;
    for (std::size_t begin = text.front() == '/' ? 1 : 0; begin <= text.size();) {
        std::size_t end = text.find('/', begin);
        if (end == std::string::npos) end = text.size();
        const std::size_t length = end - begin;
        if (length == 0) return false;
        if (text[begin] == '.' && (length == 1 || (length == 2 && text[begin + 1] == '.'))) return false;
        begin = end + 1;
    }
    return true;
}

std::string normal_text_of(const std::string& text) { return is_normal_text(text) ? text : normal_text(text); }

// What ends a look at once: a stop, or its groups no longer being wanted (either may be absent).
struct LookEnd {
    const std::atomic<bool>* stop;
    const std::atomic<bool>* needless;

    bool now() const {
        return (stop != nullptr && stop->load(std::memory_order_relaxed)) ||
               (needless != nullptr && needless->load(std::memory_order_relaxed));
    }
};

struct ResolvedDirectory {
    std::string path;
    bool holds_nothing = false;  // no directory is there (or none that can be searched)
    // Once many names are looked for in it, the names it holds (in ASCII lower case, as file
    // systems that fold case find them), read once: a name not among them is not there.
    std::size_t looked_up = 0;
    bool listed = false;
    std::unordered_set<std::string> names;
};

// A directory is listed once this many names were looked for in it, if it holds at most
// MAX_LISTED_NAMES: one read of it instead of a look at each missing output of a long list.
constexpr std::size_t LIST_AFTER_LOOKUPS = 32;
constexpr std::size_t MAX_LISTED_NAMES = 1 << 16;

void to_ascii_lower(std::string_view name, std::string& lower) {
    lower.assign(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

// The names in the directory at path, in ASCII lower case; false when it cannot be read whole
// or holds more than MAX_LISTED_NAMES.
bool list_names(const std::string& path, std::unordered_set<std::string>& names) {
#ifdef _WIN32
    (void)path;
    (void)names;
    return false;  // each name is looked at
#else
    DIR* const directory = opendir(path.c_str());
    if (directory == nullptr) return false;
    std::string lower;
    errno = 0;
    bool whole = true;
    while (const dirent* entry = readdir(directory)) {
        to_ascii_lower(entry->d_name, lower);
        names.insert(lower);
        if (names.size() > MAX_LISTED_NAMES) {
            whole = false;
            break;
        }
    }
    if (errno != 0) whole = false;
    closedir(directory);
    if (!whole) std::unordered_set<std::string>().swap(names);
    return whole;
#endif
}

// The keys a path is known by.
struct PathKeys {
    PathIdentity identity;
    fs::path working_directory;
    std::string working_directory_text;  // its text, made once
    std::map<std::string, ResolvedDirectory, std::less<>> resolved_directories;  // by a directory's spelling
    std::pair<const std::string, ResolvedDirectory>* last_directory = nullptr;
    std::string lower_name;  // used again for every name looked for in a listing

    // The keys of path: [0] its text, [1] its resolved path when that differs, [2] its device
    // and inode when it exists (each empty when absent). `consumed` tells whether reading it
    // takes what it gives (a pipe, a FIFO, a terminal: anything that exists and is neither a
    // regular file nor a directory).
    std::array<std::string, KEY_KINDS> kinds_of(const std::string& path, bool* consumed = nullptr) {
        std::array<std::string, KEY_KINDS> keys;
        kinds_into(path, keys, consumed);
        return keys;
    }

    // As kinds_of, into keys, whose strings are used again (a long list makes many keys).
    void kinds_into(const std::string& path, std::array<std::string, KEY_KINDS>& keys, bool* consumed = nullptr) {
        for (std::string& key : keys) key.clear();
        if (identity == PathIdentity::text) {
            keys[0] = normal_text_of(path);
            return;
        }
        absolute_text_into(path, keys[0]);
        const bool normal = is_normal_text(keys[0]);
        struct stat status {};
        Look look = Look::unknown;
        resolve(keys[0], normal, status, look, keys[1]);
        if (!normal) keys[0] = normal_text(keys[0]);
        if (keys[1] == keys[0]) keys[1].clear();
        // Hard links and other mounts of one file: its device and inode. The last look at the
        // resolved path tells them, except where ".." follows a missing directory (the resolved
        // path can exist while the path does not): there, and after an unfinished look, ask again.
        if (look == Look::unknown || path.find("..") != std::string::npos)
            look = ::stat(path.c_str(), &status) == 0 ? Look::found : Look::absent;
        if (look == Look::found) {
            keys[2] = std::string(INODE_KEY).append(std::to_string(status.st_dev)).append(":").append(
                std::to_string(status.st_ino));
            if (consumed != nullptr) *consumed = !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
        }
    }

    // The path with every symbolic link resolved, also a dangling one in last place (opening
    // it for writing creates its target); ".." is applied to the resolved directory. When the
    // last look (lstat) found a file that is no link, status holds it. normal: is_normal_text(text).
    void resolve(const std::string& text, bool normal, struct stat& status, Look& look, std::string& resolved) {
        fs::path path;
        for (int hop = 0; hop < 40; ++hop) {
            resolved.clear();
            bool in_nothing = false;
            if (hop == 0 && normal && joins_plainly(text, resolved, in_nothing)) {
                if (in_nothing) {
                    look = Look::absent;
                    return;
                }
            } else if (const fs::path name = (hop == 0 ? path = text : path).filename();
                       name.empty() || name == "." || name == "..") {
                std::error_code error;
                const fs::path canonical = fs::weakly_canonical(path, error);
                resolved = normal_text(error ? path : canonical);
            } else {
                resolved = normal_text(fs::path(resolved_directory(path.parent_path().string()).path) / name);
            }
            const Look found = look_without_following(resolved, status);
            if (found != Look::unknown) {
                look = found;
                return;
            }
            std::error_code error;
            const fs::path target = fs::read_symlink(resolved, error);
            if (error) return;
            path = target.is_absolute() ? target : fs::path(resolved).parent_path() / target;
        }
        resolved = normal_text(path);
    }

    // The absolute path of path, as working_directory / path spells it, into absolute.
    void absolute_text_into(const std::string& path, std::string& absolute) const {
        if (!path.empty() && path.front() == '/') {
            absolute = path;
        } else if (path.empty() || working_directory.empty()) {
            absolute = (working_directory / path).string();
        } else {
            absolute = working_directory_text;
            if (absolute.back() != '/') absolute += '/';
            absolute.append(path);
        }
    }

    // For a lexically normal absolute text: its resolved directory joined with its name, in
    // resolved, without parsing either (the join of two normal parts is normal).
    // in_nothing tells that the directory holds nothing, so neither does the path.
    bool joins_plainly(const std::string& text, std::string& resolved, bool& in_nothing) {
        if (text.size() < 2 || text.front() != '/') return false;
        const std::size_t slash = text.rfind('/');
        ResolvedDirectory& resolved_parent =
            resolved_directory(slash == 0 ? std::string_view("/") : std::string_view(text).substr(0, slash));
        const std::string& directory = resolved_parent.path;
        if (directory.empty() || directory.front() != '/') return false;
        in_nothing = resolved_parent.holds_nothing || surely_lacks(resolved_parent, std::string_view(text).substr(slash + 1));
        resolved.assign(directory);
        if (resolved != "/") resolved += '/';
        resolved.append(text, slash + 1, std::string::npos);
        return true;
    }

    // Whether the directory surely lacks name: its listing (read once many names were looked
    // for in it) has it in no case.
    bool surely_lacks(ResolvedDirectory& directory, std::string_view name) {
        if (!directory.listed) {
            if (++directory.looked_up != LIST_AFTER_LOOKUPS) return false;
            directory.listed = list_names(directory.path, directory.names);
            if (!directory.listed) return false;
        }
        to_ascii_lower(name, lower_name);
        return directory.names.count(lower_name) == 0;
    }

    ResolvedDirectory& resolved_directory(std::string_view directory) {
        // The entries of a list mostly name one directory after another: the last one is kept at hand.
        if (last_directory != nullptr && last_directory->first == directory) return last_directory->second;
        auto entry = resolved_directories.find(directory);
        if (entry == resolved_directories.end()) {
            entry = resolved_directories.emplace(std::string(directory), ResolvedDirectory{}).first;
            std::error_code error;
            const fs::path canonical = fs::weakly_canonical(fs::path(directory), error);
            entry->second.path = normal_text(error ? fs::path(directory) : canonical);
            // Once for the directory, not once for each of the many missing files a list names in it.
            struct stat status {};
            entry->second.holds_nothing =
                ::stat(entry->second.path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode);
        }
        last_directory = &*entry;
        return entry->second;
    }
};

struct UnionFind {
    std::vector<std::size_t> parent;

    explicit UnionFind(std::size_t size) : parent(size) { std::iota(parent.begin(), parent.end(), 0); }

    std::size_t root(std::size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    }
    // The group's root is its first member.
    void unite(std::size_t a, std::size_t b) {
        a = root(a);
        b = root(b);
        if (a < b) parent[b] = a;
        if (b < a) parent[a] = b;
    }
};

// The paths of an entry that keys are taken of: its input, its four combined names, its HDF5
// name; and in split mode its output base, the directory of its per-sensor files.
constexpr std::size_t PATH_SLOTS = 1 + COMBINED_OUTPUT_COUNT + 1;
constexpr std::size_t DIRECTORY_SLOT = PATH_SLOTS;

void slot_path_into(const RunEntry& entry, std::size_t slot, std::string& path) {
    if (slot == 0 || slot == DIRECTORY_SLOT) {
        path = slot == 0 ? entry.input : entry.output_base;
        return;
    }
    path = entry.output_base;
    path += slot <= COMBINED_OUTPUT_COUNT ? COMBINED_OUTPUTS[slot - 1].suffix : HDF5_SUFFIX;
}

bool writes_directory(const RunEntry& entry) {
    // An empty output base names no directory: no per-sensor file is written.
    return (entry.flags & FLAG_SPLIT) && !entry.output_base.empty();
}

std::string slot_path(const RunEntry& entry, std::size_t slot) {
    std::string path;
    slot_path_into(entry, slot, path);
    return path;
}

// FNV-1a: a key's hash is made a byte at a time, so those of its leading parts come on the way.
constexpr std::uint64_t HASH_START = 14695981039346656037ull;

constexpr std::uint64_t hash_byte(std::uint64_t hash, char byte) {
    return (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
}

std::uint64_t key_hash(std::string_view key) {
    std::uint64_t hash = HASH_START;
    for (const char byte : key) hash = hash_byte(hash, byte);
    return hash;
}

// Calls visit with the hash of each key that key lies below: "/" for an absolute key, "." for
// a relative one that does not climb out (".."), and each leading part of it that ends before a '/'.
template <typename Visit>
void for_each_enclosing_hash(const std::string& key, Visit&& visit) {
    if (key.empty() || key.front() == INODE_KEY[0]) return;
    if (key.front() == '/') {
        if (key.size() > 1) visit(key_hash("/"));
    } else if (key != "." && key != ".." && key.compare(0, 3, "../") != 0) {
        visit(key_hash("."));
    }
    std::uint64_t hash = HASH_START;
    for (std::size_t at = 0; at < key.size(); ++at) {
        if (key[at] == '/' && at > 0) visit(hash);
        hash = hash_byte(hash, key[at]);
    }
}

// One key of one path of an entry, by its hash: the key itself is derived again only where
// hashes meet, so a long list holds a few words an entry and no strings.
struct HashedTouch {
    std::uint64_t hash;
    std::uint32_t entry;  // lists longer than this are one group
    std::uint8_t slot;
    std::uint8_t kind;
    bool written;
};
static_assert(sizeof(HashedTouch) == 16, "a touch is two words");

// The directories that split outputs write. A directory meets everything below it and whatever
// stands where one of its parents does; such meetings are found by hash alone. (Two keys whose
// hashes meet by chance, about one pair in 2^64, then only run in list order.)
struct DirectoryOutputs {
    std::vector<HashedTouch> touches;                             // their keys
    std::vector<std::pair<std::uint64_t, std::uint32_t>> by_hash;  // their path keys' entries, by hash
    std::unordered_set<std::uint64_t> enclosing;                  // the keys they lie below (few)

    // Calls unite with each entry whose directory has the key of this hash.
    template <typename Unite>
    void for_each_directory_of(std::uint64_t hash, Unite&& unite) const {
        const auto first = std::lower_bound(by_hash.begin(), by_hash.end(), std::make_pair(hash, std::uint32_t{0}));
        for (auto it = first; it != by_hash.end() && it->first == hash; ++it) unite(it->second);
    }
};

void add_touches(std::vector<HashedTouch>& touches, const std::array<std::string, KEY_KINDS>& kinds, std::size_t entry,
                 std::size_t slot, bool written) {
    for (std::size_t kind = 0; kind < KEY_KINDS; ++kind)
        if (!kinds[kind].empty())
            touches.push_back({key_hash(kinds[kind]), static_cast<std::uint32_t>(entry), static_cast<std::uint8_t>(slot),
                               static_cast<std::uint8_t>(kind), written});
}

// Calls visit(entry, key) with each path key of each directory output.
template <typename Visit>
bool for_each_directory_key(const std::vector<RunEntry>& entries, PathKeys& keys, const LookEnd& stop,
                            Visit&& visit) {
    std::array<std::string, KEY_KINDS> kinds;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (stop.now()) return false;
        if (!writes_directory(entries[i])) continue;
        keys.kinds_into(entries[i].output_base, kinds);
        visit(i, kinds);
    }
    return true;
}

DirectoryOutputs directory_outputs(const std::vector<RunEntry>& entries, PathKeys& keys, const LookEnd& stop) {
    DirectoryOutputs directories;
    // Sized at once: a long list's keys would otherwise be held twice while the vectors grow.
    const auto count = static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), writes_directory));
    directories.touches.reserve(count * 2);
    directories.by_hash.reserve(count * 2);
    const bool looked = for_each_directory_key(entries, keys, stop, [&](std::size_t i, const auto& kinds) {
        add_touches(directories.touches, kinds, i, DIRECTORY_SLOT, true);
        for (const std::string& key : kinds) {
            if (key.empty() || key.front() == INODE_KEY[0]) continue;
            directories.by_hash.emplace_back(key_hash(key), static_cast<std::uint32_t>(i));
            for_each_enclosing_hash(key, [&](std::uint64_t hash) { directories.enclosing.insert(hash); });
        }
    });
    if (!looked) return {};
    std::sort(directories.by_hash.begin(), directories.by_hash.end());
    return directories;
}

// The keys of every path of the entries but their directories; an entry whose path lies below
// a directory output is united with the entries that write it.
std::vector<HashedTouch> hashed_touches(const std::vector<RunEntry>& entries, PathKeys& keys,
                                        const LookEnd& stop, const DirectoryOutputs& directories,
                                        UnionFind& groups) {
    std::vector<HashedTouch> touches;
    // Most paths have one key: pages of this that stay unused are never touched, so cost nothing.
    touches.reserve(entries.size() * PATH_SLOTS + directories.touches.size());
    std::string path;
    std::array<std::string, KEY_KINDS> kinds;
    std::array<std::optional<std::uint64_t>, 64> recently_missed{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // A long list takes a while: a stop ends the look at once (nothing will run).
        if (stop.now()) return {};
        for (std::size_t slot = 0; slot < PATH_SLOTS; ++slot) {
            // Two entries that read one pipe would share out its bytes: such an input counts as written.
            bool consumed = false;
            slot_path_into(entries[i], slot, path);
            keys.kinds_into(path, kinds, &consumed);
            add_touches(touches, kinds, i, slot, slot != 0 || consumed);
            if (directories.by_hash.empty()) continue;
            for (const std::string& key : kinds)
                for_each_enclosing_hash(key, [&](std::uint64_t hash) {
                    // Most paths of a list lie in a few directories: the hashes of their leading
                    // parts that no directory output has are kept at hand.
                    std::optional<std::uint64_t>& missed = recently_missed[hash % recently_missed.size()];
                    if (missed == hash) return;
                    bool met = false;
                    directories.for_each_directory_of(hash, [&](std::uint32_t entry) {
                        groups.unite(i, entry);
                        met = true;
                    });
                    if (!met) missed = hash;
                });
        }
    }
    return touches;
}

// Touches of one hash: those of each key among them (hashes of two keys can meet) are united
// when one of them writes and they are of more than one entry.
void unite_equal_hashes(const std::vector<RunEntry>& entries, PathKeys& keys, const HashedTouch* first,
                        const HashedTouch* last, UnionFind& groups) {
    const bool written = std::any_of(first, last, [](const HashedTouch& t) { return t.written; });
    const bool shared = std::any_of(first, last, [&](const HashedTouch& t) { return t.entry != first->entry; });
    if (!written || !shared) return;
    std::vector<std::pair<std::string, const HashedTouch*>> named;
    for (const HashedTouch* t = first; t != last; ++t)
        named.emplace_back(std::move(keys.kinds_of(slot_path(entries[t->entry], t->slot))[t->kind]), t);
    std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t begin = 0, end = 0; begin < named.size(); begin = end) {
        bool key_written = false;
        for (end = begin; end < named.size() && named[end].first == named[begin].first; ++end)
            key_written = key_written || named[end].second->written;
        if (!key_written) continue;
        for (std::size_t k = begin + 1; k < end; ++k)
            groups.unite(named[begin].second->entry, named[k].second->entry);
    }
}

// Entries meet where they share a key that one of them writes, and where one's directory output
// holds or lies below a path of another (directories write everything below them).
void unite_by_hashes(const std::vector<RunEntry>& entries, PathKeys& keys, const LookEnd& stop,
                     UnionFind& groups) {
    DirectoryOutputs directories = directory_outputs(entries, keys, stop);
    std::vector<HashedTouch> touches = hashed_touches(entries, keys, stop, directories, groups);
    touches.insert(touches.end(), directories.touches.begin(), directories.touches.end());
    std::vector<HashedTouch>().swap(directories.touches);
    // Equal hashes meet; their order among each other does not matter (unions are by index).
    const auto by_hash = [](const HashedTouch& a, const HashedTouch& b) { return a.hash < b.hash; };
    std::sort(touches.begin(), touches.end(), by_hash);
    for (std::size_t begin = 0, end = 0; begin < touches.size(); begin = end) {
        for (end = begin + 1; end < touches.size() && touches[end].hash == touches[begin].hash;) ++end;
        if (end - begin > 1) unite_equal_hashes(entries, keys, &touches[begin], &touches[begin] + (end - begin), groups);
    }
    // A path where a directory output's parent is: the few such parents are looked up first, and
    // the directories below the ones that are met looked at again.
    const auto touches_of = [&](std::uint64_t hash) {
        const HashedTouch probe{hash, 0, 0, 0, false};
        return std::equal_range(touches.begin(), touches.end(), probe, by_hash);
    };
    std::unordered_set<std::uint64_t> met;
    for (const std::uint64_t hash : directories.enclosing)
        if (const auto [first, last] = touches_of(hash); first != last) met.insert(hash);
    if (met.empty()) return;
    for_each_directory_key(entries, keys, stop, [&](std::size_t i, const auto& kinds) {
        for (const std::string& key : kinds)
            for_each_enclosing_hash(key, [&](std::uint64_t hash) {
                if (!met.count(hash)) return;
                const auto [first, last] = touches_of(hash);
                for (auto it = first; it != last; ++it) groups.unite(i, it->entry);
            });
    });
}

PathKeys path_keys(PathIdentity identity) {
    PathKeys keys{identity, {}, {}, {}, nullptr, {}};
    if (identity == PathIdentity::file_system) {
        std::error_code error;
        keys.working_directory = fs::current_path(error);
        keys.working_directory_text = keys.working_directory.string();
    }
    return keys;
}

}  // namespace

std::vector<std::size_t> conflict_groups(const std::vector<RunEntry>& entries, PathIdentity identity,
                                         const std::atomic<bool>* stop_flag, const std::atomic<bool>* needless) {
    const LookEnd stop{stop_flag, needless};
    PathKeys keys = path_keys(identity);
    UnionFind groups(entries.size());
    if (entries.size() <= UINT32_MAX) unite_by_hashes(entries, keys, stop, groups);
    // A stop ends the look at once; a longer list than touches can number is one chain too.
    if (stop.now() || entries.size() > UINT32_MAX) {
        for (std::size_t i = 1; i < entries.size(); ++i) groups.unite(0, i);  // one chain: safe, and never run
    }
    std::vector<std::size_t> roots(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) roots[i] = groups.root(i);
    return roots;
}
