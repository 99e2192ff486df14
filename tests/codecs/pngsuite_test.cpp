#include <gtest/gtest.h>

#include <iostream>
#include <map>

#include "codecs/png.h"
#include "convert/convert.h"
#include "support/test_support.h"

namespace kelvara::test {
namespace {

// What convertImage must say about a suite file, from its name:
// [feature 2][parameter 2][n|i][colour type digit][g|c|p|a][bit depth 2].
ConvertStatus expectedStatus(const std::string& name) {
    const int colorType = name[4] - '0';
    const int depth = std::stoi(name.substr(6, 2));
    // Colour channels once alpha is dropped.
    const bool eightBit = (colorType == 2 || colorType == 6 ? 3 : 1) * depth == 8;
    if (name[0] == 'x') {
        // Damaged files never convert. Only a file whose damage lies in its
        // image data (IDAT checksum, "xcs") still probes to its header's
        // depth; one that cannot be decoded that far (bad signature or IHDR,
        // no IDAT at all) has no depth.
        return name.starts_with("xcs") && !eightBit ? ConvertStatus::NotEightBit
                                                    : ConvertStatus::UnsupportedFormat;
    }
    if (!eightBit)
        return ConvertStatus::NotEightBit;
    // Grey with alpha is one byte per pixel only once its alpha is dropped.
    return colorType == 4 ? ConvertStatus::UnsupportedFormat : ConvertStatus::Success;
}

// Every file to every format, each with other compression settings: the
// status its name calls for, and what Pillow decodes from the source; Pillow
// then reads our PNGs alike, and interlaced files equal their twins.
TEST(PngSuite, EveryFileConvertsAsItsNameSays) {
    const std::string suite = testDataDir("pngsuite");
    if (suite.empty())
        GTEST_SKIP() << "PngSuite folder absent";
    std::vector<std::string> names;
    std::vector<std::string> sources;
    for (const std::string& name : listDir(suite + "/png")) {
        if (name.size() == 12 && name.ends_with(".png")) {
            names.push_back(name.substr(0, 8));
            sources.push_back(suite + "/png/" + name);
        }
    }
    ASSERT_GE(names.size(), 150u) << "PngSuite looks incomplete";
    const auto pillow = pillowImages(sources);
    if (!pillow)
        std::cerr << "Pillow for /usr/bin/python3 absent: pixels are not compared\n";

    TempDir dir;
    std::map<std::string, std::size_t> converted;              // name -> index in sources
    std::vector<std::pair<std::string, std::size_t>> written;  // our PNGs and their sources
    for (std::size_t i = 0; i < names.size(); ++i) {
        const ConvertStatus expected = expectedStatus(names[i]);
        const bool success = expected == ConvertStatus::Success;
        ASSERT_TRUE(!success || !pillow || (*pillow)[i]) << names[i];
        Settings settings;
        settings.PngCompLv = static_cast<int>(i % 10);
        settings.Filter = static_cast<int>(i % pngFilterMasks.size());
        for (const Codec& codec : allCodecs()) {
            const std::string target = dir.file(names[i] + "." + codec.name);
            EXPECT_EQ(convertImage(sources[i], target, ImageFormat::Png, codec.format, settings),
                      expected)
                << target;
            if (!success) {
                EXPECT_FALSE(exists(target)) << target;
                continue;
            }
            IndexedImage back;
            ASSERT_TRUE(codec.read(target, back)) << target;
            if (pillow)
                expectSameImage(back, *(*pillow)[i], target);
            if (codec.format == ImageFormat::Png)
                written.emplace_back(target, i);
        }
        if (success)
            converted[names[i]] = i;
    }
    EXPECT_GE(converted.size(), 20u) << "too few 8-bit files found";

    int twins = 0;
    testing::internal::CaptureStderr();
    for (const auto& [name, index] : converted) {
        std::string twin = name;
        twin[3] = 'n';
        if (name[3] != 'i' || converted.count(twin) == 0)
            continue;
        IndexedImage interlaced;
        IndexedImage plain;
        ASSERT_TRUE(readPng(sources[index], interlaced));
        ASSERT_TRUE(readPng(sources[converted[twin]], plain));
        expectSameImage(interlaced, plain, name + " against " + twin);
        ++twins;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "libpng warned aloud";
    EXPECT_GE(twins, 2);

    if (!pillow)
        return;
    std::vector<std::string> paths;
    for (const auto& w : written)
        paths.push_back(w.first);
    const auto back = pillowImages(paths);
    ASSERT_TRUE(back);
    for (std::size_t i = 0; i < written.size(); ++i) {
        ASSERT_TRUE((*back)[i]) << paths[i];
        expectSameImage(*(*back)[i], *(*pillow)[written[i].second], "Pillow reading " + paths[i]);
    }
}

}  // namespace
}  // namespace kelvara::test
