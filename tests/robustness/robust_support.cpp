#include "robust_support.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"

namespace kelvara::robust {

void fillImage(IndexedImage& image, unsigned width, unsigned height, std::uint32_t seed) {
    image.setSize(width, height);
    std::uint32_t state = seed * 2654435761u + 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        const std::uint32_t c = next();
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(c),
                              static_cast<std::uint8_t>(c >> 8),
                              static_cast<std::uint8_t>(c >> 16));
    }
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        image.pixels()[i] = static_cast<std::uint8_t>(next() >> 24);
    }
}

bool writeImage(const std::string& path, ImageFormat format, const IndexedImage& image, int level) {
    switch (format) {
        case ImageFormat::Bmp:
            return writeBmp(path, image);
        case ImageFormat::Png:
            return writePng(path, image, level, pngFilterMasks.back());
        case ImageFormat::Xyz:
            return writeXyz(path, image, level);
    }
    return false;
}

bool holdsImage(const std::string& path, ImageFormat format, const IndexedImage& image) {
    IndexedImage read;
    bool ok = false;
    switch (format) {
        case ImageFormat::Bmp:
            ok = readBmp(path, read);
            break;
        case ImageFormat::Png:
            ok = readPng(path, read);
            break;
        case ImageFormat::Xyz:
            ok = readXyz(path, read);
            break;
    }
    return ok && read.width() == image.width() && read.height() == image.height() &&
           read.pixelCount() == image.pixelCount() &&
           std::memcmp(read.pixels(), image.pixels(), image.pixelCount()) == 0 &&
           std::memcmp(read.palette(), image.palette(),
                       IndexedImage::kPaletteSize * sizeof(PaletteEntry)) == 0;
}

const char* extensionOf(ImageFormat format) {
    switch (format) {
        case ImageFormat::Bmp:
            return "bmp";
        case ImageFormat::Png:
            return "png";
        case ImageFormat::Xyz:
            return "xyz";
    }
    return "";
}

Snapshot snapshot(const std::string& root) {
    namespace fs = std::filesystem;
    Snapshot tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) {
            continue;
        }
        Node node;
        node.folder = S_ISDIR(st.st_mode);
        node.mode = st.st_mode & 07777;
        if (S_ISREG(st.st_mode)) {
            node.bytes = test::readFile(it->path());
        }
        tree[fs::relative(it->path(), root).string()] = std::move(node);
    }
    return tree;
}

int countTemporaries(const Snapshot& tree) {
    int count = 0;
    for (const auto& [path, node] : tree) {
        const std::string name = std::filesystem::path(path).filename().string();
        count += name.starts_with(".kelvara-") && name.ends_with(".tmp") ? 1 : 0;
    }
    return count;
}

Settings outputSettings(ImageFormat target, bool intoSaveDir, const std::string& saveDir) {
    Settings settings;
    settings.SaveMode = static_cast<int>(target);
    settings.SaveDirFlag = intoSaveDir ? 1 : 0;
    settings.SaveDir = saveDir;
    settings.ReproduceDir = true;
    settings.UnKnownFlag = 1;
    settings.DelSuccessItem = false;
    return settings;
}

long peakRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

Sanitizer sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return Sanitizer::Address;
#elif defined(__SANITIZE_THREAD__)
    return Sanitizer::Thread;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return Sanitizer::Address;
#elif __has_feature(thread_sanitizer)
    return Sanitizer::Thread;
#else
    return Sanitizer::None;
#endif
#else
    return Sanitizer::None;
#endif
}

}  // namespace kelvara::robust
