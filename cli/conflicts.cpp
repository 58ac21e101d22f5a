#include "cli/conflicts.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "convert/output_names.h"

namespace {

namespace fs = std::filesystem;

enum class Use { input, file_output, directory_output };

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

struct Touch {
    std::size_t entry;
    Use use;
};

// Keys by path, in path order, so the paths below a directory follow it.
using TouchMap = std::map<std::string, std::vector<Touch>>;

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

bool is_dot_dot(const std::string& key) {
    return key == ".." || (key.size() >= 3 && key.compare(key.size() - 3, 3, "/..") == 0);
}

// The key of the directory that holds key; nothing at the top ("/", "." or a run of "..").
std::optional<std::string> parent_key(const std::string& key) {
    if (key == "/" || key == "." || is_dot_dot(key)) return std::nullopt;
    const std::size_t slash = key.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return key.substr(0, slash);
}

bool is_below(const std::string& key, const std::string& directory) {
    if (key == directory) return false;
    if (directory == "/") return key.front() == '/';
    if (directory == ".") return key.front() != '/' && key != ".." && key.compare(0, 3, "../") != 0;
    return key.size() > directory.size() && key.compare(0, directory.size(), directory) == 0 &&
           key[directory.size()] == '/';
}

struct ResolvedDirectory {
    std::string path;
    bool holds_nothing = false;  // no directory is there (or none that can be searched)
};

// The keys a path is known by.
struct PathKeys {
    PathIdentity identity;
    fs::path working_directory;
    std::map<std::string, ResolvedDirectory, std::less<>> resolved_directories;  // by a directory's spelling
    const std::pair<const std::string, ResolvedDirectory>* last_directory = nullptr;

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

    std::vector<std::string> of(const std::string& path, bool* consumed = nullptr) {
        std::vector<std::string> keys;
        for (std::string& key : kinds_of(path, consumed))
            if (!key.empty()) keys.push_back(std::move(key));
        return keys;
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
            absolute = working_directory.native();
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
        const ResolvedDirectory& resolved_parent =
            resolved_directory(slash == 0 ? std::string_view("/") : std::string_view(text).substr(0, slash));
        const std::string& directory = resolved_parent.path;
        in_nothing = resolved_parent.holds_nothing;
        if (directory.empty() || directory.front() != '/') return false;
        resolved.assign(directory);
        if (resolved != "/") resolved += '/';
        resolved.append(text, slash + 1, std::string::npos);
        return true;
    }

    const ResolvedDirectory& resolved_directory(std::string_view directory) {
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
    void unite_all(std::size_t a, const std::vector<Touch>& touches) {
        for (const Touch& touch : touches) unite(a, touch.entry);
    }
};

TouchMap touches_of(const std::vector<RunEntry>& entries, PathKeys& keys, const std::atomic<bool>* stop) {
    TouchMap touches;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // A long list takes a while: a stop ends the look at once (nothing will run).
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return {};
        const RunEntry& entry = entries[i];
        const RunPaths paths = derive_output_paths(entry.input, entry.output_base);
        // Two entries that read one pipe would share out its bytes: such an input counts as written.
        bool consumed = false;
        const std::vector<std::string> input_keys = keys.of(paths.input, &consumed);
        for (const std::string& key : input_keys) touches[key].push_back({i, consumed ? Use::file_output : Use::input});
        for (const std::string& name : paths.combined)
            for (const std::string& key : keys.of(name)) touches[key].push_back({i, Use::file_output});
        for (const std::string& key : keys.of(paths.hdf5)) touches[key].push_back({i, Use::file_output});
        // An empty output base names no directory: no per-sensor file is written.
        if ((entry.flags & FLAG_SPLIT) && !entry.output_base.empty())
            for (const std::string& key : keys.of(entry.output_base))
                touches[key].push_back({i, Use::directory_output});
    }
    return touches;
}

bool written(const std::vector<Touch>& touches) {
    for (const Touch& touch : touches)
        if (touch.use != Use::input) return true;
    return false;
}

// A directory output meets everything below it, and whatever stands where one of its parents does.
void unite_around_directory(const TouchMap& touches, const std::string& directory, std::size_t entry,
                            UnionFind& groups) {
    if (directory == "/" || directory == ".") {
        for (const auto& [key, list] : touches)
            if (is_below(key, directory)) groups.unite_all(entry, list);
    } else {
        for (auto it = touches.lower_bound(directory + "/"); it != touches.end() && is_below(it->first, directory); ++it)
            groups.unite_all(entry, it->second);
    }
    for (std::optional<std::string> parent = parent_key(directory); parent; parent = parent_key(*parent))
        if (const auto it = touches.find(*parent); it != touches.end()) groups.unite_all(entry, it->second);
}

// The paths of an entry that keys are taken of: its input, its four combined names, its HDF5 name.
constexpr std::size_t PATH_SLOTS = 1 + COMBINED_OUTPUT_COUNT + 1;

void slot_path_into(const RunEntry& entry, std::size_t slot, std::string& path) {
    if (slot == 0) {
        path = entry.input;
        return;
    }
    path = entry.output_base;
    path += slot <= COMBINED_OUTPUT_COUNT ? COMBINED_OUTPUTS[slot - 1].suffix : HDF5_SUFFIX;
}

std::string slot_path(const RunEntry& entry, std::size_t slot) {
    std::string path;
    slot_path_into(entry, slot, path);
    return path;
}

std::uint64_t key_hash(const std::string& key) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char byte : key) hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
    return hash;
}

