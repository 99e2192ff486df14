#include "io/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace kelvara {

namespace {

std::uint64_t totalLength(const iovec* parts, int count) {
    std::uint64_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += parts[i].iov_len;
    }
    return total;
}

}  // namespace

bool ImageFile::open(const std::string& path, bool forWriting, SyncPolicy sync) {
    if (!forWriting) {
        return openFile(path, nullptr);
    }
    TargetOptions options;
    options.sync = sync;
    return openFile(path, &options);
}

bool ImageFile::openTarget(const std::string& path, const TargetOptions& options) {
    return openFile(path, &options);
}

bool ImageFile::openSource(const std::string& path, FolderHandles& folders) {
    return openFile(path, nullptr, &folders);
}

bool ImageFile::openFile(const std::string& path, const TargetOptions* target,
                         FolderHandles* folders) {
    if (isOpen_) {
        return false;
    }
    const bool forWriting = target != nullptr;
    if (forWriting) {
        if (!writer_.begin(path, *target)) {
            return false;
        }
        size_ = 0;
    } else {
        // O_NONBLOCK keeps a FIFO from blocking the open; only regular files
        // are read.
        constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
        int fd = -1;
        if (const std::size_t slash = path.rfind('/'); folders != nullptr && slash != std::string::npos) {
            const auto folder = folders->open(slash == 0 ? std::string("/") : path.substr(0, slash));
            if (folder->valid()) {
                fd = ::openat(folder->get(), path.c_str() + slash + 1, kFlags);
            }
        }
        if (fd < 0) {
            fd = openDeep(path, kFlags);  // the path decides: its folder may be another one now
        }
        if (fd < 0) {
            return false;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return false;
        }
        handle_ = fd;
        size_ = static_cast<std::uint64_t>(st.st_size);
    }
    position_ = 0;
    fileOffset_ = 0;
    bufferStart_ = 0;
    bufferFill_ = 0;
    failed_ = false;
    isFile_ = true;
    writable_ = forWriting;
    isOpen_ = true;
    return true;
}

bool ImageFile::openMemory(void* block, std::uint64_t blockSize, bool writable) {
    if (isOpen_ || block == nullptr || blockSize == 0) {
        return false;
    }
    memory_ = static_cast<std::uint8_t*>(block);
    size_ = blockSize;
    position_ = 0;
    failed_ = false;
    isFile_ = false;
    writable_ = writable;
    isOpen_ = true;
    return true;
}

void ImageFile::close() {
    if (!isOpen_) {
        return;
    }
    memory_ = nullptr;
    position_ = 0;
    size_ = 0;
    if (isFile_) {
        if (handle_ >= 0) {
            ::close(handle_);
            handle_ = -1;
        }
        writer_.abandon();
        bufferFill_ = 0;
        if (buffer_ && !spareBuffer()) {
            spareBuffer() = std::move(buffer_);
        }
        isFile_ = false;
    }
    writable_ = false;
    isOpen_ = false;
}

bool ImageFile::commit() {
    if (!isOpen_ || !isFile_ || !writable_) {
        return false;
    }
    const bool ok = flushWrites() && !failed_ && writer_.commit();
    close();
    return ok;
}

ImageFile::Buffer& ImageFile::spareBuffer() {
    thread_local Buffer spare;
    return spare;
}

bool ImageFile::ensureBuffer() {
    if (!buffer_) {
        buffer_ = std::move(spareBuffer());
    }
    if (!buffer_) {
        buffer_.reset(static_cast<std::uint8_t*>(std::malloc(kBufferSize)));
    }
    return buffer_ != nullptr;
}

bool ImageFile::flushWrites() {
    if (bufferFill_ == 0) {
        return !failed_;
    }
    if (!writer_.writeAt(buffer_.get(), bufferFill_, static_cast<off_t>(fileOffset_))) {
        failed_ = true;
    }
    fileOffset_ += bufferFill_;
    bufferFill_ = 0;
    return !failed_;
}

void ImageFile::seek(std::uint64_t offset, int origin) {
    if (!isOpen_) {
        return;
    }
    std::uint64_t target = position_;
    switch (origin) {
        case 0:
            target = offset;
            break;
        case 1:
            target = offset > UINT64_MAX - position_ ? UINT64_MAX : position_ + offset;
            break;
        case 2:
            target = size_ - std::min(offset, size_);
            break;
        default:
            return;
    }
    position_ = std::min(target, size_);
    if (isFile_ && writable_) {
        flushWrites();
        fileOffset_ = position_;
    }
}

void ImageFile::noteShortRead() {
    // The file shrank since it was opened (or could not be read): what was
    // not delivered is gone, so the stream ends here.
    size_ = position_;
}

