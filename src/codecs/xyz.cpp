#include "codecs/xyz.h"

#include <sys/uio.h>

#include <cstring>

#include "codecs/byte_order.h"
#include "codecs/zlib_stream.h"
#include "io/image_file.h"

namespace kelvara {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kPaletteBytes = 3 * IndexedImage::kPaletteSize;
constexpr std::uint8_t kMagic[4] = {'X', 'Y', 'Z', '1'};
// Bytes of output one byte of deflate data can stand for, at most.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

}  // namespace

bool readXyz(ImageFile& file, IndexedImage& image) {
    image.reset();
    std::uint8_t header[kHeaderSize];
    if (file.read(header, kHeaderSize) != kHeaderSize || std::memcmp(header, kMagic, 4) != 0) {
        return false;
    }
    const std::uint16_t width = loadLe16(header + 4);
    const std::uint16_t height = loadLe16(header + 6);
    if (width == 0 || height == 0) {
        return false;  // no pixels: not a picture
    }
    // Deflate yields at most 258 bytes per two bits of stream: a file too
    // short to hold palette and pixels even so is refused before its
    // declared size is allocated or inflated.
    const std::uint64_t payload = kPaletteBytes + std::uint64_t{width} * height;
    if ((file.size() - kHeaderSize) * kMaxDeflateRatio < payload) {
        return false;
    }
    image.setSize(width, height);
    if (!image.hasPixels() || image.paletteCount() == 0) {
        image.reset();
        return false;
    }

    // The palette goes to a small table, the pixels straight into the image.
    // The stream must hold both; what it holds beyond them is checked to its
    // end and dropped.
    std::uint8_t rgb[kPaletteBytes] = {};
    const iovec parts[2] = {{rgb, kPaletteBytes}, {image.pixels(), image.pixelCount()}};
    std::uint64_t filled = 0;
    if (!inflateInto(file, parts, 2, filled) || filled != payload || file.failed()) {
        image.reset();
        return false;
    }
    for (unsigned i = 0; i < image.paletteCount(); ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), rgb[3 * i], rgb[3 * i + 1],
                              rgb[3 * i + 2]);
    }
    return true;
}

std::uint64_t xyzPixelCount(ImageFile& file) {
    std::uint8_t header[kHeaderSize];
    if (file.read(header, kHeaderSize) != kHeaderSize || std::memcmp(header, kMagic, 4) != 0) {
        return 0;
    }
    return std::uint64_t{loadLe16(header + 4)} * loadLe16(header + 6);
}

int probeXyz(ImageFile& file) {
    IndexedImage image;
    return readXyz(file, image) ? 8 : 0;
}

bool writeXyz(ImageFile& file, const IndexedImage& image, int level) {
    if (!image.hasPixels() || level < -1 || level > 9 || !file.isWritable()) {
        return false;
    }
    // The palette's triples in a small table; the pixels are read in place.
    std::uint8_t rgb[kPaletteBytes] = {};
    for (std::size_t i = 0; i < image.paletteCount() && i < IndexedImage::kPaletteSize; ++i) {
        const PaletteEntry& e = image.palette()[i];
        rgb[3 * i] = e.red;
        rgb[3 * i + 1] = e.green;
        rgb[3 * i + 2] = e.blue;
    }

    std::uint8_t header[kHeaderSize];
    std::memcpy(header, kMagic, 4);
    storeLe16(header + 4, image.width());
    storeLe16(header + 6, image.height());
    file.write(header, kHeaderSize);

    const iovec parts[2] = {{rgb, kPaletteBytes}, {image.pixels(), image.pixelCount()}};
    if (!deflateFrom(parts, 2, file, level)) {
        return false;  // the file is discarded unpublished
    }
    return !file.failed();
}


}  // namespace kelvara
