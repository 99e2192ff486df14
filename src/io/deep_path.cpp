#include "io/deep_path.h"

#include <cerrno>
#include <climits>

namespace kelvara {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Opens the longest folder prefix of path that would not fit in one call,
// chunk by chunk; `rest` receives what is left, short enough for one *at
// call. An invalid descriptor (errno set) when a chunk cannot be opened.
FileDescriptor walkPrefix(const std::string& path, std::string& rest) {
    std::size_t pos = 0;
    FileDescriptor folder(::open(!path.empty() && path.front() == '/' ? "/" : ".", kFolderFlags));
    while (folder.valid() && path.size() - pos >= PATH_MAX) {
        while (pos < path.size() && path[pos] == '/') {
            ++pos;
        }
        // The last separator that keeps the chunk within one call's limit.
        const std::size_t cut = path.rfind('/', pos + PATH_MAX - 2);
        if (cut == std::string::npos || cut <= pos) {
            errno = ENAMETOOLONG;  // a single name longer than any folder allows
            return FileDescriptor();
        }
        const std::string chunk = path.substr(pos, cut - pos);
        folder = FileDescriptor(::openat(folder.get(), chunk.c_str(), kFolderFlags));
        pos = cut + 1;
    }
    rest = path.substr(pos);
    return folder;
}

// A NUL inside a path would make the system see a shorter, other path.
bool hasNul(const std::string& path) {
    if (path.find('\0') == std::string::npos) {
        return false;
    }
    errno = EINVAL;
    return true;
}

}  // namespace

int openDeep(const std::string& path, int flags, mode_t mode) {
    if (hasNul(path)) {
        return -1;
    }
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd >= 0 || errno != ENAMETOOLONG) {
        return fd;
    }
    std::string rest;
    const FileDescriptor folder = walkPrefix(path, rest);
    return folder.valid() ? ::openat(folder.get(), rest.c_str(), flags, mode) : -1;
}

int statDeep(const std::string& path, struct stat& st, bool followLink) {
    if (hasNul(path)) {
        return -1;
    }
    const int flags = followLink ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::fstatat(AT_FDCWD, path.c_str(), &st, flags) == 0) {
        return 0;
    }
    if (errno != ENAMETOOLONG) {
        return -1;
    }
    std::string rest;
    const FileDescriptor folder = walkPrefix(path, rest);
    return folder.valid() ? ::fstatat(folder.get(), rest.c_str(), &st, flags) : -1;
}

int mkdirDeep(const std::string& path, mode_t mode) {
    if (hasNul(path)) {
        return -1;
    }
    if (::mkdir(path.c_str(), mode) == 0) {
        return 0;
    }
    if (errno != ENAMETOOLONG) {
        return -1;
    }
    std::string rest;
    const FileDescriptor folder = walkPrefix(path, rest);
    return folder.valid() ? ::mkdirat(folder.get(), rest.c_str(), mode) : -1;
}

FileDescriptor openParentFolder(const std::string& path, std::string& name) {
    if (hasNul(path)) {
        return FileDescriptor();
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        name = path;
        return FileDescriptor(::open(".", kFolderFlags));
    }
    name = path.substr(slash + 1);
    return FileDescriptor(openDeep(slash == 0 ? std::string("/") : path.substr(0, slash),
                                   kFolderFlags));
}

std::shared_ptr<const FileDescriptor> FolderHandles::open(const std::string& folder) {
    {
        const std::lock_guard lock(mutex_);
        if (const auto it = folders_.find(folder); it != folders_.end()) {
            return it->second;
        }
    }
    auto handle = std::make_shared<const FileDescriptor>(openDeep(folder, kFolderFlags));
    if (!handle->valid()) {
        return handle;  // not kept: the folder may be made yet
    }
    const std::lock_guard lock(mutex_);
    if (folders_.size() >= kKept) {
        folders_.clear();  // runs use few folders at a time; users keep theirs open
    }
    return folders_.try_emplace(folder, std::move(handle)).first->second;
}

void FolderHandles::forget(const std::string& folder) {
    const std::lock_guard lock(mutex_);
    folders_.erase(folder);
}

}  // namespace kelvara
