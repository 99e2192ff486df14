#include "run/run_plan.h"

#include <sys/stat.h>

#include <algorithm>
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

bool isLink(const std::string& path) {
    struct stat st {};
    return statDeep(path, st, false) == 0 && S_ISLNK(st.st_mode);
}

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
        if (isLink(entries[i].fullPath)) {
            linkedSources[i] = PathCanonicalizer::resolved(entries[i].fullPath);
        }
        for (const std::string* name : {&sources[i], &linkedSources[i]}) {
            if (!name->empty()) {
                owners.emplace(*name, static_cast<std::uint32_t>(i));
                reserved_.insert(*name);
            }
        }
    }

    const std::string outputFolder =
        settings.SaveDirFlag == 1 ? paths.canonicalFolder(settings.SaveDir) : std::string();
    std::unordered_map<std::string, std::uint32_t> writers;
    DependencyBuilder builder;
    for (std::size_t i = 0; i < count; ++i) {
        PlannedEntry& entry = entries_[i];
        EntryAccess access;
        if (entry.plan.action == OutputAction::SkipEntry) {
            builder.add(access);  // touches nothing
            continue;
        }
        std::vector<std::string> missing;
        const std::string target = paths.canonical(entry.plan.targetPath, &missing);
        entry.targetFolder = target.substr(0, std::max<std::size_t>(target.rfind('/'), 1));
        // A link at the target's name is written through: the file it leads
        // to is the one replaced.
        std::string written = target;
        bool throughLink = false;
        if (isLink(target)) {
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
            for (const std::string* path : {&target, static_cast<const std::string*>(&written)}) {
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
        writers.emplace(written, static_cast<std::uint32_t>(i));
        reserved_.insert(target);
        reserved_.insert(written);
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
