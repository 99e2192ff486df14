#include "codecs/bmp.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

// Sanitizers reserve terabytes of shadow address space, so they cannot run
// under an address-space limit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVARA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELVARA_SANITIZED 1
#endif
#endif
#ifndef KELVARA_SANITIZED
#define KELVARA_SANITIZED 0
#endif

namespace kelvara {
namespace {

using test::Bytes;
using test::TempDir;

constexpr std::size_t kPixelOffset = 14 + 40 + 4 * 256;

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
void putLe32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void putLe16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

Bytes pixelsOf(const IndexedImage& image) {
    return image.hasPixels() ? Bytes(image.pixels(), image.pixels() + image.pixelCount()) : Bytes();
}

void fillRandom(IndexedImage& image, std::uint32_t width, std::uint32_t height, unsigned seed) {
    image.setSize(width, height);
    ASSERT_TRUE(image.hasPixels());
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        image.pixels()[i] = static_cast<std::uint8_t>(rng());
    }
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(rng()),
                              static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
    }
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
    }
    return -1;
}

// A bitmap assembled field by field, for inputs writeBmp never produces.
struct Bitmap {
    std::uint32_t headerSize = 40;  // 12 writes the core layout; others are padded with zeros
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t bitCount = 8;
    std::uint32_t compression = 0;
    std::uint32_t coloursUsed = 0;
    std::vector<PaletteEntry> palette;
    Bytes gap;     // unused bytes between the colour table and the pixels
    Bytes pixels;  // as stored: padded rows or an RLE stream
    std::optional<std::uint32_t> pixelOffset;  // default: right after the gap
    char magic[2] = {'B', 'M'};

    Bytes bytes() const {
        const bool core = headerSize == 12;
        const std::size_t entry = core ? 3 : 4;
        const auto offset = pixelOffset.value_or(
            static_cast<std::uint32_t>(14 + headerSize + entry * palette.size() + gap.size()));
        Bytes out{static_cast<std::uint8_t>(magic[0]), static_cast<std::uint8_t>(magic[1])};
        putLe32(out, static_cast<std::uint32_t>(offset + pixels.size()));
        putLe32(out, 0);
        putLe32(out, offset);
        putLe32(out, headerSize);
        if (core) {
            putLe16(out, static_cast<std::uint16_t>(width));
            putLe16(out, static_cast<std::uint16_t>(height));
            putLe16(out, 1);
            putLe16(out, bitCount);
        } else {
            putLe32(out, static_cast<std::uint32_t>(width));
            putLe32(out, static_cast<std::uint32_t>(height));
            putLe16(out, 1);
            putLe16(out, bitCount);
            putLe32(out, compression);
            putLe32(out, static_cast<std::uint32_t>(pixels.size()));
            putLe32(out, 2835);
            putLe32(out, 2835);
            putLe32(out, coloursUsed);
            putLe32(out, 0);
            out.resize(14 + headerSize, 0);
        }
        for (const PaletteEntry& e : palette) {
            out.insert(out.end(), {e.blue, e.green, e.red});
            if (!core) out.push_back(0);
        }
        out.insert(out.end(), gap.begin(), gap.end());
        out.insert(out.end(), pixels.begin(), pixels.end());
        return out;
    }
};

std::vector<PaletteEntry> somePalette(std::size_t n) {
    std::vector<PaletteEntry> palette;
    for (std::size_t i = 0; i < n; ++i) {
        palette.push_back({static_cast<std::uint8_t>(10 + i), static_cast<std::uint8_t>(100 + i),
                           static_cast<std::uint8_t>(200 - i)});
    }
    return palette;
}

// ---------------------------------------------------------------------------
// Writing

