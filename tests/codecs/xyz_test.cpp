#include "codecs/xyz.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codecs/zlib_stream.h"
#include "support/test_support.h"

// Sanitizers keep shadow memory for every allocated byte, so a huge zeroed
// block is resident there: memory growth is only measured in plain builds.
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
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPaletteBytes = 768;
// Sanitizers also mark every byte of a huge block on allocation and release.
constexpr auto kQuick = std::chrono::seconds(KELVARA_SANITIZED ? 30 : 5);

// Palette and pixels as the file stores them.
Bytes payloadOf(const IndexedImage& image) {
    Bytes out(kPaletteBytes, 0);
    for (std::size_t i = 0; i < image.paletteCount(); ++i) {
        out[3 * i] = image.palette()[i].red;
        out[3 * i + 1] = image.palette()[i].green;
        out[3 * i + 2] = image.palette()[i].blue;
    }
    if (image.hasPixels()) {
        out.insert(out.end(), image.pixels(), image.pixels() + image.pixelCount());
    }
    return out;
}

// noise 0: smooth, compressible content; otherwise random.
void makeImage(IndexedImage& image, std::uint32_t w, std::uint32_t h, unsigned noise) {
    image.setSize(w, h);
    ASSERT_TRUE(image.hasPixels());
    std::mt19937 rng(noise);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        image.pixels()[i] = static_cast<std::uint8_t>(noise ? rng() : (i % w) / 4 + (i / w) / 8);
    }
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        const auto v = static_cast<std::uint8_t>(noise ? rng() : i);
        image.setPaletteEntry(static_cast<std::uint16_t>(i), v, static_cast<std::uint8_t>(255 - v),
                              static_cast<std::uint8_t>(v ^ 0x5A));
    }
}

// A zlib stream of `head` followed by `zeros` zero bytes, made by zlib itself.
Bytes zlibStream(const Bytes& head, std::size_t zeros = 0, int level = 9) {
    z_stream z{};
    EXPECT_EQ(deflateInit(&z, level), Z_OK);
    static const Bytes kZeroChunk(1 << 16, 0);
    Bytes out;
    std::uint8_t buf[1 << 16];
    auto pump = [&](const Bytes& in, std::size_t n, int flush) {
        z.next_in = const_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            deflate(&z, flush);
            out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
        } while (z.avail_out == 0);
    };
    pump(head, head.size(), Z_NO_FLUSH);
    for (; zeros > 0; zeros -= std::min(zeros, kZeroChunk.size())) {
        pump(kZeroChunk, std::min(zeros, kZeroChunk.size()), Z_NO_FLUSH);
    }
    pump(head, 0, Z_FINISH);
    deflateEnd(&z);
    return out;
}

// What a zlib stream holds, by zlib itself; ok when the stream is intact
// and nothing follows it.
Bytes zlibInflate(const Bytes& stream, bool& ok) {
    Bytes out(1 << 20);
    uLongf size = out.size();
    uLong used = stream.size();
    ok = uncompress2(out.data(), &size, stream.data(), &used) == Z_OK && used == stream.size();
    out.resize(size);
    return out;
}

Bytes xyzFile(std::uint16_t w, std::uint16_t h, const Bytes& stream) {
    Bytes out(8 + stream.size());
    std::memcpy(out.data(), "XYZ1", 4);
    out[4] = static_cast<std::uint8_t>(w);
    out[5] = static_cast<std::uint8_t>(w >> 8);
    out[6] = static_cast<std::uint8_t>(h);
    out[7] = static_cast<std::uint8_t>(h >> 8);
    std::copy(stream.begin(), stream.end(), out.begin() + 8);
    return out;
}

// True when a zlib stream is made of stored blocks only, from its header to
// its checksum.
bool onlyStoredBlocks(const Bytes& s) {
    std::size_t at = 2;
    for (;;) {
        if (at + 5 > s.size() || ((s[at] >> 1) & 3) != 0) {
            return false;
        }
        const unsigned len = s[at + 1] | (s[at + 2] << 8);
        const unsigned nlen = s[at + 3] | (s[at + 4] << 8);
        if ((len ^ nlen) != 0xFFFF) {
            return false;
        }
        const bool last = s[at] & 1;
        at += 5 + len;
        if (last) {
            return at + 4 == s.size();
        }
    }
}

long peakKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            break;
        }
    }
    return value;
}

// Reads path in a child; 0 when the result matches `expectOk` and the peak
// resident size grew by less than limitMiB, 1 on a wrong result, 2 on growth.
int readInChild(const std::string& path, bool expectOk, long limitMiB,
                const std::function<bool(const IndexedImage&)>& check = {}) {
    return test::runInChild([&] {
        const long before = peakKiB();
        IndexedImage image;
        const bool ok = readXyz(path, image);
        if (ok != expectOk || (ok && check && !check(image))) {
            return 1;
        }
        return KELVARA_SANITIZED || peakKiB() - before < limitMiB * 1024 ? 0 : 2;
    });
}

TEST(XyzRead, HeaderIsChecked) {
    TempDir dir;
    IndexedImage image;
    makeImage(image, 3, 2, 0);
    const Bytes good = xyzFile(3, 2, zlibStream(payloadOf(image)));
    const std::string path = dir.file("a.xyz");
    test::writeFile(path, good);
    IndexedImage back;
    ASSERT_TRUE(readXyz(path, back));
    EXPECT_EQ(probeXyz(path), 8);
    EXPECT_EQ(payloadOf(back), payloadOf(image));
    EXPECT_EQ(back.width(), 3);
    EXPECT_EQ(back.height(), 2);

    for (std::size_t i = 0; i < 4; ++i) {
        Bytes bad = good;
        bad[i] ^= (i == 3 ? 0x01 : 0x20);  // "XYZ0", "xYZ1", ...
        test::writeFile(path, bad);
        EXPECT_FALSE(readXyz(path, back)) << "magic byte " << i;
        EXPECT_EQ(probeXyz(path), 0);
    }
    for (std::size_t n = 0; n < 8; ++n) {
        test::writeFile(path, Bytes(good.begin(), good.begin() + static_cast<long>(n)));
        EXPECT_FALSE(readXyz(path, back)) << n << " bytes";
    }
    EXPECT_FALSE(readXyz(dir.file("missing.xyz"), back));
    EXPECT_EQ(probeXyz(dir.path()), 0);  // a folder
}

TEST(XyzRead, PayloadLengthsAndTrailingData) {
    TempDir dir;
    const std::string path = dir.file("a.xyz");
    IndexedImage image;
    makeImage(image, 7, 5, 3);
    const Bytes payload = payloadOf(image);
    IndexedImage back;
    auto readWith = [&](const Bytes& file) {
        test::writeFile(path, file);
        const bool ok = readXyz(path, back);
        EXPECT_EQ(probeXyz(path), ok ? 8 : 0);
        return ok;
    };

    Bytes longer = payload;
    longer.insert(longer.end(), 5000, 0xEE);
    ASSERT_TRUE(readWith(xyzFile(7, 5, zlibStream(longer))));
    EXPECT_EQ(payloadOf(back), payload);

    Bytes trailing = xyzFile(7, 5, zlibStream(payload));
    trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 0, 0xFF});
    ASSERT_TRUE(readWith(trailing));
    EXPECT_EQ(payloadOf(back), payload);

    // Short payloads: whatever is missing reads as zero.
    for (std::size_t keep : {kPaletteBytes + 20, kPaletteBytes, std::size_t{100}, std::size_t{0}}) {
        Bytes expect(payload.begin(), payload.begin() + static_cast<long>(keep));
        ASSERT_TRUE(readWith(xyzFile(7, 5, zlibStream(expect)))) << keep;
        expect.resize(payload.size(), 0);
        EXPECT_EQ(payloadOf(back), expect) << keep;
    }

    // A zero dimension gives an empty image, stream or no stream content.
    for (auto [w, h] : {std::pair<std::uint16_t, std::uint16_t>{0, 5}, {7, 0}, {0, 0}}) {
        EXPECT_TRUE(readWith(xyzFile(w, h, zlibStream(payload)))) << w << "x" << h;
        EXPECT_TRUE(back.isEmpty());
        EXPECT_FALSE(back.hasPixels());
    }
}

