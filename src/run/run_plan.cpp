#include "run/run_plan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "io/deep_path.h"

namespace kelvara {

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

std::string realPath(const std::string& path) {
    const std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
    return resolved ? std::string(resolved.get()) : std::string();
}

void appendComponent(std::string& path, std::string_view name) {
    if (path != "/") {
        path += '/';
    }
    path += name;
}

std::uint64_t pathKey(const std::string& path) {
    return std::hash<std::string_view>{}(path);
}

}  // namespace

const PathCanonicalizer::Folder& PathCanonicalizer::folder(const std::string& path) {
    if (const auto it = folders_.find(path); it != folders_.end()) {
        return it->second;
    }
    Folder result;
    result.path = realPath(path);
    result.existing = result.path.size();
    const std::size_t slash = path.rfind('/');
    if (result.path.empty() && slash != std::string::npos) {
        // Copied, since resolving the parent may rehash the cache.
        result = folder(slash == 0 ? std::string("/") : path.substr(0, slash));
        const std::string_view name = std::string_view(path).substr(slash + 1);
        if (name == "..") {
            const std::size_t up = result.path.rfind('/');
            result.path.resize(up == 0 || up == std::string::npos ? 1 : up);
            result.existing = std::min(result.existing, result.path.size());
        } else if (!name.empty() && name != ".") {
            appendComponent(result.path, name);
        }
    } else if (result.path.empty()) {
        result.path = path;  // not absolute: nothing better than the text itself
    }
    return folders_.emplace(path, std::move(result)).first->second;
}

std::string PathCanonicalizer::canonical(const std::string& path,
                                         std::vector<std::string>* missingFolders) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return path;
    }
    const Folder& parent = folder(slash == 0 ? std::string("/") : path.substr(0, slash));
    if (missingFolders != nullptr && parent.existing < parent.path.size()) {
        for (std::size_t k = parent.path.find('/', parent.existing + 1); k != std::string::npos;
             k = parent.path.find('/', k + 1)) {
            missingFolders->push_back(parent.path.substr(0, k));
        }
        missingFolders->push_back(parent.path);
    }
    std::string result = parent.path;
    appendComponent(result, std::string_view(path).substr(slash + 1));
    return result;
}

std::string PathCanonicalizer::resolved(const std::string& path) {
    return realPath(path);
}

void DependencyBuilder::add(const EntryAccess& access) {
    const auto entry = static_cast<std::uint32_t>(graph_.offsets_.size() - 1);
    scratch_.clear();
    for (const std::string& path : access.reads) {
        const auto it = uses_.find(pathKey(path));
        if (it != uses_.end() && it->second.lastWriter >= 0) {
            scratch_.push_back(static_cast<std::uint32_t>(it->second.lastWriter));
        }
    }
    for (const std::string& path : access.writes) {
        const auto it = uses_.find(pathKey(path));
        if (it != uses_.end()) {
            if (it->second.lastWriter >= 0) {
                scratch_.push_back(static_cast<std::uint32_t>(it->second.lastWriter));
            }
            scratch_.insert(scratch_.end(), it->second.readers.begin(), it->second.readers.end());
        }
    }
    std::sort(scratch_.begin(), scratch_.end());
    scratch_.erase(std::unique(scratch_.begin(), scratch_.end()), scratch_.end());
    graph_.edges_.insert(graph_.edges_.end(), scratch_.begin(), scratch_.end());
    graph_.offsets_.push_back(graph_.edges_.size());

    // Reads first: an entry that rewrites its own source is then its own last
    // writer and no longer a pending reader.
    for (const std::string& path : access.reads) {
        auto& readers = uses_[pathKey(path)].readers;
        if (readers.empty() || readers.back() != entry) {
            readers.push_back(entry);
        }
    }
    for (const std::string& path : access.writes) {
        PathUse& use = uses_[pathKey(path)];
        use.readers.clear();
        use.lastWriter = entry;
    }
}