TEST(BmpWrite, OneByOneFileLayout) {
    TempDir dir;
    IndexedImage image;
    fillRandom(image, 1, 1, 1);
    image.pixels()[0] = 7;
    ASSERT_TRUE(writeBmp(dir.file("a.bmp"), image));
    const Bytes file = test::readFile(dir.file("a.bmp"));
    ASSERT_EQ(file.size(), 1082u);

    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(le32(file, 2), 1082u);
    EXPECT_EQ(le32(file, 6), 0u);
    EXPECT_EQ(le32(file, 10), 1078u);
    EXPECT_EQ(le32(file, 14), 40u);
    EXPECT_EQ(le32(file, 18), 1u);
    EXPECT_EQ(le32(file, 22), 1u);
    EXPECT_EQ(le16(file, 26), 1);
    EXPECT_EQ(le16(file, 28), 8);
    EXPECT_EQ(le32(file, 30), 0u);  // compression
    EXPECT_EQ(le32(file, 34), 0u);  // image size
    EXPECT_EQ(le32(file, 38), 0u);
    EXPECT_EQ(le32(file, 42), 0u);
    EXPECT_EQ(le32(file, 46), 256u);
    EXPECT_EQ(le32(file, 50), 0u);
    for (unsigned i = 0; i < 256; ++i) {
        const PaletteEntry& e = image.palette()[i];
        const std::size_t at = 54 + 4 * i;
        ASSERT_EQ((Bytes{file[at], file[at + 1], file[at + 2], file[at + 3]}),
                  (Bytes{e.blue, e.green, e.red, 0}))
            << "entry " << i;
    }
    EXPECT_EQ((Bytes(file.begin() + 1078, file.end())), (Bytes{7, 0, 0, 0}));
}

TEST(BmpWrite, RowsGoBottomUpPaddedWithZerosToFourBytes) {
    TempDir dir;
    const std::size_t kStrides[] = {4, 4, 4, 4, 8, 8, 8, 8, 12};
    for (std::uint32_t width = 1; width <= 9; ++width) {
        SCOPED_TRACE("width " + std::to_string(width));
        const std::uint32_t height = 3;
        IndexedImage image;
        fillRandom(image, width, height, width);
        // Non-zero pixels everywhere, so zero padding cannot be a pixel by accident.
        for (std::size_t i = 0; i < image.pixelCount(); ++i) image.pixels()[i] |= 1;
        ASSERT_TRUE(writeBmp(dir.file("w.bmp"), image));
        const Bytes file = test::readFile(dir.file("w.bmp"));

        const std::size_t stride = kStrides[width - 1];
        ASSERT_EQ(file.size(), kPixelOffset + stride * height);
        EXPECT_EQ(le32(file, 2), file.size());
        EXPECT_EQ(le32(file, 18), width);
        EXPECT_EQ(le32(file, 22), height);
        for (std::uint32_t r = 0; r < height; ++r) {
            const auto stored = file.begin() + static_cast<long>(kPixelOffset + r * stride);
            const std::uint8_t* source = image.row(static_cast<std::uint16_t>(height - 1 - r));
            EXPECT_EQ(Bytes(stored, stored + width), Bytes(source, source + width)) << "file row " << r;
            EXPECT_EQ(Bytes(stored + width, stored + static_cast<long>(stride)), Bytes(stride - width, 0));
        }
    }
}

TEST(BmpWrite, RefusesAnImageWithoutPixelsAndTouchesNothing) {
    TempDir dir;
    IndexedImage image;
    EXPECT_FALSE(writeBmp(dir.file("never.bmp"), image));
    image.setSize(0, 5);
    EXPECT_FALSE(writeBmp(dir.file("never.bmp"), image));
    image.setSize(5, 0);
    EXPECT_FALSE(writeBmp(dir.file("never.bmp"), image));
    EXPECT_TRUE(test::listDir(dir.path()).empty());
}

TEST(BmpWrite, ReplacesAnExistingFile) {
    TempDir dir;
    const std::string target = dir.file("t.bmp");
    test::writeFile(target, std::string(5000, 'x'));
    IndexedImage image;
    fillRandom(image, 3, 2, 9);
    ASSERT_TRUE(writeBmp(target, image));
    const Bytes file = test::readFile(target);
    EXPECT_EQ(file.size(), kPixelOffset + 4 * 2);
    EXPECT_EQ(le32(file, 18), 3u);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"t.bmp"});
}

