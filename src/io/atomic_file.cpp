#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kelvara {

namespace {

constexpr int kNameAttempts = 64;
// Far more numbered names than any folder holds copies of one file.
constexpr unsigned kMaxNumberedNames = 100000;

std::string randomTempName() {
    unsigned long long bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
        bits = static_cast<unsigned long long>(::getpid()) * 0x9E3779B97F4A7C15ULL ^
               reinterpret_cast<std::uintptr_t>(&bits);
    }
    char name[40];
    std::snprintf(name, sizeof name, ".kelvara-%016llx.tmp", bits);
    return name;
}

// Loops over partial writes and interrupted calls; false on any error.
bool writeFully(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (done == 0) {
            return false;
        }
        data += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

struct ProcPath {
    explicit ProcPath(int fd) { std::snprintf(text, sizeof text, "/proc/self/fd/%d", fd); }
    char text[64];
};

// Gives the unnamed file a name in the folder. Through its descriptor
// directly where the kernel allows that (root, or Linux 6.10 and later for
// a file one opened oneself), else through its /proc/self/fd link.
bool linkUnnamed(int fd, int folder, const char* name) {
    static std::atomic<bool> direct{true};
    if (direct.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) {
            return true;
        }
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) {
            return false;  // EEXIST and the like: the /proc link would say the same
        }
    }
    const ProcPath proc(fd);
    if (::linkat(AT_FDCWD, proc.text, folder, name, AT_SYMLINK_FOLLOW) != 0) {
        return false;
    }
    direct.store(false, std::memory_order_relaxed);  // refused, yet the file could be linked
    return true;
}

}  // namespace

std::string numberedName(std::string_view name, unsigned k) {
    const std::size_t dot = name.rfind('.');
    // A leading dot names a hidden file, not an extension.
    const std::size_t cut = dot == std::string_view::npos || dot == 0 ? name.size() : dot;
    std::string result(name.substr(0, cut));
    result += " (";
    result += std::to_string(k);
    result += ')';
    result += name.substr(cut);
    return result;
}

