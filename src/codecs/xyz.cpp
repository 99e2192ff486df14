#include "codecs/xyz.h"

#include <libdeflate.h>
#include <sys/uio.h>

#include <cstring>

#include "codecs/byte_order.h"
#include "codecs/scratch.h"
#include "codecs/zlib_stream.h"
#include "io/image_file.h"

namespace kelvara {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kPaletteBytes = 3 * IndexedImage::kPaletteSize;
constexpr std::uint8_t kMagic[4] = {'X', 'Y', 'Z', '1'};
// Bytes of output one byte of deflate data can stand for, at most.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

// The largest stream read whole into memory for a payload: stored blocks
// with room to spare. A longer one (a payload far longer than declared, or
// a wasteful encoder) is inflated piece by piece, in bounded memory.
std::uint64_t largestWholeStream(std::uint64_t payload) { return payload + payload / 8 + 4096; }

// All n bytes or nothing: a memory target that is full ends the job, as
// does a file that failed.
bool put(ImageFile& file, const std::uint8_t* data, std::size_t n) {
    return file.write(data, n) == n && !file.failed();
}

enum class Inflated { Exactly, Longer, Failed };

// The stream from the file's position decoded into the payload's n bytes.
// Longer: the stream holds more than n bytes (nothing is known of it yet).
Inflated inflateWhole(ImageFile& file, std::uint8_t* payload, std::size_t n) {
    const std::uint64_t streamSize = file.size() - file.position();
    if (streamSize > largestWholeStream(n)) {
        return Inflated::Longer;
    }
    ScratchUse scratch;
    libdeflate_decompressor* decompressor = scratch->decompressor();
    std::uint8_t* stream = scratch->first().reserve(streamSize);
    if (decompressor == nullptr || stream == nullptr ||
        file.read(stream, streamSize) != streamSize || file.failed()) {
        return Inflated::Failed;
    }
    // Without a count of the bytes produced, libdeflate refuses a stream
    // that ends before filling the payload.
    switch (libdeflate_zlib_decompress(decompressor, stream, streamSize, payload, n, nullptr)) {
        case LIBDEFLATE_SUCCESS:
            return Inflated::Exactly;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return Inflated::Longer;
        default:
            return Inflated::Failed;  // damaged, cut, or shorter than the payload
    }
}

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
    // The palette is decoded into the room just before the pixels, so that
    // the whole payload is one block and the pixels need no copy. Every byte
    // of it is written or the read fails: nothing is cleared first.
    image.setSize(width, height, false, kPaletteBytes);
    if (!image.hasPixels() || image.paletteCount() == 0) {
        image.reset();
        return false;
    }
    std::uint8_t* rgb = image.pixels() - kPaletteBytes;
    Inflated result = inflateWhole(file, rgb, static_cast<std::size_t>(payload));
    if (result == Inflated::Longer) {
        // What the stream holds beyond palette and pixels is checked to its
        // end and dropped.
        file.seek(kHeaderSize, 0);
        const iovec whole{rgb, static_cast<std::size_t>(payload)};
        std::uint64_t filled = 0;
        result = inflateInto(file, &whole, 1, filled) && filled == payload && !file.failed()
                     ? Inflated::Exactly
                     : Inflated::Failed;
    }
    if (result != Inflated::Exactly) {
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
    // libdeflate takes one block: the palette's triples, then the pixels.
    const std::size_t payloadSize = kPaletteBytes + image.pixelCount();
    ScratchUse scratch;
    libdeflate_compressor* compressor = scratch->compressor(level < 0 ? 6 : level);
    std::uint8_t* payload = scratch->first().reserve(payloadSize);
    if (compressor == nullptr || payload == nullptr) {
        return false;
    }
    std::memset(payload, 0, kPaletteBytes);
    for (std::size_t i = 0; i < image.paletteCount() && i < IndexedImage::kPaletteSize; ++i) {
        const PaletteEntry& e = image.palette()[i];
        payload[3 * i] = e.red;
        payload[3 * i + 1] = e.green;
        payload[3 * i + 2] = e.blue;
    }
    std::memcpy(payload + kPaletteBytes, image.pixels(), image.pixelCount());
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor, payloadSize);
    std::uint8_t* stream = scratch->second().reserve(bound);
    if (stream == nullptr) {
        return false;
    }
    const std::size_t streamSize =
        libdeflate_zlib_compress(compressor, payload, payloadSize, stream, bound);

    std::uint8_t header[kHeaderSize];
    std::memcpy(header, kMagic, 4);
    storeLe16(header + 4, image.width());
    storeLe16(header + 6, image.height());
    // A stream not written whole discards the file unpublished.
    return streamSize != 0 && put(file, header, kHeaderSize) && put(file, stream, streamSize);
}

}  // namespace kelvara
