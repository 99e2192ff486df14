// Decompression bombs: small files that declare 65535 x 65535 pixels, and
// streams that inflate far beyond their image. Each conversion ends with a
// status, and resident memory stays far below what the declared size would
// allow (the readers only touch the pages the data reaches).
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "robust_support.h"

namespace kelvara::robust {
namespace {

using test::Bytes;
using test::xyzFile;
using test::zlibStream;

Bytes palette768() {
    Bytes p(768);
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = static_cast<std::uint8_t>(i * 7);
    }
    return p;
}

// An 8-bit palette PNG with the given rows stream (filter bytes included).
Bytes pngFile(std::uint32_t width, std::uint32_t height, const Bytes& idat) {
    return test::pngFile({test::pngIhdr(width, height, 8, 3), test::pngChunk("PLTE", palette768()),
                          test::pngChunk("IDAT", idat), test::pngChunk("IEND", {})});
}

Bytes bmpDeclaringHugeSize() {
    Bytes b = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0};
    for (std::uint32_t v : {65535u, 65535u}) {
        for (int shift = 0; shift < 32; shift += 8) {
            b.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    }
    b.insert(b.end(), {1, 0, 8, 0});
    b.resize(54, 0);            // no compression, no table
    b.resize(54 + 4096, 0x11);  // a little pixel data
    return b;
}

struct Report {
    int readOk = 0;
    unsigned width = 0;
    unsigned height = 0;
    int status = -1;
    long readGrowthKiB = 0;  // peak resident memory over the start, after reading
    long runGrowthKiB = 0;   // ... and after the whole conversion
};

// Reads the file once (keeping the image while memory is measured), then
// converts it to a BMP, in a child under a 16 MiB file size limit (a disk
// that cannot take 4 GiB) and a one-minute alarm against hangs.
Report convertInChild(const std::string& source, ImageFormat format, const std::string& target) {
    Shared<Report> report;
    const int exit = test::runInChild([&] {
        ::alarm(60);
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16u << 20, 16u << 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        Report& r = *report;
        const long start = peakRssKiB();
        {
            IndexedImage image;
            r.readOk = format == ImageFormat::Xyz   ? readXyz(source, image)
                       : format == ImageFormat::Png ? readPng(source, image)
                                                    : readBmp(source, image);
            r.width = image.width();
            r.height = image.height();
            r.readGrowthKiB = peakRssKiB() - start;
        }
        r.status =
            static_cast<int>(convertImage(source, target, format, ImageFormat::Bmp, Settings{}));
        r.runGrowthKiB = peakRssKiB() - start;
        return 0;
    });
    EXPECT_EQ(exit, 0) << "the conversion did not finish (alarm or crash)";
    ::testing::Test::RecordProperty("read_growth_kib", static_cast<int>(report->readGrowthKiB));
    ::testing::Test::RecordProperty("run_growth_kib", static_cast<int>(report->runGrowthKiB));
    return *report;
}

// Resident memory a run may add: decoded data, buffers and libraries, but
// nowhere near the 4 GiB a declared 65535 x 65535 image could use. Address
// sanitizer shadow for the reserved block comes on top; under the thread
// sanitizer resident size says nothing about the program and is not checked.
void expectBounded(long growthKiB, std::uint64_t reservedBytes, const std::string& what) {
    if (sanitizer() == Sanitizer::Thread) {
        return;
    }
    const std::uint64_t shadow = sanitizer() == Sanitizer::Address ? reservedBytes / 8 : 0;
    EXPECT_LT(growthKiB, static_cast<long>(((std::uint64_t{64} << 20) + shadow) / 1024)) << what;
}

constexpr std::uint64_t kHugeBytes = std::uint64_t{65535} * 65535;

TEST(DecompressionBomb, XyzDeclaringTheLargestSize) {
    test::TempDir dir;
    Bytes head = palette768();
    head.insert(head.end(), 4096, 7);
    const Bytes file = xyzFile(65535, 65535, zlibStream(head, 1 << 20));
    ASSERT_LT(file.size(), 8192u);
    test::writeFile(dir.file("bomb.xyz"), file);

    const Report r = convertInChild(dir.file("bomb.xyz"), ImageFormat::Xyz, dir.file("bomb.bmp"));
    EXPECT_FALSE(r.readOk);  // the stream holds far less than the pixels
    EXPECT_EQ(static_cast<ConvertStatus>(r.status), ConvertStatus::UnsupportedFormat);
    expectBounded(r.readGrowthKiB, kHugeBytes, "read");
    expectBounded(r.runGrowthKiB, kHugeBytes, "conversion");
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"bomb.xyz"});
}

