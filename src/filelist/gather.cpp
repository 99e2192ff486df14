#include "filelist/gather.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "io/path_toolkit.h"
#include "io/deep_path.h"

namespace kelvara {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

enum class EntryKind { File, Folder, Other, Missing };

// Only regular files are taken: a FIFO or a device is never an image, and
// opening a FIFO to convert it would block the run.
EntryKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return EntryKind::File;
    }
    return S_ISDIR(mode) ? EntryKind::Folder : EntryKind::Other;
}

// The entry's kind, links followed. readdir usually knows it already, so only
// links and file systems that do not report types cost a stat; a dangling
// link counts as missing.
EntryKind kindOf(int folder, const dirent& entry) {
    switch (entry.d_type) {
        case DT_REG:
            return EntryKind::File;
        case DT_DIR:
            return EntryKind::Folder;
        case DT_LNK:
        case DT_UNKNOWN: {
            struct stat st {};
            return ::fstatat(folder, entry.d_name, &st, 0) == 0 ? kindOf(st.st_mode)
                                                                : EntryKind::Missing;
        }
        default:
            return EntryKind::Other;
    }
}

struct FolderId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FolderId&) const = default;
};

bool idOf(int fd, FolderId& id) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    id = {st.st_dev, st.st_ino};
    return true;
}

// One folder on the current path of the walk, with the subfolders still to
// be walked. The walk keeps these on an explicit stack, so a tree thousands
// of levels deep costs heap, not call stack.
struct Frame {
    std::string path;
    std::string name;  // in the folder below it on the stack
    FolderId id;
    std::vector<std::string> subfolders;  // names, in walking order
    std::size_t next = 0;
};

struct Entry {
    std::string name;
    EntryKind kind;
};

// Walks folder and hands each file's path to onFile in walk order: a folder's
// own files in byte-wise name order, then each subfolder's whole tree, the
// subfolders also in byte-wise name order. Entry paths are the folder, one
// '/' and the name, also when the folder already ends with '/'. Folders are
// opened relative to their parent's descriptor, so no path length limit
// applies; only the folder being listed is open (and the starting one), the
// way back up goes through "..". A folder already on the current path (a
// link leading back up) or the skipped folder contributes nothing. Returns
// false when folder itself cannot be read.
template <typename OnFile>
bool walk(const std::string& folder, const GatherOptions& options, OnFile&& onFile) {
    const auto omit = [&](const std::string& path, Omission why) {
        if (options.onOmitted) {
            options.onOmitted(path, why);
        }
    };
    FolderId skip;
    bool skipping = false;
    // The skipped folder by identity. One that does not exist yet is looked
    // for again at each folder entered: another run writing into this tree
    // (another shard) may make it while the walk is under way.
    const auto isSkipped = [&](const FolderId& id) {
        if (!skipping && !options.skipFolder.empty()) {
            const FileDescriptor fd(openDeep(options.skipFolder, kFolderOpenFlags));
            skipping = fd.valid() && idOf(fd.get(), skip);
        }
        return skipping && id == skip;
    };

    std::vector<Frame> stack;
    std::vector<Entry> entries;
    std::string path;
    const FileDescriptor start(openDeep(folder, kFolderOpenFlags));
    FileDescriptor current;

    // Lists one folder: reports its files, and pushes a frame for its
    // subfolders. False (nothing pushed) for a folder already on the stack,
    // the skipped folder, or one that cannot be read.
    auto enter = [&](FileDescriptor fd, std::string folderPath, std::string name) {
        FolderId id;
        if (!idOf(fd.get(), id) ||
            std::any_of(stack.begin(), stack.end(), [&](const Frame& f) { return f.id == id; }) ||
            (!stack.empty() && isSkipped(id))) {
            return false;
        }
        const DirHandle dir(::fdopendir(::dup(fd.get())));
        if (!dir) {
            omit(folderPath, Omission::Unreadable);
            return false;
        }
        path = folderPath;
        path += '/';
        const std::size_t prefix = path.size();
        entries.clear();
        for (;;) {
            errno = 0;  // readdir tells an error from the end only through errno
            const dirent* e = ::readdir(dir.get());
            if (e == nullptr) {
                if (errno != 0) {
                    omit(folderPath, Omission::Unreadable);  // listed only in part
                }
                break;
            }
            const char* n = e->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) {
                continue;
            }
            entries.push_back({n, kindOf(fd.get(), *e)});
        }
        // std::string compares as unsigned bytes, so this is the byte-wise
        // order whatever the locale.
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });

        Frame frame{std::move(folderPath), std::move(name), id, {}, 0};
        for (Entry& entry : entries) {
            path.resize(prefix);
            path += entry.name;
            switch (entry.kind) {
                case EntryKind::File:
                    onFile(std::as_const(path));
                    break;
                case EntryKind::Folder:
                    frame.subfolders.push_back(std::move(entry.name));
                    break;
                case EntryKind::Missing:
                    omit(path, Omission::NotFound);
                    break;
                case EntryKind::Other:
                    omit(path, Omission::NotAFile);
                    break;
            }
        }
        stack.push_back(std::move(frame));
        current = std::move(fd);
        return true;
    };

    // Back in the folder of stack[k] after its child was walked: through
    // "..", or, for a child reached through a link, down again from the start.
    auto returnTo = [&](std::size_t k) {
        FileDescriptor up(::openat(current.get(), "..", kFolderOpenFlags));
        FolderId id;
        if (!up.valid() || !idOf(up.get(), id) || !(id == stack[k].id)) {
            up = FileDescriptor(::dup(start.get()));
            for (std::size_t j = 1; j <= k && up.valid(); ++j) {
                up = FileDescriptor(::openat(up.get(), stack[j].name.c_str(), kFolderOpenFlags));
            }
            if (!up.valid() || !idOf(up.get(), id) || !(id == stack[k].id)) {
                up.reset();  // the tree changed under the walk
            }
        }
        current = std::move(up);
    };

    if (!start.valid() || !enter(FileDescriptor(::dup(start.get())), folder, {})) {
        return false;
    }
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (!current.valid()) {
            for (; top.next < top.subfolders.size(); ++top.next) {
                omit(top.path + '/' + top.subfolders[top.next], Omission::Unreadable);
            }
        }
        if (top.next == top.subfolders.size()) {
            stack.pop_back();
            if (!stack.empty()) {
                returnTo(stack.size() - 1);
            }
            continue;
        }
        std::string name = top.subfolders[top.next++];
        std::string child = top.path;
        child += '/';
        child += name;
        FileDescriptor fd(::openat(current.get(), name.c_str(), kFolderOpenFlags));
        if (!fd.valid()) {
            omit(child, Omission::Unreadable);
            continue;
        }
        enter(std::move(fd), std::move(child), std::move(name));  // may grow the stack
    }
    return true;
}

