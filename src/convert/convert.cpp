#include "convert/convert.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "image/indexed_image.h"
#include "io/deep_path.h"
#include "io/path_toolkit.h"

namespace kelvara {

namespace {

// Why a source could not be read, from the depth its probe reports and what
// the reader said. With low depths expanded, a file of such a depth that was
// refused for anything but its depth is damaged rather than of another depth.
ConvertStatus readFailure(int depth, Failure why, bool expanding) {
    const bool expandable = depth == 1 || depth == 2 || depth == 4;
    if (depth <= 0 || depth == 8 || (expanding && expandable && why != Failure::LowDepth)) {
        return ConvertStatus::UnsupportedFormat;
    }
    return ConvertStatus::NotEightBit;
}

// What a reader that said nothing met, from the file system and the probe.
Failure unreadSource(const std::string& path, int depth, ImageFormat type) {
    if (const Failure why = sourceFailure(path); why != Failure::None) {
        return why;
    }
    if (depth > 8) {
        return Failure::DeepColour;
    }
    if (depth > 0 && depth < 8) {
        return Failure::LowDepth;
    }
    if (depth == 8) {
        return Failure::Damaged;
    }
    switch (type) {
        case ImageFormat::Bmp:
            return Failure::NotBitmap;
        case ImageFormat::Png:
            return Failure::NotPng;
        case ImageFormat::Xyz:
            break;
    }
    return Failure::NotXyz;
}

void note(EntryReport* report, Failure why) {
    if (report != nullptr) {
        report->failure = why;
    }
}

}  // namespace

Failure sourceFailure(const std::string& path) {
    struct stat st {};
    if (statDeep(path, st) != 0) {
        return failureFromErrno(errno, false);
    }
    if (!S_ISREG(st.st_mode)) {
        return Failure::NotAFile;
    }
    const FileDescriptor fd(openDeep(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return fd.valid() ? Failure::None : failureFromErrno(errno, false);
}

Failure targetFailure(const std::string& path, int error) {
    struct stat st {};
    if (statDeep(path, st, false) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        return Failure::TargetNotFile;
    }
    return failureFromErrno(error, true);
}

EncodeOptions encodeOptions(const Settings& settings) {
    EncodeOptions options;
    const int filter = settings.Filter;
    const bool known = filter >= 0 && filter < static_cast<int>(pngFilterMasks.size());
    options.pngLevel = settings.PngCompLv;
    options.pngFilterMask = pngFilterMasks[known ? static_cast<std::size_t>(filter) : pngFilterMasks.size() - 1];
    options.xyzLevel = settings.XyzCompLv;
    return options;
}

ConvertStatus convertImage(const std::string& sourcePath, const std::string& targetPath,
                           ImageFormat sourceType, ImageFormat targetKind,
                           const Settings& settings, const TargetOptions& options,
                           EntryReport* report) {
    const Codec* source = codecFor(sourceType);
    const Codec* target = codecFor(targetKind);
    if (source == nullptr || target == nullptr) {
        return ConvertStatus::UnsupportedFormat;
    }
    // A target that is to be kept is not worth reading the source for.
    struct stat st {};
    if (options.existing == ExistingTarget::Keep && !options.absentWhenPlanned &&
        statDeep(targetPath, st, false) == 0) {
        return ConvertStatus::Skipped;
    }

    IndexedImage image;
    Failure why = Failure::None;
    ReadOptions read;
    read.expandLowDepth = settings.ExpandLowDepth;
    read.failure = &why;
    read.folders = options.folders;
    if (!readImage(*source, sourcePath, image, read)) {
        const int depth = probeImage(*source, sourcePath);
        note(report, why != Failure::None ? why : unreadSource(sourcePath, depth, sourceType));
        return readFailure(depth, why, settings.ExpandLowDepth);
    }
    // The target's folder is made when it is missing, not looked for first:
    // in a run it nearly always exists already.
    ImageFile file;
    // The errno of the call that failed tells why; the writers make no
    // system calls after a failed one.
    errno = 0;
    if (!file.openTarget(targetPath, options) && !file.targetExisted()) {
        makeDirectories(directoryPart(targetPath));
        errno = 0;
        file.openTarget(targetPath, options);
    }
    if (!file.isOpen()) {
        const int error = errno;
        if (file.targetExisted()) {
            return ConvertStatus::Skipped;
        }
        note(report, targetFailure(targetPath, error));
        return ConvertStatus::WriteError;
    }
    if (!target->write(file, image, encodeOptions(settings)) || !file.commit()) {
        const int error = errno;
        if (file.targetExisted()) {
            return ConvertStatus::Skipped;
        }
        note(report, error != 0 ? failureFromErrno(error, true) : Failure::IoError);
        return ConvertStatus::WriteError;
    }
    if (report != nullptr) {
        report->written = file.publishedPath();
    }
    return ConvertStatus::Success;
}

}  // namespace kelvara
