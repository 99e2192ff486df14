#include "codecs/png.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "codecs/bmp.h"
#include "codecs/xyz.h"
#include "convert/convert.h"
#include "support/test_support.h"

namespace kelvara::test {

// Also used by pngsuite_test.cpp.
void expectSameImage(const IndexedImage& actual, const IndexedImage& expected,
                     const std::string& what);
bool pillowDecode(const std::vector<std::string>& sources, const std::string& dumpDir);
bool loadPillowDump(const std::string& dumpDir, std::size_t index, IndexedImage& image);
bool readBack(ImageFormat format, const std::string& path, IndexedImage& image);

void expectSameImage(const IndexedImage& actual, const IndexedImage& expected,
                     const std::string& what) {
    ASSERT_TRUE(actual.hasPixels()) << what;
    ASSERT_TRUE(expected.hasPixels()) << what;
    ASSERT_EQ(actual.width(), expected.width()) << what;
    ASSERT_EQ(actual.height(), expected.height()) << what;
    ASSERT_EQ(actual.paletteCount(), IndexedImage::kPaletteSize) << what;
    const std::size_t n = static_cast<std::size_t>(actual.width()) * actual.height();
    const auto mismatch = std::mismatch(actual.pixels(), actual.pixels() + n, expected.pixels());
    EXPECT_EQ(mismatch.first, actual.pixels() + n)
        << what << ": first differing pixel at " << (mismatch.first - actual.pixels());
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        if (!(actual.palette()[i] == expected.palette()[i])) {
            ADD_FAILURE() << what << ": palette entry " << i << " differs";
            break;
        }
    }
}

// One Pillow run for all sources: a new dumpDir/<index>.bin holds width, height
// (32-bit little-endian), 768 palette bytes and the indices of every source
// Pillow opens as 'P' or 'L'. Grey gets the grey ramp; short palettes are
// padded with black.
bool pillowDecode(const std::vector<std::string>& sources, const std::string& dumpDir) {
    static const char* kScript =
        "import sys\n"
        "from PIL import Image\n"
        "for i, p in enumerate(sys.argv[2:]):\n"
        "    try:\n"
        "        im = Image.open(p); im.load()\n"
        "    except Exception:\n"
        "        continue\n"
        "    if im.mode == 'P': pal = bytes(im.getpalette() or [])\n"
        "    elif im.mode == 'L': pal = bytes(v for g in range(256) for v in (g, g, g))\n"
        "    else: continue\n"
        "    pal = (pal + bytes(768))[:768]\n"
        "    w, h = im.size\n"
        "    with open('%s/%d.bin' % (sys.argv[1], i), 'wb') as f:\n"
        "        f.write(w.to_bytes(4, 'little') + h.to_bytes(4, 'little') + pal + "
        "im.tobytes())\n";
    if (!std::filesystem::create_directory(dumpDir)) {
        return false;
    }
    std::string command = pillowPython() + " -c " + shellQuote(kScript) + " " + shellQuote(dumpDir);
    for (const std::string& source : sources) {
        command += " " + shellQuote(source);
    }
    return runCommand(command).status == 0;
}

bool loadPillowDump(const std::string& dumpDir, std::size_t index, IndexedImage& image) {
    const Bytes dump = readFile(dumpDir + "/" + std::to_string(index) + ".bin");
    if (dump.size() < 8 + 768) {
        return false;
    }
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::memcpy(&width, dump.data(), 4);
    std::memcpy(&height, dump.data() + 4, 4);
    if (dump.size() != 8 + 768 + static_cast<std::size_t>(width) * height) {
        return false;
    }
    image.setSize(width, height);
    for (unsigned i = 0; i < 256; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), dump[8 + 3 * i], dump[9 + 3 * i],
                              dump[10 + 3 * i]);
    }
    std::memcpy(image.pixels(), dump.data() + 8 + 768, image.pixelCount());
    return true;
}

bool readBack(ImageFormat format, const std::string& path, IndexedImage& image) {
    switch (format) {
        case ImageFormat::Bmp:
            return readBmp(path, image);
        case ImageFormat::Png:
            return readPng(path, image);
        case ImageFormat::Xyz:
            return readXyz(path, image);
    }
    return false;
}

namespace {

constexpr std::uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes prefix(const Bytes& bytes, std::size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + n);
}

Bytes be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