TEST(XyzRead, DamagedFilesAreRejected) {
    TempDir dir;
    const std::string path = dir.file("a.xyz");
    IndexedImage image;
    makeImage(image, 9, 4, 0);
    const Bytes good = xyzFile(9, 4, zlibStream(payloadOf(image)));
    IndexedImage back;
    for (std::size_t n = 8; n < good.size(); ++n) {
        test::writeFile(path, Bytes(good.begin(), good.begin() + static_cast<long>(n)));
        EXPECT_FALSE(readXyz(path, back)) << "cut at " << n;
        EXPECT_FALSE(back.hasPixels());
    }
    for (std::size_t i = 8; i < good.size(); ++i) {
        Bytes bad = good;
        bad[i] ^= 0xFF;
        test::writeFile(path, bad);
        EXPECT_FALSE(readXyz(path, back)) << "flipped byte " << i;
        EXPECT_EQ(probeXyz(path), 0);
    }
    Bytes noise(300);
    std::mt19937 rng(5);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    test::writeFile(path, xyzFile(9, 4, noise));
    EXPECT_FALSE(readXyz(path, back));
}

TEST(XyzRead, StreamFromAnotherEncoder) {
    std::string python = "/usr/bin/python3";
    if (::access(python.c_str(), X_OK) != 0) {
        python = "python3";
    }
    // Two compression levels and a full flush in the middle: block layouts
    // our writer never makes.
    const std::string script =
        "import zlib,sys\n"
        "w,h=37,23\n"
        "pal=bytes((i*7)%256 for i in range(768))\n"
        "pix=bytes((x*5+y*11)%256 for y in range(h) for x in range(w))\n"
        "c=zlib.compressobj(1)\n"
        "d=c.compress(pal)+c.flush(zlib.Z_FULL_FLUSH)+c.compress(pix)+c.flush()\n"
        "open(sys.argv[1],'wb').write(b'XYZ1'+w.to_bytes(2,'little')+h.to_bytes(2,'little')+d)\n";
    TempDir dir;
    const std::string path = dir.file("py.xyz");
    const auto run = test::runCommand(python + " -c " + test::shellQuote(script) + " " +
                                      test::shellQuote(path) + " 2>&1");
    if (run.status != 0) {
        GTEST_SKIP() << "python3 with zlib is not available: " << run.output;
    }
    IndexedImage back;
    ASSERT_TRUE(readXyz(path, back));
    ASSERT_EQ(back.width(), 37);
    ASSERT_EQ(back.height(), 23);
    for (unsigned i = 0; i < 256; ++i) {
        const PaletteEntry e = back.palette()[i];
        ASSERT_EQ(e, (PaletteEntry{static_cast<std::uint8_t>(i * 21 % 256),
                                   static_cast<std::uint8_t>((i * 21 + 7) % 256),
                                   static_cast<std::uint8_t>((i * 21 + 14) % 256)}));
    }
    for (unsigned y = 0; y < 23; ++y) {
        for (unsigned x = 0; x < 37; ++x) {
            ASSERT_EQ(back.row(static_cast<std::uint16_t>(y))[x], (x * 5 + y * 11) % 256) << x << "," << y;
        }
    }
}

TEST(XyzRead, OversizedStreamIsCutWithoutGrowingMemory) {
    TempDir dir;
    const std::string path = dir.file("bomb.xyz");
    Bytes head(kPaletteBytes, 0);
    head[0] = 10;
    head[767] = 20;
    head.push_back(42);  // the single pixel
    head.push_back(1);   // the excess starts with a non-zero byte
    test::writeFile(path, xyzFile(1, 1, zlibStream(head, 50u << 20)));
    ASSERT_LT(test::readFile(path).size(), 200000u);

    const auto start = Clock::now();
    const int status = readInChild(path, true, 16, [](const IndexedImage& im) {
        return im.pixels()[0] == 42 && im.palette()[0].red == 10 && im.palette()[255].blue == 20;
    });
    EXPECT_EQ(status, 0) << "1: wrong result, 2: memory grew with the stream";
    EXPECT_LT(Clock::now() - start, kQuick);
}

