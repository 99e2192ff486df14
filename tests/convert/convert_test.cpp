#include "convert/convert.h"

#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::Bytes;
using S = ConvertStatus;
using F = ImageFormat;

const char* extensionOf(F f) {
    return f == F::Bmp ? "bmp" : f == F::Png ? "png" : "xyz";
}

bool readAs(F kind, const std::string& path, IndexedImage& image) {
    return kind == F::Bmp   ? readBmp(path, image)
           : kind == F::Png ? readPng(path, image)
                            : readXyz(path, image);
}

// A w x h image: a smooth gradient that filters and compresses well, and a
// palette that differs from entry to entry.
void makeImage(IndexedImage& image, std::uint32_t w, std::uint32_t h) {
    image.setSize(w, h);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        image.pixels()[i] = static_cast<std::uint8_t>((i % w) * 2 + (i / w) * 3);
    }
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), i & 255, (i * 7) & 255, ~i & 255);
    }
}

bool sameImage(const IndexedImage& a, const IndexedImage& b) {
    return a.width() == b.width() && a.height() == b.height() &&
           a.paletteCount() == b.paletteCount() &&
           std::equal(a.palette(), a.palette() + a.paletteCount(), b.palette()) &&
           std::memcmp(a.pixels(), b.pixels(), a.pixelCount()) == 0;
}

// A bottom-up bitmap with an info header of `header` bytes (12: the core
// layout), `colours` table entries and rows given top first.
Bytes bitmap(std::uint32_t header, std::uint32_t w, std::uint32_t h, std::uint16_t bits,
             const std::vector<PaletteEntry>& colours, const std::vector<Bytes>& rows) {
    const bool core = header == 12;
    Bytes out{'B', 'M'};
    const auto put = [&](std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    };
    put(0, 8);  // file size and reserved: not needed by readers
    put(14 + header + static_cast<std::uint32_t>(colours.size()) * (core ? 3 : 4), 4);
    put(header, 4);
    put(w, core ? 2 : 4);
    put(h, core ? 2 : 4);
    put(1, 2);
    put(bits, 2);
    out.resize(14 + header, 0);
    for (const PaletteEntry& c : colours) {
        out.insert(out.end(), {c.blue, c.green, c.red});
        out.resize(out.size() + (core ? 0 : 1), 0);
    }
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        out.insert(out.end(), row->begin(), row->end());
        out.resize(out.size() + (4 - row->size() % 4) % 4, 0);
    }
    return out;
}

class Convert : public ::testing::Test {
  protected:
    void SetUp() override { makeImage(image, 37, 19); }
    std::string source(F kind, const std::string& name) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(kind == F::Bmp   ? writeBmp(path, image)
                    : kind == F::Png ? writePng(path, image, 6, 0xF8)
                                     : writeXyz(path, image, 6));
        return path;
    }
    test::TempDir dir;
    Settings settings;
    IndexedImage image;
};

TEST_F(Convert, EveryFormatToEveryFormat) {
    for (F from : {F::Bmp, F::Png, F::Xyz}) {
        const std::string src = source(from, std::string("src.") + extensionOf(from));
        for (F to : {F::Bmp, F::Png, F::Xyz}) {
            // The target's folders do not exist yet.
            const std::string target =
                dir.file(std::string("out/") + extensionOf(from) + "/deep/t." + extensionOf(to));
            IndexedImage back;
            ASSERT_EQ(convertImage(src, target, from, to, settings), S::Success) << target;
            ASSERT_TRUE(readAs(to, target, back));
            EXPECT_TRUE(sameImage(back, image)) << target;
        }
    }
}

TEST_F(Convert, SourcesThatCannotBeReadAreClassifiedAndLeaveNoTrace) {
    test::writeFile(dir.file("rgb24.bmp"), bitmap(40, 2, 2, 24, {}, {Bytes(6, 9), Bytes(6, 8)}));
    test::writeFile(dir.file("v5.bmp"),
                    bitmap(124, 2, 2, 8, std::vector<PaletteEntry>(256), {{1, 2}, {3, 4}}));
    test::writeFile(dir.file("text.bmp"), std::string("just some words\n"));
    const Bytes xyz = test::readFile(source(F::Xyz, "good.xyz"));
    test::writeFile(dir.file("cut.xyz"), Bytes(xyz.begin(), xyz.end() - 9));
    Bytes flipped = xyz;
    flipped[xyz.size() / 2] ^= 0xFF;
    test::writeFile(dir.file("flipped.xyz"), flipped);
    const Bytes png = test::readFile(source(F::Png, "good.png"));
    test::writeFile(dir.file("cut.png"), Bytes(png.begin(), png.end() - 40));

    const std::tuple<const char*, F, S> cases[] = {
        {"rgb24.bmp", F::Bmp, S::NotEightBit},      {"v5.bmp", F::Bmp, S::UnsupportedFormat},
        {"text.bmp", F::Bmp, S::UnsupportedFormat}, {"missing.bmp", F::Bmp, S::UnsupportedFormat},
        {"cut.xyz", F::Xyz, S::UnsupportedFormat},  {"flipped.xyz", F::Xyz, S::UnsupportedFormat},
        {"cut.png", F::Png, S::UnsupportedFormat},  {"good.xyz", F::Png, S::UnsupportedFormat},
        {"good.xyz", F::Xyz, S::Success},           {"good.png", F::Png, S::Success}};
    for (const auto& [name, type, expected] : cases) {
        const std::string folder = dir.file(std::string("out-") + name);
        EXPECT_EQ(convertImage(dir.file(name), folder + "/sub/t", type, F::Bmp, settings), expected)
            << name;
        EXPECT_EQ(test::exists(folder), expected == S::Success) << name;
    }
}