namespace {

// What stands at a path's last component, links not followed.
enum class NameKind { Absent, Link, Other };

NameKind lstatKind(const std::string& path) {
    struct stat st {};
    if (statDeep(path, st, false) != 0) {
        // Only a name known to be missing counts as absent.
        return errno == ENOENT || errno == ENOTDIR ? NameKind::Absent : NameKind::Other;
    }
    return S_ISLNK(st.st_mode) ? NameKind::Link : NameKind::Other;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// What stands at each name a plan asks about. A folder asked about many
// times is read once (its entries and their types) instead of an lstat for
// each name; a folder that cannot be read, and a name whose type the
// listing leaves open, are asked with lstat.
class NameKinds {
public:
    NameKind of(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return lstatKind(path);
        }
        Folder& folder = folders_[slash == 0 ? std::string("/") : path.substr(0, slash)];
        if (!folder.listed && ++folder.asked > kAskedBeforeListing) {
            folder.listed = true;
            folder.readable = list(path.substr(0, slash + 1), folder);
        }
        if (!folder.readable) {
            return lstatKind(path);
        }
        const auto it = folder.names.find(std::string_view(path).substr(slash + 1));
        if (it == folder.names.end()) {
            return NameKind::Absent;
        }
        return it->second == DT_UNKNOWN ? lstatKind(path)
                                        : it->second == DT_LNK ? NameKind::Link : NameKind::Other;
    }

private:
    // A few names are asked about faster one by one than by reading a
    // folder that may hold many more.
    static constexpr unsigned kAskedBeforeListing = 8;

    struct Hash : std::hash<std::string_view> {
        using is_transparent = void;
    };
    struct Folder {
        unsigned asked = 0;
        bool listed = false;
        bool readable = false;
        std::unordered_map<std::string, unsigned char, Hash, std::equal_to<>> names;  // d_type
    };

    static bool list(const std::string& folderPath, Folder& folder) {
        const int fd = openDeep(folderPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            return true;  // a folder yet to be made holds nothing: every name is absent
        }
        const std::unique_ptr<DIR, DirCloser> dir(fd >= 0 ? ::fdopendir(fd) : nullptr);
        if (!dir) {
            if (fd >= 0) {
                ::close(fd);
            }
            return false;
        }
        for (;;) {
            errno = 0;
            const dirent* e = ::readdir(dir.get());
            if (e == nullptr) {
                return errno == 0;
            }
            folder.names.emplace(e->d_name, e->d_type);
        }
    }

    std::unordered_map<std::string, Folder> folders_;
};

bool isInside(const std::string& path, const std::string& folder) {
    if (folder == "/") {
        return true;
    }
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

}  // namespace

RunPlan::RunPlan(std::span<const RunEntry> entries, const Settings& settings)
    : settings_(settings) {
    PathCanonicalizer paths;
    NameKinds names;
    // Only numbered names need the list of names they must not take.
    const bool numbered = existingTargetRule(settings) == ExistingTarget::NumberedName;
    const std::size_t count = entries.size();
    entries_.resize(count);

    // Every listed file, under each of its names, with the first entry that
    // reads it.
    std::vector<std::string> sources(count);
    std::vector<std::string> linkedSources(count);  // the file a linked source leads to
    std::unordered_map<std::string, std::uint32_t> owners;
    for (std::size_t i = 0; i < count; ++i) {
        entries_[i].plan = resolveOutput(entries[i].fullPath, entries[i].relativePath, settings);
        sources[i] = paths.canonical(entries[i].fullPath);
        if (names.of(entries[i].fullPath) == NameKind::Link) {
            linkedSources[i] = PathCanonicalizer::resolved(entries[i].fullPath);
        }
        for (const std::string* name : {&sources[i], &linkedSources[i]}) {
            if (!name->empty()) {
                owners.emplace(*name, static_cast<std::uint32_t>(i));
                if (numbered) {
                    reserved_.insert(*name);
                }
            }
        }
    }

    const std::string outputFolder =
        settings.SaveDirFlag == 1 ? paths.canonicalFolder(settings.SaveDir) : std::string();
    std::unordered_map<std::string, std::uint32_t> writers;
    std::vector<std::string> targets(count);
    std::vector<std::string> writtens(count);
    DependencyBuilder builder;
    for (std::size_t i = 0; i < count; ++i) {
        PlannedEntry& entry = entries_[i];
        EntryAccess access;
        if (entry.plan.action == OutputAction::SkipEntry) {
            builder.add(access);  // touches nothing
            continue;
        }
        std::vector<std::string> missing;
        std::string& target = targets[i];
        target = paths.canonical(entry.plan.targetPath, &missing);
        entry.targetFolder = target.substr(0, std::max<std::size_t>(target.rfind('/'), 1));
        // A link at the target's name is written through: the file it leads
        // to is the one replaced.
        std::string& written = writtens[i];
        written = target;
        bool throughLink = false;
        const NameKind atTarget = names.of(target);
        entry.targetAbsent = atTarget == NameKind::Absent;
        if (atTarget == NameKind::Link) {
            if (std::string real = PathCanonicalizer::resolved(target); !real.empty()) {
                written = std::move(real);
                throughLink = true;
            }
        }
        const auto isOwn = [&](const std::string& path) {
            return path == sources[i] || (!linkedSources[i].empty() && path == linkedSources[i]);
        };
        entry.inPlace = isOwn(written) || isOwn(target);
        if (!entry.inPlace) {
            for (const std::string* path : {static_cast<const std::string*>(&target), static_cast<const std::string*>(&written)}) {
                if (const auto it = owners.find(*path); it != owners.end() && !entry.conflict) {
                    entry.conflict = true;
                    entry.conflictWith = it->second;
                }
                if (const auto it = writers.find(*path); it != writers.end() && !entry.conflict) {
                    entry.conflict = true;
                    entry.conflictWith = it->second;
                }
            }
            const std::string& root = outputFolder.empty() ? entry.targetFolder : outputFolder;
            if (!entry.conflict && throughLink && !isInside(written, root)) {
                entry.conflict = true;  // a link leading out of the output folder
            }
        }
        if (entry.conflict) {
            builder.add(access);  // writes nothing, waits for nothing
            continue;
        }
        writers.emplace(target, static_cast<std::uint32_t>(i));
        if (written != target) {
            writers.emplace(written, static_cast<std::uint32_t>(i));
        }
        if (numbered) {
            reserved_.insert(target);
            reserved_.insert(written);
        }
        access.reads.push_back(sources[i]);
        if (!linkedSources[i].empty() && linkedSources[i] != sources[i]) {
            access.reads.push_back(linkedSources[i]);
        }
        access.reads.insert(access.reads.end(), missing.begin(), missing.end());
        access.writes.push_back(target);
        if (written != target) {
            access.writes.push_back(written);
        }
        builder.add(access);
    }
    graph_ = builder.take();
    groupEntries(sources, linkedSources, targets, writtens);
}

void RunPlan::groupEntries(const std::vector<std::string>& sources,
                           const std::vector<std::string>& linkedSources,
                           const std::vector<std::string>& targets,
                           const std::vector<std::string>& writtens) {
    // Union-find over entries; a set is named by its lowest entry.
    std::vector<std::uint32_t> parent(entries_.size());
    for (std::uint32_t i = 0; i < parent.size(); ++i) {
        parent[i] = i;
    }
    const auto root = [&](std::uint32_t i) {
        while (parent[i] != i) {
            i = parent[i] = parent[parent[i]];
        }
        return i;
    };
    const auto join = [&](std::uint32_t a, std::uint32_t b) {
        a = root(a);
        b = root(b);
        parent[std::max(a, b)] = std::min(a, b);
    };
    // Every file an entry reads or writes, under each of its names. Which
    // folders exist does not count: other shards may have made them already.
    std::unordered_map<std::string, std::uint32_t> keys;
    const auto share = [&](const std::string& key, std::uint32_t i) {
        if (!key.empty()) {
            const auto [it, added] = keys.emplace(key, i);
            if (!added) {
                join(it->second, i);
            }
        }
    };
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
        share(sources[i], i);
        share(linkedSources[i], i);
        if (entries_[i].conflictWith >= 0) {
            join(i, static_cast<std::uint32_t>(entries_[i].conflictWith));
        }
        if (!entries_[i].conflict) {
            share(targets[i], i);
            share(writtens[i], i);
        }
    }
    // An output whose folder is another entry's file.
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
        for (std::size_t slash = targets[i].rfind('/'); slash != std::string::npos && slash > 0;
             slash = targets[i].rfind('/', slash - 1)) {
            if (const auto it = keys.find(targets[i].substr(0, slash)); it != keys.end()) {
                join(it->second, i);
            }
        }
    }
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
        entries_[i].group = root(i);
    }
}

