#include "codecs/bmp.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

// Shared by all formats and tested in png_test.cpp (EveryCodec): refusing an
// empty image, failed writes keeping the old target, every cut and changed
// byte of a written file (only the last row's padding may be cut).

namespace kelvara {
namespace {

using test::Bitmap;
using test::Bytes;
using test::loadLe;
using test::pixelsOf;
using test::somePalette;
using test::TempDir;

constexpr std::size_t kPixelOffset = 14 + 40 + 4 * 256;

TEST(BmpWrite, OneByOneFileLayout) {
    TempDir dir;
    IndexedImage image;
    test::makeImage(image, 1, 1, 1);
    image.pixels()[0] = 7;
    ASSERT_TRUE(writeBmp(dir.file("a.bmp"), image));
    Bytes expected = {
        'B', 'M', 0x3A, 4, 0, 0, 0, 0, 0, 0, 0x36, 4, 0, 0,        // size 1082, pixels at 1078
        40,  0,   0,    0, 1, 0, 0, 0, 1, 0, 0,    0, 1, 0, 8, 0,  // 40-byte header, 1x1, 8 bits
        0,   0,   0,    0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0, 0,  // no compression, no resolution
        0,   1,   0,    0, 0, 0, 0, 0};                            // 256 colours used
    for (unsigned i = 0; i < 256; ++i) {
        const PaletteEntry& e = image.palette()[i];
        expected.insert(expected.end(), {e.blue, e.green, e.red, 0});
    }
    expected.insert(expected.end(), {7, 0, 0, 0});
    EXPECT_EQ(test::readFile(dir.file("a.bmp")), expected);
}

// Rows go bottom-up, each padded with zeros to four bytes, and read back
// unchanged: every padding, and sizes that take many scatter/gather batches.
TEST(BmpWrite, RowsArePaddedBottomUpAndReadBack) {
    TempDir dir;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes = {
        {1021, 4}, {203, 1100}, {65535, 1}, {1, 65535}};
    for (std::uint32_t width = 1; width <= 9; ++width)
        sizes.emplace_back(width, 3);
    for (auto [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        IndexedImage image;
        test::makeImage(image, width, height, width + height);
        // Non-zero pixels everywhere, so zero padding cannot be a pixel by accident.
        for (std::size_t i = 0; i < image.pixelCount(); ++i)
            image.pixels()[i] |= 1;
        const std::string path = dir.file("r.bmp");
        ASSERT_TRUE(writeBmp(path, image));
        const Bytes file = test::readFile(path);
        const std::size_t stride = (width + 3) / 4 * 4;
        ASSERT_EQ(file.size(), kPixelOffset + stride * height);
        EXPECT_EQ(loadLe(file, 2, 4), file.size());
        for (std::uint32_t r = 0; r < height; ++r) {
            const auto stored = file.begin() + static_cast<long>(kPixelOffset + r * stride);
            const std::uint8_t* source = image.row(static_cast<std::uint16_t>(height - 1 - r));
            ASSERT_TRUE(std::equal(source, source + width, stored)) << "file row " << r;
            ASSERT_EQ(Bytes(stored + width, stored + static_cast<long>(stride)),
                      Bytes(stride - width, 0));
        }
        IndexedImage back;
        ASSERT_TRUE(readBmp(path, back));
        test::expectSameImage(back, image, "read back");
    }
}

class BmpRead : public testing::Test {
  protected:
    std::string put(const Bytes& bytes) {
        const std::string path = dir_.file("in.bmp");
        test::putFile(path, bytes);
        return path;
    }
    bool read(const Bitmap& bmp, IndexedImage& image) { return readBmp(put(bmp.bytes()), image); }

    TempDir dir_;
};

TEST_F(BmpRead, AlwaysTakes256SlotsAndSeeksToThePixels) {
    Bitmap bmp;
    bmp.coloursUsed = 16;
    bmp.palette = somePalette(16);
    bmp.gap = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};  // slot 16 and half of slot 17
    bmp.pixels = {5, 6, 7, 8, 1, 2, 3, 4};
    IndexedImage image;
    ASSERT_TRUE(read(bmp, image));
    ASSERT_EQ(image.paletteCount(), 256u);
    EXPECT_TRUE(std::equal(bmp.palette.begin(), bmp.palette.end(), image.palette()));
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

// Hand-made headers: what the reader makes of them and what the probe says
// (the bit count of any 40- or 12-byte header). Core headers have unsigned
// 16-bit sizes and three-byte entries; a negative height stores the top row
// first; a zero dimension is refused.
TEST_F(BmpRead, HeadersDecideAndProbeSaysWhy) {
    struct Case {
        const char* what;
        void (*change)(Bitmap&);
        int probe;
        std::optional<Bytes> pixels = std::nullopt;  // the first ones; nullopt: refused
    };
    const Case cases[] = {
        {"core", [](Bitmap& b) { b.headerSize = 12, b.width = 3; }, 8, Bytes{5, 6, 7, 1, 2, 3}},
        {"core, 65535 wide (not -1)",
         [](Bitmap& b) {
             b.headerSize = 12, b.width = 0xFFFF, b.height = 1, b.pixels.resize(65535);
         },
         8, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0}},
        {"top-down", [](Bitmap& b) { b.width = 3, b.height = -2; }, 8, Bytes{1, 2, 3, 5, 6, 7}},
        {"top-down, 65535 high",
         [](Bitmap& b) { b.width = 1, b.height = -65535, b.pixels.resize(4 * 65535); }, 8,
         Bytes{1, 5, 0}},
        {"zero width", [](Bitmap& b) { b.width = 0; }, 8},
        {"zero height", [](Bitmap& b) { b.height = 0; }, 8},
        {"zero width, top-down", [](Bitmap& b) { b.width = 0, b.height = -3; }, 8},
        {"negative width", [](Bitmap& b) { b.width = -4; }, 8},
        {"width 65536", [](Bitmap& b) { b.width = 65536; }, 8},
        {"height 65536", [](Bitmap& b) { b.height = 65536; }, 8},
        {"height -65536", [](Bitmap& b) { b.height = -65536; }, 8},
        {"most negative height", [](Bitmap& b) { b.height = INT32_MIN; }, 8},
        {"24-bit", [](Bitmap& b) { b.bitCount = 24; }, 24},
        {"core 24-bit", [](Bitmap& b) { b.headerSize = 12, b.bitCount = 24; }, 24},
        {"header 124", [](Bitmap& b) { b.headerSize = 124; }, 0},
        {"RLE4", [](Bitmap& b) { b.compression = 2; }, 8},
        {"array container", [](Bitmap& b) { b.magic = "BA"; }, 0},
    };
    for (const Case& c : cases) {
        Bitmap bmp;
        bmp.palette = somePalette(256);
        bmp.pixels = {1, 2, 3, 4, 5, 6, 7, 8};
        c.change(bmp);
        IndexedImage image;
        image.setSize(2, 2);  // an empty result must not keep these
        ASSERT_EQ(read(bmp, image), c.pixels.has_value()) << c.what;
        EXPECT_EQ(probeBmp(dir_.file("in.bmp")), c.probe) << c.what;
        if (!c.pixels) {
            EXPECT_TRUE(image.isEmpty() && !image.hasPixels()) << c.what;
            continue;
        }
        EXPECT_EQ(image.width(), bmp.width) << c.what;
        EXPECT_EQ(image.height(), std::abs(bmp.height)) << c.what;
        EXPECT_TRUE(std::equal(bmp.palette.begin(), bmp.palette.end(), image.palette())) << c.what;
        EXPECT_EQ(Bytes(image.pixels(), image.pixels() + c.pixels->size()), *c.pixels) << c.what;
    }
}

// RLE8 streams on a 5x3 image. Expected pixels are listed top row first; the
// stream starts with the bottom row unless the height is negative. A stream
// that ends before its end-of-bitmap marker or the last row is refused.
TEST_F(BmpRead, Rle8Commands) {
    struct Case {
        const char* what;
        Bytes stream;
        const char* expected;  // rows of digits; null: refused
        std::int32_t height = 3;
    };
    const Case cases[] = {
        {"encoded runs, end of line, end of bitmap",
         {3, 5, 2, 6, 0, 0, 1, 7, 0, 1, 4, 9},
         "00000 70000 55566"},
        {"absolute runs, the odd one padded",
         {0, 3, 1, 2, 3, 0, 2, 4, 0, 0, 0, 4, 9, 8, 7, 6, 0, 1},
         "00000 98760 12344"},
        {"delta", {1, 1, 0, 2, 2, 1, 1, 2, 0, 2, 0, 1, 2, 3, 0, 1}, "00003 00020 10000"},
        {"runs clipped at the row end, never wrapped",
         {7, 1, 2, 2, 0, 4, 7, 7, 7, 7, 0, 0, 0, 6, 1, 2,
          3, 4, 5, 6, 0, 0, 0, 3, 4, 5, 6, 0, 0, 0, 9, 9},
         "45600 12345 11111"},
        {"delta past the right edge and below the image",
         {0, 2, 200, 0, 1, 8, 0, 0, 1, 9, 0, 2, 0, 200, 3, 3, 0, 3, 1, 1, 1, 0},
         "00000 90000 00000"},
        {"last row ended, no end of bitmap",
         {1, 1, 0, 0, 1, 2, 0, 0, 1, 3, 0, 0},
         "30000 20000 10000"},
        {"data ends after a run", {3, 4, 0}, nullptr},
        {"data ends in an absolute run", {0, 5, 1, 2}, nullptr},
        {"data ends in a delta", {2, 7, 0, 2, 1}, nullptr},
        {"data ends in the last row", {0, 0, 0, 0, 2, 9}, nullptr},
        {"no data", {}, nullptr},
        {"top-down", {2, 1, 0, 0, 1, 2, 0, 1}, "11000 20000 00000", -3},
    };
    for (const Case& c : cases) {
        Bitmap bmp;
        bmp.width = 5;
        bmp.height = c.height;
        bmp.compression = 1;
        // Decoded from the gap, the stream would start with a different row.
        bmp.gap = {0, 0, 0xEE, 0xEE};
        bmp.pixels = c.stream;
        IndexedImage image;
        ASSERT_EQ(read(bmp, image), c.expected != nullptr) << c.what;
        if (!c.expected) {
            EXPECT_FALSE(image.hasPixels()) << c.what;
            continue;
        }
        std::string rows;
        for (std::uint16_t y = 0; y < image.height(); ++y) {
            for (std::uint16_t x = 0; x < image.width(); ++x)
                rows += char('0' + image.row(y)[x]);
            rows += y + 1 < image.height() ? " " : "";
        }
        EXPECT_EQ(rows, c.expected) << c.what;
    }
}

// Cut anywhere, a bitmap probes as 8-bit once its headers are whole, but is
// read only with every pixel row; the last row may lack its padding.
TEST_F(BmpRead, CutsAreRefusedUntilTheLastRowsPixels) {
    IndexedImage original;
    test::makeImage(original, 5, 3, 42);
    for (std::uint32_t headerSize : {40u, 12u}) {
        Bitmap bmp;
        bmp.headerSize = headerSize;
        bmp.width = 5;
        bmp.height = 3;
        bmp.palette.assign(original.palette(), original.palette() + 256);
        for (std::uint16_t y = 3; y-- > 0;) {
            bmp.pixels.insert(bmp.pixels.end(), original.row(y), original.row(y) + 5);
            bmp.pixels.insert(bmp.pixels.end(), 3, 0);
        }
        const Bytes file = bmp.bytes();
        const std::size_t headerEnd = 14 + headerSize;
        for (std::size_t length = 0; length <= file.size(); ++length) {
            SCOPED_TRACE("header " + std::to_string(headerSize) + " cut at " +
                         std::to_string(length));
            const std::string path =
                put(Bytes(file.begin(), file.begin() + static_cast<long>(length)));
            EXPECT_EQ(probeBmp(path), length >= headerEnd ? 8 : 0);
            IndexedImage image;
            ASSERT_EQ(readBmp(path, image), length >= file.size() - 3);
            if (image.hasPixels())
                test::expectSameImage(image, original, "read");
        }
    }
}

// 65535 x 65535 from a few bytes of RLE, which may end the bitmap early: the
// 4 GiB of pixels stay untouched pages. (Plain rows: the case manifest.)
TEST_F(BmpRead, HugeDimensionsWithATinyFileStayCheap) {
    Bitmap rle;
    rle.width = 65535;
    rle.height = 65535;
    rle.compression = 1;
    rle.pixels = {3, 7, 0, 2, 255, 255, 2, 9, 0, 1};
    const long before = test::procStatusKiB("VmRSS:");
    IndexedImage image;
    ASSERT_TRUE(read(rle, image));
    ASSERT_EQ(image.height(), 65535);
    EXPECT_LT(test::procStatusKiB("VmRSS:") - before, 256 * 1024);
    EXPECT_EQ(Bytes(image.row(65534) + 2, image.row(65534) + 4), (Bytes{7, 0}));
    EXPECT_EQ(Bytes(image.row(65534 - 255) + 258, image.row(65534 - 255) + 261), (Bytes{9, 9, 0}));
}

// Under a 512 MiB address-space limit the 4 GiB of a 65535 x 65535 image
// cannot be had: neither reading nor writing goes on without the storage.
TEST(BmpWithoutMemory, NeitherReadNorWriteGoesOnWithoutPixelStorage) {
    if (KELVARA_SANITIZED)
        GTEST_SKIP() << "an address-space limit and a sanitizer's shadow memory exclude each other";
    TempDir dir;
    Bitmap bmp;  // RLE: no file size shows it short before the storage is sought
    bmp.width = 65535;
    bmp.height = 65535;
    bmp.compression = 1;
    test::writeFile(dir.file("big.bmp"), bmp.bytes());
    const int status = test::runInChild([&] {
        const rlimit limit{512u << 20, 512u << 20};
        IndexedImage image;
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            return 2;
        if (readBmp(dir.file("big.bmp"), image) || image.hasPixels())
            return 3;
        image.setSize(65535, 65535);
        return image.hasPixels() ? 4 : writeBmp(dir.file("never.bmp"), image) ? 5 : 0;
    });
    EXPECT_EQ(status, 0) << "2: no limit, 3: read went on, 4: storage was had, 5: written";
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"big.bmp"});
}

}  // namespace
}  // namespace kelvara