// One key of one path of an entry, by its hash: the key itself is derived again only where
// hashes meet, so a long list holds a few words an entry and no strings.
struct HashedTouch {
    std::uint64_t hash;
    std::uint32_t entry;  // lists longer than this take the look by paths
    std::uint8_t slot;
    std::uint8_t kind;
    bool written;
};
static_assert(sizeof(HashedTouch) == 16, "a touch is two words");

std::vector<HashedTouch> hashed_touches(const std::vector<RunEntry>& entries, PathKeys& keys,
                                        const std::atomic<bool>* stop) {
    std::vector<HashedTouch> touches;
    // Most paths have one key: pages of this that stay unused are never touched, so cost nothing.
    touches.reserve(entries.size() * PATH_SLOTS);
    std::string path;
    std::array<std::string, KEY_KINDS> kinds;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // A long list takes a while: a stop ends the look at once (nothing will run).
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return {};
        for (std::size_t slot = 0; slot < PATH_SLOTS; ++slot) {
            // Two entries that read one pipe would share out its bytes: such an input counts as written.
            bool consumed = false;
            slot_path_into(entries[i], slot, path);
            keys.kinds_into(path, kinds, &consumed);
            for (std::size_t kind = 0; kind < KEY_KINDS; ++kind)
                if (!kinds[kind].empty())
                    touches.push_back({key_hash(kinds[kind]), static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(slot),
                                       static_cast<std::uint8_t>(kind), slot != 0 || consumed});
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

// Without split outputs no directory is written: equal keys are all there is to find.
void unite_by_hashes(const std::vector<RunEntry>& entries, PathKeys& keys, const std::atomic<bool>* stop,
                     UnionFind& groups) {
    std::vector<HashedTouch> touches = hashed_touches(entries, keys, stop);
    // Equal hashes meet; their order among each other does not matter (unions are by index).
    std::sort(touches.begin(), touches.end(), [](const HashedTouch& a, const HashedTouch& b) { return a.hash < b.hash; });
    for (std::size_t begin = 0, end = 0; begin < touches.size(); begin = end) {
        for (end = begin + 1; end < touches.size() && touches[end].hash == touches[begin].hash;) ++end;
        if (end - begin > 1) unite_equal_hashes(entries, keys, &touches[begin], &touches[begin] + (end - begin), groups);
    }
}

bool writes_directories(const std::vector<RunEntry>& entries) {
    return std::any_of(entries.begin(), entries.end(), [](const RunEntry& entry) {
        return (entry.flags & FLAG_SPLIT) && !entry.output_base.empty();
    });
}

PathKeys path_keys(PathIdentity identity) {
    PathKeys keys{identity, {}, {}, nullptr};
    if (identity == PathIdentity::file_system) {
        std::error_code error;
        keys.working_directory = fs::current_path(error);
    }
    return keys;
}

// Split outputs write directories: the keys in path order tell what lies below each.
void unite_by_paths(const std::vector<RunEntry>& entries, PathKeys& keys, const std::atomic<bool>* stop,
                    UnionFind& groups) {
    const TouchMap touches = touches_of(entries, keys, stop);
    for (const auto& [key, list] : touches)
        if (written(list)) groups.unite_all(list.front().entry, list);
    for (const auto& [key, list] : touches)
        for (const Touch& touch : list)
            if (touch.use == Use::directory_output && key.front() != INODE_KEY[0])
                unite_around_directory(touches, key, touch.entry, groups);
}

}  // namespace

std::vector<std::size_t> conflict_groups(const std::vector<RunEntry>& entries, PathIdentity identity,
                                         const std::atomic<bool>* stop) {
    PathKeys keys = path_keys(identity);
    UnionFind groups(entries.size());
    if (writes_directories(entries) || entries.size() > UINT32_MAX)
        unite_by_paths(entries, keys, stop, groups);
    else
        unite_by_hashes(entries, keys, stop, groups);
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        for (std::size_t i = 1; i < entries.size(); ++i) groups.unite(0, i);  // one chain: safe, and never run
    }
    std::vector<std::size_t> roots(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) roots[i] = groups.root(i);
    return roots;
}
