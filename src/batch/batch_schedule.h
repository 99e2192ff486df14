#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "conversion/output_policy.h"
#include "convert/convert.h"

namespace kelvara::batch {

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

// The files an entry reads and the ones it replaces, canonical. A folder its
// output needs but that does not exist yet counts as read: an earlier entry
// writing a file of that very name changes whether the output can be made.
struct EntryAccess {
    std::vector<std::string> reads;
    std::vector<std::string> writes;
};

EntryAccess entryAccess(const std::string& sourcePath, const OutputPlan& plan,
                        PathCanonicalizer& paths);

// For each entry, the earlier entries it must wait for.
class DependencyGraph {
  public:
    std::size_t size() const { return offsets_.size() - 1; }
    std::span<const std::uint32_t> of(std::size_t entry) const {
        return {edges_.data() + offsets_[entry], edges_.data() + offsets_[entry + 1]};
    }

  private:
    friend class DependencyBuilder;
    std::vector<std::size_t> offsets_{0};
    std::vector<std::uint32_t> edges_;
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

using EntryWork = std::function<ConvertStatus(std::size_t entry)>;
using ResultSink = std::function<void(std::size_t entry, ConvertStatus status)>;

struct RunHooks {
    // Read by the workers before they start each entry; once true, no entry
    // starts any more. Must be safe to call from any thread.
    std::function<bool()> stopRequested;
    // On the calling thread, in list order, for every entry that ran. After
    // a stop, entries that never started are passed over.
    ResultSink onResult;
    // On the calling thread, at least every tickInterval while entries run.
    std::function<void()> onTick;
    std::chrono::milliseconds tickInterval{100};
};

// Runs work for every entry of the graph on up to `jobs` threads, the
// lowest-numbered ready entry first; an entry starts only once every entry
// it depends on has finished. Returns how many entries ran. When no thread
// can be started, the entries run one after another on the calling thread.
std::size_t runEntries(const DependencyGraph& graph, unsigned jobs, const EntryWork& work,
                       const RunHooks& hooks);

}  // namespace kelvara::batch
