#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "io/deep_path.h"

namespace kelvara {

// When a finished file is flushed to the disk before it takes its name.
enum class SyncPolicy {
    WhenReplacing,  // only when an existing file is replaced (the default)
    Always,
    Never,
};

// What happens to a file that already stands at the target's name.
enum class ExistingTarget {
    Replace,       // replaced (through a link at the name, to the file it leads to)
    Keep,          // left alone: nothing is written and targetExisted() says why
    NumberedName,  // left alone: the file takes the first free "name (k).ext" beside it
};

struct TargetOptions {
    SyncPolicy sync = SyncPolicy::WhenReplacing;
    ExistingTarget existing = ExistingTarget::Replace;
    // NumberedName: true for a file name (no folder) the file must not take,
    // for example one that another file of the same run will take.
    std::function<bool(std::string_view name)> reservedName;
    // The caller has just seen nothing at the target's name (a run's plan):
    // the writer does not look again before writing. A regular file that
    // turns up meanwhile is still found and replaced (or kept) as the rule
    // says; a link or anything else that turns up fails the write.
    bool absentWhenPlanned = false;
    // Folders a run keeps open: the target's folder is taken from there
    // (and a conversion's source's too).
    FolderHandles* folders = nullptr;
};

// Writes a file so that it appears at its path whole or not at all. The bytes
// go into an unnamed (or hidden) temporary file in the target's folder; commit
// gives it its name once every write succeeded. Until then, and on any
// failure, whatever stood at the target is left as it was and the temporary is
// removed. Every name is taken relative to the folder's descriptor, so paths
// longer than one system call accepts work too.
class AtomicFileWriter {
public:
    AtomicFileWriter() = default;
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter() { abandon(); }

    // Prepares to write target. Fails when the folder does not exist or is
    // not writable, when the target is not a regular file, when an existing
    // target may not be written, or (Keep) when the target exists.
    bool begin(const std::string& target, const TargetOptions& options);
    bool begin(const std::string& target, SyncPolicy sync = SyncPolicy::WhenReplacing) {
        TargetOptions options;
        options.sync = sync;
        return begin(target, options);
    }

    // Writes all n bytes at the file's position; a short or failed write is
    // remembered and makes commit fail.
    bool write(const void* data, std::size_t n);
    // The same at an absolute offset; parts are written one after another.
    bool writeAt(const void* data, std::size_t n, off_t offset);
    bool writePartsAt(const iovec* parts, int count, off_t offset);

    // Permission bits for the finished file. Without this a new file gets
    // 0666 less the umask, and a replaced file keeps the bits it had.
    void setMode(mode_t mode);

    // Publishes the file. False when any write failed, the file could not be
    // flushed, closed or named, or (Keep) the target appeared meanwhile;
    // nothing is left behind then.
    bool commit();
    // Drops the temporary file; the target is untouched.
    void abandon();

    // Use a hidden named temporary even where the file system offers unnamed
    // ones (the fallback path; a killed process may leave such a file).
    void useNamedTemporary(bool named) { forceNamed_ = named; }

    bool isActive() const { return fd_ >= 0; }
    bool failed() const { return failed_; }
    void markFailed() { failed_ = true; }
    // The file written to: the target, or the file a link at its name leads to.
    const std::string& target() const { return target_; }
    // After a successful commit: the path asked for, or the numbered name
    // taken beside it.
    const std::string& publishedPath() const { return published_; }
    // The target existed and was kept (ExistingTarget::Keep).
    bool targetExisted() const { return existed_; }

private:
    bool openFolder();
    bool openTemporary();
    // A regular file we may write stands at the target: it is replaced.
    bool acceptReplaced(const struct stat& st);
    bool lookAtTarget();
    bool linkTemporary();
    // Gives the finished file the name `name` unless something stands there.
    bool linkNoReplace(const std::string& name);
    bool publishNumbered();

    int folderFd() const { return folder_ ? folder_->get() : -1; }

    int fd_ = -1;
    std::shared_ptr<const FileDescriptor> folder_;  // the target's folder
    std::string folderPath_;                        // its path, when taken from options_.folders
    std::string name_;       // the target's name in it
    bool failed_ = false;
    bool unnamed_ = false;  // O_TMPFILE: no name until commit links one
    bool replacing_ = false;
    bool haveMode_ = false;
    bool forceNamed_ = false;
    bool existed_ = false;
    bool lookLater_ = false;  // the target was not looked at in begin
    mode_t mode_ = 0;
    TargetOptions options_;
    std::string target_;
    std::string requested_;
    std::string published_;
    std::string tempName_;  // named temporary in folder_, empty while unnamed
};

// "name (k).ext": k inserted before the last extension of a file name.
std::string numberedName(std::string_view name, unsigned k);

}  // namespace kelvara
