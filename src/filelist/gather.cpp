#include "filelist/gather.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "conversion/path_toolkit.h"

namespace kelvara {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

enum class EntryKind { File, Folder, Other };

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
// link counts as missing and is left out.
EntryKind kindOf(const dirent& entry, const std::string& path) {
    switch (entry.d_type) {
        case DT_REG:
            return EntryKind::File;
        case DT_DIR:
            return EntryKind::Folder;
        case DT_LNK:
        case DT_UNKNOWN: {
            struct stat st {};
            return ::stat(path.c_str(), &st) == 0 ? kindOf(st.st_mode) : EntryKind::Other;
        }
        default:
            return EntryKind::Other;
    }
}

struct FolderId {
    dev_t device;
    ino_t inode;
    bool operator==(const FolderId&) const = default;
};

// One folder on the current path of the walk, with the subfolders still to
// be walked. The walk keeps these on an explicit stack, so a tree thousands
// of levels deep costs heap, not call stack.
struct Frame {
    std::string path;
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
// '/' and the name, also when the folder already ends with '/'. A folder
// that cannot be opened, or that is already on the current path (a link
// leading back up), contributes nothing. The current directory is never
// touched and at most one folder is open at a time.
template <typename OnFile>
void walk(const std::string& folder, OnFile&& onFile) {
    std::vector<Frame> stack;
    std::vector<Entry> entries;
    std::string path;

    // Lists one folder: reports its files, and pushes a frame for its
    // subfolders unless it is already on the stack.
    auto enter = [&](std::string folderPath) {
        const DirHandle dir(::opendir(folderPath.c_str()));
        if (!dir) {
            return;
        }
        struct stat st {};
        if (::fstat(::dirfd(dir.get()), &st) != 0) {
            return;
        }
        const FolderId id{st.st_dev, st.st_ino};
        if (std::any_of(stack.begin(), stack.end(), [&](const Frame& f) { return f.id == id; })) {
            return;
        }

        path = folderPath;
        path += '/';
        const std::size_t prefix = path.size();
        entries.clear();
        while (const dirent* e = ::readdir(dir.get())) {
            const char* name = e->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            path.resize(prefix);
            path += name;
            const EntryKind kind = kindOf(*e, path);
            if (kind != EntryKind::Other) {
                entries.push_back({name, kind});
            }
        }
        // std::string compares as unsigned bytes, so this is the byte-wise
        // order whatever the locale.
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });

        Frame frame{std::move(folderPath), id, {}, 0};
        for (Entry& entry : entries) {
            if (entry.kind == EntryKind::File) {
                path.resize(prefix);
                path += entry.name;
                onFile(std::as_const(path));
            } else {
                frame.subfolders.push_back(std::move(entry.name));
            }
        }
        stack.push_back(std::move(frame));
    };

    enter(folder);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.subfolders.size()) {
            stack.pop_back();
            continue;
        }
        std::string child = top.path;
        child += '/';
        child += top.subfolders[top.next++];
        enter(std::move(child));  // may grow the stack: top is not used after this
    }
}

std::string folderOf(const std::string& path) {
    return directoryPart(path, PathStyle::native());
}

// Gathers the arguments of one command line. Relative ones are completed
// against the current directory, so that their base directory is a real
// folder; an empty one is skipped, since completing it would name the
// current directory itself.
void gatherArguments(FileList& list, const std::vector<std::string>& arguments,
                     const std::string& currentDirectory) {
    for (const std::string& argument : arguments) {
        if (argument.empty()) {
            continue;
        }
        if (argument.front() == '/' || currentDirectory.empty()) {
            gatherPath(list, argument, {});
        } else if (currentDirectory.back() == '/') {
            gatherPath(list, currentDirectory + argument, {});
        } else {
            gatherPath(list, currentDirectory + '/' + argument, {});
        }
    }
}

void startIf(bool enabled, const StartAll& startAll) {
    if (enabled && startAll) {
        startAll();
    }
}

}  // namespace

void gatherPath(FileList& list, const std::string& path, const std::string& base) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return;
    }
    switch (kindOf(st.st_mode)) {
        case EntryKind::Folder: {
            // Files found by the walk are known to be files; asking the file
            // system about each once more would double the cost of a large tree.
            const std::string walkedBase = base.empty() ? folderOf(path) : base;
            walk(path, [&](const std::string& file) { list.addEntry(file, walkedBase); });
            break;
        }
        case EntryKind::File:
            list.addEntry(path, base.empty() ? folderOf(path) : base);
            break;
        case EntryKind::Other:
            break;
    }
}

std::vector<std::string> findFiles(const std::string& folder) {
    std::vector<std::string> files;
    walk(folder, [&](const std::string& file) { files.push_back(file); });
    return files;
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

void onCommandLine(FileList& list, const std::vector<std::string>& arguments,
                   const std::string& currentDirectory, const Settings& settings,
                   const StartAll& startAll) {
    if (arguments.empty()) {
        return;
    }
    gatherArguments(list, arguments, currentDirectory);
    startIf(settings.AutoConvert2, startAll);
}

void onCommandLineText(FileList& list, std::string_view text, const std::string& currentDirectory,
                       const Settings& settings, const StartAll& startAll) {
    if (text.empty()) {
        return;
    }
    gatherArguments(list, splitCommandLine(text), currentDirectory);
    startIf(settings.AutoConvert2, startAll);
}

void onDropPaths(FileList& list, const std::vector<std::string>& paths, const Settings& settings,
                 const StartAll& startAll) {
    for (const std::string& path : paths) {
        if (!path.empty()) {
            gatherPath(list, path, {});
        }
    }
    startIf(settings.AutoConvert1, startAll);
}

void onOpenFiles(FileList& list, const std::optional<std::vector<std::string>>& chosen,
                 Settings& settings, const StartAll& startAll) {
    if (!chosen || chosen->empty()) {
        return;
    }
    for (const std::string& path : *chosen) {
        gatherPath(list, path, {});
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
}

}  // namespace kelvara