std::uint32_t get32(const Bytes& in, std::size_t at) {
    return (std::uint32_t{in[at]} << 24) | (std::uint32_t{in[at + 1]} << 16) |
           (std::uint32_t{in[at + 2]} << 8) | in[at + 3];
}

std::uint32_t chunkCrc(const std::string& type, const Bytes& data) {
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
    if (!data.empty()) {  // crc32 with a null buffer restarts at 0
        crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    }
    return static_cast<std::uint32_t>(crc);
}

Bytes chunk(const std::string& type, const Bytes& data) {
    return cat({be32(static_cast<std::uint32_t>(data.size())), Bytes(type.begin(), type.end()),
                data, be32(chunkCrc(type, data))});
}

Bytes flipLast(Bytes bytes) {
    bytes.back() ^= 1;
    return bytes;
}

Bytes ihdr(std::uint32_t width, std::uint32_t height, int depth, int colorType, int interlace = 0) {
    return chunk("IHDR",
                 cat({be32(width),
                      be32(height),
                      {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colorType), 0, 0,
                       static_cast<std::uint8_t>(interlace)}}));
}

const Bytes kIend = chunk("IEND", {});

Bytes pngFile(std::initializer_list<Bytes> chunks) {
    return cat({Bytes(std::begin(kSignature), std::end(kSignature)), cat(chunks)});
}

// An IDAT of `rows` equal slices of packed pixel bytes, each unfiltered.
Bytes idat(const Bytes& packed, std::size_t rows) {
    Bytes raw;
    for (std::size_t y = 0; y < rows; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), packed.begin() + y * (packed.size() / rows),
                   packed.begin() + (y + 1) * (packed.size() / rows));
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, raw.data(), static_cast<uLong>(raw.size())), Z_OK);
    out.resize(size);
    return chunk("IDAT", out);
}

struct Chunk {
    std::string type;
    Bytes data;
};

// Splits a PNG into its chunks, checking signature, lengths and CRCs.
std::vector<Chunk> parseChunks(const Bytes& file) {
    std::vector<Chunk> chunks;
    EXPECT_TRUE(file.size() >= 8 &&
                std::equal(std::begin(kSignature), std::end(kSignature), file.begin()));
    std::size_t at = 8;
    while (at + 12 <= file.size() && get32(file, at) <= file.size() - at - 12) {
        const std::uint32_t length = get32(file, at);
        Chunk c{std::string(file.begin() + at + 4, file.begin() + at + 8),
                Bytes(file.begin() + at + 8, file.begin() + at + 8 + length)};
        EXPECT_EQ(get32(file, at + 8 + length), chunkCrc(c.type, c.data)) << c.type;
        chunks.push_back(std::move(c));
        at += 12 + length;
    }
    EXPECT_EQ(at, file.size()) << "bytes after the last whole chunk";
    return chunks;
}

// Chunk names in order, a run of IDATs written once.
std::string layout(const std::vector<std::string>& types) {
    std::string out;
    for (const std::string& type : types) {
        if (type != "IDAT" || !out.ends_with("IDAT ")) {
            out += type + " ";
        }
    }
    return out;
}

Bytes idatStream(const std::vector<Chunk>& chunks) {
    Bytes stream;
    for (const Chunk& c : chunks) {
        if (c.type == "IDAT") {
            stream.insert(stream.end(), c.data.begin(), c.data.end());
        }
    }
    return stream;
}

// Distinct palette entries and pixels with both runs and noise.
void makeImage(IndexedImage& image, std::uint16_t width, std::uint16_t height, unsigned seed) {
    image.setSize(width, height);
    for (unsigned i = 0; i < 256; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(i),
                              static_cast<std::uint8_t>(i * 7 + seed),
                              static_cast<std::uint8_t>(255 - i));
    }
    std::uint32_t noise = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        noise = noise * 1103515245u + 12345u;
        const std::size_t x = i % width;
        image.pixels()[i] =
            static_cast<std::uint8_t>(x < width / 2 ? (x / 4 + i / width) : noise >> 16);
    }
}

// ---------------------------------------------------------------- reading

