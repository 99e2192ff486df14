#include "codecs/bmp.h"

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "codecs/byte_order.h"
#include "io/image_file.h"

namespace kelvara {

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kMaxDimension = 65535;
constexpr std::uint32_t kCompressionNone = 0;
constexpr std::uint32_t kCompressionRle8 = 1;
constexpr std::uint32_t kCompressionRle4 = 2;
// Rows per scatter/gather call: two parts a row (pixels, padding).
constexpr int kRowsPerBatch = IOV_MAX / 2;

struct BmpLayout {
    std::uint32_t headerSize = 0;
    std::uint16_t bitCount = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;  // negative: rows stored top first
    std::uint32_t compression = kCompressionNone;
    std::uint32_t pixelOffset = 0;
    std::uint32_t colorsUsed = 0;  // 0: as many as the bit count allows
};

// Reads the file header and the info or core header. Failure::None, or why
// the file is not a bitmap with a header we know.
Failure readHeaders(ImageFile& file, BmpLayout& layout) {
    std::uint8_t fileHeader[kFileHeaderSize];
    const std::uint64_t start = file.read(fileHeader, sizeof fileHeader);
    if (start < 2 || fileHeader[0] != 'B' || fileHeader[1] != 'M') {
        return Failure::NotBitmap;
    }
    if (start != sizeof fileHeader) {
        return Failure::EndsInHeader;
    }
    layout.pixelOffset = loadLe32(fileHeader + 10);

    std::uint8_t info[kInfoHeaderSize];
    const std::uint64_t got = file.read(info, sizeof info);
    if (got < 4) {
        return Failure::EndsInHeader;
    }
    layout.headerSize = loadLe32(info);
    if (layout.headerSize == kInfoHeaderSize) {
        if (got < kInfoHeaderSize) {
            return Failure::EndsInHeader;
        }
        layout.width = static_cast<std::int32_t>(loadLe32(info + 4));
        layout.height = static_cast<std::int32_t>(loadLe32(info + 8));
        layout.bitCount = loadLe16(info + 14);
        layout.compression = loadLe32(info + 16);
        layout.colorsUsed = loadLe32(info + 32);
        return Failure::None;
    }
    if (layout.headerSize == kCoreHeaderSize) {
        file.seek(kFileHeaderSize, 0);
        if (file.read(info, kCoreHeaderSize) != kCoreHeaderSize) {
            return Failure::EndsInHeader;
        }
        layout.width = loadLe16(info + 4);
        layout.height = loadLe16(info + 6);
        layout.bitCount = loadLe16(info + 10);
        return Failure::None;
    }
    return Failure::NotBitmap;
}

// Reads `count` colour-table entries that follow the header. Entries the
// file does not supply stay black.
void readPalette(ImageFile& file, IndexedImage& image, std::size_t entrySize, std::size_t count) {
    std::array<std::uint8_t, IndexedImage::kPaletteSize * 4> table{};
    const std::size_t want = count * entrySize;
    const std::uint64_t got = file.read(table.data(), want);
    const std::size_t complete = static_cast<std::size_t>(got) / entrySize;
    for (std::size_t slot = 0; slot < complete; ++slot) {
        const std::uint8_t* e = table.data() + slot * entrySize;
        image.setPaletteEntry(static_cast<std::uint16_t>(slot), e[2], e[1], e[0]);
    }
}

// Plain rows, bottom row first unless the bitmap is stored top-down. True
// when every row arrived; only the last one may lack its padding.
bool readPlainRows(ImageFile& file, IndexedImage& image, bool topDown) {
    const std::uint16_t width = image.width();
    const std::uint16_t height = image.height();
    const std::size_t padding = (4 - width % 4) % 4;
    const std::uint64_t stride = width + padding;
    std::uint8_t pad[4];
    std::array<iovec, 2 * kRowsPerBatch> parts;
    auto rowAt = [&](std::uint32_t i) {
        return image.row(static_cast<std::uint16_t>(topDown ? i : height - 1 - i));
    };
    for (std::uint32_t first = 0; first < height; first += kRowsPerBatch) {
        int used = 0;
        const std::uint32_t last = std::min<std::uint32_t>(height, first + kRowsPerBatch);
        for (std::uint32_t i = first; i < last; ++i) {
            parts[used++] = iovec{rowAt(i), width};
            if (padding != 0) {
                parts[used++] = iovec{pad, padding};
            }
        }
        const std::uint64_t wanted = (last - first) * stride;
        const std::uint64_t got = file.readParts(parts.data(), used);
        if (got < wanted) {
            return last == height && got >= wanted - padding;
        }
    }
    return true;
}

// 1-, 2- or 4-bit rows, each unpacked to one index a byte, leftmost pixel in
// the highest bits. The same rules as plain 8-bit rows.
bool readPackedRows(ImageFile& file, IndexedImage& image, bool topDown, unsigned bits) {
    const std::uint32_t width = image.width();
    const std::uint32_t height = image.height();
    const std::size_t rowBytes = (std::size_t{width} * bits + 7) / 8;
    const std::size_t stride = (rowBytes + 3) & ~std::size_t{3};
    const unsigned perByte = 8 / bits;
    const unsigned mask = (1u << bits) - 1;
    std::vector<std::uint8_t> packed(stride);
    for (std::uint32_t i = 0; i < height; ++i) {
        const std::size_t wanted = i + 1 == height ? rowBytes : stride;
        if (file.read(packed.data(), wanted) != wanted) {
            return false;
        }
        const std::uint32_t y = topDown ? i : height - 1 - i;
        std::uint8_t* row = image.row(static_cast<std::uint16_t>(y));
        for (std::uint32_t x = 0; x < width; ++x) {
            const unsigned shift = 8 - bits * (x % perByte + 1);
            row[x] = static_cast<std::uint8_t>((packed[x / perByte] >> shift) & mask);
        }
    }
    return true;
}

// Buffered byte-at-a-time access for the RLE decoder.
class ByteSource {
public:
    explicit ByteSource(ImageFile& file) : file_(file) {}
    // False at the end of the data.
    bool next(std::uint8_t& out) {
        if (at_ == fill_) {
            fill_ = static_cast<std::size_t>(file_.read(buffer_.data(), buffer_.size()));
            at_ = 0;
            if (fill_ == 0) {
                return false;
            }
        }
        out = buffer_[at_++];
        return true;
    }

private:
    ImageFile& file_;
    std::array<std::uint8_t, 4096> buffer_{};
    std::size_t at_ = 0;
    std::size_t fill_ = 0;
};

// RLE8 and RLE4 (bits 8 or 4): encoded runs (RLE4: two indices taking
// turns), absolute runs, end of line, end of bitmap and delta.
// Anything that reaches past a row or below the last row is dropped; pixels
// the stream skips (end of bitmap, deltas) stay 0. True when the stream
// covers the image: it reaches its end-of-bitmap marker, or its lines pass
// the last row. Data that ends before either leaves pixels missing.
bool readRleRows(ImageFile& file, IndexedImage& image, bool topDown, unsigned bits) {
    const std::uint32_t width = image.width();
    const std::uint32_t height = image.height();
    ByteSource in(file);
    std::uint32_t x = 0;
    std::uint32_t line = 0;  // rows in file order
    auto rowAt = [&](std::uint32_t l) {
        return image.row(static_cast<std::uint16_t>(topDown ? l : height - 1 - l));
    };
    std::uint8_t count = 0;
    std::uint8_t value = 0;
    while (line < height) {
        if (!in.next(count) || !in.next(value)) {
            return false;
        }
        if (count > 0 && bits == 4) {
            std::uint8_t* row = rowAt(line);
            for (std::uint32_t i = 0; i < count && x < width; ++i) {
                row[x++] = static_cast<std::uint8_t>(i % 2 == 0 ? value >> 4 : value & 0x0F);
            }
            continue;
        }
        if (count > 0) {
            if (x < width) {
                std::memset(rowAt(line) + x, value, std::min<std::uint32_t>(count, width - x));
            }
            x = std::min(x + count, width);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++line;
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // delta
            std::uint8_t dx = 0;
            std::uint8_t dy = 0;
            if (!in.next(dx) || !in.next(dy)) {
                return false;
            }
            x = std::min(x + dx, width);
            line += dy;
        } else {  // absolute run of `value` indices, its bytes padded to an even count
            std::uint8_t* row = rowAt(line);
            const std::uint32_t bytes = bits == 8 ? value : (value + 1u) / 2;
            for (std::uint32_t i = 0; i < bytes; ++i) {
                std::uint8_t index = 0;
                if (!in.next(index)) {
                    return false;
                }
                if (bits == 4 && x < width) {
                    row[x++] = static_cast<std::uint8_t>(index >> 4);
                    index &= 0x0F;
                    if (2 * i + 1 == value) {
                        continue;  // an odd count: the last low half is padding
                    }
                }
                if (x < width) {
                    row[x++] = index;
                }
            }
            if (bytes % 2 != 0 && !in.next(count)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool readBmp(ImageFile& file, IndexedImage& image, const ReadOptions& options) {
    image.reset();
    BmpLayout layout;
    if (const Failure why = readHeaders(file, layout); why != Failure::None) {
        return refuse(options, why);
    }
    const unsigned bits = layout.bitCount;
    const bool lowDepth = bits == 1 || bits == 2 || bits == 4;
    if (bits != 8 && !(lowDepth && options.expandLowDepth)) {
        return refuse(options, lowDepth ? Failure::LowDepth : bits > 8 ? Failure::DeepColour : Failure::NotBitmap);
    }
    // A negative height marks a top-down bitmap; a negative width means
    // nothing, and a bitmap without pixels is no picture.
    const bool topDown = layout.height < 0;
    const std::int64_t rows = topDown ? -layout.height : layout.height;
    if (layout.width < 0) {
        return refuse(options, Failure::NotBitmap);
    }
    if (layout.width == 0 || rows == 0) {
        return refuse(options, Failure::NoPixels);
    }
    if (layout.width > kMaxDimension || rows > kMaxDimension) {
        return refuse(options, Failure::TooLarge);
    }
    const bool rle = (bits == 8 && layout.compression == kCompressionRle8) ||
                     (bits == 4 && layout.compression == kCompressionRle4);
    if (layout.compression != kCompressionNone && !rle) {
        return refuse(options, Failure::Compression);
    }
    // Plain rows have a fixed size: a file too short for them is refused
    // before its declared size is allocated. Some writers leave out the
    // padding after the last row, so that is not required.
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(layout.width) * bits + 7) / 8;
    const std::uint64_t stride = (rowBytes + 3) & ~std::uint64_t{3};
    const std::uint64_t plainEnd = std::uint64_t{layout.pixelOffset} +
                                   stride * static_cast<std::uint64_t>(rows - 1) + rowBytes;
    if (!rle && file.size() < plainEnd) {
        return refuse(options, Failure::EndsInPixels);
    }

    // Plain rows overwrite every pixel, so their storage is not cleared first
    // (clearing is a third of a read); RLE leaves skipped pixels at 0.
    image.setSize(static_cast<std::uint32_t>(layout.width), static_cast<std::uint32_t>(rows), rle);
    if (!image.hasPixels() || image.paletteCount() != IndexedImage::kPaletteSize) {
        image.reset();
        return refuse(options, Failure::OutOfMemory);
    }
    // A smaller table's entries: as many as the header says it uses, or all
    // the bit count can index.
    std::size_t entries = image.paletteCount();
    if (lowDepth) {
        entries = std::size_t{1} << bits;
        if (layout.colorsUsed > 0 && layout.colorsUsed < entries) {
            entries = layout.colorsUsed;
        }
    }
    readPalette(file, image, layout.headerSize == kInfoHeaderSize ? 4 : 3, entries);

    file.seek(layout.pixelOffset, 0);
    const bool complete = rle        ? readRleRows(file, image, topDown, bits)
                          : lowDepth ? readPackedRows(file, image, topDown, bits)
                                     : readPlainRows(file, image, topDown);
    // Rows lost to a read error or to the file shrinking meanwhile are
    // missing too.
    if (!complete || file.failed()) {
        image.reset();
        return refuse(options, file.failed() ? Failure::IoError : Failure::EndsInPixels);
    }
    return true;
}

std::uint16_t probeBmp(ImageFile& file) {
    BmpLayout layout;
    return readHeaders(file, layout) == Failure::None ? layout.bitCount : 0;
}

std::uint64_t bmpPixelCount(ImageFile& file) {
    BmpLayout layout;
    if (readHeaders(file, layout) != Failure::None) {
        return 0;
    }
    const std::uint64_t rows = static_cast<std::uint64_t>(layout.height < 0 ? -layout.height : layout.height);
    return layout.width > 0 ? static_cast<std::uint64_t>(layout.width) * rows : 0;
}

bool writeBmp(ImageFile& file, const IndexedImage& image) {
    if (!image.hasPixels() || image.paletteCount() == 0 || !file.isWritable()) {
        return false;
    }
    const std::uint32_t width = image.width();
    const std::uint32_t height = image.height();
    const std::uint32_t stride = (width + 3) & ~3u;
    const auto paletteCount = static_cast<std::uint32_t>(image.paletteCount());
    const std::uint32_t pixelOffset = kFileHeaderSize + kInfoHeaderSize + 4 * paletteCount;

    std::uint8_t header[kFileHeaderSize + kInfoHeaderSize] = {};
    header[0] = 'B';
    header[1] = 'M';
    storeLe32(header + 2, pixelOffset + stride * height);
    storeLe32(header + 10, pixelOffset);
    storeLe32(header + 14, kInfoHeaderSize);
    storeLe32(header + 18, width);
    storeLe32(header + 22, height);
    storeLe16(header + 26, 1);
    storeLe16(header + 28, 8);
    storeLe32(header + 46, paletteCount);
    file.write(header, sizeof header);

    std::array<std::uint8_t, 4 * IndexedImage::kPaletteSize> table{};
    for (std::uint32_t i = 0; i < paletteCount && i < IndexedImage::kPaletteSize; ++i) {
        const PaletteEntry& e = image.palette()[i];
        table[4 * i] = e.blue;
        table[4 * i + 1] = e.green;
        table[4 * i + 2] = e.red;
    }
    file.write(table.data(), 4 * std::min<std::size_t>(paletteCount, IndexedImage::kPaletteSize));

    static constexpr std::uint8_t kZeros[4] = {};
    const std::size_t padding = stride - width;
    std::array<iovec, 2 * kRowsPerBatch> parts;
    for (std::uint32_t first = 0; first < height; first += kRowsPerBatch) {
        int used = 0;
        const std::uint32_t last = std::min<std::uint32_t>(height, first + kRowsPerBatch);
        for (std::uint32_t i = first; i < last; ++i) {
            parts[used++] = iovec{image.row(static_cast<std::uint16_t>(height - 1 - i)), width};
            if (padding != 0) {
                parts[used++] = iovec{const_cast<std::uint8_t*>(kZeros), padding};
            }
        }
        file.writeParts(parts.data(), used);
    }
    return !file.failed();
}


}  // namespace kelvara
