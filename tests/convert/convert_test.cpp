#include "convert/convert.h"

#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::Bytes;
using test::TempDir;
using S = ConvertStatus;
using F = ImageFormat;

const char* extensionOf(F f) { return f == F::Bmp ? "bmp" : f == F::Png ? "png" : "xyz"; }

bool writeAs(F kind, const std::string& path, const IndexedImage& image) {
    return kind == F::Bmp ? writeBmp(path, image) : kind == F::Png ? writePng(path, image, 6, 0xF8)
                                                                   : writeXyz(path, image, 6);
}

bool readAs(F kind, const std::string& path, IndexedImage& image) {
    return kind == F::Bmp ? readBmp(path, image) : kind == F::Png ? readPng(path, image)
                                                                  : readXyz(path, image);
}

// noise 0: a smooth gradient that filters and compresses well; otherwise random.
void makeImage(IndexedImage& image, std::uint32_t w, std::uint32_t h, unsigned noise) {
    image.setSize(w, h);
    ASSERT_TRUE(image.hasPixels());
    std::mt19937 rng(noise);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        image.pixels()[i] = static_cast<std::uint8_t>(noise ? rng() : (i % w) * 2 + (i / w) * 3);
    }
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(rng()),
                              static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(rng()));
    }
}

testing::AssertionResult sameImage(const IndexedImage& a, const IndexedImage& b) {
    if (a.width() != b.width() || a.height() != b.height()) {
        return testing::AssertionFailure() << "size " << a.width() << "x" << a.height() << " vs "
                                           << b.width() << "x" << b.height();
    }
    if (a.paletteCount() != b.paletteCount() ||
        !std::equal(a.palette(), a.palette() + a.paletteCount(), b.palette())) {
        return testing::AssertionFailure() << "palettes differ";
    }
    if (a.pixelCount() != b.pixelCount() ||
        std::memcmp(a.pixels(), b.pixels(), a.pixelCount()) != 0) {
        return testing::AssertionFailure() << "pixels differ";
    }
    return testing::AssertionSuccess();
}

void putLe(Bytes& b, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A bottom-up bitmap with an info header of `header` bytes (12: the core
// layout), `colours` table entries and rows given top first.
Bytes bitmap(std::uint32_t header, std::uint32_t w, std::uint32_t h, std::uint16_t bits,
             const std::vector<PaletteEntry>& colours, const std::vector<Bytes>& rows) {
    const bool core = header == 12;
    const std::uint32_t offset =
        14 + header + static_cast<std::uint32_t>(colours.size()) * (core ? 3 : 4);
    Bytes out{'B', 'M'};
    putLe(out, 0, 4);  // file size: not needed by readers
    putLe(out, 0, 4);
    putLe(out, offset, 4);
    putLe(out, header, 4);
    putLe(out, w, core ? 2 : 4);
    putLe(out, h, core ? 2 : 4);
    putLe(out, 1, 2);
    putLe(out, bits, 2);
    out.resize(14 + header, 0);
    for (const PaletteEntry& c : colours) {
        out.insert(out.end(), {c.blue, c.green, c.red});
        if (!core) out.push_back(0);
    }
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        out.insert(out.end(), row->begin(), row->end());
        out.resize(out.size() + (4 - row->size() % 4) % 4, 0);
    }
    return out;
}

// The concatenated IDAT data of a PNG file.
Bytes idatOf(const Bytes& png) {
    Bytes out;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t len = (png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
        if (std::memcmp(&png[at + 4], "IDAT", 4) == 0) {
            out.insert(out.end(), png.begin() + static_cast<long>(at) + 8,
                       png.begin() + static_cast<long>(at + 8 + len));
        }
        at += 12 + len;
    }
    return out;
}

Bytes inflateAll(const Bytes& stream) {
    Bytes out(1 << 20);
    uLongf size = out.size();
    EXPECT_EQ(uncompress(out.data(), &size, stream.data(), stream.size()), Z_OK);
    out.resize(size);
    return out;
}

// True when a zlib stream holds stored blocks only, from header to checksum.
bool onlyStoredBlocks(const Bytes& s) {
    for (std::size_t at = 2;;) {
        if (at + 5 > s.size() || ((s[at] >> 1) & 3) != 0 ||
            (s[at + 1] ^ s[at + 3]) != 0xFF || (s[at + 2] ^ s[at + 4]) != 0xFF) {
            return false;
        }
        const bool last = s[at] & 1;
        at += 5 + (s[at + 1] | (s[at + 2] << 8));
        if (last) {
            return at + 4 == s.size();
        }
    }
}

struct Fixture {
    TempDir dir;
    Settings settings;
    IndexedImage image;
    Fixture() { makeImage(image, 37, 19, 11); }
    std::string source(F kind, const std::string& name) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(writeAs(kind, path, image));
        return path;
    }
};

