#include "convert/convert.h"

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "conversion/path_toolkit.h"
#include "image/indexed_image.h"

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

    if (targetKind != ImageFormat::Bmp && targetKind != ImageFormat::Png &&
        targetKind != ImageFormat::Xyz) {
        return ConvertStatus::UnsupportedFormat;
    }
    makeDirectories(directoryPart(targetPath));

    bool written = false;
    switch (targetKind) {
        case ImageFormat::Bmp:
            written = writeBmp(targetPath, image);
            break;
        case ImageFormat::Png:
            written = writePng(targetPath, image, settings.PngCompLv, filterMask(settings.Filter));
            break;
        case ImageFormat::Xyz:
            written = writeXyz(targetPath, image, settings.XyzCompLv);
            break;
        default:
            return ConvertStatus::UnsupportedFormat;
    }
    return written ? ConvertStatus::Success : ConvertStatus::WriteError;
}

}  // namespace kelvara
