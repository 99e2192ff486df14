// Bitmaps from other programs, and our bitmaps read by other programs.

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "codecs/bmp.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::Bytes;
using test::rgbOf;
using test::TempDir;

// Each file ImageMagick makes is either read to the pixels ImageMagick (and
// Pillow) see, or refused with probeBmp naming its bit count (0 for a header
// we do not know). What we write of a read one, they see alike.
TEST(BmpFromImageMagick, ReadToTheSamePixelsOrRefused) {
    const std::string magick = test::imageMagick();
    if (magick.empty())
        GTEST_SKIP() << "ImageMagick (convert-im6.q16) is not installed";
    const bool pillow = !test::pillowPython().empty();
    struct Source {
        const char* name;
        const char* arguments;
        std::uint32_t headerSize;
        int bitCount;
        std::uint32_t compression;
    };
    const Source sources[] = {
        {"plain8", "rose: -resize 37x23! -colors 200 -type Palette -compress None bmp3:", 40, 8, 0},
        {"rle8", "rose: -colors 120 -type Palette -compress RLE bmp3:", 40, 8, 1},
        {"core8", "rose: -crop 35x20+10+10 +repage -colors 200 -type Palette bmp2:", 12, 8, 0},
        {"sixteen", "-size 37x11 gradient: -colors 16 -type Palette -depth 8 bmp3:", 40, 4, 0},
        {"truecolour", "rose: -type TrueColor bmp3:", 40, 24, 0},
        {"v5", "rose: -colors 200 -type Palette bmp:", 124, 8, 1},
    };
    TempDir dir;
    for (const Source& s : sources) {
        SCOPED_TRACE(s.name);
        const std::string path = dir.file(std::string(s.name) + ".bmp");
        ASSERT_EQ(test::runCommand(magick + " " + s.arguments + test::shellQuote(path)).status, 0);
        const Bytes file = test::readFile(path);
        const std::uint32_t headerSize = test::loadLe(file, 14, 4);
        ASSERT_EQ(headerSize, s.headerSize);
        ASSERT_EQ(test::loadLe(file, headerSize == 12 ? 24 : 28, 2), s.bitCount);
        ASSERT_EQ(headerSize == 12 ? 0 : test::loadLe(file, 30, 4), s.compression);

        const bool known = headerSize == 40 || headerSize == 12;
        EXPECT_EQ(probeBmp(path), known ? s.bitCount : 0);
        IndexedImage image;
        ASSERT_EQ(readBmp(path, image), known && s.bitCount == 8);
        if (!image.hasPixels())
            continue;
        const std::string ours = dir.file(std::string("ours-") + s.name + ".bmp");
        ASSERT_TRUE(writeBmp(ours, image));
        for (const std::string& p : {path, ours}) {
            EXPECT_TRUE(rgbOf(image) == test::magickRgb(p)) << p << " by ImageMagick";
            EXPECT_TRUE(!pillow || rgbOf(image) == test::pillowRgb(p)) << p << " by Pillow";
        }
    }
}