TEST(XyzRead, HugeDeclaredSizeCostsOnlyWhatTheFileHolds) {
    TempDir dir;
    const std::string path = dir.file("huge.xyz");
    Bytes head(kPaletteBytes + 10, 0);
    for (std::size_t i = 0; i < head.size(); ++i) head[i] = static_cast<std::uint8_t>(i * 3 + 1);
    const Bytes stream = zlibStream(head);
    const auto start = Clock::now();
    test::writeFile(path, xyzFile(65535, 65535, {}));
    EXPECT_EQ(readInChild(path, false, 16), 0);
    test::writeFile(path, xyzFile(65535, 65535, Bytes(stream.begin(), stream.begin() + 12)));
    EXPECT_EQ(readInChild(path, false, 16), 0);
    EXPECT_LT(Clock::now() - start, kQuick);

    // A complete but short stream succeeds; the untouched pixels must stay
    // untouched (zero) rather than be copied into resident memory.
    test::writeFile(path, xyzFile(65535, 65535, stream));
    const int status = test::runInChild([&] {
        void* a = std::calloc(65535ull * 65535, 1);
        void* b = std::calloc(65535ull * 65535 + kPaletteBytes, 1);
        std::free(a);
        std::free(b);
        return a && b ? readInChild(path, true, 64, [&](const IndexedImage& im) {
            return std::memcmp(im.pixels(), head.data() + kPaletteBytes, 10) == 0 &&
                   im.pixels()[10] == 0 && im.pixels()[im.pixelCount() - 1] == 0;
        }) : 77;
    });
    if (status == 77) {
        GTEST_SKIP() << "cannot reserve two 4 GiB blocks here";
    }
    EXPECT_EQ(status, 0) << "1: wrong result, 2: memory grew with the declared size";
}

TEST(XyzWrite, LayoutAndLevels) {
    TempDir dir;
    IndexedImage one;
    makeImage(one, 1, 1, 9);
    const std::string path = dir.file("one.xyz");
    ASSERT_TRUE(writeXyz(path, one, 6));
    Bytes file = test::readFile(path);
    ASSERT_GT(file.size(), 8u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), (Bytes{'X', 'Y', 'Z', '1', 1, 0, 1, 0}));
    bool ok = false;
    EXPECT_EQ(zlibInflate(Bytes(file.begin() + 8, file.end()), ok), payloadOf(one));
    EXPECT_TRUE(ok);  // one stream, nothing after it
    EXPECT_EQ(payloadOf(one).size(), 769u);

    IndexedImage image;
    makeImage(image, 300, 70, 0);  // 300 = 0x012C checks the byte order
    std::vector<std::size_t> sizes;
    for (int level : {0, 6, 9, -1}) {
        ASSERT_TRUE(writeXyz(path, image, level)) << level;
        file = test::readFile(path);
        EXPECT_EQ(Bytes(file.begin() + 4, file.begin() + 8), (Bytes{0x2C, 0x01, 70, 0}));
        const Bytes stream(file.begin() + 8, file.end());
        EXPECT_EQ(onlyStoredBlocks(stream), level == 0) << level;
        sizes.push_back(file.size());
        IndexedImage back;
        ASSERT_TRUE(readXyz(path, back));
        EXPECT_EQ(payloadOf(back), payloadOf(image)) << level;
    }
    EXPECT_GT(sizes[0], payloadOf(image).size());
    EXPECT_LT(sizes[2], sizes[0] / 4);
}

TEST(XyzWrite, RefusalsLeaveTheFileSystemAlone) {
    TempDir dir;
    IndexedImage image;
    makeImage(image, 4, 4, 1);
    const std::string path = dir.file("keep.xyz");
    test::writeFile(path, std::string("old"));
    for (int level : {-2, 10, 100}) {
        EXPECT_FALSE(writeXyz(path, image, level)) << level;
    }
    IndexedImage empty;
    EXPECT_FALSE(writeXyz(path, empty, 6));
    EXPECT_FALSE(writeXyz(dir.file("new.xyz"), empty, 6));
    EXPECT_EQ(test::readFile(path), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"keep.xyz"});
}

