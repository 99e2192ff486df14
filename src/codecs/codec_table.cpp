#include "codecs/codec_table.h"

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"

namespace kelvara {

namespace {

const std::array<Codec, 3> kCodecs = {{
    {ImageFormat::Bmp, "bmp", readBmp, [](ImageFile& f) { return int{probeBmp(f)}; },
     [](ImageFile& f, const IndexedImage& image, const EncodeOptions&) {
         return writeBmp(f, image);
     },
     bmpPixelCount},
    {ImageFormat::Png, "png", readPng, probePng,
     [](ImageFile& f, const IndexedImage& image, const EncodeOptions& o) {
         return writePng(f, image, o.pngLevel, o.pngFilterMask);
     },
     pngPixelCount},
    {ImageFormat::Xyz, "xyz", [](ImageFile& f, IndexedImage& image, const ReadOptions&) {
         return readXyz(f, image);
     },
     probeXyz,
     [](ImageFile& f, const IndexedImage& image, const EncodeOptions& o) {
         return writeXyz(f, image, o.xyzLevel);
     },
     xyzPixelCount},
}};

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool openBytes(ImageFile& file, std::span<const std::uint8_t> bytes) {
    // Opened for reading only: the block is never written through.
    return file.openMemory(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), false);
}

}  // namespace

const std::array<Codec, 3>& codecs() { return kCodecs; }

const Codec* codecFor(ImageFormat format) {
    const auto i = static_cast<std::size_t>(format);
    return i < kCodecs.size() ? &kCodecs[i] : nullptr;
}

const Codec* codecForExtension(std::string_view extension) {
    for (const Codec& codec : kCodecs) {
        if (extension.size() == codec.extension.size() &&
            std::equal(extension.begin(), extension.end(), codec.extension.begin(),
                       [](char a, char b) { return lowerAscii(a) == b; })) {
            return &codec;
        }
    }
    return nullptr;
}

bool readImage(const Codec& codec, const std::string& path, IndexedImage& image,
               const ReadOptions& options) {
    ImageFile file;
    if (!(options.folders != nullptr ? file.openSource(path, *options.folders)
                                     : file.open(path, false))) {
        image.reset();
        return false;  // the caller asks the file system why
    }
    return codec.read(file, image, options);
}

bool readImage(const Codec& codec, std::span<const std::uint8_t> bytes, IndexedImage& image,
               const ReadOptions& options) {
    ImageFile file;
    if (!openBytes(file, bytes)) {
        image.reset();
        return false;
    }
    return codec.read(file, image, options);
}

int probeImage(const Codec& codec, const std::string& path) {
    ImageFile file;
    return file.open(path, false) ? codec.probe(file) : 0;
}

int probeImage(const Codec& codec, std::span<const std::uint8_t> bytes) {
    ImageFile file;
    return openBytes(file, bytes) ? codec.probe(file) : 0;
}

std::uint64_t pixelCountOf(const Codec& codec, const std::string& path) {
    ImageFile file;
    return file.open(path, false) ? codec.pixelCount(file) : 0;
}

bool writeImage(const Codec& codec, const std::string& path, const IndexedImage& image,
                const EncodeOptions& options) {
    ImageFile file;
    return image.hasPixels() && file.open(path, true) && codec.write(file, image, options) &&
           file.commit();
}

}  // namespace kelvara