TEST(PngRead, PaletteFileKeepsPlteAndBlacksOutTheRest) {
    TempDir dir;
    const Bytes indices = {0, 1, 2, 2, 1, 0, 1, 1, 0, 2, 2, 2};
    writeFile(dir.file("p.png"),
              pngFile({ihdr(4, 3, 8, 3), chunk("PLTE", {10, 20, 30, 40, 50, 60, 70, 80, 90}),
                       chunk("tRNS", {0, 128, 255}), idat(indices, 3), kIend}));

    IndexedImage image;
    makeImage(image, 9, 9, 3);  // stale palette entries must not survive
    ASSERT_TRUE(readPng(dir.file("p.png"), image));
    ASSERT_EQ(image.width(), 4);
    ASSERT_EQ(image.height(), 3);
    EXPECT_EQ(Bytes(image.pixels(), image.pixels() + 12), indices);
    EXPECT_EQ(image.palette()[0], (PaletteEntry{10, 20, 30}));
    EXPECT_EQ(image.palette()[2], (PaletteEntry{70, 80, 90}));
    for (unsigned i = 3; i < 256; ++i) {
        ASSERT_EQ(image.palette()[i], PaletteEntry{}) << i;
    }
    EXPECT_EQ(probePng(dir.file("p.png")), 8);
}

TEST(PngRead, GreyFileGetsGreyRamp) {
    TempDir dir;
    Bytes levels(256 * 2);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        levels[i] = static_cast<std::uint8_t>(i * 37);
    }
    writeFile(dir.file("g.png"),
              pngFile({ihdr(256, 2, 8, 0), chunk("tRNS", {0, 7}), idat(levels, 2), kIend}));
    IndexedImage image;
    ASSERT_TRUE(readPng(dir.file("g.png"), image));
    ASSERT_EQ(image.width(), 256);
    EXPECT_EQ(Bytes(image.pixels(), image.pixels() + levels.size()), levels);
    for (unsigned i = 0; i < 256; ++i) {
        const auto g = static_cast<std::uint8_t>(i);
        ASSERT_EQ(image.palette()[i], (PaletteEntry{g, g, g})) << i;
    }
}

// Pixel depth (channels x bit depth, alpha stripped) by colour type and bit
// depth; only 8-bit palette and 8-bit grey are read.
TEST(PngRead, ProbeAndReadByColourTypeAndDepth) {
    struct Case {
        int colorType, depth, probe;
        bool readable;
    };
    const Case cases[] = {
        {3, 1, 1, false},   {3, 2, 2, false},   {3, 4, 4, false},   {3, 8, 8, true},
        {0, 1, 1, false},   {0, 2, 2, false},   {0, 4, 4, false},   {0, 8, 8, true},
        {0, 16, 16, false}, {4, 8, 8, false},   {4, 16, 16, false}, {2, 8, 24, false},
        {6, 8, 24, false},  {2, 16, 48, false}, {6, 16, 48, false},
    };
    TempDir dir;
    const std::uint32_t width = 5;
    const std::uint32_t height = 3;
    for (const Case& c : cases) {
        const int channels = c.colorType == 2 ? 3 : c.colorType == 4 ? 2 : c.colorType == 6 ? 4 : 1;
        const std::size_t rowBytes = (width * channels * c.depth + 7) / 8;
        const Bytes plte = c.colorType == 3 ? chunk("PLTE", Bytes(3 * 2, 9)) : Bytes{};
        const std::string path = dir.file("t.png");
        writeFile(path, pngFile({ihdr(width, height, c.depth, c.colorType), plte,
                                 idat(Bytes(rowBytes * height, 1), height), kIend}));
        SCOPED_TRACE("colour type " + std::to_string(c.colorType) + " depth " +
                     std::to_string(c.depth));
        EXPECT_EQ(probePng(path), c.probe);
        IndexedImage image;
        EXPECT_EQ(readPng(path, image), c.readable);
    }
}

