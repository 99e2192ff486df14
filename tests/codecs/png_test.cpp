#include "codecs/png.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <sstream>
#include <tuple>

#include "support/test_support.h"

namespace kelvara::test {
namespace {

const Bytes kIend = pngChunk("IEND", {});

Bytes prefix(const Bytes& bytes, std::size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n));
}

Bytes flipLast(Bytes bytes) {
    bytes.back() ^= 1;
    return bytes;
}

// Chunk names in order, a run of IDATs written once.
std::string layout(const std::vector<std::string>& types) {
    std::string out;
    for (const std::string& type : types) {
        out += type == "IDAT" && out.ends_with("IDAT ") ? "" : type + " ";
    }
    return out;
}

Bytes idatStream(const Bytes& file) {
    Bytes stream;
    for (const PngChunk& c : pngChunks(file)) {
        if (c.type == "IDAT")
            stream.insert(stream.end(), c.data.begin(), c.data.end());
    }
    return stream;
}

// ---------------------------------------------------------------- reading

// 8-bit palette files keep their PLTE and tRNS, the rest of the palette
// black and nothing stale; 8-bit grey files get the grey ramp (and no alpha
// from a grey key).
TEST(PngRead, PaletteAndGreyFiles) {
    TempDir dir;
    const Bytes indices = {0, 1, 2, 2, 1, 0, 1, 1, 0, 2, 2, 2};
    Bytes levels(512);
    for (std::size_t i = 0; i < levels.size(); ++i)
        levels[i] = static_cast<std::uint8_t>(i * 37);
    Bytes plte(768);
    const Bytes entries = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    std::copy(entries.begin(), entries.end(), plte.begin());
    Bytes ramp;
    for (unsigned g = 0; g < 256; ++g)
        ramp.insert(ramp.end(), 3, static_cast<std::uint8_t>(g));
    putFile(dir.file("p.png"),
            pngFile({pngIhdr(4, 3, 8, 3), pngChunk("PLTE", entries),
                     pngChunk("tRNS", {0, 128, 255}), pngIdat(indices, 3), kIend}));
    putFile(dir.file("g.png"),
            pngFile({pngIhdr(256, 2, 8, 0), pngChunk("tRNS", {0, 7}), pngIdat(levels, 2), kIend}));
    for (const auto& [name, width, pixels, palette, alpha] :
         {std::tuple{"p.png", 4, indices, plte, Bytes{0, 128, 255}},
          std::tuple{"g.png", 256, levels, ramp, Bytes{}}}) {
        IndexedImage image;
        makeImage(image, 9, 9, 3);
        ASSERT_TRUE(readPng(dir.file(name), image)) << name;
        EXPECT_EQ(image.width(), width);
        EXPECT_EQ(pixelsOf(image), pixels) << name;
        EXPECT_EQ(paletteOf(image), palette) << name;
        EXPECT_EQ(Bytes(image.paletteAlpha(), image.paletteAlpha() + image.paletteAlphaCount()),
                  alpha)
            << name;
    }
}

