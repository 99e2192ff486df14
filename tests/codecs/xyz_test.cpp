#include "codecs/xyz.h"

#include <sys/uio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/zlib_stream.h"
#include "support/test_support.h"

// Shared by all formats and tested in png_test.cpp (EveryCodec): refusing an
// empty image, failed writes keeping the old target, every cut and changed
// byte of a written file (the magic and the stream must be intact).

namespace kelvara {
namespace {

using test::Bytes;
using test::TempDir;
using test::xyzFile;
using test::zlibStream;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPaletteBytes = 768;
// Sanitizers also mark every byte of a huge block on allocation and release.
constexpr auto kQuick = std::chrono::seconds(KELVARA_SANITIZED ? 30 : 5);

// Palette and pixels as the file stores them.
Bytes payloadOf(const IndexedImage& image) {
    Bytes out = test::paletteOf(image);
    const Bytes pixels = test::pixelsOf(image);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

// A stream holding more than the image is cut (but checked to its end);
// bytes after the stream are ignored. A stream holding less, or a zero
// dimension, is refused. The probe agrees with the reader.
TEST(XyzRead, PayloadLengthsAndTrailingData) {
    TempDir dir;
    const std::string path = dir.file("a.xyz");
    IndexedImage image;
    test::makeImage(image, 7, 5, 3);
    const Bytes payload = payloadOf(image);
    Bytes longer = payload;
    longer.insert(longer.end(), 5000, 0xEE);
    Bytes trailing = xyzFile(7, 5, zlibStream(payload));
    trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 0, 0xFF});
    std::vector<std::pair<Bytes, bool>> cases = {
        {xyzFile(7, 5, zlibStream(longer)), true},
        {trailing, true},
        {xyzFile(0, 5, zlibStream(payload)), false},
        {xyzFile(7, 0, zlibStream(payload)), false},
    };
    for (std::size_t keep : {payload.size() - 1, kPaletteBytes, std::size_t{0}}) {
        cases.push_back(
            {xyzFile(7, 5, zlibStream(Bytes(payload.begin(), payload.begin() + keep))), false});
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        test::putFile(path, cases[i].first);
        IndexedImage back;
        ASSERT_EQ(readXyz(path, back), cases[i].second) << "case " << i;
        EXPECT_EQ(probeXyz(path), cases[i].second ? 8 : 0) << "case " << i;
        EXPECT_EQ(payloadOf(back), cases[i].second ? payload : Bytes(kPaletteBytes))
            << "case " << i;
    }
}

TEST(XyzRead, StreamFromAnotherEncoder) {
    // Two compression levels and a full flush in the middle: block layouts
    // our writer never makes. The payload itself goes to a second file.
    const std::string script =
        "import zlib,sys\n"
        "w,h=37,23\n"
        "pal=bytes((i*7)%256 for i in range(768))\n"
        "pix=bytes((x*5+y*11)%256 for y in range(h) for x in range(w))\n"
        "c=zlib.compressobj(1)\n"
        "d=c.compress(pal)+c.flush(zlib.Z_FULL_FLUSH)+c.compress(pix)+c.flush()\n"
        "open(sys.argv[1],'wb').write(b'XYZ1'+w.to_bytes(2,'little')+h.to_bytes(2,'little')+d)\n"
        "open(sys.argv[2],'wb').write(pal+pix)\n";
    TempDir dir;
    const std::string python =
        ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const auto run = test::runCommand(python + " -c " + test::shellQuote(script) + " " +
                                      test::shellQuote(dir.file("py.xyz")) + " " +
                                      test::shellQuote(dir.file("payload")) + " 2>&1");
    if (run.status != 0) {
        GTEST_SKIP() << "python3 with zlib is not available: " << run.output;
    }
    IndexedImage back;
    ASSERT_TRUE(readXyz(dir.file("py.xyz"), back));
    EXPECT_EQ(back.width(), 37);
    EXPECT_EQ(back.height(), 23);
    EXPECT_EQ(payloadOf(back), test::readFile(dir.file("payload")));
}

// A bomb: a 1x1 image whose stream inflates to 50 MiB is read and the rest
// dropped, quickly and holding no more than it needs. (A huge size declared
// by a tiny file: the case manifest.)
TEST(XyzRead, BombsCostOnlyWhatTheFileHolds) {
    TempDir dir;
    const std::string path = dir.file("bomb.xyz");
    Bytes head(kPaletteBytes + 1);  // a palette and one pixel, no zeros
    for (std::size_t i = 0; i < head.size(); ++i) {
        head[i] = static_cast<std::uint8_t>(i % 255 + 1);
    }
    const auto start = Clock::now();
    test::writeFile(path,
                    xyzFile(1, 1, zlibStream(head, 50u << 20)));  // the excess starts non-zero
    ASSERT_LT(test::readFile(path).size(), 200000u);
    const int status = test::runWithinMemory(16, [&] {
        IndexedImage im;
        return readXyz(path, im) && payloadOf(im) == head;
    });
    EXPECT_EQ(status, 0) << "1: wrong result, 2: memory grew with the stream";
    EXPECT_LT(Clock::now() - start, kQuick);
}

// One zlib stream, nothing after it, behind the magic and little-endian
// sizes; stored blocks only at level 0, much smaller at 9; -1 is zlib's
// default, and other levels outside 0..9 are refused.
TEST(XyzWrite, LayoutAndLevels) {
    TempDir dir;
    const std::string path = dir.file("a.xyz");
    IndexedImage image;
    test::makeImage(image, 300, 70, 0);  // 300 = 0x012C checks the byte order
    std::vector<std::size_t> sizes;
    for (int level : {0, 6, 9, -1}) {
        ASSERT_TRUE(writeXyz(path, image, level)) << level;
        const Bytes file = test::readFile(path);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 8),
                  (Bytes{'X', 'Y', 'Z', '1', 0x2C, 1, 70, 0}));
        const Bytes stream(file.begin() + 8, file.end());
        bool ok = false;
        EXPECT_EQ(test::zlibInflate(stream, ok), payloadOf(image)) << level;
        EXPECT_TRUE(ok) << level;
        EXPECT_EQ(test::storedPayload(stream).has_value(), level == 0) << level;
        sizes.push_back(file.size());
        IndexedImage back;
        ASSERT_TRUE(readXyz(path, back));
        test::expectSameImage(back, image, "level " + std::to_string(level));
    }
    EXPECT_LT(sizes[2], sizes[0] * 3 / 4);
    for (int level : {-2, 10, 100}) {
        EXPECT_FALSE(writeXyz(dir.file("never.xyz"), image, level)) << level;
    }
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"a.xyz"});
}

