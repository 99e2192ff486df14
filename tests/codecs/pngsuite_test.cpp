#include <gtest/gtest.h>

#include <map>
#include <set>

#include "codecs/png.h"
#include "convert/convert.h"
#include "support/test_support.h"

namespace kelvara::test {

// Defined in png_test.cpp.
void expectSameImage(const IndexedImage& actual, const IndexedImage& expected,
                     const std::string& what);
bool pillowDecode(const std::vector<std::string>& sources, const std::string& dumpDir);
bool loadPillowDump(const std::string& dumpDir, std::size_t index, IndexedImage& image);
bool readBack(ImageFormat format, const std::string& path, IndexedImage& image);

namespace {

// What convertImage must say about a suite file, from its name:
// [feature 2][parameter 2][n|i][colour type digit][g|c|p|a][bit depth 2].
ConvertStatus expectedStatus(const std::string& name) {
    const int colorType = name[4] - '0';
    const int depth = std::stoi(name.substr(6, 2));
    // Colour channels once alpha is dropped.
    const int channels = colorType == 2 || colorType == 6 ? 3 : 1;
    if (name[0] == 'x') {
        // Damaged files never convert. Only a file whose damage lies in its
        // image data (IDAT checksum) still probes to its header's depth; one
        // that cannot be decoded that far (bad signature or IHDR, no IDAT at
        // all) has no depth.
        static const std::set<std::string> kHeaderIntact = {"xcs"};
        const bool intact = kHeaderIntact.count(name.substr(0, 3)) != 0;
        return intact && channels * depth != 8 ? ConvertStatus::NotEightBit
                                               : ConvertStatus::UnsupportedFormat;
    }
    if (channels * depth != 8) {
        return ConvertStatus::NotEightBit;
    }
    // Grey with alpha is one byte per pixel only once its alpha is dropped.
    return colorType == 4 ? ConvertStatus::UnsupportedFormat : ConvertStatus::Success;
}

TEST(PngSuite, EveryFileConvertsAsItsNameSays) {
    const std::string suite = testDataDir("pngsuite");
    if (suite.empty()) {
        GTEST_SKIP() << "PngSuite folder absent";
    }
    std::vector<std::string> names;
    for (const std::string& name : listDir(suite + "/png")) {
        if (name.size() == 12 && name.ends_with(".png")) {
            names.push_back(name.substr(0, 8));
        }
    }
    ASSERT_GE(names.size(), 150u) << "PngSuite looks incomplete";

    std::vector<std::string> sources;
    for (const std::string& name : names) {
        sources.push_back(suite + "/png/" + name + ".png");
    }
    TempDir dir;
    const std::string dump = dir.file("dump");
    const bool havePillow = !pillowPython().empty() && pillowDecode(sources, dump);
    if (!havePillow) {
        std::cerr << "Pillow for /usr/bin/python3 absent: pixels are not compared\n";
    }

    const std::pair<ImageFormat, const char*> targets[] = {
        {ImageFormat::Bmp, "bmp"}, {ImageFormat::Png, "png"}, {ImageFormat::Xyz, "xyz"}};
    std::map<std::string, std::size_t> converted;  // name -> index in sources
    std::vector<std::string> writtenPng;
    std::vector<std::string> writtenPngFrom;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const ConvertStatus expected = expectedStatus(name);
        IndexedImage fromPillow;
        if (expected == ConvertStatus::Success && havePillow) {
            ASSERT_TRUE(loadPillowDump(dump, i, fromPillow)) << name;
        }
        Settings settings;
        settings.PngCompLv = static_cast<int>(i % 10);
        settings.Filter = static_cast<int>(i % pngFilterMasks.size());
        for (const auto& [format, ext] : targets) {
            const std::string target = dir.file(name + "." + ext);
            EXPECT_EQ(convertImage(sources[i], target, ImageFormat::Png, format, settings),
                      expected)
                << name << " -> " << ext;
            if (expected != ConvertStatus::Success) {
                EXPECT_FALSE(exists(target)) << target;
                continue;
            }
            IndexedImage back;
            ASSERT_TRUE(readBack(format, target, back)) << target;
            if (havePillow) {
                expectSameImage(back, fromPillow, name + " -> " + ext);
            }
            if (format == ImageFormat::Png) {
                writtenPng.push_back(target);
                writtenPngFrom.push_back(name);
            }
        }
        if (expected == ConvertStatus::Success) {
            converted[name] = i;
        }
    }
    EXPECT_GE(converted.size(), 20u) << "too few 8-bit files found";

    // Interlaced files against their non-interlaced twins.
    int twins = 0;
    for (const auto& [name, index] : converted) {
        std::string twin = name;
        twin[3] = 'n';
        if (name[3] != 'i' || converted.count(twin) == 0) {
            continue;
        }
        IndexedImage interlaced;
        IndexedImage plain;
        ASSERT_TRUE(readPng(sources[index], interlaced));
        ASSERT_TRUE(readPng(sources[converted[twin]], plain));
        expectSameImage(interlaced, plain, name + " against " + twin);
        ++twins;
    }
    EXPECT_GE(twins, 2);

    // Pillow must read what we wrote as what it read from the source.
    if (havePillow) {
        const std::string dumpBack = dir.file("dump-back");
        ASSERT_TRUE(pillowDecode(writtenPng, dumpBack));
        for (std::size_t i = 0; i < writtenPng.size(); ++i) {
            IndexedImage source;
            IndexedImage back;
            ASSERT_TRUE(loadPillowDump(dump, converted[writtenPngFrom[i]], source));
            ASSERT_TRUE(loadPillowDump(dumpBack, i, back)) << writtenPng[i];
            expectSameImage(back, source, "Pillow reading " + writtenPng[i]);
        }
    }
}

}  // namespace
}  // namespace kelvara::test