// Only 8-bit palette and 8-bit grey files up to 65535 x 65535 are read; the
// rest is refused without a word on stderr (a damaged ancillary chunk is
// just dropped). The probe gives the pixel depth (channels x bit depth,
// alpha stripped) of files that decode as far as their image data.
TEST(PngRead, WhatIsReadAndWhatTheProbeSays) {
    const Bytes header = pngIhdr(6, 4, 8, 3);
    const Bytes plte = pngChunk("PLTE", Bytes(768, 5));
    const Bytes data = pngIdat(Bytes(24, 2), 4);
    const Bytes good = pngFile({header, plte, data, kIend});
    const Bytes badZlib = pngChunk("IDAT", {0x78, 0x9c, 0xff, 0xff, 0});
    struct Case {
        std::string what;
        Bytes file;
        bool read;
        int probe;
    };
    std::vector<Case> cases = {
        {"tEXt CRC",
         pngFile({header, plte, flipLast(pngChunk("tEXt", {'a', 0, 'b'})), data, kIend}), true, 8},
        {"IHDR CRC", pngFile({flipLast(header), plte, data, kIend}), false, 0},
        {"IDAT CRC", pngFile({header, plte, flipLast(data), kIend}), false, 8},
        {"bad zlib", pngFile({header, plte, badZlib, kIend}), false, 8},
        {"no IEND", pngFile({header, plte, data}), false, 8},
        {"cut in IDAT", prefix(good, 33 + plte.size() + 10), false, 8},
        {"not a PNG", Bytes(100, 'x'), false, 0},
        {"interlace 2", pngFile({pngIhdr(6, 4, 8, 3, 2), plte, data, kIend}), false, 0},
        {"cut after IHDR", prefix(good, 33), false, 0},
        {"no IDAT", pngFile({pngIhdr(6, 4, 2, 0), kIend}), false, 0},
        {"PLTE CRC", pngFile({pngIhdr(6, 4, 4, 3), flipLast(pngChunk("PLTE", Bytes(6))), kIend}),
         false, 0},
    };
    // 65537 would be 1 in 16 bits.
    for (auto [w, h] : {std::pair{65535u, 1u}, {65536u, 1u}, {1u, 65536u}, {65537u, 1u}}) {
        cases.push_back({std::to_string(w) + "x" + std::to_string(h),
                         pngFile({pngIhdr(w, h, 8, 3), plte, pngIdat(Bytes(w * h, 7), h), kIend}),
                         w < 65536 && h < 65536, 8});
    }
    // colour type, bit depth, probe
    for (auto [type, depth, probe] : {std::tuple{3, 1, 1},
                                      {3, 4, 4},
                                      {3, 8, 8},
                                      {0, 1, 1},
                                      {0, 8, 8},
                                      {0, 16, 16},
                                      {4, 8, 8},
                                      {4, 16, 16},
                                      {2, 8, 24},
                                      {6, 8, 24},
                                      {2, 16, 48},
                                      {6, 16, 48}}) {
        const int channels = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
        const Bytes palette = type == 3 ? pngChunk("PLTE", Bytes(6, 9)) : Bytes{};
        const Bytes pixels((5 * channels * depth + 7) / 8 * 3, 1);
        cases.push_back({"type " + std::to_string(type) + " depth " + std::to_string(depth),
                         pngFile({pngIhdr(5, 3, depth, type), palette, pngIdat(pixels, 3), kIend}),
                         depth == 8 && (type == 0 || type == 3), probe});
    }
    TempDir dir;
    const std::string path = dir.file("t.png");
    testing::internal::CaptureStderr();
    for (const Case& c : cases) {
        putFile(path, c.file);
        IndexedImage image;
        EXPECT_EQ(readPng(path, image), c.read) << c.what;
        EXPECT_EQ(probePng(path), c.probe) << c.what;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A few hundred bytes claiming 65535 x 65535 fail on the missing data, not
// by first filling 4 GiB.
TEST(PngRead, HugeDeclaredSizeFailsCheaply) {
    TempDir dir;
    const std::string path = dir.file("d.png");
    writeFile(path, pngFile({pngIhdr(65535, 65535, 8, 3), pngChunk("PLTE", Bytes(768, 5)),
                             pngIdat(Bytes(65535 * 2, 3), 2), kIend}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runWithinMemory(256,
                              [&] {
                                  IndexedImage huge;
                                  return !readPng(path, huge);
                              }),
              0)
        << "1: accepted, 2: touched the 4 GiB";
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(KELVARA_SANITIZED ? 30 : 5));
}

// ---------------------------------------------------------------- writing

// IHDR, PLTE with every entry, IDAT (several at level 0) and IEND only; at
// level 0 stored blocks whose payloads are the rows. pngcheck agrees, and
// sees filter 0 on every row for the "none" mask 0x08.
TEST(PngWrite, ChunkLayoutAndStoredBlocksAtLevelZero) {
    TempDir dir;
    const std::string path = dir.file("w.png");
    IndexedImage image;
    makeImage(image, 37, 300, 2);
    ASSERT_TRUE(writePng(path, image, 0, 0x08));
    const std::vector<PngChunk> chunks = pngChunks(readFile(path));
    ASSERT_GT(chunks.size(), 4u) << "one IDAT for 11 KB of rows";
    std::vector<std::string> types;
    for (const PngChunk& c : chunks)
        types.push_back(c.type);
    EXPECT_EQ(layout(types), "IHDR PLTE IDAT IEND ");
    EXPECT_EQ(chunks[0].data, (Bytes{0, 0, 0, 37, 0, 0, 1, 44, 8, 3, 0, 0, 0}));
    EXPECT_EQ(chunks[1].data, paletteOf(image));
    Bytes rows;
    for (std::uint16_t y = 0; y < image.height(); ++y) {
        rows.push_back(0);
        rows.insert(rows.end(), image.row(y), image.row(y) + image.width());
    }
    EXPECT_EQ(storedPayload(idatStream(readFile(path))), rows);

    if (!exists("/usr/bin/pngcheck")) {
        GTEST_SKIP() << "pngcheck is not installed";
    }
    const CommandResult v = runCommand("pngcheck -v " + shellQuote(path));
    EXPECT_EQ(v.status, 0) << v.output;
    std::istringstream words(v.output);
    types.clear();
    for (std::string word; words >> word;) {
        if (word == "chunk" && words >> word)
            types.push_back(word);
    }
    EXPECT_EQ(layout(types), "IHDR PLTE IDAT IEND ") << v.output;
    EXPECT_NE(v.output.find("256 palette entries"), std::string::npos) << v.output;
    const std::string vv = runCommand("pngcheck -vv " + shellQuote(path)).output;
    std::size_t rowsSeen = 0;
    for (std::size_t at = vv.find("row filters"); at != std::string::npos;
         at = vv.find("row filters", at)) {
        at = vv.find(':', at) + 1;
        std::istringstream filters(vv.substr(at, vv.find('(', at) - at));
        for (std::string f; filters >> f; ++rowsSeen)
            EXPECT_EQ(f, "0") << "row " << rowsSeen;
    }
    EXPECT_EQ(rowsSeen, 300u) << vv;
}

// Every level and mask reads back unchanged; a single-filter mask filters
// every row that way, and every level above 0 compresses.
TEST(PngWrite, RoundTripsAtEveryLevelAndMask) {
    TempDir dir;
    const std::string path = dir.file("r.png");
    IndexedImage image;
    makeImage(image, 45, 19, 5);
    std::size_t storedSize = 0;
    for (int level = 0; level <= 9; ++level) {
        for (std::size_t m = 0; m < pngFilterMasks.size(); ++m) {
            const std::string what =
                "level " + std::to_string(level) + " mask " + std::to_string(m);
            ASSERT_TRUE(writePng(path, image, level, pngFilterMasks[m]));
            IndexedImage back;
            ASSERT_TRUE(readPng(path, back));
            expectSameImage(back, image, what);
            bool ok = false;
            const Bytes raw = zlibInflate(idatStream(readFile(path)), ok);
            ASSERT_TRUE(ok && raw.size() == 46u * 19) << what;
            for (std::size_t y = 0; y < 19 && m < 5; ++y) {
                ASSERT_EQ(raw[y * 46], m) << what << " row " << y;
            }
        }
        const std::size_t size = readFile(path).size();
        storedSize = level == 0 ? size : storedSize;
        EXPECT_TRUE(level == 0 || size < storedSize) << "level " << level << " did not compress";
    }
    for (const auto& [w, h] : {std::pair{1u, 1u}, std::pair{1u, 300u}, std::pair{1000u, 1u}}) {
        makeImage(image, w, h, 6);
        ASSERT_TRUE(writePng(path, image, 9, 0xF8));
        IndexedImage back;
        ASSERT_TRUE(readPng(path, back));
        expectSameImage(back, image, std::to_string(w) + "x" + std::to_string(h));
    }
}

// ---------------------------------------------------------------- every format

struct Contract {
    const Codec* codec;
    std::size_t readableCutsFrom;           // shorter files are refused
    bool (*changeRefused)(std::size_t at);  // a changed byte there must be refused
};

void PrintTo(const Contract& contract, std::ostream* out) {
    *out << contract.codec->name;
}

const Contract kContracts[] = {
    // A 13 x 7 bitmap needs all its rows but not the last row's 3 padding bytes;
    // no byte is checked.
    {&codecFor(ImageFormat::Bmp), 14 + 40 + 1024 + 16 * 7 - 3, [](std::size_t) { return false; }},
    // The signature and the CRCs cover every byte.
    {&codecFor(ImageFormat::Png), SIZE_MAX, [](std::size_t) { return true; }},
    // The magic and the stream are checked; changed sizes just fit the stream differently.
    {&codecFor(ImageFormat::Xyz), SIZE_MAX, [](std::size_t at) { return at < 4 || at >= 8; }},
};

class EveryCodec : public testing::TestWithParam<Contract> {
  protected:
    const Codec& codec() const { return *GetParam().codec; }
    TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Formats, EveryCodec, testing::ValuesIn(kContracts),
                         [](const auto& info) { return std::string(info.param.codec->name); });

// A write that cannot finish (no pixels; the file size limit reached while
// writing, or only when completing the file) leaves the old target and no
// temporary; one that can replaces the target.
TEST_P(EveryCodec, WritesReplaceTheTargetWholeOrNotAtAll) {
    const std::string target = dir.file("t");
    const Bytes old(3000, 'o');
    writeFile(target, old);
    IndexedImage empty;
    EXPECT_FALSE(codec().write(target, empty) || codec().write(dir.file("new"), empty));
    IndexedImage big;
    IndexedImage small;
    makeImage(big, 400, 400, 7);    // beyond any write buffer
    makeImage(small, 100, 100, 8);  // within one, past the limit
    for (const IndexedImage* image : {&big, &small}) {
        const auto write = [&] {
            return codec().write(target, *image) || codec().write(dir.file("new"), *image);
        };
        EXPECT_EQ(writeUnderFileSizeLimit(4096, write), 0)
            << image->width() << ": 1: a write reported success, 2: no file size limit";
    }
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"t"});

    ASSERT_TRUE(codec().write(target, big));
    IndexedImage back;
    ASSERT_TRUE(codec().read(target, back));
    expectSameImage(back, big, "replaced target");
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"t"});
}