TEST(BmpWrite, WriteCutShortLeavesTheFolderAsItWas) {
    TempDir dir;
    IndexedImage image;
    fillRandom(image, 64, 64, 3);  // 5174 bytes
    const Bytes old(300, 0xAB);
    const std::string target = dir.file("t.bmp");
    test::writeFile(target, old);

    // The file size limit cuts the write short.
    const int status = test::runInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        return writeBmp(target, image) || writeBmp(dir.file("new.bmp"), image) ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(target), old);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"t.bmp"});
}

TEST(BmpWrite, ReadOnlyFolderFailsEvenForAWritableTarget) {
    TempDir dir;
    IndexedImage image;
    fillRandom(image, 8, 8, 4);
    const Bytes old(300, 0xAB);
    const std::string locked = dir.file("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0777), 0);
    test::writeFile(locked + "/t.bmp", old);
    ASSERT_EQ(chmod((locked + "/t.bmp").c_str(), 0666), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    const int lockedStatus = test::runInChild([&] {
        if (!test::dropPrivileges()) return 77;
        return writeBmp(locked + "/t.bmp", image) ? 1 : 0;
    });
    if (lockedStatus == 77) GTEST_SKIP() << "cannot drop privileges to test a read-only folder";
    EXPECT_EQ(lockedStatus, 0);
    EXPECT_EQ(test::readFile(locked + "/t.bmp"), old);
    EXPECT_EQ(test::listDir(locked), std::vector<std::string>{"t.bmp"});
}

TEST(BmpRoundTrip, SizesAndRandomContentSurvive) {
    TempDir dir;
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {1, 1}, {1, 5}, {2, 3}, {3, 2}, {5, 5}, {7, 13}, {31, 17}, {64, 3},
        {255, 9}, {1021, 4}, {203, 1100}, {65535, 1}, {65534, 2}, {1, 65535}, {3, 40000}};
    unsigned seed = 100;
    for (auto [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        IndexedImage image;
        fillRandom(image, width, height, ++seed);
        const std::string path = dir.file("r.bmp");
        ASSERT_TRUE(writeBmp(path, image));
        EXPECT_EQ(le32(test::readFile(path), 2), kPixelOffset + (width + 3) / 4 * 4 * height);
        EXPECT_EQ(probeBmp(path), 8);

        IndexedImage back;
        ASSERT_TRUE(readBmp(path, back));
        ASSERT_EQ(back.width(), width);
        ASSERT_EQ(back.height(), height);
        EXPECT_TRUE(pixelsOf(back) == pixelsOf(image));
        ASSERT_EQ(back.paletteCount(), 256u);
        EXPECT_TRUE(std::equal(image.palette(), image.palette() + 256, back.palette()));
    }
}

// ---------------------------------------------------------------------------
// Reading hand-built files

class BmpRead : public testing::Test {
protected:
    std::string put(const Bytes& bytes) {
        const std::string path = dir_.file("in.bmp");
        test::writeFile(path, bytes);
        return path;
    }
    bool read(const Bitmap& bmp, IndexedImage& image) { return readBmp(put(bmp.bytes()), image); }
    std::uint16_t probe(const Bitmap& bmp) { return probeBmp(put(bmp.bytes())); }

    TempDir dir_;
};

TEST_F(BmpRead, AlwaysTakes256SlotsAndSeeksToThePixels) {
    Bitmap bmp;
    bmp.width = 4;
    bmp.height = 2;
    bmp.coloursUsed = 16;
    bmp.palette = somePalette(16);
    bmp.gap = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};  // slot 16 and half of slot 17
    bmp.pixels = {5, 6, 7, 8, 1, 2, 3, 4};
    IndexedImage image;
    ASSERT_TRUE(read(bmp, image));
    ASSERT_EQ(image.paletteCount(), 256u);
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(image.palette()[i], bmp.palette[i]) << i;
    EXPECT_EQ(image.palette()[16], (PaletteEntry{0x33, 0x22, 0x11}));
    EXPECT_EQ(image.palette()[17], (PaletteEntry{0x05, 0x66, 0x55}));  // gap, then pixels
    EXPECT_EQ(image.palette()[18], (PaletteEntry{0x01, 0x08, 0x07}));
    EXPECT_EQ(image.palette()[19], (PaletteEntry{}));  // only two bytes left
    EXPECT_EQ(image.palette()[255], (PaletteEntry{}));
    EXPECT_EQ(pixelsOf(image), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    // Pixels placed before the table's end are still found by their offset.
    bmp.pixelOffset = 54;
    bmp.gap.clear();
    Bytes file = bmp.bytes();
    file.resize(54 + 16 * 4);
    std::copy(bmp.pixels.begin(), bmp.pixels.end(), file.begin() + 54);
    ASSERT_TRUE(readBmp(put(file), image));
    EXPECT_EQ(pixelsOf(image), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(BmpRead, CoreHeaderHasUnsignedSizesAndThreeByteEntries) {
    Bitmap bmp;
    bmp.headerSize = 12;
    bmp.width = 3;
    bmp.height = 2;
    bmp.palette = somePalette(256);
    bmp.pixels = {9, 8, 7, 0, 1, 2, 3, 0};
    IndexedImage image;
    ASSERT_TRUE(read(bmp, image));
    EXPECT_EQ(image.width(), 3);
    EXPECT_EQ(image.height(), 2);
    EXPECT_TRUE(std::equal(bmp.palette.begin(), bmp.palette.end(), image.palette()));
    EXPECT_EQ(pixelsOf(image), (Bytes{1, 2, 3, 9, 8, 7}));

    bmp.width = 0xFFFF;  // would be -1 if taken as signed
    bmp.height = 1;
    bmp.pixels.assign(0x10000, 4);
    ASSERT_TRUE(read(bmp, image));
    EXPECT_EQ(image.width(), 0xFFFF);
    EXPECT_EQ(image.row(0)[0xFFFE], 4);
}

TEST_F(BmpRead, NegativeHeightStoresTheTopRowFirst) {
    Bitmap bmp;
    bmp.width = 3;
    bmp.height = -2;
    bmp.palette = somePalette(4);
    bmp.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
    IndexedImage image;
    ASSERT_TRUE(read(bmp, image));
    EXPECT_EQ(image.height(), 2);
    EXPECT_EQ(pixelsOf(image), (Bytes{1, 2, 3, 4, 5, 6}));

    bmp.width = 1;
    bmp.height = -65535;
    bmp.pixels = {9, 0, 0, 0, 8};
    ASSERT_TRUE(read(bmp, image));
    EXPECT_EQ(image.height(), 65535);
    EXPECT_EQ(image.row(0)[0], 9);
    EXPECT_EQ(image.row(1)[0], 8);
}

TEST_F(BmpRead, ZeroDimensionGivesAnEmptyImage) {
    for (auto [w, h] : {std::pair{0, 5}, std::pair{5, 0}, std::pair{0, 0}, std::pair{0, -3}}) {
        Bitmap bmp;
        bmp.width = w;
        bmp.height = h;
        bmp.palette = somePalette(2);
        IndexedImage image;
        image.setSize(2, 2);
        EXPECT_TRUE(read(bmp, image)) << w << "x" << h;
        EXPECT_TRUE(image.isEmpty());
        EXPECT_FALSE(image.hasPixels());
    }
}

TEST_F(BmpRead, RefusesWhatItCannotDecodeAndProbeSaysWhy) {
    struct Case {
        const char* what;
        void (*change)(Bitmap&);
        std::uint16_t probe;
    };
    const Case cases[] = {
        {"negative width", [](Bitmap& b) { b.width = -4; }, 8},
        {"1-bit", [](Bitmap& b) { b.bitCount = 1; }, 1},
        {"4-bit", [](Bitmap& b) { b.bitCount = 4; }, 4},
        {"24-bit", [](Bitmap& b) { b.bitCount = 24; }, 24},
        {"32-bit", [](Bitmap& b) { b.bitCount = 32; }, 32},
        {"core 24-bit", [](Bitmap& b) { b.headerSize = 12; b.bitCount = 24; }, 24},
        {"header 108", [](Bitmap& b) { b.headerSize = 108; }, 0},
        {"header 124", [](Bitmap& b) { b.headerSize = 124; }, 0},
        {"header 64", [](Bitmap& b) { b.headerSize = 64; }, 0},
        {"header 16", [](Bitmap& b) { b.headerSize = 16; }, 0},
        {"header 0", [](Bitmap& b) { b.headerSize = 0; }, 0},
        {"width 65536", [](Bitmap& b) { b.width = 65536; }, 8},
        {"height 65536", [](Bitmap& b) { b.height = 65536; }, 8},
        {"height -65536", [](Bitmap& b) { b.height = -65536; }, 8},
        {"most negative height", [](Bitmap& b) { b.height = INT32_MIN; }, 8},
        {"RLE4", [](Bitmap& b) { b.compression = 2; }, 8},
        {"bit fields", [](Bitmap& b) { b.compression = 3; }, 8},
        {"embedded JPEG", [](Bitmap& b) { b.compression = 4; }, 8},
        {"wrong magic", [](Bitmap& b) { b.magic[0] = 'b'; }, 0},
        {"array container", [](Bitmap& b) { b.magic[1] = 'A'; }, 0},
    };
    for (const Case& c : cases) {
        Bitmap bmp;
        bmp.width = 4;
        bmp.height = 2;
        bmp.palette = somePalette(4);
        bmp.pixels.assign(8, 1);
        c.change(bmp);
        IndexedImage image;
        EXPECT_FALSE(read(bmp, image)) << c.what;
        EXPECT_EQ(probe(bmp), c.probe) << c.what;
    }
    EXPECT_EQ(probeBmp(dir_.file("missing.bmp")), 0);
    IndexedImage image;
    EXPECT_FALSE(readBmp(dir_.file("missing.bmp"), image));
    EXPECT_FALSE(readBmp(dir_.path(), image));
}

// RLE8 streams on a 5x3 image. Expected pixels are listed top row first; the
// stream starts with the bottom row unless the height is negative.
TEST_F(BmpRead, Rle8Commands) {
    struct Case {
        const char* what;
        Bytes stream;
        Bytes expected;
        std::int32_t height = 3;
    };
    const Case cases[] = {
        {"encoded runs, end of line, end of bitmap",
         {3, 5, 2, 6, 0, 0, 1, 7, 0, 1, 4, 9},
         {0, 0, 0, 0, 0,
          7, 0, 0, 0, 0,
          5, 5, 5, 6, 6}},
        {"absolute runs, the odd one padded",
         {0, 3, 1, 2, 3, 0, 2, 4, 0, 0, 0, 4, 9, 8, 7, 6, 0, 1},
         {0, 0, 0, 0, 0,
          9, 8, 7, 6, 0,
          1, 2, 3, 4, 4}},
        {"delta",
         {1, 1, 0, 2, 2, 1, 1, 2, 0, 2, 0, 1, 2, 3, 0, 1},
         {0, 0, 0, 0, 3,
          0, 0, 0, 2, 0,
          1, 0, 0, 0, 0}},
        {"runs clipped at the row end, never wrapped",
         {7, 1, 2, 2, 0, 4, 7, 7, 7, 7, 0, 0,
          0, 6, 1, 2, 3, 4, 5, 6, 0, 0,
          0, 3, 4, 5, 6, 0, 0, 0, 9, 9},
         {4, 5, 6, 0, 0,
          1, 2, 3, 4, 5,
          1, 1, 1, 1, 1}},
        {"delta past the right edge and below the image",
         {0, 2, 200, 0, 1, 8, 0, 0, 1, 9, 0, 2, 0, 200, 3, 3, 0, 3, 1, 1, 1, 0},
         {0, 0, 0, 0, 0,
          9, 0, 0, 0, 0,
          0, 0, 0, 0, 0}},
        {"data ends after a run", {3, 4, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 4, 4, 0, 0}},
        {"data ends in an absolute run", {0, 5, 1, 2}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0}},
        {"data ends in a delta", {2, 7, 0, 2, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 7, 0, 0, 0}},
        {"no data", {}, Bytes(15, 0)},
        {"top-down",
         {2, 1, 0, 0, 1, 2, 0, 1},
         {1, 1, 0, 0, 0,
          2, 0, 0, 0, 0,
          0, 0, 0, 0, 0},
         -3},
    };
    for (const Case& c : cases) {
        Bitmap bmp;
        bmp.width = 5;
        bmp.height = c.height;
        bmp.compression = 1;
        bmp.gap = {0, 0, 0xEE, 0xEE};  // decoded from here, the stream would start with a different row
        bmp.pixels = c.stream;
        IndexedImage image;
        ASSERT_TRUE(read(bmp, image)) << c.what;
        EXPECT_EQ(image.width(), 5);
        EXPECT_EQ(image.height(), 3);
        EXPECT_EQ(pixelsOf(image), c.expected) << c.what;
    }
}

TEST_F(BmpRead, EveryTruncationReadsWhatIsThere) {
    IndexedImage original;
    fillRandom(original, 5, 3, 42);
    const std::string source = dir_.file("src.bmp");
    ASSERT_TRUE(writeBmp(source, original));
    const Bytes info = test::readFile(source);

    Bitmap coreBmp;
    coreBmp.headerSize = 12;
    coreBmp.width = 5;
    coreBmp.height = 3;
    coreBmp.palette.assign(original.palette(), original.palette() + 256);
    coreBmp.pixels.assign(info.begin() + kPixelOffset, info.end());
    const Bytes core = coreBmp.bytes();

    struct Layout {
        const char* what;
        const Bytes& file;
        std::size_t headerEnd;
        std::size_t entrySize;
    };
    for (const Layout& layout : {Layout{"info", info, 54, 4}, Layout{"core", core, 26, 3}}) {
        const std::size_t pixelStart = layout.headerEnd + 256 * layout.entrySize;
        ASSERT_EQ(layout.file.size(), pixelStart + 8 * 3);
        for (std::size_t length = 0; length <= layout.file.size(); ++length) {
            SCOPED_TRACE(std::string(layout.what) + " cut at " + std::to_string(length));
            const std::string path = put(Bytes(layout.file.begin(), layout.file.begin() + static_cast<long>(length)));
            const bool complete = length >= layout.headerEnd;
            EXPECT_EQ(probeBmp(path), complete ? 8 : 0);
            IndexedImage image;
            ASSERT_EQ(readBmp(path, image), complete);
            if (!complete) continue;
            ASSERT_EQ(image.width(), 5);
            ASSERT_EQ(image.height(), 3);
            for (unsigned i = 0; i < 256; ++i) {
                const bool present = layout.headerEnd + (i + 1) * layout.entrySize <= length;
                ASSERT_EQ(image.palette()[i], present ? original.palette()[i] : PaletteEntry{}) << i;
            }
            for (std::uint16_t y = 0; y < 3; ++y) {
                for (std::uint16_t x = 0; x < 5; ++x) {
                    const bool present = pixelStart + (2u - y) * 8 + x < length;
                    ASSERT_EQ(image.row(y)[x], present ? original.row(y)[x] : 0) << x << "," << y;
                }
            }
        }
    }
}

// Random damage to a valid file, in the headers and in the (plain or RLE)
// pixels. Whatever comes back must be consistent; the sanitizers watch for
// anything written or read out of bounds.
TEST_F(BmpRead, DamagedFilesAreReadConsistentlyOrRefused) {
    IndexedImage original;
    fillRandom(original, 6, 4, 7);
    ASSERT_TRUE(writeBmp(dir_.file("src.bmp"), original));
    const Bytes base = test::readFile(dir_.file("src.bmp"));

    std::mt19937 rng(1234);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes file = base;
        if (round % 2 == 0) file[30] = 1;  // the same bytes as an RLE8 stream
        for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n) {
            const std::size_t at = rng() % 2 ? rng() % 60 : kPixelOffset + rng() % (file.size() - kPixelOffset);
            file[at] = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 4 : rng());
        }
        if (rng() % 8 == 0) file.resize(rng() % file.size());
        const std::string path = put(file);
        IndexedImage image;
        const bool ok = readBmp(path, image);
        if (!ok) continue;
        ++accepted;
        ASSERT_EQ(probeBmp(path), 8) << "round " << round;
        if (!image.isEmpty()) {
            ASSERT_TRUE(image.hasPixels());
            ASSERT_EQ(image.pixelCount(), std::size_t{image.width()} * image.height());
            ASSERT_EQ(image.paletteCount(), 256u);
        }
    }
    EXPECT_GT(accepted, 300);  // most damage leaves a readable file
}

