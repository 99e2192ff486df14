#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kelvara {

// Owns one file descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Path operations that also work on paths longer than the system accepts in
// one call (PATH_MAX): such a path is followed folder by folder through
// descriptors. Results and errno as the plain calls give them.
int openDeep(const std::string& path, int flags, mode_t mode = 0);
int statDeep(const std::string& path, struct stat& st, bool followLink = true);
int mkdirDeep(const std::string& path, mode_t mode);

// The folder that holds path's last component, opened as a folder handle
// (O_PATH); `name` receives that component. An invalid descriptor when the
// folder cannot be opened. A path without '/' lives in the current folder.
FileDescriptor openParentFolder(const std::string& path, std::string& name);

// Folder handles (O_PATH) by path, opened on first use and kept, so that the
// files of a run are named relative to their folder instead of walking the
// whole path again for each. Meant for the length of one run: a folder
// moved meanwhile keeps its handle; one removed is left for its users to
// notice (no links left) and forget. At most a few folders are kept. Safe
// to use from several threads.
class FolderHandles {
public:
    // The folder's handle, shared; an invalid one when it cannot be opened.
    std::shared_ptr<const FileDescriptor> open(const std::string& folder);
    void forget(const std::string& folder);

private:
    static constexpr std::size_t kKept = 16;

    std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const FileDescriptor>> folders_;
};

}  // namespace kelvara