// The stream helpers on their own, at sizes around their chunk sizes, data
// with runs between random stretches: caller blocks in (one empty) and a
// file's rest after a skipped head give the same stream, which zlib decodes;
// it decodes to a file, and zlib's own stream into caller blocks; a stream
// missing its last byte is refused. (Blocks out with too little or too much
// room: the payload tests above.)
TEST(ZlibStream, RoundTripsAcrossChunkBoundaries) {
    TempDir dir;
    std::mt19937 rng(7);
    for (std::size_t n :
         {std::size_t{1}, std::size_t{kZlibInputChunk} - 1, std::size_t{kZlibInputChunk},
          3 * std::size_t{kZlibOutputChunk} + 5, std::size_t{400000}}) {
        SCOPED_TRACE(n);
        Bytes data(n);
        for (std::size_t i = 0; i < n; ++i)
            data[i] = (i / 5000) % 2 ? rng() : i / 5000;
        const iovec blocks[3] = {{data.data(), n / 3}, {data.data(), 0}, {&data[n / 3], n - n / 3}};
        ImageFile in;
        ImageFile out;
        ASSERT_TRUE(out.open(dir.file("z"), true) && deflateFrom(blocks, 3, out, 6) &&
                    out.commit());
        Bytes plain(100 + n, 0x55);
        std::copy(data.begin(), data.end(), plain.begin() + 100);
        test::putFile(dir.file("plain"), plain);
        ASSERT_TRUE(in.open(dir.file("plain"), false));
        in.seek(100, 0);
        ASSERT_TRUE(out.open(dir.file("w"), true) && deflateStream(in, out, 6) && out.commit());
        in.close();
        const Bytes stream = test::readFile(dir.file("z"));
        EXPECT_EQ(test::readFile(dir.file("w")), stream);
        bool ok = false;
        EXPECT_EQ(test::zlibInflate(stream, ok), data);
        EXPECT_TRUE(ok);

        ASSERT_TRUE(in.open(dir.file("z"), false) && out.open(dir.file("u"), true) &&
                    inflateStream(in, out) && out.commit());
        in.close();
        EXPECT_EQ(test::readFile(dir.file("u")), data);
        test::putFile(dir.file("s"), zlibStream(data, 0, 1));
        Bytes back(n, 0xAA);
        const iovec parts[2] = {{back.data(), n / 3}, {&back[n / 3], n - n / 3}};
        std::uint64_t filled = 0;
        ASSERT_TRUE(in.open(dir.file("s"), false));
        EXPECT_TRUE(inflateInto(in, parts, 2, filled) && filled == n && back == data);
        in.close();
        test::putFile(dir.file("s"), Bytes(stream.begin(), stream.end() - 1));
        ASSERT_TRUE(in.open(dir.file("s"), false) && out.openMemory(back.data(), n, true));
        EXPECT_FALSE(inflateStream(in, out));
        in.close();
        out.close();
    }
}

}  // namespace
}  // namespace kelvara