TEST_F(BmpRead, HugeDimensionsWithATinyFileStayCheap) {
    Bitmap plain;
    plain.width = 65535;
    plain.height = 65535;
    plain.palette = somePalette(2);
    plain.pixels = {1, 2, 3};
    Bitmap rle = plain;
    rle.compression = 1;
    rle.pixels = {3, 7, 0, 2, 255, 255, 2, 9, 0, 1};
    Bitmap topDown = plain;
    topDown.height = -65535;

    const long before = residentKiB();
    for (const Bitmap* bmp : {&plain, &rle, &topDown}) {
        IndexedImage image;
        ASSERT_TRUE(read(*bmp, image));
        ASSERT_TRUE(image.hasPixels());
        ASSERT_EQ(image.width(), 65535);
        ASSERT_EQ(image.height(), 65535);
        // Untouched pages would cost 4 GiB if the reader cleared or walked them.
        EXPECT_LT(residentKiB() - before, 256 * 1024);
        if (bmp == &plain) {
            EXPECT_EQ((Bytes{image.row(65534)[0], image.row(65534)[1], image.row(65534)[2], image.row(65534)[3]}),
                      (Bytes{1, 2, 3, 0}));
            EXPECT_EQ(image.row(0)[0], 0);
        } else if (bmp == &rle) {
            EXPECT_EQ(image.row(65534)[2], 7);
            EXPECT_EQ(image.row(65534)[3], 0);
            EXPECT_EQ(image.row(65534 - 255)[258], 9);
            EXPECT_EQ(image.row(65534 - 255)[259], 9);
        } else {
            EXPECT_EQ(image.row(0)[2], 3);
            EXPECT_EQ(image.row(65534)[0], 0);
        }
    }
}

// A 65535 x 65535 image whose 4 GiB of pixels cannot be had under a 512 MiB
// address-space limit: dimensions set, no storage.
TEST(BmpWithoutMemory, NeitherReadNorWriteGoesOnWithoutPixelStorage) {
#if KELVARA_SANITIZED
    GTEST_SKIP() << "an address-space limit cannot be combined with a sanitizer's shadow memory";
#else
    TempDir dir;
    Bitmap bmp;
    bmp.width = 65535;
    bmp.height = 65535;
    bmp.pixels = {1, 2, 3, 4};
    test::writeFile(dir.file("big.bmp"), bmp.bytes());
    const int status = test::runInChild([&] {
        const rlimit limit{512u << 20, 512u << 20};
        if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
        IndexedImage image;
        if (readBmp(dir.file("big.bmp"), image) || image.hasPixels()) return 3;
        image.setSize(65535, 65535);
        if (image.hasPixels() || image.width() != 65535) return 4;
        return writeBmp(dir.file("never.bmp"), image) ? 5 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"big.bmp"});
#endif
}

}  // namespace
}  // namespace kelvara
