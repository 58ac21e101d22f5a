// Which list entries conflict, how a list is cut into shards, and the shipped recipes that
// run the shards: N processes must together do what one run does.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "cli/batch.h"
#include "cli/conflicts.h"
#include "cli/shards.h"
#include "test_support.h"

#ifndef MEASCONV_SOURCE_DIR
#error "MEASCONV_SOURCE_DIR must name the source tree"
#endif

namespace {

using test::file_tree;
using test::RunResult;
using test::Scratch;
namespace fs = std::filesystem;
using Groups = std::vector<std::size_t>;

Groups groups_of(const std::string& list, PathIdentity identity, const std::string& letters = "tp") {
    return conflict_groups(
        batch_entries(parse_list_text(list), "list.txt", parse_type_letters(letters), RunSettings{}).entries, identity);
}

struct GroupCase {
    const char* what;
    const char* list;
    Groups groups;  // of the entries: the first entry of each one's group
};

TEST(ConflictGroups, ByTheTextOfThePaths) {
    const GroupCase cases[] = {
        {"independent entries", "a.dat,x\nb.dat,y\n", {0, 1}},
        {"one input read twice", "a.dat,x\na.dat,y\n", {0, 1}},
        {"the same output base", "a.dat,x\nb.dat,x\n", {0, 0}},
        {"the same base, spelled otherwise", "a.dat,./x\nb.dat,sub/../x\nc.dat,q//x\nd.dat,q/x\n", {0, 0, 2, 2}},
        {"a combined file read later", "a.dat,x\nx_wl.csv,y\n", {0, 0}},
        {"a combined file read earlier", "x_pv.txt,y\na.dat,x\n", {0, 0}},
        {"an entry's own input is not a conflict", "x_pv.txt,x\n", {0}},
        {"a split directory holds combined files", "a.dat,d,s\nb.dat,d/c\n", {0, 0}},
        {"no split, no directory", "a.dat,d,t\nb.dat,d/c\n", {0, 1}},
        {"a split directory holds an input", "a.dat,d,st\nd/in.dat,y\n", {0, 0}},
        {"a split directory within another", "a.dat,d,st\nb.dat,d/e/f,st\n", {0, 0}},
        {"a split directory named like a combined file", "a.dat,x\nb.dat,x_pv.txt,st\n", {0, 0}},
        {"letters carried over into split mode", "a.dat,d,st\nb.dat,d2\nc.dat,d2/x,t\n", {0, 1, 1}},
        {"a prefix that is no parent", "a.dat,d,st\nb.dat,dd/c\nc.dat,d_pv.txt2\n", {0, 1, 2}},
        {"the working directory as split directory", "a.dat,.,st\nb.dat,x/y\n../c.dat,../z\n/abs.dat,/o\n",
         {0, 0, 2, 3}},
        {"transitively", "a.dat,x\nx_pv.txt,y\ny_pv.txt,z\nq.dat,w\nz_pv.csv,v\n", {0, 0, 0, 3, 0}},
    };
    for (const GroupCase& c : cases) EXPECT_EQ(groups_of(c.list, PathIdentity::text), c.groups) << c.what;
}

TEST(ConflictGroups, ByTheFileSystem) {
    Scratch scratch;
    const std::string s = scratch.dir.string();
    fs::create_directories(s + "/d/e");
    fs::create_directory_symlink(s + "/d", s + "/lnk");
    fs::create_directory_symlink(s + "/d/e", s + "/deep");
    fs::create_symlink(s + "/real_pv.txt", s + "/dangling_pv.txt");  // opening it for writing creates real_pv.txt
    test::write_file(s + "/o_pv.txt", "");
    fs::create_hard_link(s + "/o_pv.txt", s + "/alias.dat");
    ASSERT_EQ(mkfifo((s + "/fifo").c_str(), 0600), 0);
    fs::create_symlink(s + "/fifo", s + "/fifo_link");
    const std::string relative_spelling = fs::relative(s, fs::current_path()).string();
    // @ stands for the scratch directory, ~ for a relative spelling of it.
    const GroupCase cases[] = {
        {"a directory through a link", "a.dat,@/lnk/o\nb.dat,@/d/o\n", {0, 0}},
        {"a dangling link to a later output", "a.dat,@/dangling\nb.dat,@/real\n", {0, 0}},
        {"a hard link to a later input", "a.dat,@/o\n@/alias.dat,@/y\n", {0, 0}},
        {"'..' after a link", "a.dat,@/deep/../o\nb.dat,@/d/o\n", {0, 0}},
        {"a relative and an absolute spelling", "a.dat,@/x\nb.dat,~/x\n", {0, 0}},
        {"a split directory through a link", "a.dat,@/lnk,st\nb.dat,@/d/e/x\n", {0, 0}},
        {"independent entries", "a.dat,@/x\nb.dat,@/d/x\n", {0, 1}},
        {"one regular file read twice", "@/alias.dat,@/x\n@/alias.dat,@/y\n", {0, 1}},
        {"one FIFO read twice, by two names", "@/fifo,@/x\n@/fifo_link,@/y\n@/fifo_link,@/z\n", {0, 0, 0}},
    };
    for (const GroupCase& c : cases) {
        std::string list;
        for (const char* p = c.list; *p != '\0'; ++p)
            list += *p == '@' ? s : *p == '~' ? relative_spelling : std::string(1, *p);
        EXPECT_EQ(groups_of(list, PathIdentity::file_system), c.groups) << c.what << ": " << list;
    }
    // Among many names looked for in one directory, which is then read once: a name it holds is
    // still looked at (a hard link, a dangling link); the names it lacks are not there.
    test::write_file(s + "/d/h_pv.txt", "");
    fs::create_hard_link(s + "/d/h_pv.txt", s + "/d/h.dat");
    fs::create_symlink(s + "/d/real_pv.csv", s + "/d/dl_pv.csv");
    std::string listed;
    Groups listed_groups;
    for (std::size_t i = 0; i < 40; ++i) {
        listed += "p.dat," + s + "/d/p" + std::to_string(i) + "\n";
        listed_groups.push_back(i);
    }
    listed += "a.dat," + s + "/d/h\n" + s + "/d/h.dat," + s + "/y\nb.dat," + s + "/d/dl\nc.dat," + s + "/d/real\n";
    listed_groups.insert(listed_groups.end(), {40, 40, 42, 42});
    EXPECT_EQ(groups_of(listed, PathIdentity::file_system), listed_groups);
    // By text alone, only the spellings that read alike meet.
    const std::string absolute = "a.dat," + s + "/x\nb.dat," + relative_spelling + "/x\n";
    EXPECT_EQ(groups_of(absolute, PathIdentity::text), (Groups{0, 1}));
}

TEST(ShardMembers, GroupsStayWholeAndShardsAreBalancedByEntries) {
    struct Case {
        Groups groups;
        std::uint64_t count;
        std::vector<std::vector<std::size_t>> members;  // of each shard
    };
    const Case cases[] = {
        {{0, 1, 2, 3, 4}, 1, {{0, 1, 2, 3, 4}}},
        {{0, 1, 2, 3, 4}, 2, {{0, 2, 4}, {1, 3}}},
        {{0, 1, 2, 3, 4}, 3, {{0, 3}, {1, 4}, {2}}},
        // Largest group first: 3 entries to shard 0, 2 to shard 1, the single one to shard 1.
        {{0, 0, 2, 3, 3, 3}, 2, {{3, 4, 5}, {0, 1, 2}}},
        {{0, 1, 0, 1, 0, 5, 6}, 3, {{0, 2, 4}, {1, 3}, {5, 6}}},
        // More shards than groups: some are empty.
        {{0, 0, 0}, 3, {{0, 1, 2}, {}, {}}},
        {{0, 1}, 4, {{0}, {1}, {}, {}}},
        {{}, 2, {{}, {}}},
    };
    for (const Case& c : cases) {
        for (std::uint64_t k = 0; k < c.count; ++k)
            EXPECT_EQ(shard_members(c.groups, Shard{k, c.count}), c.members[k]) << "shard " << k << " of " << c.count;
    }
    // Any list: every entry in exactly one shard, with the rest of its group; shard sizes differ
    // by no more than the largest group has entries.
    std::vector<std::size_t> groups;
    for (std::size_t i = 0; i < 1000; ++i) groups.push_back(i % 7 == 3 && i > 20 ? i - 14 - (i % 5) : i);
    for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = groups[groups[i]];  // roots of roots
    std::map<std::size_t, std::size_t> group_sizes;
    for (std::size_t root : groups) ++group_sizes[root];
    std::size_t largest_group = 0;
    for (const auto& [root, size] : group_sizes) largest_group = std::max(largest_group, size);
    ASSERT_GT(largest_group, 2u);
    for (const std::uint64_t count : {2u, 3u, 16u, 500u, 5000u}) {
        std::vector<int> seen(groups.size(), 0);
        std::vector<std::uint64_t> shard_of_group(groups.size(), count);
        std::size_t smallest = groups.size(), largest = 0;
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::vector<std::size_t> members = shard_members(groups, Shard{k, count});
            EXPECT_TRUE(std::is_sorted(members.begin(), members.end()));
            for (std::size_t i : members) {
                ++seen[i];
                if (shard_of_group[groups[i]] == count) shard_of_group[groups[i]] = k;
                EXPECT_EQ(shard_of_group[groups[i]], k) << "entry " << i << " left its group";
            }
            smallest = std::min(smallest, members.size());
            largest = std::max(largest, members.size());
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(groups.size())) << count;
        if (count < group_sizes.size()) {
            EXPECT_LE(largest - smallest, largest_group) << count;
        }
    }
}