TEST(XyzWrite, FailedWriteKeepsTheOldFile) {
    TempDir dir;
    IndexedImage image;
    makeImage(image, 512, 512, 4);  // incompressible: far past the limit
    const std::string path = dir.file("old.xyz");
    test::writeFile(path, std::string("previous contents"));
    const Bytes old = test::readFile(path);

    EXPECT_EQ(test::runInChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{64 * 1024, 64 * 1024};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  return writeXyz(path, image, 9) ? 1 : 0;
              }),
              0);
    EXPECT_EQ(test::readFile(path), old);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"old.xyz"});

    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const int status = test::runInChild([&] {
        if (!test::dropPrivileges()) {
            return 77;
        }
        IndexedImage small;
        makeImage(small, 2, 2, 1);
        return writeXyz(path, small, 6) ? 1 : 0;
    });
    ::chmod(dir.path().c_str(), 0777);
    if (status == 77) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(path), old);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"old.xyz"});
}

// ---- the stream helpers on their own ----

Bytes mixedData(std::size_t n) {
    // Runs of repeats between random stretches, so both the compressed and
    // the plain side cross the chunk sizes many times.
    Bytes out(n);
    std::mt19937 rng(7);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = (i / 5000) % 2 ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>(i / 5000);
    }
    return out;
}

TEST(ZlibStream, RoundTripsAcrossChunkBoundaries) {
    TempDir dir;
    const std::vector<std::size_t> sizes = {1,
                                            kZlibInputChunk - 1,
                                            kZlibInputChunk,
                                            3 * kZlibInputChunk,
                                            3 * kZlibOutputChunk,
                                            5 * kZlibOutputChunk + 77,
                                            400000};
    for (std::size_t n : sizes) {
        SCOPED_TRACE(n);
        Bytes data = mixedData(n);
        // memory -> file
        ImageFile in;
        ImageFile out;
        ASSERT_TRUE(in.openMemory(data.data(), data.size(), false));
        ASSERT_TRUE(out.open(dir.file("z"), true));
        ASSERT_TRUE(deflateStream(in, out, 6));
        ASSERT_TRUE(out.commit());
        in.close();
        const Bytes stream = test::readFile(dir.file("z"));
        bool ok = false;
        EXPECT_EQ(zlibInflate(stream, ok), data);  // zlib agrees
        EXPECT_TRUE(ok);

        // file -> memory, from a stream zlib made, and from ours
        for (const Bytes& s : {zlibStream(data, 0, 1), stream}) {
            test::writeFile(dir.file("s"), s);
            Bytes back(n, 0xAA);
            ASSERT_TRUE(in.open(dir.file("s"), false));
            ASSERT_TRUE(out.openMemory(back.data(), back.size(), true));
            EXPECT_TRUE(inflateStream(in, out));
            EXPECT_EQ(out.position(), n);
            EXPECT_EQ(back, data);
            in.close();
            out.close();
        }
    }
}

TEST(ZlibStream, FileToFileAndPartialSources) {
    TempDir dir;
    const Bytes data = mixedData(200000);
    test::writeFile(dir.file("plain"), data);
    ImageFile in;
    ImageFile out;
    ASSERT_TRUE(in.open(dir.file("plain"), false));
    in.seek(150000, 0);  // only the rest is compressed
    ASSERT_TRUE(out.open(dir.file("packed"), true));
    ASSERT_TRUE(deflateStream(in, out, 9));
    ASSERT_TRUE(out.commit());
    in.close();

    ASSERT_TRUE(in.open(dir.file("packed"), false));
    ASSERT_TRUE(out.open(dir.file("unpacked"), true));
    ASSERT_TRUE(inflateStream(in, out));
    ASSERT_TRUE(out.commit());
    EXPECT_EQ(test::readFile(dir.file("unpacked")), Bytes(data.begin() + 150000, data.end()));

    // A cut stream is an error even when what arrived fits the target.
    const Bytes packed = test::readFile(dir.file("packed"));
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, packed.size() / 2, packed.size() - 1}) {
        test::writeFile(dir.file("cut"), Bytes(packed.begin(), packed.begin() + static_cast<long>(cut)));
        Bytes back(data.size());
        ImageFile src;
        ImageFile dst;
        ASSERT_TRUE(src.open(dir.file("cut"), false));
        ASSERT_TRUE(dst.openMemory(back.data(), back.size(), true));
        EXPECT_FALSE(inflateStream(src, dst)) << cut;
    }
}