TEST(Convert, EveryFormatToEveryFormat) {
    Fixture f;
    for (F from : {F::Bmp, F::Png, F::Xyz}) {
        const std::string src = f.source(from, std::string("src.") + extensionOf(from));
        for (F to : {F::Bmp, F::Png, F::Xyz}) {
            // The target's folders do not exist yet.
            const std::string target = f.dir.file(std::string("out/") + extensionOf(from) +
                                                  "/deep/er/t." + extensionOf(to));
            SCOPED_TRACE(target);
            ASSERT_EQ(convertImage(src, target, from, to, f.settings), S::Success);
            IndexedImage back;
            ASSERT_TRUE(readAs(to, target, back));
            EXPECT_TRUE(sameImage(back, f.image));
        }
    }
}

TEST(Convert, UnreadableSourcesAreClassified) {
    Fixture f;
    const std::vector<PaletteEntry> sixteen(16, PaletteEntry{1, 2, 3});
    const std::vector<PaletteEntry> full(256, PaletteEntry{1, 2, 3});
    test::writeFile(f.dir.file("rgb24.bmp"), bitmap(40, 2, 2, 24, {}, {Bytes(6, 9), Bytes(6, 8)}));
    test::writeFile(f.dir.file("four.bmp"), bitmap(40, 4, 1, 4, sixteen, {Bytes{0x12, 0x34}}));
    test::writeFile(f.dir.file("v5.bmp"), bitmap(124, 2, 2, 8, full, {Bytes{1, 2}, Bytes{3, 4}}));
    test::writeFile(f.dir.file("text.bmp"), std::string("just some words\n"));
    test::writeFile(f.dir.file("zero.bmp"), Bytes{});

    const Bytes xyz = test::readFile(f.source(F::Xyz, "good.xyz"));
    test::writeFile(f.dir.file("cut.xyz"), Bytes(xyz.begin(), xyz.end() - 9));
    Bytes flipped = xyz;
    flipped[xyz.size() / 2] ^= 0xFF;
    test::writeFile(f.dir.file("flipped.xyz"), flipped);
    test::writeFile(f.dir.file("header.xyz"), Bytes(xyz.begin(), xyz.begin() + 8));
    const Bytes png = test::readFile(f.source(F::Png, "good.png"));
    test::writeFile(f.dir.file("cut.png"), Bytes(png.begin(), png.end() - 40));

    struct Case {
        const char* name;
        F type;
        S expected;
    };
    const Case cases[] = {
        {"rgb24.bmp", F::Bmp, S::NotEightBit},       {"four.bmp", F::Bmp, S::NotEightBit},
        {"v5.bmp", F::Bmp, S::UnsupportedFormat},    {"text.bmp", F::Bmp, S::UnsupportedFormat},
        {"zero.bmp", F::Bmp, S::UnsupportedFormat},  {"missing.bmp", F::Bmp, S::UnsupportedFormat},
        {"cut.xyz", F::Xyz, S::UnsupportedFormat},   {"flipped.xyz", F::Xyz, S::UnsupportedFormat},
        {"header.xyz", F::Xyz, S::UnsupportedFormat}, {"good.xyz", F::Png, S::UnsupportedFormat},
        {"good.png", F::Xyz, S::UnsupportedFormat},  {"cut.png", F::Png, S::UnsupportedFormat},
        {"good.xyz", F::Xyz, S::Success},            {"good.png", F::Png, S::Success},
    };
    for (const Case& c : cases) {
        for (F to : {F::Bmp, F::Xyz}) {
            const std::string folder = f.dir.file(std::string("out-") + c.name + extensionOf(to));
            EXPECT_EQ(convertImage(f.dir.file(c.name), folder + "/sub/t", c.type, to, f.settings),
                      c.expected)
                << c.name << " to " << extensionOf(to);
            // A source that cannot be read leaves no trace.
            EXPECT_EQ(test::exists(folder), c.expected == S::Success) << c.name;
        }
    }
}

