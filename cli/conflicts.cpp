#include "cli/conflicts.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <system_error>

#include "convert/output_names.h"

namespace {

namespace fs = std::filesystem;

enum class Use { input, file_output, directory_output };

// Starts the keys made of a device and an inode; keys made of paths start with "/" or a list byte.
constexpr char INODE_KEY[] = "\x01";

struct Touch {
    std::size_t request;
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

// The keys a path is known by.
struct PathKeys {
    PathIdentity identity;
    fs::path working_directory;
    std::map<std::string, std::string> resolved_directories;  // a directory's spelling -> its resolved path

    // The keys of path; `consumed` tells whether reading it takes what it gives (a pipe, a
    // FIFO, a terminal: anything that exists and is neither a regular file nor a directory).
    std::vector<std::string> of(const std::string& path, bool* consumed = nullptr) {
        if (identity == PathIdentity::text) return {normal_text(path)};
        const fs::path absolute = working_directory / path;
        std::vector<std::string> keys = {normal_text(absolute)};
        const std::string resolved = resolve(absolute);
        if (resolved != keys.front()) keys.push_back(resolved);
        // Hard links and other mounts of one file: its device and inode.
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0) {
            keys.push_back(std::string(INODE_KEY).append(std::to_string(status.st_dev)).append(":").append(
                std::to_string(status.st_ino)));
            if (consumed != nullptr) *consumed = !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
        }
        return keys;
    }

    // The path with every symbolic link resolved, also a dangling one in last place (opening
    // it for writing creates its target); ".." is applied to the resolved directory.
    std::string resolve(fs::path path) {
        for (int hop = 0; hop < 40; ++hop) {
            const fs::path name = path.filename();
            std::string resolved;
            if (name.empty() || name == "." || name == "..") {
                std::error_code error;
                const fs::path canonical = fs::weakly_canonical(path, error);
                resolved = normal_text(error ? path : canonical);
            } else {
                resolved = normal_text(fs::path(resolved_directory(path.parent_path())) / name);
            }
            std::error_code error;
            if (!fs::is_symlink(resolved, error)) return resolved;
            const fs::path target = fs::read_symlink(resolved, error);
            if (error) return resolved;
            path = target.is_absolute() ? target : fs::path(resolved).parent_path() / target;
        }
        return normal_text(path);
    }

    const std::string& resolved_directory(const fs::path& directory) {
        auto [entry, added] = resolved_directories.try_emplace(directory.string());
        if (added) {
            std::error_code error;
            const fs::path canonical = fs::weakly_canonical(directory, error);
            entry->second = normal_text(error ? directory : canonical);
        }
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
        for (const Touch& touch : touches) unite(a, touch.request);
    }
};

TouchMap touches_of(const std::vector<ConvertRequest>& requests, PathIdentity identity,
                    const std::atomic<bool>* stop) {
    PathKeys keys{identity, {}, {}};
    if (identity == PathIdentity::file_system) {
        std::error_code error;
        keys.working_directory = fs::current_path(error);
    }
    TouchMap touches;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        // A long list takes a while: a stop ends the look at once (nothing will run).
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return {};
        const ConvertRequest& request = requests[i];
        const RunPaths paths = derive_output_paths(request.input, request.output_base);
        // Two entries that read one pipe would share out its bytes: such an input counts as written.
        bool consumed = false;
        const std::vector<std::string> input_keys = keys.of(paths.input, &consumed);
        for (const std::string& key : input_keys) touches[key].push_back({i, consumed ? Use::file_output : Use::input});
        for (const std::string& name : paths.combined)
            for (const std::string& key : keys.of(name)) touches[key].push_back({i, Use::file_output});
        for (const std::string& key : keys.of(paths.hdf5)) touches[key].push_back({i, Use::file_output});
        // An empty output base names no directory: no per-sensor file is written.
        if ((request.flags & FLAG_SPLIT) && !request.output_base.empty())
            for (const std::string& key : keys.of(request.output_base))
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
void unite_around_directory(const TouchMap& touches, const std::string& directory, std::size_t request,
                            UnionFind& groups) {
    if (directory == "/" || directory == ".") {
        for (const auto& [key, list] : touches)
            if (is_below(key, directory)) groups.unite_all(request, list);
    } else {
        for (auto it = touches.lower_bound(directory + "/"); it != touches.end() && is_below(it->first, directory); ++it)
            groups.unite_all(request, it->second);
    }
    for (std::optional<std::string> parent = parent_key(directory); parent; parent = parent_key(*parent))
        if (const auto it = touches.find(*parent); it != touches.end()) groups.unite_all(request, it->second);
}

}  // namespace

std::vector<std::size_t> conflict_groups(const std::vector<ConvertRequest>& requests, PathIdentity identity,
                                         const std::atomic<bool>* stop) {
    const TouchMap touches = touches_of(requests, identity, stop);
    UnionFind groups(requests.size());
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        for (std::size_t i = 1; i < requests.size(); ++i) groups.unite(0, i);  // one chain: safe, and never run
    }
    for (const auto& [key, list] : touches)
        if (written(list)) groups.unite_all(list.front().request, list);
    for (const auto& [key, list] : touches)
        for (const Touch& touch : list)
            if (touch.use == Use::directory_output && key.front() != INODE_KEY[0])
                unite_around_directory(touches, key, touch.request, groups);
    std::vector<std::size_t> roots(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) roots[i] = groups.root(i);
    return roots;
}