std::uint64_t ImageFile::readFromFile(std::uint8_t* out, std::uint64_t n) {
    std::uint64_t done = 0;
    // Serve what the buffer already holds.
    if (bufferFill_ > 0 && position_ >= bufferStart_ && position_ < bufferStart_ + bufferFill_) {
        const std::uint64_t skip = position_ - bufferStart_;
        const std::uint64_t take = std::min<std::uint64_t>(n, bufferFill_ - skip);
        std::memcpy(out, buffer_.get() + skip, take);
        done = take;
    }
    while (done < n) {
        const std::uint64_t left = n - done;
        const std::uint64_t at = position_ + done;
        ssize_t got;
        if (left >= kBufferSize || !ensureBuffer()) {
            got = ::pread(handle_, out + done, std::min<std::uint64_t>(left, SSIZE_MAX),
                          static_cast<off_t>(at));
        } else {
            got = ::pread(handle_, buffer_.get(), kBufferSize, static_cast<off_t>(at));
            if (got > 0) {
                bufferStart_ = at;
                bufferFill_ = static_cast<std::size_t>(got);
                const std::uint64_t take = std::min<std::uint64_t>(left, bufferFill_);
                std::memcpy(out + done, buffer_.get(), take);
                got = static_cast<ssize_t>(take);
            }
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got < 0) {
                failed_ = true;
            }
            position_ += done;
            noteShortRead();
            return done;
        }
        done += static_cast<std::uint64_t>(got);
    }
    position_ += done;
    return done;
}

std::uint64_t ImageFile::read(void* buffer, std::uint64_t n) {
    if (!isOpen_ || writable_ || atEnd() || buffer == nullptr || n == 0) {
        return 0;
    }
    n = std::min(n, size_ - position_);
    if (!isFile_) {
        std::memcpy(buffer, memory_ + position_, n);
        position_ += n;
        return n;
    }
    return readFromFile(static_cast<std::uint8_t*>(buffer), n);
}

std::uint64_t ImageFile::readParts(const iovec* parts, int count) {
    if (!isOpen_ || writable_ || atEnd() || parts == nullptr || count <= 0) {
        return 0;
    }
    const std::uint64_t wanted = std::min(totalLength(parts, count), size_ - position_);
    // Bytes in memory, or a small file the buffer already holds whole (read
    // with its headers): copied, with no second read.
    const std::uint8_t* from = nullptr;
    if (!isFile_) {
        from = memory_ + position_;
    } else if (bufferFill_ > 0 && position_ >= bufferStart_ &&
               position_ + wanted <= bufferStart_ + bufferFill_) {
        from = buffer_.get() + (position_ - bufferStart_);
    }
    if (from != nullptr) {
        std::uint64_t done = 0;
        for (int i = 0; i < count && done < wanted; ++i) {
            const std::uint64_t take = std::min<std::uint64_t>(parts[i].iov_len, wanted - done);
            std::memcpy(parts[i].iov_base, from + done, take);
            done += take;
        }
        position_ += done;
        return done;
    }
    // Straight from the file into the parts; the buffer is only a cache of
    // file contents, so it stays valid.
    std::uint64_t done = 0;
    while (done < wanted) {
        // Rebuild the part list from the first byte not yet read.
        iovec local[IOV_MAX];
        int used = 0;
        std::uint64_t skip = done;
        std::uint64_t room = wanted - done;
        for (int i = 0; i < count && used < IOV_MAX && room > 0; ++i) {
            if (skip >= parts[i].iov_len) {
                skip -= parts[i].iov_len;
                continue;
            }
            const std::uint64_t len = std::min<std::uint64_t>(parts[i].iov_len - skip, room);
            local[used++] = iovec{static_cast<char*>(parts[i].iov_base) + skip, len};
            room -= len;
            skip = 0;
        }
        const ssize_t got = ::preadv(handle_, local, used, static_cast<off_t>(position_ + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got < 0) {
                failed_ = true;
            }
            position_ += done;
            noteShortRead();
            return done;
        }
        done += static_cast<std::uint64_t>(got);
    }
    position_ += done;
    return done;
}

std::uint64_t ImageFile::write(const void* buffer, std::uint64_t n) {
    if (!isOpen_ || !writable_ || buffer == nullptr || n == 0) {
        return 0;
    }
    if (!isFile_) {
        n = std::min(n, size_ - position_);
        std::memcpy(memory_ + position_, buffer, n);
        position_ += n;
        return n;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (bufferFill_ + n > kBufferSize || !ensureBuffer()) {
        flushWrites();
        if (n >= kBufferSize || !buffer_) {
            if (!writer_.writeAt(bytes, n, static_cast<off_t>(fileOffset_))) {
                failed_ = true;
            }
            fileOffset_ += n;
            position_ += n;
            return n;
        }
    }
    std::memcpy(buffer_.get() + bufferFill_, bytes, n);
    bufferFill_ += n;
    position_ += n;
    return n;
}

std::uint64_t ImageFile::writeParts(const iovec* parts, int count) {
    if (!isOpen_ || !writable_ || parts == nullptr || count <= 0) {
        return 0;
    }
    if (!isFile_) {
        std::uint64_t done = 0;
        for (int i = 0; i < count; ++i) {
            done += write(parts[i].iov_base, parts[i].iov_len);
        }
        return done;
    }
    const std::uint64_t total = totalLength(parts, count);
    if (total < kBufferSize) {
        for (int i = 0; i < count; ++i) {
            write(parts[i].iov_base, parts[i].iov_len);
        }
        return total;
    }
    flushWrites();
    if (!writer_.writePartsAt(parts, count, static_cast<off_t>(fileOffset_))) {
        failed_ = true;
    }
    fileOffset_ += total;
    position_ += total;
    return total;
}

}  // namespace kelvara
