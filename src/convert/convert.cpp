#include "convert/convert.h"

#include <sys/stat.h>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "conversion/path_toolkit.h"
#include "image/indexed_image.h"
#include "io/deep_path.h"

namespace kelvara {

namespace {

// Why a source could not be read, from the depth its probe reports.
ConvertStatus readFailure(int depth) {
    return depth <= 0 || depth == 8 ? ConvertStatus::UnsupportedFormat : ConvertStatus::NotEightBit;
}

std::uint32_t filterMask(int filter) {
    const bool known = filter >= 0 && filter < static_cast<int>(pngFilterMasks.size());
    return pngFilterMasks[known ? static_cast<std::size_t>(filter) : pngFilterMasks.size() - 1];
}

}  // namespace

ConvertStatus convertImage(const std::string& sourcePath, const std::string& targetPath,
                           ImageFormat sourceType, ImageFormat targetKind,
                           const Settings& settings) {
    return convertImage(sourcePath, targetPath, sourceType, targetKind, settings, TargetOptions{});
}

ConvertStatus convertImage(const std::string& sourcePath, const std::string& targetPath,
                           ImageFormat sourceType, ImageFormat targetKind,
                           const Settings& settings, const TargetOptions& target,
                           std::string* writtenPath) {
    if (targetKind != ImageFormat::Bmp && targetKind != ImageFormat::Png &&
        targetKind != ImageFormat::Xyz) {
        return ConvertStatus::UnsupportedFormat;
    }
    // A target that is to be kept is not worth reading the source for.
    struct stat st {};
    if (target.existing == ExistingTarget::Keep && statDeep(targetPath, st, false) == 0) {
        return ConvertStatus::Skipped;
    }

    IndexedImage image;
    switch (sourceType) {
        case ImageFormat::Bmp:
            if (!readBmp(sourcePath, image)) {
                return readFailure(probeBmp(sourcePath));
            }
            break;
        case ImageFormat::Png:
            if (!readPng(sourcePath, image)) {
                return readFailure(probePng(sourcePath));
            }
            break;
        case ImageFormat::Xyz:
            if (!readXyz(sourcePath, image)) {
                return readFailure(probeXyz(sourcePath));
            }
            break;
        default:
            return ConvertStatus::UnsupportedFormat;
    }

    makeDirectories(directoryPart(targetPath));
    ImageFile file;
    if (!file.openTarget(targetPath, target)) {
        return file.targetExisted() ? ConvertStatus::Skipped : ConvertStatus::WriteError;
    }
    bool done = false;
    switch (targetKind) {
        case ImageFormat::Bmp:
            done = writeBmp(file, image);
            break;
        case ImageFormat::Png:
            done = writePng(file, image, settings.PngCompLv, filterMask(settings.Filter));
            break;
        case ImageFormat::Xyz:
            done = writeXyz(file, image, settings.XyzCompLv);
            break;
    }
    if (!done || !file.commit()) {
        return file.targetExisted() ? ConvertStatus::Skipped : ConvertStatus::WriteError;
    }
    if (writtenPath != nullptr) {
        *writtenPath = file.publishedPath();
    }
    return ConvertStatus::Success;
}

}  // namespace kelvara
