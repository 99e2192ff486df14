#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "convert/output_policy.h"
#include "io/deep_path.h"
#include "settings/settings.h"

namespace kelvara {

// One spelling per file: the folder part goes through realpath, so "a/./b",
// "a//b" and a path through a linked folder meet. A folder that does not
// exist yet is resolved up to its deepest existing ancestor and the rest is
// appended with "." and ".." applied, the way makeDirectories will create it.
// Results are cached per folder; one instance belongs to one thread.
class PathCanonicalizer {
public:
    // The canonical spelling of path (an absolute path; its last component is
    // kept as it is, not followed). missingFolders, when given, receives the
    // canonical folders on the way to it that do not exist yet, outermost first.
    std::string canonical(const std::string& path,
                          std::vector<std::string>* missingFolders = nullptr);
    // The canonical spelling of a folder.
    const std::string& canonicalFolder(const std::string& path) { return folder(path).path; }
    // realpath of the whole path (links in the last component followed), or
    // empty when it does not resolve.
    static std::string resolved(const std::string& path);

private:
    struct Folder {
        std::string path;
        std::size_t existing = 0;  // path[0, existing) exists; the rest does not yet
    };
    const Folder& folder(const std::string& path);

    std::unordered_map<std::string, Folder> folders_;
};

// For each entry, the earlier entries it must wait for.
class DependencyGraph {
public:
    std::size_t size() const { return offsets_.size() - 1; }
    std::span<const std::uint32_t> of(std::size_t entry) const {
        return {edges_.data() + offsets_[entry], edges_.data() + offsets_[entry + 1]};
    }

private:
    friend class DependencyBuilder;
    friend DependencyGraph subgraph(const DependencyGraph& graph,
                                    std::span<const std::uint32_t> entries);
    std::vector<std::size_t> offsets_{0};
    std::vector<std::uint32_t> edges_;
};

// The files an entry reads and the ones it replaces, canonical. A folder its
// output needs but that does not exist yet counts as read: an earlier entry
// writing a file of that very name changes whether the output can be made.
struct EntryAccess {
    std::vector<std::string> reads;
    std::vector<std::string> writes;
};

// Builds the graph entry by entry, in list order. An entry waits for the
// last earlier writer of anything it reads or writes, and for every earlier
// reader (since that writer) of what it writes; earlier writers and readers
// are then waited for through those. Paths are kept as 64-bit hashes: two
// paths sharing a hash only add a needless wait, never miss one.
class DependencyBuilder {
public:
    void add(const EntryAccess& access);
    DependencyGraph take() { return std::move(graph_); }

private:
    struct PathUse {
        std::int64_t lastWriter = -1;
        std::vector<std::uint32_t> readers;
    };
    std::unordered_map<std::uint64_t, PathUse> uses_;
    std::vector<std::uint32_t> scratch_;
    DependencyGraph graph_;
};

// One entry of a run, as the list holds it.
struct RunEntry {
    std::string fullPath;
    std::string relativePath;
};

struct PlannedEntry {
    OutputPlan plan;
    // The output would replace another file of the run (another entry's
    // source, or what an earlier entry writes) or leave the output folder
    // through a link at its name: the entry writes nothing.
    bool conflict = false;
    // The entry the conflict is with; -1 for a link leading out.
    std::int64_t conflictWith = -1;
    // The output replaces the entry's own source, as the user asked.
    bool inPlace = false;
    // Nothing stood at the target's name when the run was planned.
    bool targetAbsent = false;
    std::string targetFolder;  // canonical, for numbered names
    // Entries that touch a common file (or conflict) share a group, named by
    // its lowest entry. Which files and folders exist does not change it, so
    // runs that plan the same list apart from each other agree on it.
    std::uint32_t group = 0;
};

// A run decided as a whole before it starts: each entry's plan, the entries
// whose output would destroy another file of the run, and the order entries
// touching the same files must keep. The outcome is the same at any number
// of workers. process() only reads, so workers may call it at once.
class RunPlan {
public:
    RunPlan(std::span<const RunEntry> entries, const Settings& settings);

    std::size_t size() const { return entries_.size(); }
    const PlannedEntry& operator[](std::size_t i) const { return entries_[i]; }
    const DependencyGraph& graph() const { return graph_; }

    // Carries entry i out for its source fullPath. `report` (when given)
    // receives the path of the file written, or why nothing was.
    ConvertStatus process(std::size_t i, const std::string& fullPath,
                          EntryReport* report = nullptr) const;

private:
    void groupEntries(const std::vector<std::string>& sources,
                      const std::vector<std::string>& linkedSources,
                      const std::vector<std::string>& targets,
                      const std::vector<std::string>& writtens);

    Settings settings_;
    std::vector<PlannedEntry> entries_;
    DependencyGraph graph_;
    // Every source and every output of the run, canonical: numbered names
    // must not take one of them.
    std::unordered_set<std::string> reserved_;
    // The source and output folders' handles, kept while the run lasts.
    mutable FolderHandles folders_;
};

// Splits a plan into `count` shards of whole groups, balanced by the entries'
// weights: for each entry, its shard (0-based). The same plan and weights
// give the same answer wherever it is worked out.
std::vector<std::uint32_t> assignShards(const RunPlan& plan, std::span<const std::uint64_t> weights,
                                        unsigned count);

// The graph among some of its entries (in the order given), renumbered from 0.
DependencyGraph subgraph(const DependencyGraph& graph, std::span<const std::uint32_t> entries);

}  // namespace kelvara