TEST(PngRead, DimensionLimits) {
    TempDir dir;
    const Bytes plte = chunk("PLTE", Bytes(768, 5));
    const std::string path = dir.file("d.png");

    writeFile(path, pngFile({ihdr(65535, 1, 8, 3), plte, idat(Bytes(65535, 7), 1), kIend}));
    IndexedImage image;
    ASSERT_TRUE(readPng(path, image));
    EXPECT_EQ(image.width(), 65535);
    EXPECT_EQ(image.pixels()[65534], 7);

    // 65537 would wrap to 1 in a 16-bit dimension.
    for (const auto& [w, h] : {std::pair{65536u, 1u}, std::pair{1u, 65536u}, std::pair{65537u, 1u},
                               std::pair{1u, 65537u}}) {
        writeFile(path,
                  pngFile({ihdr(w, h, 8, 3), plte, idat(Bytes(std::size_t{w} * h, 7), h), kIend}));
        EXPECT_FALSE(readPng(path, image)) << w << "x" << h;
        EXPECT_EQ(probePng(path), 8) << "the header itself is fine";
    }

    // A few hundred bytes claiming 65535 x 65535: must fail on the missing
    // data, not by first filling 4 GiB.
    writeFile(path, pngFile({ihdr(65535, 65535, 8, 3), plte, idat(Bytes(65535 * 2, 3), 2), kIend}));
    const int status = runInChild([&] {
        const auto start = std::chrono::steady_clock::now();
        IndexedImage huge;
        if (readPng(path, huge)) {
            return 1;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) {
            return 2;
        }
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss < 1024 * 1024 ? 0 : 3;  // KiB; sanitizer shadow stays below
    });
    EXPECT_EQ(status, 0) << "1: accepted, 2: too slow, 3: touched the whole 4 GiB";
}

TEST(PngRead, BrokenFilesFailSilently) {
    TempDir dir;
    const Bytes header = ihdr(6, 4, 8, 3);
    const Bytes plte = chunk("PLTE", Bytes(768, 5));
    const Bytes data = idat(Bytes(24, 2), 4);
    const Bytes good = pngFile({header, plte, data, kIend});
    Bytes badSignature = good;
    badSignature[1] = 'p';
    struct Case {
        const char* name;
        Bytes bytes;
        int probe;
    };
    const Case broken[] = {
        {"IHDR CRC", pngFile({flipLast(header), plte, data, kIend}), 0},
        {"IDAT CRC", pngFile({header, plte, flipLast(data), kIend}), 8},
        {"corrupt zlib", pngFile({header, plte, chunk("IDAT", {0x78, 0x9c, 0xff, 0xff, 0}), kIend}),
         8},
        {"no IEND", pngFile({header, plte, data}), 8},
        {"cut in IDAT", prefix(good, 33 + plte.size() + 10), 8},
        {"7 bytes", prefix(good, 7), 0},
        {"signature", badSignature, 0},
        {"not a PNG", Bytes(100, 'x'), 0},
        {"PLTE first", pngFile({plte, header, data, kIend}), 0},
        {"colour type 5", pngFile({ihdr(6, 4, 8, 5), data, kIend}), 0},
        {"interlace 2", pngFile({ihdr(6, 4, 8, 3, 2), plte, data, kIend}), 0},
        // The probe needs the file decodable as far as its image data.
        {"cut after IHDR", prefix(good, 33), 0},
        {"no IDAT", pngFile({ihdr(6, 4, 2, 0), kIend}), 0},
        {"PLTE CRC", pngFile({ihdr(6, 4, 4, 3), flipLast(chunk("PLTE", Bytes(6, 1))), kIend}), 0},
    };
    // A damaged ancillary chunk is only worth a warning: it is dropped.
    const Bytes textCrc =
        pngFile({header, plte, flipLast(chunk("tEXt", {'a', 0, 'b'})), data, kIend});

    testing::internal::CaptureStderr();
    for (const Case& c : broken) {
        writeFile(dir.file("b.png"), c.bytes);
        IndexedImage image;
        EXPECT_FALSE(readPng(dir.file("b.png"), image)) << c.name;
        EXPECT_EQ(probePng(dir.file("b.png")), c.probe) << c.name;
    }
    IndexedImage image;
    EXPECT_FALSE(readPng(dir.file("missing.png"), image));
    EXPECT_EQ(probePng(dir.file("missing.png")), 0);
    writeFile(dir.file("t.png"), textCrc);
    EXPECT_TRUE(readPng(dir.file("t.png"), image));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(PngRead, TruncatedOrDamagedCopies) {
    TempDir dir;
    IndexedImage source;
    makeImage(source, 13, 7, 1);
    ASSERT_TRUE(writePng(dir.file("src.png"), source, 6, 0xF8));
    const Bytes good = readFile(dir.file("src.png"));
    const std::string path = dir.file("bad.png");
    IndexedImage image;

    for (std::size_t n = 0; n < good.size(); ++n) {
        writeFile(path, prefix(good, n));
        EXPECT_FALSE(readPng(path, image)) << "cut at " << n;
        const int depth = probePng(path);
        EXPECT_TRUE(depth == 0 || depth == 8) << "cut at " << n;
    }

    // Every byte is covered by the signature or a CRC: any change is caught.
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = good;
            bad[at] ^= flip;
            writeFile(path, bad);
            EXPECT_FALSE(readPng(path, image)) << "byte " << at << " ^ " << int{flip};
        }
    }

    // Damage behind a recomputed CRC reaches the decoder itself: any result
    // is fine as long as a success is a whole image.
    std::size_t at = 8;
    for (const Chunk& c : parseChunks(good)) {
        for (std::size_t i = 0; i < c.data.size(); ++i) {
            Bytes data = c.data;
            data[i] ^= 0xA5;
            writeFile(path, cat({prefix(good, at), chunk(c.type, data),
                                 Bytes(good.begin() + at + 12 + c.data.size(), good.end())}));
            if (readPng(path, image)) {
                EXPECT_TRUE(image.hasPixels());
                EXPECT_EQ(image.pixelCount(), std::size_t{image.width()} * image.height());
                EXPECT_EQ(image.paletteCount(), 256u);
            }
            probePng(path);
        }
        at += 12 + c.data.size();
    }
}

