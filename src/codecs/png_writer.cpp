// The PNG writer: rows filtered here, compressed with libdeflate, chunks
// written directly. (Reading stays on libpng, in png.cpp.)

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "codecs/byte_order.h"
#include "codecs/png.h"
#include "codecs/png_filters.h"
#include "codecs/scratch.h"
#include "io/image_file.h"

namespace kelvara {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Compressed data per IDAT chunk: 12 bytes of framing per MiB, and no
// reader has to hold a large chunk at once.
constexpr std::size_t kMaxIdatData = std::size_t{1} << 20;
// Signature, IHDR, PLTE and tRNS of 256 entries each.
constexpr std::size_t kMaxHeadSize = 8 + (12 + 13) + (12 + 768) + (12 + 256);

// Appends one chunk (length, type, data, CRC of type and data) at `at`.
std::uint8_t* putChunk(std::uint8_t* at, const char* type, const std::uint8_t* data,
                       std::size_t n) {
    storeBe32(at, static_cast<std::uint32_t>(n));
    std::memcpy(at + 4, type, 4);
    if (n > 0) {
        std::memcpy(at + 8, data, n);
    }
    storeBe32(at + 8 + n, libdeflate_crc32(0, at + 4, 4 + n));
    return at + 12 + n;
}

// All n bytes or nothing: a memory target that is full ends the job, as
// does a file that failed.
bool put(ImageFile& file, const std::uint8_t* data, std::size_t n) {
    return file.write(data, n) == n && !file.failed();
}

// IDAT chunks holding the stream, then IEND. Small pieces go through the
// file's buffer, large ones straight from the stream.
bool putStream(ImageFile& file, const std::uint8_t* stream, std::size_t n) {
    static constexpr std::uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
    while (n > 0) {
        const std::size_t part = std::min(n, kMaxIdatData);
        std::uint8_t frame[8];
        storeBe32(frame, static_cast<std::uint32_t>(part));
        std::memcpy(frame + 4, kIdat, 4);
        std::uint8_t crc[4];
        storeBe32(crc, libdeflate_crc32(libdeflate_crc32(0, kIdat, 4), stream, part));
        if (!put(file, frame, sizeof frame) || !put(file, stream, part) ||
            !put(file, crc, sizeof crc)) {
            return false;
        }
        stream += part;
        n -= part;
    }
    std::uint8_t end[12];
    putChunk(end, "IEND", nullptr, 0);
    return put(file, end, sizeof end);
}

}  // namespace

bool writePng(ImageFile& file, const IndexedImage& image, int level, unsigned filterMask) {
    if (!image.hasPixels() || image.paletteCount() == 0 || !file.isWritable() || level < -1 ||
        level > 9) {
        return false;
    }
    const std::uint32_t width = image.width();
    const std::uint32_t height = image.height();
    const std::size_t filteredSize = (std::size_t{width} + 1) * height;

    ScratchUse scratch;
    libdeflate_compressor* compressor = scratch->compressor(level < 0 ? 6 : level);
    std::uint8_t* filtered = scratch->first().reserve(filteredSize);
    if (compressor == nullptr || filtered == nullptr) {
        return false;
    }
    filterRows(image.pixels(), width, width, height, filterMask, filtered);
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor, filteredSize);
    std::uint8_t* stream = scratch->second().reserve(bound);
    if (stream == nullptr) {
        return false;
    }
    const std::size_t streamSize =
        libdeflate_zlib_compress(compressor, filtered, filteredSize, stream, bound);
    if (streamSize == 0) {
        return false;
    }

    std::array<std::uint8_t, kMaxHeadSize> head;
    std::memcpy(head.data(), kSignature, sizeof kSignature);
    std::uint8_t ihdr[13] = {};
    storeBe32(ihdr, width);
    storeBe32(ihdr + 4, height);
    ihdr[8] = 8;  // bits per index
    ihdr[9] = 3;  // colour type: palette
    std::uint8_t* at = putChunk(head.data() + sizeof kSignature, "IHDR", ihdr, sizeof ihdr);
    const std::size_t colours = std::min<std::size_t>(image.paletteCount(), 256);
    std::uint8_t plte[3 * 256];
    for (std::size_t i = 0; i < colours; ++i) {
        const PaletteEntry& e = image.palette()[i];
        plte[3 * i] = e.red;
        plte[3 * i + 1] = e.green;
        plte[3 * i + 2] = e.blue;
    }
    at = putChunk(at, "PLTE", plte, 3 * colours);
    if (image.paletteAlphaCount() > 0) {
        at = putChunk(at, "tRNS", image.paletteAlpha(),
                      std::min(image.paletteAlphaCount(), colours));
    }
    return put(file, head.data(), static_cast<std::size_t>(at - head.data())) &&
           putStream(file, stream, streamSize);
}

}  // namespace kelvara