// The BMP Suite: every file is read or refused without harm, a read one
// probes as 8-bit; what reader and probe say about those that are no picture
// below. The 8-bit files match the suite's renderings (for RLE files that
// skip pixels, the one showing them in palette colour 0), and every storage
// of the standard picture (plain, top-down, RLE8, core header, moved pixels,
// odd table sizes...) gives the colours of the plain one.
TEST(BmpSuite, EveryFileIsReadAsTheSuiteDescribesIt) {
    const std::string root = test::testDataDir("bmpsuite");
    if (root.empty())
        GTEST_SKIP() << "the bmpsuite test data folder is absent";
    const auto file = [&](const std::string& name) { return root + "/" + name; };
    int files = 0;
    for (const char* folder : {"g", "q", "b", "x"}) {
        for (const std::string& name : test::listDir(file(folder))) {
            if (!name.ends_with(".bmp"))
                continue;
            const std::string path = file(std::string(folder) + "/" + name);
            ++files;
            IndexedImage image;
            if (readBmp(path, image)) {
                EXPECT_EQ(probeBmp(path), 8) << path;
                EXPECT_EQ(image.pixelCount(), std::size_t{image.width()} * image.height()) << path;
            }
        }
    }
    EXPECT_EQ(files, 91);

    // Read exactly when the probe is 8.
    const std::pair<const char*, int> probes[] = {
        {"g/pal8v4.bmp", 0},    {"g/pal8v5.bmp", 0},          {"g/pal1.bmp", 1},
        {"g/pal4.bmp", 4},      {"g/pal4rle.bmp", 4},         {"g/rgb16.bmp", 16},
        {"g/rgb24.bmp", 24},    {"g/rgb32bf.bmp", 32},        {"q/pal2.bmp", 2},
        {"q/pal8os2v2.bmp", 0}, {"q/pal8os2v2-16.bmp", 0},    {"q/rgb24rle24.bmp", 0},
        {"q/rgb32h52.bmp", 0},  {"b/badbitcount.bmp", 30000}, {"b/badheadersize.bmp", 0},
        {"b/badwidth.bmp", 1},  {"b/reallybig.bmp", 24},      {"b/shortfile.bmp", 1},
        {"x/ba-bm.bmp", 0},     {"b/badrle.bmp", 8},          {"b/badrlebis.bmp", 8},
        {"b/badrleter.bmp", 8}, {"b/pal8badindex.bmp", 8},
    };
    for (const auto& [name, probe] : probes) {
        IndexedImage image;
        EXPECT_EQ(readBmp(file(name), image), probe == 8) << name;
        EXPECT_EQ(probeBmp(file(name)), probe) << name;
    }

    const bool pillow = !test::pillowPython().empty();
    if (!pillow)
        std::cerr << "Pillow for /usr/bin/python3 absent: renderings are not compared\n";
    IndexedImage reference;
    ASSERT_TRUE(readBmp(file("g/pal8.bmp"), reference));
    ASSERT_EQ(reference.width(), 127);
    ASSERT_EQ(reference.height(), 64);
    const std::pair<const char*, const char*> pictures[] = {
        {"g/pal8.bmp", "pal8.png"},
        {"g/pal8-0.bmp", "pal8.png"},
        {"g/pal8os2.bmp", "pal8.png"},
        {"g/pal8topdown.bmp", "pal8.png"},
        {"g/pal8rle.bmp", "pal8.png"},
        {"q/pal8offs.bmp", "pal8.png"},
        {"q/pal8oversizepal.bmp", "pal8.png"},
        {"q/pal8os2-hs.bmp", "pal8.png"},
        {"q/pal8os2-sz.bmp", "pal8.png"},
        {"q/pal8os2sp.bmp", "pal8.png"},
        {"q/pal8os2v2-40sz.bmp", "pal8.png"},
        {"b/rletopdown.bmp", "pal8.png"},
        {"b/badpalettesize.bmp", "pal8.png"},
        {"g/pal8gs.bmp", "pal8gs.png"},
        {"g/pal8w124.bmp", "pal8w124.png"},
        {"g/pal8w125.bmp", "pal8w125.png"},
        {"g/pal8w126.bmp", "pal8w126.png"},
        {"g/pal8nonsquare.bmp", "pal8nonsquare-e.png"},
        {"q/pal8rletrns.bmp", "pal8rletrns-0.png"},
        {"q/pal8rlecut.bmp", "pal8rlecut-0.png"},
    };
    std::map<std::string, Bytes> renderings;
    for (const auto& [bmp, png] : pictures) {
        IndexedImage image;
        ASSERT_TRUE(readBmp(file(bmp), image)) << bmp;
        EXPECT_EQ(probeBmp(file(bmp)), 8) << bmp;
        EXPECT_TRUE(std::string(png) != "pal8.png" || rgbOf(image) == rgbOf(reference)) << bmp;
        if (!pillow)
            continue;
        Bytes& expected = renderings[png];
        if (expected.empty())
            expected = test::pillowRgb(file(std::string("html/") + png));
        EXPECT_EQ(expected.size(), image.pixelCount() * 3) << bmp;
        EXPECT_TRUE(rgbOf(image) == expected) << bmp << " against " << png;
    }
}

}  // namespace
}  // namespace kelvara
