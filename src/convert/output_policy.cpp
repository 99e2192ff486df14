#include "convert/output_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "io/path_toolkit.h"
#include "io/atomic_file.h"
#include "io/deep_path.h"

namespace kelvara {

namespace {

constexpr std::size_t kCopyChunk = 128 * 1024;

// An out-of-range SaveMode falls back to its default, BMP, as the settings
// store does when it loads one; extension and writer then always agree.
ImageFormat targetKind(const Settings& settings) {
    const auto kind = static_cast<ImageFormat>(settings.SaveMode);
    return codecFor(kind) != nullptr ? kind : ImageFormat::Bmp;
}

}  // namespace

OutputPlan resolveOutput(const std::string& fullPath, const std::string& relativePath,
                         const Settings& settings) {
    const PathStyle style = PathStyle::native();
    std::string candidate;
    if (settings.SaveDirFlag == 1) {
        // SaveDir is taken exactly as stored: a trailing separator doubles up,
        // which POSIX path resolution ignores.
        candidate = settings.SaveDir;
        candidate += style.builtSeparator;
        candidate += settings.ReproduceDir ? std::string_view(relativePath)
                                           : fileNamePart(fullPath, style);
    } else {
        candidate = fullPath;
    }

    OutputPlan plan;
    const std::string_view extension = extensionPart(candidate, style);
    if (const Codec* source = codecForExtension(extension)) {
        // The match is exactly the last bytes of the candidate.
        candidate.replace(candidate.size() - extension.size(), extension.size(),
                          codecFor(targetKind(settings))->extension);
        plan.action = OutputAction::ConvertImage;
        plan.sourceFormat = source->format;
        plan.targetPath = std::move(candidate);
        return plan;
    }
    if (settings.UnKnownFlag == 1) {
        plan.action = OutputAction::CopyUnchanged;
        plan.targetPath = std::move(candidate);
    }
    return plan;
}

ExistingTarget existingTargetRule(const Settings& settings) {
    switch (settings.Existing) {
        case 1:
            return ExistingTarget::Keep;
        case 2:
            return ExistingTarget::NumberedName;
        default:
            return ExistingTarget::Replace;
    }
}

ConvertStatus carryOut(const OutputPlan& plan, const std::string& fullPath,
                       const Settings& settings, const TargetOptions& target,
                       EntryReport* report) {
    switch (plan.action) {
        case OutputAction::ConvertImage:
            return convertImage(fullPath, plan.targetPath, plan.sourceFormat, targetKind(settings),
                                settings, target, report);
        case OutputAction::CopyUnchanged: {
            makeDirectories(directoryPart(plan.targetPath));
            std::string written;
            errno = 0;
            switch (copyFile(fullPath, plan.targetPath, target, &written)) {
                case CopyResult::Copied:
                    if (report != nullptr) {
                        report->written = std::move(written);
                    }
                    return ConvertStatus::Success;
                case CopyResult::SameFile:  // nothing to do: the file is already there
                case CopyResult::TargetKept:
                    return ConvertStatus::Skipped;
                case CopyResult::Failed:
                    break;
            }
            if (report != nullptr) {
                const int error = errno;  // of the failing call, source or target
                const Failure source = sourceFailure(fullPath);
                report->failure = source != Failure::None ? source
                                                          : targetFailure(plan.targetPath, error);
            }
            return ConvertStatus::CopyFailed;
        }
        case OutputAction::SkipEntry:
            break;
    }
    return ConvertStatus::Skipped;
}

CopyResult copyFile(const std::string& sourcePath, const std::string& targetPath,
                    const TargetOptions& target, std::string* written) {
    // Non-blocking so that a FIFO or device cannot stall the run before it is
    // recognised as not being a regular file.
    const FileDescriptor source(openDeep(sourcePath, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!source.valid()) {
        return CopyResult::Failed;
    }
    struct stat from {};
    if (::fstat(source.get(), &from) != 0 || !S_ISREG(from.st_mode)) {
        return CopyResult::Failed;
    }
    const int flags = ::fcntl(source.get(), F_GETFL);
    if (flags < 0 || ::fcntl(source.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return CopyResult::Failed;
    }

    // Replacing the target would otherwise replace the source itself, however
    // the two paths are spelled.
    struct stat to {};
    if (statDeep(targetPath, to) == 0 && to.st_dev == from.st_dev && to.st_ino == from.st_ino) {
        return CopyResult::SameFile;
    }

    AtomicFileWriter writer;
    if (!writer.begin(targetPath, target)) {
        return writer.targetExisted() ? CopyResult::TargetKept : CopyResult::Failed;
    }
    // Permission bits only: set-id bits are not carried to a copy.
    writer.setMode(from.st_mode & 0777);

    const auto buffer = std::make_unique_for_overwrite<char[]>(kCopyChunk);
    for (;;) {
        const ssize_t got = ::read(source.get(), buffer.get(), kCopyChunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return CopyResult::Failed;  // the writer's destructor drops the temporary
        }
        if (got == 0) {
            break;
        }
        if (!writer.write(buffer.get(), static_cast<std::size_t>(got))) {
            return CopyResult::Failed;
        }
    }
    if (!writer.commit()) {
        return writer.targetExisted() ? CopyResult::TargetKept : CopyResult::Failed;
    }
    if (written != nullptr) {
        *written = writer.publishedPath();
    }
    return CopyResult::Copied;
}

}  // namespace kelvara