std::string folderOf(const std::string& path) {
    return directoryPart(path, PathStyle::native());
}

// Gathers the arguments of one command line. Relative ones are completed
// against the current directory, so that their base directory is a real
// folder; an empty one is skipped, since completing it would name the
// current directory itself.
GatherCount gatherArguments(FileList& list, const std::vector<std::string>& arguments,
                            const std::string& currentDirectory, const GatherOptions& options) {
    GatherCount count;
    for (const std::string& argument : arguments) {
        if (argument.empty()) {
            continue;
        }
        if (argument.front() == '/' || currentDirectory.empty()) {
            count += gatherPath(list, argument, {}, options);
        } else if (currentDirectory.back() == '/') {
            count += gatherPath(list, currentDirectory + argument, {}, options);
        } else {
            count += gatherPath(list, currentDirectory + '/' + argument, {}, options);
        }
    }
    return count;
}

// Outputs go into SaveDir when it is chosen: a walk must not take them in
// again as sources.
GatherOptions optionsFor(const Settings& settings, const OmissionSink& onOmitted) {
    GatherOptions options;
    if (settings.SaveDirFlag == 1) {
        options.skipFolder = settings.SaveDir;
    }
    options.onOmitted = onOmitted;
    return options;
}

void startIf(bool enabled, const StartAll& startAll) {
    if (enabled && startAll) {
        startAll();
    }
}

}  // namespace

GatherCount gatherPath(FileList& list, const std::string& path, const std::string& base,
                       const GatherOptions& options) {
    GatherCount count;
    const std::string normal = lexicallyNormal(path);
    const std::string walkedBase = base.empty() ? folderOf(normal) : lexicallyNormal(base);
    const auto add = [&](const std::string& file) {
        ++count.files;
        if (!list.addEntry(file, walkedBase)) {
            ++count.duplicates;
        }
    };
    const auto omit = [&](Omission why) {
        if (options.onOmitted) {
            options.onOmitted(normal, why);
        }
    };
    struct stat st {};
    if (path.empty() || statDeep(normal, st) != 0) {
        omit(Omission::NotFound);
        return count;
    }
    switch (kindOf(st.st_mode)) {
        case EntryKind::Folder:
            // Files found by the walk are known to be files; asking the file
            // system about each once more would double the cost of a large tree.
            if (!walk(normal, options, add)) {
                omit(Omission::Unreadable);
            } else if (count.files == 0) {
                omit(Omission::NoFiles);
            }
            break;
        case EntryKind::File:
            add(normal);
            break;
        default:
            omit(Omission::NotAFile);
            break;
    }
    return count;
}

