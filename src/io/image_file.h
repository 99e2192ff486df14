#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "io/atomic_file.h"

namespace kelvara {

// A binary stream over a file or over a caller's memory block.
//
// Reading a file is buffered. Writing a file goes through AtomicFileWriter:
// nothing appears at the path until commit() succeeds, so a writer that stops
// half-way (or is destroyed without committing) leaves the old file in place.
// `size` is fixed at open (0 for a file opened for writing); reads and seeks
// are clamped to it.
class ImageFile {
public:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    ImageFile() = default;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ~ImageFile() { close(); }

    bool open(const std::string& path, bool forWriting,
              SyncPolicy sync = SyncPolicy::WhenReplacing);
    // Opens path for writing with a choice about a file already there.
    bool openTarget(const std::string& path, const TargetOptions& options);
    // Opens path for reading through its folder's handle in `folders`.
    bool openSource(const std::string& path, FolderHandles& folders);
    bool openMemory(void* block, std::uint64_t blockSize, bool writable);
    // Closes the stream. A file being written that was not committed is
    // discarded: the target keeps what it had.
    void close();
    // For a file opened for writing: publishes it and closes the stream.
    // False when any write fell short or failed, or the file could not be
    // completed; the target is then untouched.
    bool commit();

    // origin 0: from the start, 1: forward from the position, 2: back from
    // the end. The result is clamped to size().
    void seek(std::uint64_t offset, int origin);
    std::uint64_t read(void* buffer, std::uint64_t n);
    std::uint64_t write(const void* buffer, std::uint64_t n);
    // Scatter read / gather write of consecutive bytes, with the counting
    // rules of read and write; they spare per-row calls for large images.
    std::uint64_t readParts(const iovec* parts, int count);
    std::uint64_t writeParts(const iovec* parts, int count);

    bool isOpen() const { return isOpen_; }
    bool isFile() const { return isFile_; }
    bool isWritable() const { return writable_; }
    bool atEnd() const { return position_ == size_; }
    std::uint64_t size() const { return size_; }
    std::uint64_t position() const { return position_; }
    // An operating-system read or write failed or fell short.
    bool failed() const { return failed_; }
    // Of the last file written: where commit() put it, and whether a target
    // that was to be kept stood in the way.
    const std::string& publishedPath() const { return writer_.publishedPath(); }
    bool targetExisted() const { return writer_.targetExisted(); }

private:
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };

    using Buffer = std::unique_ptr<std::uint8_t, Free>;
    // The calling thread's spare buffer: a file closed leaves its buffer
    // there for the next one, so a run of small files allocates none.
    static Buffer& spareBuffer();

    bool openFile(const std::string& path, const TargetOptions* target,
                  FolderHandles* folders = nullptr);
    bool ensureBuffer();
    bool flushWrites();
    std::uint64_t readFromFile(std::uint8_t* out, std::uint64_t n);
    void noteShortRead();

    bool isOpen_ = false;
    bool isFile_ = false;
    bool writable_ = false;
    bool failed_ = false;
    std::uint8_t* memory_ = nullptr;
    int handle_ = -1;  // read handle; a written file's handle lives in writer_
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;

    AtomicFileWriter writer_;
    std::uint64_t fileOffset_ = 0;  // where the next flushed bytes go in the file

    Buffer buffer_;
    std::uint64_t bufferStart_ = 0;  // reading: file offset of buffer_[0]
    std::size_t bufferFill_ = 0;     // bytes valid (reading) or pending (writing)
};

}  // namespace kelvara