TEST(DecompressionBomb, PngDeclaringTheLargestSize) {
    test::TempDir dir;
    // 64 rows of data for an image of 65535: the stream ends long before.
    const Bytes file = pngFile(65535, 65535, zlibStream({}, 64 * 65536));
    ASSERT_LT(file.size(), 8192u);
    test::writeFile(dir.file("bomb.png"), file);

    const Report r = convertInChild(dir.file("bomb.png"), ImageFormat::Png, dir.file("bomb.bmp"));
    EXPECT_FALSE(r.readOk);
    EXPECT_EQ(static_cast<ConvertStatus>(r.status), ConvertStatus::UnsupportedFormat);
    expectBounded(r.readGrowthKiB, kHugeBytes, "read");
    expectBounded(r.runGrowthKiB, kHugeBytes, "conversion");
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"bomb.png"});
}

TEST(DecompressionBomb, BmpDeclaringTheLargestSize) {
    test::TempDir dir;
    test::writeFile(dir.file("bomb.bmp"), bmpDeclaringHugeSize());
    const Report r = convertInChild(dir.file("bomb.bmp"), ImageFormat::Bmp, dir.file("out.bmp"));
    EXPECT_FALSE(r.readOk);  // far too short for its rows
    EXPECT_EQ(static_cast<ConvertStatus>(r.status), ConvertStatus::UnsupportedFormat);
    expectBounded(r.readGrowthKiB, kHugeBytes, "read");
    expectBounded(r.runGrowthKiB, kHugeBytes, "conversion");
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"bomb.bmp"});
}

// Streams that inflate to hundreds of megabytes behind a 16 x 16 image: the
// surplus is decoded and dropped, never held.
TEST(DecompressionBomb, StreamsFarLongerThanTheirImage) {
    test::TempDir dir;
    IndexedImage expected;
    expected.setSize(16, 16);
    const Bytes palette = palette768();
    for (unsigned i = 0; i < 256; ++i) {
        expected.setPaletteEntry(static_cast<std::uint16_t>(i), palette[3 * i], palette[3 * i + 1],
                                 palette[3 * i + 2]);
    }
    Bytes head = palette;
    for (unsigned i = 0; i < 256; ++i) {
        head.push_back(static_cast<std::uint8_t>(i));
        expected.pixels()[i] = static_cast<std::uint8_t>(i);
    }
    test::writeFile(dir.file("xyz.xyz"), xyzFile(16, 16, zlibStream(head, std::size_t{256} << 20)));

    Bytes rows;  // filter byte 0, then the row
    for (unsigned y = 0; y < 16; ++y) {
        rows.push_back(0);
        for (unsigned x = 0; x < 16; ++x) {
            rows.push_back(static_cast<std::uint8_t>(y * 16 + x));
        }
    }
    test::writeFile(dir.file("png.png"), pngFile(16, 16, zlibStream(rows, std::size_t{64} << 20)));

    for (const auto& [name, format] :
         {std::pair{"xyz.xyz", ImageFormat::Xyz}, {"png.png", ImageFormat::Png}}) {
        const std::string target = dir.file(std::string(name) + ".bmp");
        const Report r = convertInChild(dir.file(name), format, target);
        EXPECT_TRUE(r.readOk) << name;
        EXPECT_EQ(static_cast<ConvertStatus>(r.status), ConvertStatus::Success) << name;
        expectBounded(r.runGrowthKiB, 0, name);
        EXPECT_TRUE(holdsImage(target, ImageFormat::Bmp, expected)) << name;
    }
}

}  // namespace
}  // namespace kelvara::robust