bool AtomicFileWriter::begin(const std::string& target, const TargetOptions& options) {
    abandon();
    failed_ = false;
    haveMode_ = false;
    replacing_ = false;
    existed_ = false;
    lookLater_ = false;
    folderPath_.clear();
    options_ = options;
    target_ = target;
    requested_ = target;
    published_.clear();
    if (target.empty() || target.back() == '/') {
        return false;
    }
    if (!openFolder()) {
        return false;
    }

    // A numbered name is found free at commit; a target the caller saw
    // absent is looked at only if it turns up at commit.
    lookLater_ = options_.absentWhenPlanned && options_.existing != ExistingTarget::NumberedName;
    if (lookLater_ || options_.existing == ExistingTarget::NumberedName) {
        return openTemporary();
    }
    struct stat st {};
    const bool present = ::fstatat(folderFd(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (present && options_.existing == ExistingTarget::Keep) {
        existed_ = true;
        return false;
    }
    if (present && options_.existing == ExistingTarget::Replace) {
        // Write through a symbolic link, as opening the path for writing would.
        if (S_ISLNK(st.st_mode)) {
            const std::unique_ptr<char, decltype(&std::free)> real(
                ::realpath(target.c_str(), nullptr), &std::free);
            if (real) {
                target_ = real.get();
                folder_ = std::make_shared<const FileDescriptor>(openParentFolder(target_, name_));
                if (folderFd() < 0) {
                    return false;
                }
            }
        }
        if (::fstatat(folderFd(), name_.c_str(), &st, 0) == 0 && !acceptReplaced(st)) {
            return false;
        }
    }
    return openTemporary();
}

bool AtomicFileWriter::openFolder() {
    if (options_.folders == nullptr) {
        folder_ = std::make_shared<const FileDescriptor>(openParentFolder(target_, name_));
        return folderFd() >= 0;
    }
    const std::size_t slash = target_.rfind('/');
    name_ = target_.substr(slash == std::string::npos ? 0 : slash + 1);
    folderPath_ = slash == std::string::npos ? std::string(".")
                  : slash == 0                ? std::string("/")
                                              : target_.substr(0, slash);
    folder_ = options_.folders->open(folderPath_);
    // A kept handle may outlive its folder (removed meanwhile, which some
    // file systems notice only when the file is linked): open it afresh.
    struct stat st {};
    if (folderFd() >= 0 && (::fstat(folderFd(), &st) != 0 || st.st_nlink == 0)) {
        options_.folders->forget(folderPath_);
        folder_ = options_.folders->open(folderPath_);
    }
    return folderFd() >= 0;
}

bool AtomicFileWriter::acceptReplaced(const struct stat& st) {
    if (!S_ISREG(st.st_mode) || ::faccessat(folderFd(), name_.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    replacing_ = true;
    if (!haveMode_) {
        mode_ = st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
        haveMode_ = true;
    }
    return true;
}

// At commit, for a target begin did not look at: nothing there (any more),
// or a regular file that is replaced as begin would have had it, mode and
// flush included. A link or anything else that turned up fails the write.
bool AtomicFileWriter::lookAtTarget() {
    struct stat st {};
    if (::fstatat(folderFd(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    if (!acceptReplaced(st) || ::fchmod(fd_, mode_) != 0) {
        return false;
    }
    return options_.sync != SyncPolicy::WhenReplacing || ::fdatasync(fd_) == 0;
}

bool AtomicFileWriter::openTemporary() {
    if (!forceNamed_) {
        fd_ = ::openat(folderFd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            unnamed_ = true;
            return true;
        }
        if (errno == ENOENT || errno == EACCES || errno == EROFS || errno == ENOTDIR) {
            return false;  // a named temporary would fail the same way
        }
    }
    // The file system has no unnamed temporaries: use a hidden named one.
    unnamed_ = false;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = randomTempName();
        fd_ = ::openat(folderFd(), name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            tempName_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool AtomicFileWriter::write(const void* data, std::size_t n) {
    if (fd_ < 0 || failed_) {
        return false;
    }
    if (!writeFully(fd_, static_cast<const char*>(data), n)) {
        failed_ = true;
    }
    return !failed_;
}

bool AtomicFileWriter::writePartsAt(const iovec* parts, int count, off_t offset) {
    if (fd_ < 0 || failed_) {
        return false;
    }
    iovec local[IOV_MAX];
    while (count > 0) {
        const int used = count < IOV_MAX ? count : IOV_MAX;
        std::copy(parts, parts + used, local);
        iovec* next = local;
        int left = used;
        while (left > 0) {
            const ssize_t done = ::pwritev(fd_, next, left, offset);
            if (done < 0 && errno == EINTR) {
                continue;
            }
            if (done <= 0) {
                failed_ = true;
                return false;
            }
            offset += done;
            // Drop the parts that went out whole and trim a partial one.
            auto rest = static_cast<std::size_t>(done);
            while (left > 0 && rest >= next->iov_len) {
                rest -= next->iov_len;
                ++next;
                --left;
            }
            if (left > 0) {
                next->iov_base = static_cast<char*>(next->iov_base) + rest;
                next->iov_len -= rest;
            }
        }
        parts += used;
        count -= used;
    }
    return true;
}

bool AtomicFileWriter::writeAt(const void* data, std::size_t n, off_t offset) {
    if (fd_ < 0 || failed_) {
        return false;
    }
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t done = ::pwrite(fd_, p, n, offset);
        if (done <= 0) {
            if (done < 0 && errno == EINTR) {
                continue;
            }
            failed_ = true;
            return false;
        }
        p += done;
        n -= static_cast<std::size_t>(done);
        offset += done;
    }
    return true;
}

void AtomicFileWriter::setMode(mode_t mode) {
    mode_ = mode & 07777;
    haveMode_ = true;
}

// linkat never replaces: if something stands at the name it fails with
// EEXIST and nothing changes.
bool AtomicFileWriter::linkNoReplace(const std::string& name) {
    if (unnamed_) {
        return linkUnnamed(fd_, folderFd(), name.c_str());
    }
    return ::linkat(folderFd(), tempName_.c_str(), folderFd(), name.c_str(), 0) == 0;
}

bool AtomicFileWriter::linkTemporary() {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = randomTempName();
        if (linkUnnamed(fd_, folderFd(), name.c_str())) {
            tempName_ = std::move(name);
            unnamed_ = false;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool AtomicFileWriter::publishNumbered() {
    for (unsigned k = 0; k < kMaxNumberedNames; ++k) {
        std::string name = k == 0 ? name_ : numberedName(name_, k);
        if (k > 0 && options_.reservedName && options_.reservedName(name)) {
            continue;
        }
        if (linkNoReplace(name)) {
            name_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}


bool AtomicFileWriter::commit() {
    if (fd_ < 0) {
        return false;
    }
    bool ok = !failed_;
    if (ok && haveMode_) {
        ok = ::fchmod(fd_, mode_) == 0;
    }
    const SyncPolicy sync = options_.sync;
    if (ok && (sync == SyncPolicy::Always || (sync == SyncPolicy::WhenReplacing && replacing_))) {
        ok = ::fdatasync(fd_) == 0;
    }

    // A file that must not replace anything takes its name with one link; a
    // replacement is linked under a temporary name and renamed over the target.
    bool linked = false;
    if (ok) {
        switch (options_.existing) {
            case ExistingTarget::Keep:
                linked = linkNoReplace(name_);
                existed_ = !linked && errno == EEXIST;
                ok = linked;
                break;
            case ExistingTarget::NumberedName:
                ok = linked = publishNumbered();
                break;
            case ExistingTarget::Replace:
                linked = unnamed_ && !replacing_ && linkNoReplace(name_);
                if (!linked && lookLater_) {
                    ok = lookAtTarget();
                }
                if (ok && !linked && unnamed_) {
                    ok = linkTemporary();
                }
                break;
        }
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        ok = false;
    }
    if (ok && !linked) {
        ok = ::renameat(folderFd(), tempName_.c_str(), folderFd(), name_.c_str()) == 0;
        if (ok) {
            tempName_.clear();
        }
    }
    if (!ok) {
        failed_ = true;
        if (linked) {
            ::unlinkat(folderFd(), name_.c_str(), 0);  // only if close failed: never half a file
        }
    }
    if (!tempName_.empty()) {
        ::unlinkat(folderFd(), tempName_.c_str(), 0);
        tempName_.clear();
    }
    unnamed_ = false;
    if (ok && options_.existing == ExistingTarget::NumberedName) {
        const std::size_t slash = requested_.rfind('/');
        published_ = slash == std::string::npos ? std::string() : requested_.substr(0, slash + 1);
        published_ += name_;
    } else if (ok) {
        published_ = requested_;  // the name asked for, also when a link there was written through
    }
    folder_.reset();
    return ok;
}

void AtomicFileWriter::abandon() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempName_.empty()) {
        ::unlinkat(folderFd(), tempName_.c_str(), 0);
        tempName_.clear();
    }
    unnamed_ = false;
}

}  // namespace kelvara