std::vector<std::uint32_t> assignShards(const RunPlan& plan, std::span<const std::uint64_t> weights,
                                        unsigned count) {
    // Each group's weight, then the heaviest group first to the lightest
    // shard; ties go to the lower group and the lower shard, so every shard
    // works the same answer out.
    std::unordered_map<std::uint32_t, std::uint64_t> groupWeight;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        groupWeight[plan[i].group] += weights[i];
    }
    std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
    order.reserve(groupWeight.size());
    for (const auto& [group, weight] : groupWeight) {
        order.emplace_back(weight, group);
    }
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<std::uint64_t> load(std::max(count, 1u), 0);
    std::unordered_map<std::uint32_t, std::uint32_t> shardOfGroup;
    for (const auto& [weight, group] : order) {
        const auto lightest = static_cast<std::uint32_t>(
            std::min_element(load.begin(), load.end()) - load.begin());
        load[lightest] += weight;
        shardOfGroup[group] = lightest;
    }
    std::vector<std::uint32_t> shards(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        shards[i] = shardOfGroup[plan[i].group];
    }
    return shards;
}

DependencyGraph subgraph(const DependencyGraph& graph, std::span<const std::uint32_t> entries) {
    std::unordered_map<std::uint32_t, std::uint32_t> local;
    for (std::uint32_t k = 0; k < entries.size(); ++k) {
        local.emplace(entries[k], k);
    }
    DependencyGraph result;
    for (const std::uint32_t entry : entries) {
        for (const std::uint32_t on : graph.of(entry)) {
            if (const auto it = local.find(on); it != local.end()) {
                result.edges_.push_back(it->second);
            }
        }
        result.offsets_.push_back(result.edges_.size());
    }
    return result;
}

ConvertStatus RunPlan::process(std::size_t i, const std::string& fullPath,
                               EntryReport* report) const {
    const PlannedEntry& entry = entries_[i];
    if (entry.conflict) {
        if (report != nullptr) {
            report->failure = entry.conflictWith >= 0 ? Failure::ReplacesRunFile : Failure::LinkLeadsOut;
        }
        return ConvertStatus::TargetConflict;
    }
    TargetOptions target;
    target.absentWhenPlanned = entry.targetAbsent;
    target.folders = &folders_;
    if (!entry.inPlace) {
        target.existing = existingTargetRule(settings_);
        if (target.existing == ExistingTarget::NumberedName) {
            target.reservedName = [this, &entry](std::string_view name) {
                std::string path = entry.targetFolder;
                if (path != "/") {
                    path += '/';
                }
                path += name;
                return reserved_.count(path) != 0;
            };
        }
    }
    return carryOut(entry.plan, fullPath, settings_, target, report);
}

}  // namespace kelvara