// ---------------------------------------------------------------- writing

TEST(PngWrite, ChunkLayoutAndStoredBlocksAtLevelZero) {
    TempDir dir;
    IndexedImage image;
    makeImage(image, 37, 300, 2);  // large enough for more than one IDAT
    ASSERT_TRUE(writePng(dir.file("w.png"), image, 0, 0x08));
    const std::vector<Chunk> chunks = parseChunks(readFile(dir.file("w.png")));
    ASSERT_GE(chunks.size(), 4u);

    std::vector<std::string> types;
    for (const Chunk& c : chunks) {
        types.push_back(c.type);
    }
    EXPECT_EQ(layout(types), "IHDR PLTE IDAT IEND ");
    EXPECT_GT(chunks.size(), 4u) << "one IDAT for 11 KB of rows";
    EXPECT_EQ(chunks[0].data, (Bytes{0, 0, 0, 37, 0, 0, 1, 44, 8, 3, 0, 0, 0}));
    Bytes palette;
    for (unsigned i = 0; i < 256; ++i) {
        palette.insert(palette.end(),
                       {image.palette()[i].red, image.palette()[i].green, image.palette()[i].blue});
    }
    EXPECT_EQ(chunks[1].data, palette);
    EXPECT_TRUE(chunks.back().data.empty());

    // zlib header, then stored blocks only, whose payloads are the rows.
    const Bytes stream = idatStream(chunks);
    ASSERT_GT(stream.size(), 6u);
    Bytes payload;
    std::size_t at = 2;
    bool final = false;
    while (!final && at + 5 <= stream.size()) {
        ASSERT_EQ((stream[at] >> 1) & 3, 0) << "not a stored block at " << at;
        final = (stream[at] & 1) != 0;
        const std::size_t length = stream[at + 1] | (stream[at + 2] << 8);
        ASSERT_EQ(length ^ 0xFFFF,
                  static_cast<std::size_t>(stream[at + 3] | (stream[at + 4] << 8)));
        ASSERT_LE(at + 5 + length, stream.size());
        payload.insert(payload.end(), stream.begin() + static_cast<long>(at + 5),
                       stream.begin() + static_cast<long>(at + 5 + length));
        at += 5 + length;
    }
    EXPECT_TRUE(final);
    EXPECT_EQ(at + 4, stream.size()) << "Adler-32 must end the stream";
    Bytes rows;
    for (std::uint16_t y = 0; y < image.height(); ++y) {
        rows.push_back(0);
        rows.insert(rows.end(), image.row(y), image.row(y) + image.width());
    }
    EXPECT_EQ(payload, rows);
}

TEST(PngWrite, SingleFilterMasksFilterEveryRowThatWay) {
    TempDir dir;
    IndexedImage image;
    makeImage(image, 21, 17, 4);
    for (std::size_t type = 0; type < 5; ++type) {
        ASSERT_TRUE(writePng(dir.file("f.png"), image, 6, pngFilterMasks[type]));
        const Bytes stream = idatStream(parseChunks(readFile(dir.file("f.png"))));
        Bytes raw(22 * 17 + 1);
        uLongf size = static_cast<uLongf>(raw.size());
        ASSERT_EQ(uncompress(raw.data(), &size, stream.data(), static_cast<uLong>(stream.size())),
                  Z_OK);
        ASSERT_EQ(size, 22u * 17);
        for (std::size_t y = 0; y < 17; ++y) {
            ASSERT_EQ(raw[y * 22], type) << "mask " << pngFilterMasks[type] << " row " << y;
        }
    }
}

