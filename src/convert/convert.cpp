#include "convert/convert.h"

#include <sys/stat.h>

#include "image/indexed_image.h"
#include "io/deep_path.h"
#include "io/path_toolkit.h"

namespace kelvara {

namespace {

// Why a source could not be read, from the depth its probe reports.
ConvertStatus readFailure(int depth) {
    return depth <= 0 || depth == 8 ? ConvertStatus::UnsupportedFormat : ConvertStatus::NotEightBit;
}

}  // namespace

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
                           std::string* writtenPath) {
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
    if (!readImage(*source, sourcePath, image, options.folders)) {
        return readFailure(probeImage(*source, sourcePath));
    }
    // The target's folder is made when it is missing, not looked for first:
    // in a run it nearly always exists already.
    ImageFile file;
    if (!file.openTarget(targetPath, options) && !file.targetExisted()) {
        makeDirectories(directoryPart(targetPath));
        file.openTarget(targetPath, options);
    }
    if (!file.isOpen()) {
        return file.targetExisted() ? ConvertStatus::Skipped : ConvertStatus::WriteError;
    }
    if (!target->write(file, image, encodeOptions(settings)) || !file.commit()) {
        return file.targetExisted() ? ConvertStatus::Skipped : ConvertStatus::WriteError;
    }
    if (writtenPath != nullptr) {
        *writtenPath = file.publishedPath();
    }
    return ConvertStatus::Success;
}

}  // namespace kelvara
