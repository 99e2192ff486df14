// Bitmaps from other programs, and our bitmaps read by other programs.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "codecs/bmp.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::Bytes;
using test::shellQuote;
using test::TempDir;

// RGB triples, top row first, as the palette maps each index.
Bytes rgbOf(const IndexedImage& image) {
    Bytes rgb;
    rgb.reserve(image.pixelCount() * 3);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        const PaletteEntry& e = image.palette()[image.pixels()[i]];
        rgb.insert(rgb.end(), {e.red, e.green, e.blue});
    }
    return rgb;
}

Bytes commandOutput(const std::string& command) {
    const test::CommandResult result = test::runCommand(command);
    EXPECT_EQ(result.status, 0) << command;
    return Bytes(result.output.begin(), result.output.end());
}

Bytes magickRgb(const std::string& magick, const std::string& path) {
    return commandOutput(shellQuote(magick) + " " + shellQuote(path) + " -depth 8 rgb:-");
}

Bytes pillowRgb(const std::string& python, const std::string& path) {
    const char* script =
        "import sys; from PIL import Image; "
        "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGB').tobytes())";
    return commandOutput(shellQuote(python) + " -c " + shellQuote(script) + " " + shellQuote(path));
}

struct Header {
    std::uint32_t size = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;
};

Header headerOf(const Bytes& file) {
    auto le = [&](std::size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | file[at + i];
        return v;
    };
    Header h;
    if (file.size() < 30) return h;
    h.size = le(14, 4);
    h.bitCount = static_cast<std::uint16_t>(le(h.size == 12 ? 24 : 28, 2));
    h.compression = h.size >= 40 && file.size() >= 34 ? le(30, 4) : 0;
    return h;
}

#define REQUIRE_MAGICK(var)                                                      \
    const std::string var = test::imageMagick();                                 \
    if (var.empty()) GTEST_SKIP() << "ImageMagick (convert-im6.q16) is not installed"

#define REQUIRE_PILLOW(var)                                                      \
    const std::string var = test::pillowPython();                                \
    if (var.empty()) GTEST_SKIP() << "Pillow for /usr/bin/python3 is not installed"

// Each file ImageMagick makes is either read to the pixels ImageMagick (and
// Pillow) see, or refused with probeBmp naming its bit count (0 for headers
// we do not know).
TEST(BmpFromImageMagick, ReadToTheSamePixelsOrRefused) {
    REQUIRE_MAGICK(magick);
    const std::string pillow = test::pillowPython();
    struct Source {
        const char* name;
        const char* arguments;
        std::uint32_t headerSize;
    };
    const Source sources[] = {
        {"plain8", "rose: -resize 37x23! -colors 200 -type Palette -compress None bmp3:", 40},
        {"rle8", "rose: -colors 120 -type Palette -compress RLE bmp3:", 40},
        {"core8", "rose: -crop 35x20+10+10 +repage -colors 200 -type Palette bmp2:", 12},
        {"grey8", "-size 5x256 gradient: -type Palette -compress None bmp3:", 40},
        {"sixteen", "-size 37x11 gradient: -colors 16 -type Palette -depth 8 bmp3:", 40},
        {"two", "-size 37x11 gradient: -colors 2 -type Palette -compress None bmp3:", 40},
        {"truecolour", "rose: -type TrueColor bmp3:", 40},
        {"core-truecolour", "rose: -type TrueColor bmp2:", 12},
        {"v5", "rose: -colors 200 -type Palette bmp:", 124},
    };
    TempDir dir;
    int plain = 0, rle = 0, core = 0, refused = 0, unknownHeader = 0;
    for (const Source& source : sources) {
        SCOPED_TRACE(source.name);
        const std::string path = dir.file(std::string(source.name) + ".bmp");
        ASSERT_EQ(test::runCommand(shellQuote(magick) + " " + source.arguments + shellQuote(path)).status, 0);
        const Header header = headerOf(test::readFile(path));
        ASSERT_EQ(header.size, source.headerSize);

        const bool known = header.size == 40 || header.size == 12;
        const bool readable = known && header.bitCount == 8 && header.compression <= 1;
        EXPECT_EQ(probeBmp(path), known ? header.bitCount : 0);
        IndexedImage image;
        ASSERT_EQ(readBmp(path, image), readable) << "bit count " << header.bitCount;
        if (!readable) {
            ++refused;
            unknownHeader += known ? 0 : 1;
            continue;
        }
        plain += header.size == 40 && header.compression == 0;
        rle += header.compression == 1;
        core += header.size == 12;
        const Bytes rgb = rgbOf(image);
        EXPECT_TRUE(rgb == magickRgb(magick, path)) << image.width() << "x" << image.height();
        if (!pillow.empty()) {
            EXPECT_TRUE(rgb == pillowRgb(pillow, path));
        }
    }
    // The point of the exercise: each kind we read, and refusals of both sorts.
    EXPECT_GE(plain, 2);
    EXPECT_EQ(rle, 1);
    EXPECT_EQ(core, 1);
    EXPECT_GE(refused, 3);
    EXPECT_EQ(unknownHeader, 1);
}