TEST_F(Convert, WriteFailuresKeepTheOldTarget) {
    const std::string src = source(F::Xyz, "src.xyz");
    test::writeFile(dir.file("blocker"), std::string("x"));  // a file where a folder should be
    EXPECT_EQ(convertImage(src, dir.file("blocker/a/t.png"), F::Xyz, F::Png, settings),
              S::WriteError);
    settings.XyzCompLv = 10;  // a level the writer refuses
    EXPECT_EQ(convertImage(src, dir.file("bad.xyz"), F::Xyz, F::Xyz, settings), S::WriteError);
    EXPECT_FALSE(test::exists(dir.file("bad.xyz")));

    // Permissions, as an ordinary user.
    ::mkdir(dir.file("locked").c_str(), 0777);
    for (const char* name : {"locked/t.png", "readonly.png"}) {
        test::writeFile(dir.file(name), std::string("old"));
    }
    ::chmod(dir.file("locked").c_str(), 0555);
    ::chmod(dir.file("readonly.png").c_str(), 0444);
    const int status = test::runInChild([&] {
        const auto refused = [&](const char* name) {
            return convertImage(src, dir.file(name), F::Xyz, F::Png, Settings{}) == S::WriteError;
        };
        if (!test::dropPrivileges()) {
            return 77;
        }
        return refused("locked/t.png") && refused("readonly.png") ? 0 : 1;
    });
    if (status == 77) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    EXPECT_EQ(status, 0);
    for (const char* name : {"locked/t.png", "readonly.png"}) {
        EXPECT_EQ(test::readFile(dir.file(name)), (Bytes{'o', 'l', 'd'})) << name;
    }
    EXPECT_EQ(test::listDir(dir.file("locked")), std::vector<std::string>{"t.png"});
}

TEST_F(Convert, CoreBitmapRewrittenInPlace) {
    std::vector<PaletteEntry> colours(16, PaletteEntry{1, 2, 3});  // a short table
    colours[15] = {250, 128, 7};
    const std::string path = dir.file("core.bmp");
    test::writeFile(path, bitmap(12, 5, 3, 8, colours,
                                 {{0, 1, 2, 3, 4}, {5, 6, 7, 8, 9}, {15, 14, 13, 12, 11}}));
    IndexedImage before, after;
    ASSERT_TRUE(readBmp(path, before));
    ASSERT_EQ(convertImage(path, path, F::Bmp, F::Bmp, settings), S::Success);
    const Bytes written = test::readFile(path);
    ASSERT_EQ(written.size(), 14u + 40 + 1024 + 8 * 3);  // now with a 40-byte header
    EXPECT_EQ(written[14], 40);
    ASSERT_TRUE(readBmp(path, after));
    EXPECT_TRUE(sameImage(after, before));
    EXPECT_EQ(after.palette()[15], colours[15]);
    EXPECT_EQ(after.row(2)[0], 15);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"core.bmp"});
}

// The rows of a PNG's image data, inflated: each starts with its filter byte.
Bytes inflatedRows(const Bytes& png) {
    Bytes idat, raw(1 << 20);
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t len =
            (png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
        if (std::memcmp(&png[at + 4], "IDAT", 4) == 0) {
            idat.insert(idat.end(), png.begin() + static_cast<long>(at) + 8,
                        png.begin() + static_cast<long>(at + 8 + len));
        }
        at += 12 + len;
    }
    uLongf size = raw.size();
    EXPECT_EQ(uncompress(raw.data(), &size, idat.data(), idat.size()), Z_OK);
    raw.resize(size);
    return raw;
}

TEST_F(Convert, CompressionSettingsReachTheWriters) {
    makeImage(image, 64, 40);
    const std::string src = source(F::Bmp, "src.bmp");
    const auto sizeAt = [&](F to, int level) {
        settings.PngCompLv = settings.XyzCompLv = level;
        const std::string out = dir.file("l" + std::to_string(level) + "." + extensionOf(to));
        EXPECT_EQ(convertImage(src, out, F::Bmp, to, settings), S::Success);
        return test::readFile(out).size();
    };
    for (F to : {F::Png, F::Xyz}) {
        // Level 0 stores the 2,560 pixels; level 9 packs the gradient well below half.
        EXPECT_GT(sizeAt(to, 0), 64u * 40) << extensionOf(to);
        EXPECT_LT(sizeAt(to, 9) * 2, sizeAt(to, 0)) << extensionOf(to);
    }
    const auto filtersUsed = [&](int filter) {
        settings.Filter = filter;
        EXPECT_EQ(convertImage(src, dir.file("f.png"), F::Bmp, F::Png, settings), S::Success);
        const Bytes raw = inflatedRows(test::readFile(dir.file("f.png")));
        EXPECT_EQ(raw.size(), 40u * 65);
        std::set<int> used;
        for (std::size_t at = 0; at < raw.size(); at += 65) {
            used.insert(raw[at]);
        }
        return used;
    };
    EXPECT_EQ(filtersUsed(0), std::set<int>{0});
    EXPECT_EQ(filtersUsed(2), std::set<int>{2});
    EXPECT_GT(filtersUsed(5).size(), 1u);  // the adaptive choice varies by row
}

}  // namespace
}  // namespace kelvara
