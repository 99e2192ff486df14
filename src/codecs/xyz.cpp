#include "codecs/xyz.h"

#include <cstring>

#include "codecs/byte_order.h"
#include "codecs/zlib_stream.h"
#include "image/shared_buffer.h"
#include "io/image_file.h"

namespace kelvara {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kPaletteBytes = 3 * IndexedImage::kPaletteSize;
constexpr std::uint8_t kMagic[4] = {'X', 'Y', 'Z', '1'};

}  // namespace

bool readXyz(const std::string& sourcePath, IndexedImage& image) {
    ImageFile file;
    if (!file.open(sourcePath, false)) {
        return false;
    }
    std::uint8_t header[kHeaderSize];
    if (file.read(header, kHeaderSize) != kHeaderSize || std::memcmp(header, kMagic, 4) != 0) {
        return false;
    }
    const std::uint16_t width = loadLe16(header + 4);
    const std::uint16_t height = loadLe16(header + 6);
    image.setSize(width, height);
    if (!image.isEmpty() && (!image.hasPixels() || image.paletteCount() == 0)) {
        image.reset();
        return false;
    }

    // The whole payload lands in one zeroed block: a short stream leaves the
    // rest black / index 0, and a longer one is cut at the block's end.
    SharedBuffer<std::uint8_t> scratch;
    const std::size_t payloadSize = kPaletteBytes + image.pixelCount();
    ImageFile payload;
    if (scratch.allocate(payloadSize) == nullptr ||
        !payload.openMemory(scratch.data(), payloadSize, true) || !inflateStream(file, payload)) {
        image.reset();
        return false;
    }
    for (unsigned i = 0; i < image.paletteCount(); ++i) {
        const std::uint8_t* rgb = scratch.data() + 3 * i;
        image.setPaletteEntry(static_cast<std::uint16_t>(i), rgb[0], rgb[1], rgb[2]);
    }
    // Only what the stream filled is copied: the rest of the (zeroed) pixels
    // stays untouched, so a huge size declared by a tiny file costs nothing.
    const std::uint64_t filled = payload.position();
    if (image.hasPixels() && filled > kPaletteBytes) {
        std::memcpy(image.pixels(), scratch.data() + kPaletteBytes, filled - kPaletteBytes);
    }
    return true;
}

int probeXyz(const std::string& sourcePath) {
    IndexedImage image;
    return readXyz(sourcePath, image) ? 8 : 0;
}

bool writeXyz(const std::string& targetPath, const IndexedImage& image, int level) {
    if (!image.hasPixels() || level < -1 || level > 9) {
        return false;
    }
    SharedBuffer<std::uint8_t> scratch;
    const std::size_t payloadSize = kPaletteBytes + image.pixelCount();
    if (scratch.allocate(payloadSize) == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < image.paletteCount() && i < IndexedImage::kPaletteSize; ++i) {
        const PaletteEntry& e = image.palette()[i];
        std::uint8_t* rgb = scratch.data() + 3 * i;
        rgb[0] = e.red;
        rgb[1] = e.green;
        rgb[2] = e.blue;
    }
    std::memcpy(scratch.data() + kPaletteBytes, image.pixels(), image.pixelCount());

    ImageFile file;
    if (!file.open(targetPath, true)) {
        return false;
    }
    std::uint8_t header[kHeaderSize];
    std::memcpy(header, kMagic, 4);
    storeLe16(header + 4, image.width());
    storeLe16(header + 6, image.height());
    file.write(header, kHeaderSize);

    ImageFile payload;
    if (!payload.openMemory(scratch.data(), payloadSize, false) ||
        !deflateStream(payload, file, level)) {
        return false;  // the file is discarded unpublished
    }
    return file.commit();
}

}  // namespace kelvara