TEST(PngWrite, RoundTripsAtEveryLevelAndMask) {
    TempDir dir;
    IndexedImage image;
    makeImage(image, 45, 19, 5);
    std::size_t storedSize = 0;
    for (int level = 0; level <= 9; ++level) {
        for (std::uint32_t mask : pngFilterMasks) {
            ASSERT_TRUE(writePng(dir.file("r.png"), image, level, mask));
            IndexedImage back;
            ASSERT_TRUE(readPng(dir.file("r.png"), back));
            expectSameImage(back, image,
                            "level " + std::to_string(level) + " mask " + std::to_string(mask));
        }
        const std::size_t size = readFile(dir.file("r.png")).size();
        if (level == 0) {
            storedSize = size;
        } else {
            EXPECT_LT(size, storedSize) << "level " << level << " did not compress";
        }
    }
    for (const auto& [w, h] : {std::pair{1, 1}, std::pair{1, 300}, std::pair{1000, 1}}) {
        makeImage(image, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 6);
        ASSERT_TRUE(writePng(dir.file("r.png"), image, 9, 0xF8));
        IndexedImage back;
        ASSERT_TRUE(readPng(dir.file("r.png"), back));
        expectSameImage(back, image, std::to_string(w) + "x" + std::to_string(h));
    }
}

TEST(PngWrite, EmptyImageIsRefusedWithoutTouchingDisk) {
    TempDir dir;
    IndexedImage empty;
    EXPECT_FALSE(writePng(dir.file("e.png"), empty, 6, 0xF8));
    empty.setSize(0, 5);
    EXPECT_FALSE(writePng(dir.file("e.png"), empty, 6, 0xF8));
    EXPECT_TRUE(listDir(dir.path()).empty());
}

TEST(PngWrite, FailedWriteLeavesOldTargetIntact) {
    TempDir dir;
    const std::string target = dir.file("old.png");
    const Bytes old(3000, 'o');
    writeFile(target, old);
    IndexedImage image;
    makeImage(image, 300, 300, 7);  // ~90 KB stored: fails while writing
    IndexedImage small;
    makeImage(small, 100, 100, 8);  // ~10 KB: may fail only when the file is completed

    const int status = runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 4;
        }
        return (writePng(target, image, 0, 0x08) ? 1 : 0) |
               (writePng(target, small, 0, 0x08) ? 2 : 0);
    });
    EXPECT_EQ(status, 0) << "1, 2: a write reported success; 4: no file size limit";
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"old.png"});

    ASSERT_TRUE(writePng(target, image, 0, 0x08));
    IndexedImage back;
    ASSERT_TRUE(readPng(target, back));
    expectSameImage(back, image, "replaced target");
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"old.png"});
}

// ------------------------------------------------ files made by other tools

std::vector<std::string> chunkTypesByPngcheck(const std::string& output) {
    std::vector<std::string> types;
    std::istringstream lines(output);
    std::string word;
    while (lines >> word) {
        if (word == "chunk" && lines >> word) {
            types.push_back(word);
        }
    }
    return types;
}