// --- Shards run for real ---

FileShape entry_shape(int sensors, std::uint64_t records) {
    FileShape shape = test::sample_shape();
    shape.sensors = numbered_sensors(sensors);
    shape.pattern_records = records;
    shape.records_per_second = 10;
    return shape;
}

// A list whose entries conflict in every way the text shows, with failures among them.
void write_shard_workload(const std::string& dir) {
    ASSERT_TRUE(write_data_file(entry_shape(16, 20000), dir + "/large.dat"));
    ASSERT_TRUE(write_data_file(entry_shape(2, 5), dir + "/small.dat"));
    std::string list = "# a run of many files\n";
    for (int i = 0; i < 12; ++i) list += "small.dat,out/s" + std::to_string(i) + (i % 3 == 0 ? ",sct\n" : "\n");
    list += "large.dat,out/big,tpwc\nsmall.dat,./out/big,tp\n";    // the same base twice
    list += "large.dat,made\nmade_pv.txt,from_made\n";              // an output read later
    list += "large.dat,split,sct\nsmall.dat,split/inner,tpwc\n";    // combined files in a split directory
    list += "missing.dat,m\nout,dir_input\nlarge.dat,l2,cp\n";      // failures among good entries
    test::write_file(dir + "/list.txt", list);
    fs::create_directory(dir + "/out");
}