TEST(Convert, FilesFromAnotherProgram) {
    const std::string im = test::imageMagick();
    if (im.empty()) {
        GTEST_SKIP() << "ImageMagick (convert-im6.q16) is not installed";
    }
    TempDir dir;
    const std::string g = im + " -size 5x40 gradient:red-blue ";
    const std::string cmd =
        g + "-type Palette bmp:" + test::shellQuote(dir.file("v5.bmp")) + " && " +
        g + "-type Palette BMP3:" + test::shellQuote(dir.file("rle.bmp")) + " && " +
        g + "PNG8:" + test::shellQuote(dir.file("pal.png")) + " && " +
        g + "-type TrueColor BMP3:" + test::shellQuote(dir.file("rgb.bmp")) + " && " +
        g + "PNG24:" + test::shellQuote(dir.file("rgb.png")) + " && " +
        g + "PNG32:" + test::shellQuote(dir.file("rgba.png")) + " && " +
        g + "-colorspace Gray -depth 16 PNG:" + test::shellQuote(dir.file("grey16.png")) + " && " +
        im + " -size 5x40 pattern:checkerboard -monochrome PNG:" + test::shellQuote(dir.file("mono.png"));
    const auto run = test::runCommand(cmd + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(test::readFile(dir.file("v5.bmp"))[14], 124) << "expected a 124-byte header";

    const Settings settings;
    EXPECT_EQ(convertImage(dir.file("v5.bmp"), dir.file("a.xyz"), F::Bmp, F::Xyz, settings), S::UnsupportedFormat);
    EXPECT_EQ(convertImage(dir.file("rgb.bmp"), dir.file("a.xyz"), F::Bmp, F::Xyz, settings), S::NotEightBit);
    for (const char* name : {"rgb.png", "rgba.png", "grey16.png", "mono.png"}) {
        EXPECT_EQ(convertImage(dir.file(name), dir.file("a.xyz"), F::Png, F::Xyz, settings), S::NotEightBit) << name;
    }
    EXPECT_FALSE(test::exists(dir.file("a.xyz")));

    // Palette files (one RLE8-packed) carry the colours the other program
    // decodes from them, pixel for pixel.
    for (auto [name, type] : {std::pair{"rle.bmp", F::Bmp}, std::pair{"pal.png", F::Png}}) {
        SCOPED_TRACE(name);
        const std::string out = dir.file(std::string(name) + ".xyz");
        ASSERT_EQ(convertImage(dir.file(name), out, type, F::Xyz, settings), S::Success);
        const auto rgb = test::runCommand(im + " " + test::shellQuote(dir.file(name)) + " -depth 8 rgb:-");
        ASSERT_EQ(rgb.output.size(), 5u * 40 * 3);
        IndexedImage back;
        ASSERT_TRUE(readXyz(out, back));
        ASSERT_EQ(back.width(), 5);
        ASSERT_EQ(back.height(), 40);
        for (std::size_t i = 0; i < back.pixelCount(); ++i) {
            const auto* want = reinterpret_cast<const std::uint8_t*>(rgb.output.data()) + 3 * i;
            ASSERT_EQ(back.palette()[back.pixels()[i]], (PaletteEntry{want[0], want[1], want[2]}))
                << "pixel " << i;
        }
    }
}

TEST(Convert, WriteFailuresKeepTheOldTarget) {
    Fixture f;
    const std::string src = f.source(F::Xyz, "src.xyz");

    // A file where a folder should be.
    test::writeFile(f.dir.file("blocker"), std::string("x"));
    EXPECT_EQ(convertImage(src, f.dir.file("blocker/t.png"), F::Xyz, F::Png, f.settings), S::WriteError);
    EXPECT_EQ(convertImage(src, f.dir.file("blocker/a/b/t.png"), F::Xyz, F::Png, f.settings), S::WriteError);

    // An empty image has nothing to write.
    test::writeFile(f.dir.file("empty.bmp"), bitmap(40, 0, 5, 8, {}, {}));
    for (F to : {F::Bmp, F::Png, F::Xyz}) {
        EXPECT_EQ(convertImage(f.dir.file("empty.bmp"), f.dir.file("e/t"), F::Bmp, to, f.settings), S::WriteError);
    }
    EXPECT_EQ(test::listDir(f.dir.file("e")), std::vector<std::string>{});

    // A compression level the writer refuses.
    Settings bad;
    bad.XyzCompLv = 10;
    EXPECT_EQ(convertImage(src, f.dir.file("bad.xyz"), F::Xyz, F::Xyz, bad), S::WriteError);
    EXPECT_FALSE(test::exists(f.dir.file("bad.xyz")));

    // Permissions, as an ordinary user.
    ::mkdir(f.dir.file("locked").c_str(), 0777);
    test::writeFile(f.dir.file("locked/t.png"), std::string("old"));
    ::chmod(f.dir.file("locked").c_str(), 0555);
    test::writeFile(f.dir.file("readonly.png"), std::string("old"));
    ::chmod(f.dir.file("readonly.png").c_str(), 0444);
    const int status = test::runInChild([&] {
        if (!test::dropPrivileges()) {
            return 77;
        }
        int failures = 0;
        for (const char* name : {"locked/t.png", "readonly.png"}) {
            failures += convertImage(src, f.dir.file(name), F::Xyz, F::Png, f.settings) != S::WriteError;
        }
        return failures;
    });
    ::chmod(f.dir.file("locked").c_str(), 0777);
    if (status == 77) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    EXPECT_EQ(status, 0) << "conversions that did not report WriteError";
    EXPECT_EQ(test::readFile(f.dir.file("locked/t.png")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(test::readFile(f.dir.file("readonly.png")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(test::listDir(f.dir.file("locked")), std::vector<std::string>{"t.png"});
}

TEST(Convert, BitmapConvertedInPlace) {
    TempDir dir;
    std::vector<PaletteEntry> colours;
    for (std::uint8_t i = 0; i < 16; ++i) {
        colours.push_back({static_cast<std::uint8_t>(i * 16), static_cast<std::uint8_t>(255 - i), i});
    }
    const std::string path = dir.file("core.bmp");
    test::writeFile(path, bitmap(12, 5, 3, 8, colours, {Bytes{0, 1, 2, 3, 4}, Bytes{5, 6, 7, 8, 9}, Bytes{15, 14, 13, 12, 11}}));
    IndexedImage before;
    ASSERT_TRUE(readBmp(path, before));
    ASSERT_EQ(before.row(2)[0], 15);

    ASSERT_EQ(convertImage(path, path, F::Bmp, F::Bmp, Settings{}), S::Success);
    const Bytes after = test::readFile(path);
    ASSERT_EQ(after.size(), 14u + 40 + 1024 + 8 * 3);
    EXPECT_EQ(after[14], 40);
    EXPECT_EQ(after[28], 8);
    IndexedImage back;
    ASSERT_TRUE(readBmp(path, back));
    EXPECT_TRUE(sameImage(back, before));
    EXPECT_EQ(back.palette()[15], colours[15]);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"core.bmp"});
}

TEST(Convert, CompressionSettingsReachTheWriters) {
    Fixture f;
    makeImage(f.image, 64, 40, 0);
    const std::string src = f.source(F::Bmp, "src.bmp");
    auto pngWith = [&](int filter, int level) {
        Settings s;
        s.Filter = filter;
        s.PngCompLv = level;
        const std::string out = f.dir.file("f.png");
        EXPECT_EQ(convertImage(src, out, F::Bmp, F::Png, s), S::Success);
        return idatOf(test::readFile(out));
    };
    // The filter byte that starts each row, per Filter setting.
    auto filterBytes = [&](int filter) {
        const Bytes raw = inflateAll(pngWith(filter, 6));
        EXPECT_EQ(raw.size(), 40u * 65);
        std::vector<int> types;
        for (std::size_t at = 0; at < raw.size(); at += 65) types.push_back(raw[at]);
        return types;
    };
    EXPECT_EQ(filterBytes(0), std::vector<int>(40, 0));
    EXPECT_EQ(filterBytes(2), std::vector<int>(40, 2));
    const std::vector<int> adaptive = filterBytes(5);
    EXPECT_TRUE(std::any_of(adaptive.begin(), adaptive.end(), [](int t) { return t != 0; }));

    EXPECT_TRUE(onlyStoredBlocks(pngWith(0, 0)));
    EXPECT_FALSE(onlyStoredBlocks(pngWith(0, 9)));

    std::size_t sizes[2];
    for (int level : {0, 9}) {
        Settings s;
        s.XyzCompLv = level;
        const std::string out = f.dir.file("l" + std::to_string(level) + ".xyz");
        ASSERT_EQ(convertImage(src, out, F::Bmp, F::Xyz, s), S::Success);
        const Bytes file = test::readFile(out);
        EXPECT_EQ(onlyStoredBlocks(Bytes(file.begin() + 8, file.end())), level == 0);
        sizes[level / 9] = file.size();
    }
    EXPECT_GT(sizes[0], 768u + 64 * 40);
    EXPECT_LT(sizes[1] * 2, sizes[0]);
}

}  // namespace
}  // namespace kelvara