TEST_P(EveryCodec, ReadOnlyFolderKeepsEvenAWritableTarget) {
    const std::string locked = dir.file("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0777), 0);
    writeFile(locked + "/t", std::string("old"));
    ASSERT_EQ(::chmod((locked + "/t").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    IndexedImage image;
    makeImage(image, 8, 8, 4);
    const int status = writeUnprivileged([&] { return codec().write(locked + "/t", image); });
    if (status == 77) {
        GTEST_SKIP() << "cannot drop privileges to test a read-only folder";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(locked + "/t"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(listDir(locked), std::vector<std::string>{"t"});
}

// Every cut and every changed byte of a written file is read to a whole image
// (which also probes as 8-bit) or refused leaving no pixels, never half of
// one; what must be refused is. Missing files and folders are nothing.
TEST_P(EveryCodec, EveryCutAndChangedByteIsReadWholeOrRefused) {
    IndexedImage original;
    makeImage(original, 13, 7, 1);
    const std::string path = dir.file("a");
    ASSERT_TRUE(codec().write(path, original));
    const Bytes good = readFile(path);
    const auto readsWhole = [&](const Bytes& file, const std::string& what) {
        putFile(path, file);
        IndexedImage image;
        const bool ok = codec().read(path, image);
        EXPECT_EQ(image.hasPixels(), ok && !image.isEmpty()) << what;
        EXPECT_EQ(image.pixelCount(), std::size_t{image.width()} * image.height()) << what;
        EXPECT_EQ(image.paletteCount(), image.hasPixels() ? 256u : 0u) << what;
        EXPECT_TRUE(!ok || codec().probe(path) == 8) << what;
        return ok;
    };
    for (std::size_t n = 0; n < good.size(); ++n) {
        const std::string what = "cut at " + std::to_string(n);
        EXPECT_EQ(readsWhole(prefix(good, n), what), n >= GetParam().readableCutsFrom) << what;
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (std::uint8_t change : {0x01, 0xFF}) {
            Bytes bad = good;
            bad[at] ^= change;
            const std::string what = "byte " + std::to_string(at) + " ^ " + std::to_string(change);
            EXPECT_FALSE(readsWhole(bad, what) && GetParam().changeRefused(at)) << what;
        }
    }
    IndexedImage image;
    for (const std::string& nothing : {dir.file("missing"), dir.path()}) {
        EXPECT_FALSE(codec().read(nothing, image)) << nothing;
        EXPECT_EQ(codec().probe(nothing), 0) << nothing;
    }
}

}  // namespace
}  // namespace kelvara::test