TEST(ZlibStream, Preconditions) {
    Bytes data = mixedData(1000);
    Bytes room(2000);
    ImageFile reader;
    ImageFile writer;
    ImageFile closed;
    ASSERT_TRUE(reader.openMemory(data.data(), data.size(), false));
    ASSERT_TRUE(writer.openMemory(room.data(), room.size(), true));
    for (int level : {-2, 10}) {
        EXPECT_FALSE(deflateStream(reader, writer, level));
    }
    EXPECT_FALSE(deflateStream(writer, writer, 6));
    EXPECT_FALSE(deflateStream(reader, reader, 6));
    EXPECT_FALSE(deflateStream(closed, writer, 6));
    EXPECT_FALSE(deflateStream(reader, closed, 6));
    EXPECT_FALSE(inflateStream(writer, writer));
    EXPECT_FALSE(inflateStream(reader, reader));
    EXPECT_FALSE(inflateStream(closed, writer));
    EXPECT_FALSE(inflateStream(reader, closed));
    EXPECT_EQ(reader.position(), 0u);  // refused before reading anything
    EXPECT_EQ(writer.position(), 0u);

    // A stream that does not fit its target is not a stream.
    Bytes tiny(20);
    ImageFile small;
    ASSERT_TRUE(small.openMemory(tiny.data(), tiny.size(), true));
    EXPECT_FALSE(deflateStream(reader, small, 0));
}


TEST(ZlibStream, CallerBlocksInAndOut) {
    TempDir dir;
    for (std::size_t n : {std::size_t{1}, std::size_t{768}, 3 * std::size_t{kZlibOutputChunk} + 5,
                          std::size_t{400000}}) {
        SCOPED_TRACE(n);
        Bytes data = mixedData(n);
        const std::size_t split = n / 3;
        // Blocks in: the same bytes as deflateStream gives for one block.
        ImageFile out;
        ASSERT_TRUE(out.open(dir.file("z"), true));
        const iovec in[3] = {{data.data(), split}, {data.data(), 0}, {data.data() + split, n - split}};
        ASSERT_TRUE(deflateFrom(in, 3, out, 6));
        ASSERT_TRUE(out.commit());
        const Bytes stream = test::readFile(dir.file("z"));
        ImageFile whole;
        ASSERT_TRUE(whole.openMemory(data.data(), data.size(), false));
        ASSERT_TRUE(out.open(dir.file("w"), true));
        ASSERT_TRUE(deflateStream(whole, out, 6));
        ASSERT_TRUE(out.commit());
        EXPECT_EQ(test::readFile(dir.file("w")), stream);

        // Blocks out: exact room, too little (cut, still checked to the end),
        // too much (the rest untouched).
        for (std::size_t room : {n, n / 2, n + 100}) {
            Bytes first(std::min(split, room), 0xAA);
            Bytes second(room - first.size(), 0xAA);
            const iovec parts[2] = {{first.data(), first.size()}, {second.data(), second.size()}};
            ImageFile src;
            ASSERT_TRUE(src.open(dir.file("z"), false));
            std::uint64_t filled = 0;
            EXPECT_TRUE(inflateInto(src, parts, 2, filled)) << room;
            EXPECT_EQ(filled, std::min(n, room));
            Bytes back = first;
            back.insert(back.end(), second.begin(), second.end());
            Bytes expect(data.begin(), data.begin() + static_cast<long>(std::min(n, room)));
            expect.resize(room, 0xAA);
            EXPECT_EQ(back, expect) << room;
        }
        // A cut stream fails however much room there is.
        test::writeFile(dir.file("cut"), Bytes(stream.begin(), stream.end() - 1));
        Bytes back(n + 1);
        const iovec one[1] = {{back.data(), back.size()}};
        ImageFile src;
        ASSERT_TRUE(src.open(dir.file("cut"), false));
        std::uint64_t filled = 0;
        EXPECT_FALSE(inflateInto(src, one, 1, filled));
    }
}

}  // namespace
}  // namespace kelvara
