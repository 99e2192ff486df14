#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kelvara {

namespace {

constexpr int kNameAttempts = 64;

std::string randomTempName(const std::string& folder) {
    unsigned long long bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
        bits = static_cast<unsigned long long>(::getpid()) * 0x9E3779B97F4A7C15ULL ^
               reinterpret_cast<std::uintptr_t>(&bits);
    }
    char name[40];
    std::snprintf(name, sizeof name, ".kelvara-%016llx.tmp", bits);
    return folder + name;
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

}  // namespace

bool AtomicFileWriter::begin(const std::string& target, SyncPolicy sync) {
    abandon();
    failed_ = false;
    haveMode_ = false;
    sync_ = sync;
    target_ = target;
    if (target.empty() || target.back() == '/') {
        return false;
    }

    // Write through a symbolic link, as opening the path for writing would.
    struct stat st {};
    replacing_ = false;
    if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(target.c_str(), nullptr),
                                                         &std::free);
        if (real) {
            target_ = real.get();
        }
    }
    if (::stat(target_.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode) || ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
            return false;
        }
        replacing_ = true;
        mode_ = st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
        haveMode_ = true;
    }

    const std::size_t slash = target_.rfind('/');
    folder_ = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    return openTemporary(folder_);
}

bool AtomicFileWriter::openTemporary(const std::string& folder) {
    const std::string dir = folder.empty() ? std::string(".") : folder;
    if (!forceNamed_) {
        fd_ = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
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
        std::string path = randomTempName(folder);
        fd_ = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            tempPath_ = std::move(path);
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

// A new target takes the finished file's name at once: linkat never
// replaces, so if something took the name meanwhile it fails with EEXIST and
// the caller falls back to a temporary name and rename.
bool AtomicFileWriter::linkAsTarget() {
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd_);
    return ::linkat(AT_FDCWD, procPath, AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool AtomicFileWriter::linkTemporary() {
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd_);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string path = randomTempName(folder_);
        if (::linkat(AT_FDCWD, procPath, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            tempPath_ = std::move(path);
            unnamed_ = false;
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
    const bool sync = sync_ == SyncPolicy::Always || (sync_ == SyncPolicy::WhenReplacing && replacing_);
    if (ok && sync) {
        ok = ::fdatasync(fd_) == 0;
    }
    // Linking straight to a new target saves a directory entry and a rename.
    const bool linked = ok && unnamed_ && !replacing_ && linkAsTarget();
    if (ok && unnamed_ && !linked) {
        ok = linkTemporary();
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        ok = false;
    }
    if (ok && !linked) {
        ok = ::rename(tempPath_.c_str(), target_.c_str()) == 0;
    }
    if (!ok) {
        failed_ = true;
        if (linked) {
            ::unlink(target_.c_str());  // only if close failed: never half a file
        }
        if (!tempPath_.empty()) {
            ::unlink(tempPath_.c_str());
        }
    }
    tempPath_.clear();
    unnamed_ = false;
    return ok;
}

void AtomicFileWriter::abandon() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
    unnamed_ = false;
}

}  // namespace kelvara