TEST(BmpFromPillow, ShortTablesAndGreyscaleAreRead) {
    REQUIRE_PILLOW(python);
    TempDir dir;
    // A 16-entry table: slots past it take whatever bytes follow.
    const char* script =
        "import sys; from PIL import Image\n"
        "im = Image.new('P', (13, 7))\n"
        "im.putpalette(sum(([i * 15, 255 - i * 15, i * 77 % 256] for i in range(16)), []))\n"
        "im.putdata([(x * 3 + y) % 16 for y in range(7) for x in range(13)])\n"
        "im.save(sys.argv[1] + '/p.bmp')\n"
        "Image.linear_gradient('L').resize((9, 5)).save(sys.argv[1] + '/l.bmp')\n";
    ASSERT_EQ(test::runCommand(shellQuote(python) + " -c " + shellQuote(script) + " " + shellQuote(dir.path())).status, 0);
    for (auto [name, width] : {std::pair{"p.bmp", 13}, std::pair{"l.bmp", 9}}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        IndexedImage image;
        ASSERT_TRUE(readBmp(path, image));
        EXPECT_EQ(image.width(), width);
        EXPECT_TRUE(rgbOf(image) == pillowRgb(python, path));
    }
}

// Files we write, as other programs see them.
TEST(BmpWrittenByUs, OthersSeeTheSamePixels) {
    const std::string magick = test::imageMagick();
    const std::string pillow = test::pillowPython();
    if (magick.empty() && pillow.empty()) GTEST_SKIP() << "neither ImageMagick nor Pillow is installed";
    TempDir dir;
    std::mt19937 rng(5);
    for (auto [width, height] : {std::pair{1u, 1u}, std::pair{5u, 3u}, std::pair{37u, 11u}, std::pair{70u, 2u}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        IndexedImage image;
        image.setSize(width, height);
        for (std::size_t i = 0; i < image.pixelCount(); ++i) image.pixels()[i] = static_cast<std::uint8_t>(rng());
        for (unsigned i = 0; i < 256; ++i) {
            image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(rng()),
                                  static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
        }
        const std::string path = dir.file("ours.bmp");
        ASSERT_TRUE(writeBmp(path, image));
        const Bytes rgb = rgbOf(image);
        if (!magick.empty()) {
            EXPECT_TRUE(magickRgb(magick, path) == rgb) << "ImageMagick";
        }
        if (!pillow.empty()) {
            EXPECT_TRUE(pillowRgb(pillow, path) == rgb) << "Pillow";
        }
    }
}

// ---------------------------------------------------------------------------
// BMP Suite

class BmpSuite : public testing::Test {
protected:
    void SetUp() override {
        root_ = test::testDataDir("bmpsuite");
        if (root_.empty()) GTEST_SKIP() << "the bmpsuite test data folder is absent";
    }
    std::string file(const std::string& name) const { return root_ + "/" + name; }

    std::string root_;
};

TEST_F(BmpSuite, EveryFileIsReadOrRefusedCleanly) {
    int files = 0;
    for (const char* folder : {"g", "q", "b", "x"}) {
        for (const std::string& name : test::listDir(file(folder))) {
            if (name.size() < 4 || name.substr(name.size() - 4) != ".bmp") continue;
            const std::string path = file(std::string(folder) + "/" + name);
            SCOPED_TRACE(path);
            ++files;
            IndexedImage image;
            const bool ok = readBmp(path, image);
            const std::uint16_t bits = probeBmp(path);
            if (ok) {
                EXPECT_EQ(bits, 8);
                EXPECT_TRUE(image.isEmpty() || image.pixelCount() == std::size_t{image.width()} * image.height());
            }
        }
    }
    EXPECT_EQ(files, 91);

    struct Expectation {
        const char* name;
        bool read;
        std::uint16_t probe;
    };
    const Expectation expectations[] = {
        {"g/pal8.bmp", true, 8},          {"g/pal8-0.bmp", true, 8},
        {"g/pal8gs.bmp", true, 8},        {"g/pal8os2.bmp", true, 8},
        {"g/pal8topdown.bmp", true, 8},   {"g/pal8rle.bmp", true, 8},
        {"g/pal8w124.bmp", true, 8},      {"g/pal8nonsquare.bmp", true, 8},
        {"g/pal8v4.bmp", false, 0},       {"g/pal8v5.bmp", false, 0},
        {"g/pal1.bmp", false, 1},         {"g/pal4.bmp", false, 4},
        {"g/pal4rle.bmp", false, 4},      {"g/rgb16.bmp", false, 16},
        {"g/rgb24.bmp", false, 24},       {"g/rgb32bf.bmp", false, 32},
        {"q/pal2.bmp", false, 2},         {"q/pal8offs.bmp", true, 8},
        {"q/pal8oversizepal.bmp", true, 8}, {"q/pal8os2sp.bmp", true, 8},
        {"q/pal8os2-hs.bmp", true, 8},    {"q/pal8os2-sz.bmp", true, 8},
        {"q/pal8os2v2.bmp", false, 0},    {"q/pal8os2v2-16.bmp", false, 0},
        {"q/pal8os2v2-40sz.bmp", true, 8}, {"q/pal8rletrns.bmp", true, 8},
        {"q/pal8rlecut.bmp", true, 8},    {"q/rgb24rle24.bmp", false, 0},
        {"q/rgb32h52.bmp", false, 0},     {"b/badbitcount.bmp", false, 30000},
        {"b/badheadersize.bmp", false, 0}, {"b/badwidth.bmp", false, 1},
        {"b/reallybig.bmp", false, 24},   {"b/shortfile.bmp", false, 1},
        {"b/badrle.bmp", true, 8},        {"b/badrlebis.bmp", true, 8},
        {"b/badrleter.bmp", true, 8},     {"b/rletopdown.bmp", true, 8},
        {"b/pal8badindex.bmp", true, 8},  {"b/badpalettesize.bmp", true, 8},
        {"x/ba-bm.bmp", false, 0},
    };
    for (const Expectation& e : expectations) {
        IndexedImage image;
        EXPECT_EQ(readBmp(file(e.name), image), e.read) << e.name;
        EXPECT_EQ(probeBmp(file(e.name)), e.probe) << e.name;
    }
}

// Every storage of the standard picture (plain, top-down, RLE8, core header,
// moved pixels, oversized table...) decodes to the same colours.
TEST_F(BmpSuite, EveryStorageOfThePictureAgrees) {
    IndexedImage reference;
    ASSERT_TRUE(readBmp(file("g/pal8.bmp"), reference));
    ASSERT_EQ(reference.width(), 127);
    ASSERT_EQ(reference.height(), 64);
    const Bytes expected = rgbOf(reference);
    for (const char* name : {"g/pal8-0.bmp", "g/pal8topdown.bmp", "g/pal8rle.bmp", "g/pal8os2.bmp",
                             "q/pal8offs.bmp", "q/pal8oversizepal.bmp", "q/pal8os2-hs.bmp",
                             "q/pal8os2-sz.bmp", "q/pal8os2sp.bmp", "q/pal8os2v2-40sz.bmp",
                             "b/rletopdown.bmp", "b/badpalettesize.bmp"}) {
        IndexedImage image;
        ASSERT_TRUE(readBmp(file(name), image)) << name;
        EXPECT_TRUE(rgbOf(image) == expected) << name;
    }
}

// The suite's own renderings; for the RLE files that skip pixels, the one
// that shows skipped pixels in palette colour 0.
TEST_F(BmpSuite, EightBitFilesMatchTheReferenceRenderings) {
    REQUIRE_PILLOW(python);
    const std::pair<const char*, const char*> pairs[] = {
        {"g/pal8.bmp", "pal8.png"},           {"g/pal8-0.bmp", "pal8.png"},
        {"g/pal8gs.bmp", "pal8gs.png"},       {"g/pal8os2.bmp", "pal8.png"},
        {"g/pal8topdown.bmp", "pal8.png"},    {"g/pal8rle.bmp", "pal8.png"},
        {"g/pal8w124.bmp", "pal8w124.png"},   {"g/pal8w125.bmp", "pal8w125.png"},
        {"g/pal8w126.bmp", "pal8w126.png"},   {"g/pal8nonsquare.bmp", "pal8nonsquare-e.png"},
        {"q/pal8offs.bmp", "pal8.png"},       {"q/pal8oversizepal.bmp", "pal8.png"},
        {"q/pal8rletrns.bmp", "pal8rletrns-0.png"}, {"q/pal8rlecut.bmp", "pal8rlecut-0.png"},
    };
    for (const auto& [bmp, png] : pairs) {
        IndexedImage image;
        ASSERT_TRUE(readBmp(file(bmp), image)) << bmp;
        const Bytes expected = pillowRgb(python, file(std::string("html/") + png));
        EXPECT_EQ(expected.size(), image.pixelCount() * 3) << bmp;
        EXPECT_TRUE(rgbOf(image) == expected) << bmp << " against " << png;
    }
}

}  // namespace
}  // namespace kelvara
