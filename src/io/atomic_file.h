#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <string>

namespace kelvara {

// When a finished file is flushed to the disk before it takes its name.
enum class SyncPolicy {
    WhenReplacing,  // only when an existing file is replaced (the default)
    Always,
    Never,
};

// Writes a file so that it appears at its path whole or not at all. The bytes
// go into an unnamed (or hidden) temporary file in the target's folder; commit
// renames it over the target once every write succeeded. Until then, and on any
// failure, whatever stood at the target is left as it was and the temporary is
// removed.
class AtomicFileWriter {
public:
    AtomicFileWriter() = default;
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter() { abandon(); }

    // Prepares to write target. Fails when the folder does not exist or is
    // not writable, when the target is not a regular file, or when an existing
    // target may not be written.
    bool begin(const std::string& target, SyncPolicy sync = SyncPolicy::WhenReplacing);

    // Writes all n bytes at the file's position; a short or failed write is
    // remembered and makes commit fail.
    bool write(const void* data, std::size_t n);
    // The same at an absolute offset; parts are written one after another.
    bool writeAt(const void* data, std::size_t n, off_t offset);
    bool writePartsAt(const iovec* parts, int count, off_t offset);

    // Permission bits for the finished file. Without this a new file gets
    // 0666 less the umask, and a replaced file keeps the bits it had.
    void setMode(mode_t mode);

    // Publishes the file under the target name. False when any write failed
    // or the file could not be flushed, closed or renamed; nothing is left
    // behind then.
    bool commit();
    // Drops the temporary file; the target is untouched.
    void abandon();

    // Use a hidden named temporary even where the file system offers unnamed
    // ones (the fallback path; a killed process may leave such a file).
    void useNamedTemporary(bool named) { forceNamed_ = named; }

    bool isActive() const { return fd_ >= 0; }
    bool failed() const { return failed_; }
    void markFailed() { failed_ = true; }
    const std::string& target() const { return target_; }

private:
    bool openTemporary(const std::string& folder);
    bool linkAsTarget();
    bool linkTemporary();

    int fd_ = -1;
    bool failed_ = false;
    bool unnamed_ = false;  // O_TMPFILE: no name until commit links one
    bool replacing_ = false;
    bool haveMode_ = false;
    bool forceNamed_ = false;
    mode_t mode_ = 0;
    SyncPolicy sync_ = SyncPolicy::WhenReplacing;
    std::string target_;
    std::string tempPath_;  // named temporary, empty while unnamed
    std::string folder_;    // the target's folder with its trailing '/', or empty
};

}  // namespace kelvara