TEST(PngExternal, ConvertStatusAndOutputAgainstOtherTools) {
    const std::string magick = imageMagick();
    const std::string python = pillowPython();
    if (magick.empty() || python.empty() || !exists("/usr/bin/pngcheck")) {
        GTEST_SKIP() << "needs ImageMagick 6 convert, Pillow for /usr/bin/python3 and pngcheck";
    }
    TempDir dir;
    struct Source {
        const char* name;
        const char* options;
        const char* prefix;  // ImageMagick's output type
        ConvertStatus status;
    };
    const Source sources[] = {
        {"p8", "rose: -colors 200", "png8:", ConvertStatus::Success},
        {"p8i", "rose: -colors 200 -interlace PNG", "png8:", ConvertStatus::Success},
        {"p8t", "rose: -fuzz 20% -transparent white -colors 100", "png8:", ConvertStatus::Success},
        {"g8", "rose: -colorspace gray -depth 8 -define png:color-type=0",
         "png:", ConvertStatus::Success},
        {"p4", "rose: -colors 12 -define png:bit-depth=4 -define png:color-type=3",
         "png:", ConvertStatus::NotEightBit},
        {"rgb", "rose:", "png24:", ConvertStatus::NotEightBit},
        {"rgba", "rose: -alpha set -channel A -evaluate set 50% +channel",
         "png32:", ConvertStatus::NotEightBit},
        {"g16", "rose: -colorspace gray -depth 16 -define png:color-type=0",
         "png:", ConvertStatus::NotEightBit},
        {"ga8",
         "rose: -colorspace gray -depth 8 -alpha set -channel A -evaluate set 50% +channel "
         "-define png:color-type=4",
         "png:", ConvertStatus::UnsupportedFormat},
    };
    std::vector<std::string> paths;
    for (const Source& s : sources) {
        paths.push_back(dir.file(std::string(s.name) + ".png"));
        ASSERT_EQ(
            runCommand(magick + " " + s.options + " " + s.prefix + shellQuote(paths.back())).status,
            0)
            << s.name;
    }
    const std::string dump = dir.file("dump");
    ASSERT_TRUE(pillowDecode(paths, dump));

    Settings settings;
    settings.Filter = 0;  // no row filters, checked through pngcheck below
    settings.PngCompLv = 9;
    const std::pair<ImageFormat, const char*> targets[] = {
        {ImageFormat::Bmp, "bmp"}, {ImageFormat::Png, "png"}, {ImageFormat::Xyz, "xyz"}};
    std::vector<std::string> written;
    for (std::size_t i = 0; i < std::size(sources); ++i) {
        const Source& s = sources[i];
        IndexedImage expected;
        if (s.status == ConvertStatus::Success) {
            ASSERT_TRUE(loadPillowDump(dump, i, expected)) << s.name;
        }
        for (const auto& [format, ext] : targets) {
            const std::string target = dir.file(std::string("out/") + s.name + "." + ext);
            EXPECT_EQ(convertImage(paths[i], target, ImageFormat::Png, format, settings), s.status)
                << s.name << " -> " << ext;
            if (s.status != ConvertStatus::Success) {
                EXPECT_FALSE(exists(target)) << target;
                continue;
            }
            IndexedImage back;
            ASSERT_TRUE(readBack(format, target, back)) << target;
            expectSameImage(back, expected, std::string(s.name) + " -> " + ext);
            if (format == ImageFormat::Png) {
                written.push_back(target);
            }
        }
    }

    IndexedImage plain;
    IndexedImage interlaced;
    ASSERT_TRUE(readPng(paths[0], plain));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(readPng(paths[1], interlaced));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "libpng warned aloud";
    expectSameImage(interlaced, plain, "interlaced twin");

    const std::string dumpBack = dir.file("dump-back");
    ASSERT_TRUE(pillowDecode(written, dumpBack));
    for (std::size_t i = 0; i < written.size(); ++i) {
        IndexedImage ours;
        IndexedImage theirs;
        ASSERT_TRUE(readPng(written[i], ours));
        ASSERT_TRUE(loadPillowDump(dumpBack, i, theirs)) << written[i];
        expectSameImage(theirs, ours, "Pillow reading " + written[i]);

        const CommandResult v = runCommand("pngcheck -v " + shellQuote(written[i]));
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_EQ(layout(chunkTypesByPngcheck(v.output)), "IHDR PLTE IDAT IEND ") << v.output;
        EXPECT_NE(v.output.find("256 palette entries"), std::string::npos) << v.output;

        const CommandResult vv = runCommand("pngcheck -vv " + shellQuote(written[i]));
        std::size_t rows = 0;
        for (std::size_t from = vv.output.find("row filters"); from != std::string::npos;
             from = vv.output.find("row filters", from)) {
            from = vv.output.find(':', from) + 1;
            const std::size_t end = vv.output.find('(', from);
            std::istringstream filters(vv.output.substr(from, end - from));
            for (std::string f; filters >> f; ++rows) {
                EXPECT_EQ(f, "0") << written[i];
            }
        }
        EXPECT_EQ(rows, ours.height()) << vv.output;
    }
}

}  // namespace
}  // namespace kelvara::test