std::multiset<std::string> lines_of(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

struct Recipe {
    const char* name;
    // Runs every shard of N=3 in the working directory; "$MEASCONV" and "$SRC" are set.
    std::string script;
    int exit_code;
};

// Runs the Slurm script as the tasks TASKS of an array, with the variables Slurm sets (COUNT, MIN
// and MAX may use the task $k), and ends with the highest exit code, as sbatch --wait does.
std::string slurm_tasks(const std::string& tasks, const std::string& count, const std::string& min,
                        const std::string& max, const std::string& args) {
    return "status=0; for k in " + tasks + "; do SLURM_ARRAY_TASK_ID=$k SLURM_ARRAY_TASK_COUNT=" + count +
           " SLURM_ARRAY_TASK_MIN=" + min + " SLURM_ARRAY_TASK_MAX=" + max +
           " SLURM_CPUS_PER_TASK=2 bash \"$SRC/cluster/slurm-shards.sbatch\" tpwc list.txt " + args +
           "; s=$?; [ $s -gt $status ] && status=$s; done; exit $status";
}

// measconv exits with 0 after failed entries; the recipes exit with 1 when a shard printed messages.
const Recipe RECIPES[] = {
    {"shards one after another, last first",
     "for k in 2 1 0; do MEASCONV_SHARD=$k/3 \"$MEASCONV\" tpwc list.txt || exit; done", 0},
    {"GNU parallel, three shards at once", "MEASCONV_JOBS=2 \"$SRC/cluster/parallel-shards.sh\" tpwc list.txt 3", 1},
    {"GNU parallel, more shards than entries",
     "MEASCONV_JOBS=1 \"$SRC/cluster/parallel-shards.sh\" tpwc list.txt 40 -j 8", 1},
    {"Slurm job array, tasks set by hand", slurm_tasks("1 0 2", "3", "0", "2", ""), 1},
    {"Slurm, each shard an array of its own with N given", slurm_tasks("2 0 1", "1", "$k", "$k", "3"), 1},
};

TEST(Shards, TogetherTheyDoWhatOneRunDoes) {
    ASSERT_EQ(test::run_shell("command -v parallel", "/").exit_code, 0)
        << "GNU parallel is missing: scripts/ensure-tools.sh installs it";
    Scratch scratch;
    fs::create_directory(scratch.path("one"));
    write_shard_workload(scratch.path("one"));
    const RunResult one = test::run_measconv({"tpwc", "list.txt"}, scratch.path("one"));
    ASSERT_EQ(one.exit_code, 0);
    ASSERT_NE(one.out, "");
    const auto expected = file_tree(scratch.path("one"));
    for (const Recipe& recipe : RECIPES) {
        SCOPED_TRACE(recipe.name);
        fs::remove_all(scratch.path("shards"));
        fs::create_directory(scratch.path("shards"));
        write_shard_workload(scratch.path("shards"));
        const RunResult run = test::run_shell(std::string("SRC='") + MEASCONV_SOURCE_DIR + "'; " + recipe.script,
                                              scratch.path("shards"));
        EXPECT_EQ(run.exit_code, recipe.exit_code) << run.err;
        EXPECT_EQ(lines_of(run.out), lines_of(one.out));
        const auto tree = file_tree(scratch.path("shards"));
        EXPECT_TRUE(tree == expected) << "the output trees differ";
    }
}

TEST(Shards, TheRecipesRefuseWhatTheyCannotRun) {
    const std::string src = MEASCONV_SOURCE_DIR;
    struct Case {
        const char* what;
        std::string script;
        const char* err;
    };
    const Case cases[] = {
        {"the Slurm script parses", "bash -n '" + src + "/cluster/slurm-shards.sbatch'", ""},
        {"the parallel script parses", "bash -n '" + src + "/cluster/parallel-shards.sh'", ""},
        {"an array not numbered from 0",
         "SLURM_ARRAY_TASK_ID=3 SLURM_ARRAY_TASK_COUNT=3 SLURM_ARRAY_TASK_MIN=1 SLURM_ARRAY_TASK_MAX=3 bash '" + src +
             "/cluster/slurm-shards.sbatch' tp list.txt",
         "the array must number its 3 tasks 0-2, not 1-3"},
        {"not an array task", "bash '" + src + "/cluster/slurm-shards.sbatch' tp list.txt", "SLURM_ARRAY_TASK_ID"},
        {"shards that are no number", "'" + src + "/cluster/parallel-shards.sh' tp list.txt x3",
         "SHARDS must be a positive integer, not 'x3'"},
        {"N that is no number",
         "SLURM_ARRAY_TASK_ID=0 SLURM_ARRAY_TASK_COUNT=1 bash '" + src + "/cluster/slurm-shards.sbatch' tp list.txt 03",
         "N must be a positive integer, not '03'"},
        {"a task that is no shard of N",
         "SLURM_ARRAY_TASK_ID=3 SLURM_ARRAY_TASK_COUNT=1 bash '" + src + "/cluster/slurm-shards.sbatch' tp list.txt 3",
         "task 3 is no shard of 3 (0-2)"},
        {"too many arguments",
         "SLURM_ARRAY_TASK_ID=0 SLURM_ARRAY_TASK_COUNT=1 bash '" + src +
             "/cluster/slurm-shards.sbatch' tp list.txt 3 4",
         "usage: sbatch"},
    };
    Scratch scratch;
    test::write_file(scratch.path("list.txt"), "missing.dat,out\n");
    for (const Case& c : cases) {
        const RunResult run = test::run_shell(c.script, scratch.dir.string());
        EXPECT_EQ(run.exit_code, *c.err == '\0' ? 0 : 2) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(run.out, "") << c.what;
    }
}

// Without MEASCONV the recipes run the measconv beside them, else the one in the build folder
// of their source tree (build/bin before build), else the one on the PATH; they name each
// place when none is there. Every program found here is a wrapper that notes its own path in
// used.txt and runs the real measconv; the list has nothing to convert, so the recipe exits with 0.
TEST(Shards, TheRecipesFindTheProgram) {
    struct Case {
        const char* what;
        std::vector<const char*> programs;  // wrappers in the tree (folders: a path ending in '/')
        const char* settings;               // shell assignments before the recipe; @ is the tree
        const char* used;                   // the program run, or "" when the recipe must refuse
    };
    const Case cases[] = {
        {"the build folder's bin", {"build/bin/measconv"}, "", "@/build/bin/measconv"},
        {"the build folder itself", {"build/measconv"}, "", "@/build/measconv"},
        {"bin before the build folder", {"build/bin/measconv", "build/measconv"}, "", "@/build/bin/measconv"},
        {"beside the recipe first", {"cluster/measconv", "build/bin/measconv"}, "", "@/cluster/measconv"},
        {"a folder named measconv is no program", {"build/bin/measconv/", "build/measconv"}, "", "@/build/measconv"},
        {"MEASCONV before all",
         {"elsewhere/measconv", "build/bin/measconv"},
         "MEASCONV=@/elsewhere/measconv",
         "@/elsewhere/measconv"},
        {"the PATH when the tree has none", {"path/measconv"}, "PATH=@/path:$PATH", "@/path/measconv"},
        {"nowhere", {}, "PATH=@/tools", ""},  // tools/ holds only bash and dirname
    };
    const std::string src = MEASCONV_SOURCE_DIR;
    const char* recipes[] = {
        "@/cluster/parallel-shards.sh tpwc list.txt 1",
        "SLURM_ARRAY_TASK_ID=0 SLURM_ARRAY_TASK_COUNT=1 bash @/cluster/slurm-shards.sbatch tpwc list.txt 1",
    };
    for (const char* recipe : recipes) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", " + recipe);
            Scratch scratch;
            const std::string tree = scratch.path("tree");
            const auto in_tree = [&](std::string text) {
                for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, tree);
                return text;
            };
            fs::create_directories(tree + "/cluster");
            fs::create_directories(tree + "/tools");
            fs::create_symlink("/bin/bash", tree + "/tools/bash");
            fs::create_symlink("/usr/bin/dirname", tree + "/tools/dirname");
            for (const char* script : {"parallel-shards.sh", "slurm-shards.sbatch"})
                fs::copy_file(src + "/cluster/" + script, tree + "/cluster/" + script);
            for (const std::string program : c.programs) {
                fs::create_directories(fs::path(tree + "/" + program).parent_path());
                if (program.back() == '/') continue;
                test::write_file(tree + "/" + program,
                                 "#!/bin/sh\necho \"$0\" >>used.txt\nexec '" + test::measconv_path() + "' \"$@\"\n");
                fs::permissions(tree + "/" + program, fs::perms::owner_all);
            }
            test::write_file(scratch.path("list.txt"), "# nothing to convert\n");
            const RunResult run =
                test::run_shell("unset MEASCONV; " + in_tree(c.settings) + " " + in_tree(recipe), scratch.dir.string());
            if (*c.used == '\0') {
                EXPECT_EQ(run.exit_code, 2);
                EXPECT_EQ(run.out, "");
                for (const std::string& said : {in_tree("not in @/cluster, @/build/bin or @/build, nor on the PATH"),
                                                std::string("MEASCONV=/path/to/measconv")})
                    EXPECT_NE(run.err.find(said), std::string::npos) << said << " in: " << run.err;
                continue;
            }
            EXPECT_EQ(run.exit_code, 0) << run.err;  // no message, no failure
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(test::read_file(scratch.path("used.txt")), in_tree(c.used) + "\n");
        }
    }
}

}  // namespace