std::string lexicallyNormal(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t end = std::min(path.find('/'), path.size());
        const std::string_view part = path.substr(0, end);
        path.remove_prefix(std::min(end + 1, path.size()));
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == ".." && !parts.empty() && parts.back() != "..") {
            parts.pop_back();
        } else if (part != ".." || !absolute) {
            parts.push_back(part);
        }
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            result += '/';
        }
        result += parts[i];
    }
    return result.empty() ? std::string(".") : result;
}

std::vector<std::string> splitCommandLine(std::string_view text) {
    // The text ends at a NUL, as a C string would.
    text = text.substr(0, text.find('\0'));
    const PathStyle style = PathStyle::native();

    std::vector<std::string> arguments;
    bool inQuotes = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t next = nextChar(text, i, style);
        const char c = text[i];
        if (c == '"') {
            inQuotes = !inQuotes;
        } else if (!inQuotes && (c == ' ' || c == '\t')) {
            if (i > start) {
                arguments.emplace_back(text.substr(start, i - start));
            }
            start = next;
        }
        i = next;
    }
    if (text.size() > start) {
        arguments.emplace_back(text.substr(start));
    }

    for (std::string& argument : arguments) {
        // The last character, not the last byte: a quote byte that a lead
        // byte took as its second half is not a quote.
        std::size_t last = 0;
        for (std::size_t i = 0; i < argument.size(); i = nextChar(argument, i, style)) {
            last = i;
        }
        if (argument.front() == '"' && argument[last] == '"') {
            argument = last == 0 ? std::string() : argument.substr(1, last - 1);
        }
    }
    return arguments;
}

std::vector<std::string> parseOpenFileResult(std::string_view buffer) {
    // Pieces up to the first empty one; a buffer without the final NULs ends
    // its last piece where it ends.
    std::vector<std::string_view> pieces;
    std::size_t pos = 0;
    while (pos < buffer.size()) {
        const std::size_t end = std::min(buffer.find('\0', pos), buffer.size());
        if (end == pos) {
            break;
        }
        pieces.push_back(buffer.substr(pos, end - pos));
        pos = end + 1;
    }

    std::vector<std::string> paths;
    if (pieces.size() == 1) {
        paths.emplace_back(pieces.front());
    } else if (pieces.size() > 1) {
        const char separator = PathStyle::native().builtSeparator;
        for (std::size_t i = 1; i < pieces.size(); ++i) {
            std::string path(pieces.front());
            path += separator;
            path += pieces[i];
            paths.push_back(std::move(path));
        }
    }
    return paths;
}

GatherCount onCommandLine(FileList& list, const std::vector<std::string>& arguments,
                          const std::string& currentDirectory, const Settings& settings,
                          const StartAll& startAll, const OmissionSink& onOmitted) {
    if (arguments.empty()) {
        return {};
    }
    const GatherCount count =
        gatherArguments(list, arguments, currentDirectory, optionsFor(settings, onOmitted));
    startIf(settings.AutoConvert2, startAll);
    return count;
}

GatherCount onCommandLineText(FileList& list, std::string_view text,
                              const std::string& currentDirectory, const Settings& settings,
                              const StartAll& startAll, const OmissionSink& onOmitted) {
    if (text.empty()) {
        return {};
    }
    const GatherCount count = gatherArguments(list, splitCommandLine(text), currentDirectory,
                                              optionsFor(settings, onOmitted));
    startIf(settings.AutoConvert2, startAll);
    return count;
}

GatherCount onDropPaths(FileList& list, const std::vector<std::string>& paths,
                        const Settings& settings, const StartAll& startAll,
                        const OmissionSink& onOmitted) {
    const GatherOptions options = optionsFor(settings, onOmitted);
    GatherCount count;
    for (const std::string& path : paths) {
        if (!path.empty()) {
            count += gatherPath(list, path, {}, options);
        }
    }
    startIf(settings.AutoConvert1, startAll);
    return count;
}

GatherCount onOpenFiles(FileList& list, const std::optional<std::vector<std::string>>& chosen,
                        Settings& settings, const StartAll& startAll,
                        const OmissionSink& onOmitted) {
    if (!chosen || chosen->empty()) {
        return {};
    }
    const GatherOptions options = optionsFor(settings, onOmitted);
    GatherCount count;
    for (const std::string& path : *chosen) {
        count += gatherPath(list, path, {}, options);
    }
    const std::string& first = chosen->front();
    std::string folder = folderOf(first);
    // A file in the root folder has no folder text before its separator; the
    // dialog must still reopen in the root.
    if (folder.empty() && !first.empty() && first.front() == '/') {
        folder.push_back('/');
    }
    settings.LastDir = std::move(folder);
    startIf(settings.AutoConvert3, startAll);
    return count;
}

}  // namespace kelvara
