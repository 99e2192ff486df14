// Whole conversions (BMP to PNG, PNG to BMP) and the XYZ codec on a large
// palette image, each next to the least a program doing the same job with
// libdeflate (and the same row filters), libpng for reading and plain POSIX
// calls would do, so the codec's cost shows as a ratio against the libraries
// it sits on.
//
// Files live in KELVARA_BENCH_DIR, or in bench-data beside this binary, which
// should be on a real disk (see bench_bmp.cpp).
//
// `bench_convert --once OP IN OUT` runs one conversion and exits, so that
// /usr/bin/time -v can report its peak memory; `--prepare` writes the source
// files and prints their paths. See bench/README.md.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "bench_png.h"
#include "bench_util.h"

#include "codecs/codec_table.h"
#include "codecs/png_filters.h"
#include "convert/convert.h"
#include "image/indexed_image.h"
#include "settings/settings.h"

namespace {

using namespace kelvara::bench;

namespace fs = std::filesystem;
using kelvara::ConvertStatus;
using kelvara::ImageFormat;
using kelvara::IndexedImage;

constexpr std::uint32_t kSide = 4096;   // width and height: rows need no BMP padding
constexpr int kLevel = 6;               // the PngCompLv and XyzCompLv defaults
constexpr unsigned kFilterMask = 0xF8;  // Filter 5: every libpng filter
constexpr std::size_t kPaletteBytes = 3 * IndexedImage::kPaletteSize;
constexpr std::size_t kBmpHeadersSize = 14 + 40;
constexpr std::size_t kBmpPixelOffset = kBmpHeadersSize + 4 * IndexedImage::kPaletteSize;
constexpr std::size_t kXyzHeaderSize = 8;

struct Free {
    void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t, Free>;

Buffer allocate(std::size_t n) {
    return Buffer(static_cast<std::uint8_t*>(std::malloc(n)));
}

// --- Where the files go ----------------------------------------------------


// The type of the mount holding dir, as /proc/self/mountinfo names it (the
// statfs magic cannot tell ext4 from ext2); statfs is the fallback.
std::string fileSystemName(const std::string& dir) {
    std::error_code ec;
    const std::string real = fs::canonical(dir, ec).string();
    std::string best;
    std::string type;
    if (std::FILE* f = std::fopen("/proc/self/mountinfo", "r"); f != nullptr && !ec) {
        char line[4096];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            // id parent major:minor root mountpoint options... - type source ...
            char mountPoint[2048];
            const char* dash = std::strstr(line, " - ");
            char fsType[64];
            if (dash == nullptr || std::sscanf(line, "%*s %*s %*s %*s %2047s", mountPoint) != 1 ||
                std::sscanf(dash + 3, "%63s", fsType) != 1) {
                continue;
            }
            const std::string mp = mountPoint;
            const bool covers = real == mp || mp == "/" ||
                                (real.compare(0, mp.size(), mp) == 0 && real[mp.size()] == '/');
            if (covers && mp.size() >= best.size()) {
                best = mp;
                type = fsType;
            }
        }
        std::fclose(f);
    }
    if (!type.empty()) {
        return type + " on " + best +
               (type == "tmpfs" ? " (no writeback: sync costs are not real)" : "");
    }
    struct statfs st {};
    if (::statfs(dir.c_str(), &st) != 0) {
        return "unknown";
    }
    char name[32];
    std::snprintf(name, sizeof name, "statfs magic 0x%lx", static_cast<unsigned long>(st.f_type));
    return name;
}

// --- Plain POSIX helpers ---------------------------------------------------


// One read of the whole file into a fresh buffer.
Buffer readWhole(const std::string& path, std::size_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    Buffer data;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        size = static_cast<std::size_t>(st.st_size);
        data = allocate(size);
        if (data && !readFully(fd, data.get(), size)) {
            data.reset();
        }
    }
    ::close(fd);
    return data;
}

int createFile(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// --- BMP layout as the baselines write and expect it -----------------------

std::uint32_t getLe32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The headers and 256-entry table of a bottom-up 8-bit bitmap whose width is
// a multiple of 4, with the fields writeBmp fills, so the files compare
// byte for byte. rgb: 256 red, green, blue triples.
void makeBmpHead(std::uint8_t* head, std::uint32_t width, std::uint32_t height,
                 const std::uint8_t* rgb) {
    std::memset(head, 0, kBmpPixelOffset);
    head[0] = 'B';
    head[1] = 'M';
    putLe32(head + 2, static_cast<std::uint32_t>(kBmpPixelOffset + width * height));
    putLe32(head + 10, kBmpPixelOffset);
    putLe32(head + 14, 40);
    putLe32(head + 18, width);
    putLe32(head + 22, height);
    putLe16(head + 26, 1);
    putLe16(head + 28, 8);
    putLe32(head + 46, IndexedImage::kPaletteSize);
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        std::uint8_t* e = head + kBmpHeadersSize + 4 * i;
        e[0] = rgb[3 * i + 2];
        e[1] = rgb[3 * i + 1];
        e[2] = rgb[3 * i];
    }
}

// Checks that bytes hold a plain bottom-up 8-bit bitmap with a full table and
// no row padding, and gives its size.
bool parseBmp(const std::uint8_t* bytes, std::size_t size, std::uint32_t& width,
              std::uint32_t& height) {
    if (size < kBmpPixelOffset || bytes[0] != 'B' || bytes[1] != 'M' ||
        getLe32(bytes + 10) != kBmpPixelOffset || getLe32(bytes + 14) != 40 ||
        (bytes[28] | (bytes[29] << 8)) != 8 || getLe32(bytes + 30) != 0) {
        return false;
    }
    width = getLe32(bytes + 18);
    height = getLe32(bytes + 22);
    return width % 4 == 0 && width > 0 && height > 0 && height < 0x80000000u &&
           size - kBmpPixelOffset >= std::size_t{width} * height;
}

// Writes head and rows in one gather call per IOV_MAX parts.
bool writeParts(int fd, std::vector<iovec>& parts) {
    std::size_t at = 0;
    while (at < parts.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(IOV_MAX, parts.size() - at));
        const ssize_t done = ::writev(fd, parts.data() + at, count);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        auto rest = static_cast<std::size_t>(done);
        while (at < parts.size() && rest >= parts[at].iov_len) {
            rest -= parts[at++].iov_len;
        }
        if (rest > 0) {
            parts[at].iov_base = static_cast<std::uint8_t*>(parts[at].iov_base) + rest;
            parts[at].iov_len -= rest;
        }
    }
    return true;
}

// --- Baseline: BMP to PNG with one read, the row filters and libdeflate ---

void putBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Length, type, data and CRC of a chunk whose data is already at at + 8.
std::uint8_t* sealChunk(std::uint8_t* at, const char* type, std::uint32_t n) {
    putBe32(at, n);
    std::memcpy(at + 4, type, 4);
    putBe32(at + 8 + n, libdeflate_crc32(0, at + 4, 4 + n));
    return at + 12 + n;
}

constexpr std::size_t kIdatData = std::size_t{1} << 20;  // as kelvara's writer

// The rows filtered straight from the bitmap's buffer (kelvara's filterRows,
// so the same filter per row), libdeflate at the same level into a fresh
// buffer, the chunks around it written with one gather call.
bool plainBmpToPng(const std::string& in, const std::string& out) {
    std::size_t size = 0;
    const Buffer bytes = readWhole(in, size);
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (!bytes || !parseBmp(bytes.get(), size, width, height)) {
        return false;
    }
    const std::size_t filteredSize = (std::size_t{width} + 1) * height;
    const Buffer filtered = allocate(filteredSize);
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(kLevel);
    if (!filtered || compressor == nullptr) {
        libdeflate_free_compressor(compressor);
        return false;
    }
    const std::uint8_t* bottom = bytes.get() + kBmpPixelOffset;
    kelvara::filterRows(bottom + std::size_t{height - 1} * width, -static_cast<std::ptrdiff_t>(width),
                        width, height, kFilterMask, filtered.get());
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor, filteredSize);
    const Buffer stream = allocate(bound);
    const std::size_t streamSize =
        stream ? libdeflate_zlib_compress(compressor, filtered.get(), filteredSize, stream.get(),
                                          bound)
               : 0;
    libdeflate_free_compressor(compressor);
    if (streamSize == 0) {
        return false;
    }
    const std::size_t chunks = (streamSize + kIdatData - 1) / kIdatData;
    std::vector<std::uint8_t> frames(8 + 25 + 12 + kPaletteBytes + 12 * chunks + 12);
    std::uint8_t* h = frames.data();
    const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::memcpy(h, signature, 8);
    putBe32(h + 16, width);
    putBe32(h + 20, height);
    const std::uint8_t ihdrTail[5] = {8, 3, 0, 0, 0};
    std::memcpy(h + 24, ihdrTail, 5);
    std::uint8_t* at = sealChunk(h + 8, "IHDR", 13);
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        const std::uint8_t* e = bytes.get() + kBmpHeadersSize + 4 * i;
        at[8 + 3 * i] = e[2];
        at[8 + 3 * i + 1] = e[1];
        at[8 + 3 * i + 2] = e[0];
    }
    at = sealChunk(at, "PLTE", kPaletteBytes);
    std::vector<iovec> parts = {{h, static_cast<std::size_t>(at - h)}};
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t n = std::min(kIdatData, streamSize - k * kIdatData);
        std::uint8_t* data = stream.get() + k * kIdatData;
        putBe32(at, static_cast<std::uint32_t>(n));
        std::memcpy(at + 4, "IDAT", 4);
        putBe32(at + 8, libdeflate_crc32(libdeflate_crc32(0, at + 4, 4), data, n));
        parts.push_back({at, 8});
        parts.push_back({data, n});
        parts.push_back({at + 8, 4});
        at += 12;
    }
    at = sealChunk(at, "IEND", 0);
    parts.push_back({at - 12, 12});
    const int fd = createFile(out);
    if (fd < 0) {
        return false;
    }
    const bool ok = writeParts(fd, parts);
    return ::close(fd) == 0 && ok;
}

// --- Baseline: PNG to BMP with libpng and one gather write -----------------

bool plainPngToBmp(const std::string& in, const std::string& out) {
    std::FILE* file = std::fopen(in.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    PngHead head;
    std::uint8_t bmpHead[kBmpPixelOffset];
    Buffer pixels;
    bool ok = info != nullptr && pngReadHead(png, info, file, &head) && head.depth == 8 &&
              head.colourType == PNG_COLOR_TYPE_PALETTE && head.width % 4 == 0;
    if (ok) {
        png_colorp palette = nullptr;
        int count = 0;
        std::uint8_t rgb[kPaletteBytes] = {};
        if (png_get_PLTE(png, info, &palette, &count) == PNG_INFO_PLTE) {
            for (int i = 0; i < count && i < static_cast<int>(IndexedImage::kPaletteSize); ++i) {
                rgb[3 * i] = palette[i].red;
                rgb[3 * i + 1] = palette[i].green;
                rgb[3 * i + 2] = palette[i].blue;
            }
        }
        makeBmpHead(bmpHead, head.width, head.height, rgb);
        // Rows land bottom-up, in the bitmap's order, so one write sends them.
        pixels = allocate(std::size_t{head.width} * head.height);
        std::vector<png_bytep> rows(head.height);
        for (std::uint32_t y = 0; pixels && y < head.height; ++y) {
            rows[y] = pixels.get() + std::size_t{head.height - 1 - y} * head.width;
        }
        ok = pixels && pngReadRows(png, rows.data());
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    if (!ok) {
        return false;
    }
    const int fd = createFile(out);
    if (fd < 0) {
        return false;
    }
    std::vector<iovec> parts = {{bmpHead, sizeof bmpHead},
                                {pixels.get(), std::size_t{head.width} * head.height}};
    ok = writeParts(fd, parts);
    return ::close(fd) == 0 && ok;
}

// --- Baselines: the XYZ payload through libdeflate -------------------------

void makeXyzHead(std::uint8_t* head, std::uint32_t width, std::uint32_t height) {
    std::memcpy(head, "XYZ1", 4);
    putLe16(head + 4, width);
    putLe16(head + 6, height);
}

// libdeflate_zlib_compress into a fresh buffer, then header and stream in
// one gather write.
bool plainXyzWrite(const std::string& path, std::uint32_t width, std::uint32_t height,
                   const std::uint8_t* payload, std::size_t payloadSize) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(kLevel);
    std::size_t packedSize =
        compressor ? libdeflate_zlib_compress_bound(compressor, payloadSize) : 0;
    const Buffer packed = allocate(packedSize);
    packedSize = packed ? libdeflate_zlib_compress(compressor, payload, payloadSize, packed.get(),
                                                   packedSize)
                        : 0;
    libdeflate_free_compressor(compressor);
    if (packedSize == 0) {
        return false;
    }
    std::uint8_t head[kXyzHeaderSize];
    makeXyzHead(head, width, height);
    const int fd = createFile(path);
    if (fd < 0) {
        return false;
    }
    std::vector<iovec> parts = {{head, sizeof head}, {packed.get(), packedSize}};
    const bool ok = writeParts(fd, parts);
    return ::close(fd) == 0 && ok;
}

// One read of the file, libdeflate_zlib_decompress into a fresh payload
// buffer of the declared size.
Buffer plainXyzRead(const std::string& path, std::uint32_t& width, std::uint32_t& height,
                    std::size_t& payloadSize) {
    std::size_t size = 0;
    const Buffer bytes = readWhole(path, size);
    if (!bytes || size < kXyzHeaderSize || std::memcmp(bytes.get(), "XYZ1", 4) != 0) {
        return nullptr;
    }
    width = bytes.get()[4] | (bytes.get()[5] << 8);
    height = bytes.get()[6] | (bytes.get()[7] << 8);
    payloadSize = kPaletteBytes + std::size_t{width} * height;
    Buffer payload = allocate(payloadSize);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    const bool ok = payload && decompressor != nullptr &&
                    libdeflate_zlib_decompress(decompressor, bytes.get() + kXyzHeaderSize,
                                               size - kXyzHeaderSize, payload.get(), payloadSize,
                                               nullptr) == LIBDEFLATE_SUCCESS;
    libdeflate_free_decompressor(decompressor);
    return ok ? std::move(payload) : nullptr;
}

// For the peak-memory table: BMP to XYZ with the rows read straight into the
// payload (top row first), then libdeflate.
bool plainBmpToXyz(const std::string& in, const std::string& out) {
    const int fd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::uint8_t head[kBmpPixelOffset];
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    struct stat st {};
    // parseBmp reads only the headers; the size it checks is the file's.
    bool ok = ::fstat(fd, &st) == 0 && readFully(fd, head, sizeof head) &&
              parseBmp(head, static_cast<std::size_t>(st.st_size), width, height);
    Buffer payload;
    std::size_t payloadSize = 0;
    if (ok) {
        payloadSize = kPaletteBytes + std::size_t{width} * height;
        payload = allocate(payloadSize);
        ok = payload != nullptr;
    }
    if (ok) {
        for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
            const std::uint8_t* e = head + kBmpHeadersSize + 4 * i;
            payload.get()[3 * i] = e[2];
            payload.get()[3 * i + 1] = e[1];
            payload.get()[3 * i + 2] = e[0];
        }
        // The file's last row is the image's first.
        std::vector<iovec> parts(height);
        for (std::uint32_t y = 0; y < height; ++y) {
            parts[y] =
                iovec{payload.get() + kPaletteBytes + std::size_t{height - 1 - y} * width, width};
        }
        for (std::size_t at = 0; ok && at < parts.size(); at += IOV_MAX) {
            const int count = static_cast<int>(std::min<std::size_t>(IOV_MAX, parts.size() - at));
            const std::size_t want = std::size_t{width} * static_cast<std::size_t>(count);
            const ssize_t got = ::readv(fd, parts.data() + at, count);
            ok = got >= 0 && static_cast<std::size_t>(got) == want;
        }
    }
    ::close(fd);
    return ok && plainXyzWrite(out, width, height, payload.get(), payloadSize);
}

// For the peak-memory table: XYZ to BMP, the payload's rows written
// bottom-up straight from where libdeflate put them.
bool plainXyzToBmp(const std::string& in, const std::string& out) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t payloadSize = 0;
    const Buffer payload = plainXyzRead(in, width, height, payloadSize);
    if (!payload || width % 4 != 0) {
        return false;
    }
    std::uint8_t head[kBmpPixelOffset];
    makeBmpHead(head, width, height, payload.get());
    std::vector<iovec> parts;
    parts.reserve(height + 1);
    parts.push_back(iovec{head, sizeof head});
    for (std::uint32_t y = 0; y < height; ++y) {
        parts.push_back(
            iovec{payload.get() + kPaletteBytes + std::size_t{height - 1 - y} * width, width});
    }
    const int fd = createFile(out);
    if (fd < 0) {
        return false;
    }
    const bool ok = writeParts(fd, parts);
    return ::close(fd) == 0 && ok;
}

// --- The test image --------------------------------------------------------

// Something like a quantised picture: smooth gradients, gradients with a fine
// dither, coarse texture and flat blocks, over a palette whose neighbouring
// indices are neighbouring colours. Random bytes would make deflate's work
// (and so every ratio) unlike that of any real file.
void paint(IndexedImage& image) {
    std::mt19937 random(20240607);
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        const double t = i / 255.0;
        const auto channel = [&](double phase) {
            return static_cast<std::uint8_t>(127.5 + 127.5 * std::sin(6.2832 * (t + phase)));
        };
        image.setPaletteEntry(static_cast<std::uint16_t>(i), channel(0.0), channel(0.33),
                              channel(0.67));
    }
    const std::uint32_t w = image.width();
    const std::uint32_t h = image.height();
    // Noise strength by band of 512 rows, left to right: none, dither, texture.
    for (std::uint32_t y = 0; y < h; ++y) {
        std::uint8_t* row = image.row(static_cast<std::uint16_t>(y));
        for (std::uint32_t x = 0; x < w; ++x) {
            const double base = 128 + 70 * std::sin(x / 310.0) * std::cos(y / 270.0) +
                                40 * std::sin((x + 2 * y) / 150.0);
            const unsigned zone = (x / 512 + y / 512 * 3) % 4;
            int noise = 0;
            if (zone == 1) {
                noise = static_cast<int>(random() % 5) - 2;
            } else if (zone == 2) {
                noise = static_cast<int>(random() % 41) - 20;
            } else if (zone == 3) {
                noise = static_cast<int>(random() % 3) - 1;
            }
            row[x] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(base) + noise, 0, 255));
        }
    }
    // Flat blocks, as backgrounds, borders and filled shapes give.
    for (int n = 0; n < 60; ++n) {
        const std::uint32_t bw = 64 + random() % 700;
        const std::uint32_t bh = 64 + random() % 500;
        const std::uint32_t x0 = random() % (w - bw);
        const std::uint32_t y0 = random() % (h - bh);
        const auto value = static_cast<std::uint8_t>(random());
        for (std::uint32_t y = y0; y < y0 + bh; ++y) {
            std::memset(image.row(static_cast<std::uint16_t>(y)) + x0, value, bw);
        }
    }
}

// The payload of an XYZ file: the palette's triples, then the pixels.
std::vector<std::uint8_t> payloadOf(const IndexedImage& image) {
    std::vector<std::uint8_t> payload(kPaletteBytes + image.pixelCount());
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        payload[3 * i] = image.palette()[i].red;
        payload[3 * i + 1] = image.palette()[i].green;
        payload[3 * i + 2] = image.palette()[i].blue;
    }
    std::memcpy(payload.data() + kPaletteBytes, image.pixels(), image.pixelCount());
    return payload;
}

bool sameImage(const IndexedImage& a, const IndexedImage& b) {
    return a.width() == b.width() && a.height() == b.height() && a.hasPixels() && b.hasPixels() &&
           std::memcmp(a.pixels(), b.pixels(), a.pixelCount()) == 0 &&
           std::memcmp(a.palette(), b.palette(), kPaletteBytes) == 0;
}

bool sameFiles(const std::string& a, const std::string& b) {
    std::size_t sizeA = 0;
    std::size_t sizeB = 0;
    const Buffer bytesA = readWhole(a, sizeA);
    const Buffer bytesB = readWhole(b, sizeB);
    return bytesA && bytesB && sizeA == sizeB &&
           std::memcmp(bytesA.get(), bytesB.get(), sizeA) == 0;
}

std::uint64_t fileSize(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

// The image and its three source files, made once per run.
struct Data {
    IndexedImage image;
    std::vector<std::uint8_t> payload;
    std::string bmpPath;
    std::string pngPath;
    std::string xyzPath;
    bool pngSameBytes = false;  // codec and baseline PNGs are identical
    bool xyzSameBytes = false;  // likewise the XYZ files
    bool bmpSameBytes = false;  // likewise the BMPs made from the PNG
    std::string error;
};

std::string targetPath(const char* name) {
    return benchDir() + "/" + name;
}

std::string makeData(Data& d) {
    const std::string dir = benchDir();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        return "cannot create " + dir + ": " + ec.message();
    }
    d.image.setSize(kSide, kSide);
    if (!d.image.hasPixels()) {
        return "out of memory";
    }
    paint(d.image);
    d.payload = payloadOf(d.image);
    d.bmpPath = dir + "/source.bmp";
    d.pngPath = dir + "/source.png";
    d.xyzPath = dir + "/source.xyz";
    for (const std::string* p : {&d.bmpPath, &d.pngPath, &d.xyzPath}) {
        ::unlink(p->c_str());  // new files: no sync on the way in
    }
    if (!kelvara::writeImage(kelvara::codecs()[0], d.bmpPath, d.image, {})) {
        return "writeBmp failed for " + d.bmpPath;
    }
    // The PNG and XYZ sources come from the baselines; the codec must read
    // them back unchanged, or the timings mean nothing.
    if (!plainBmpToPng(d.bmpPath, d.pngPath) ||
        !plainXyzWrite(d.xyzPath, kSide, kSide, d.payload.data(), d.payload.size())) {
        return "cannot write the PNG or XYZ source";
    }
    IndexedImage back;
    if (!kelvara::readImage(kelvara::codecs()[0], d.bmpPath, back) || !sameImage(back, d.image)) {
        return "readBmp does not give back the image";
    }
    if (!kelvara::readImage(kelvara::codecs()[1], d.pngPath, back) || !sameImage(back, d.image)) {
        return "readPng does not give back the image";
    }
    if (!kelvara::readImage(kelvara::codecs()[2], d.xyzPath, back) || !sameImage(back, d.image)) {
        return "readXyz does not give back the image";
    }
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t payloadSize = 0;
    const Buffer payload = plainXyzRead(d.xyzPath, width, height, payloadSize);
    if (!payload || payloadSize != d.payload.size() ||
        std::memcmp(payload.get(), d.payload.data(), payloadSize) != 0) {
        return "the plain XYZ read does not give back the payload";
    }

    // Both sides of each pair should produce the same bytes; report it.
    const std::string codecOut = targetPath("check-codec");
    const std::string plainOut = targetPath("check-plain");
    const kelvara::Settings settings;
    ::unlink((codecOut + ".png").c_str());
    d.pngSameBytes = kelvara::convertImage(d.bmpPath, codecOut + ".png", ImageFormat::Bmp,
                                           ImageFormat::Png, settings) == ConvertStatus::Success &&
                     sameFiles(codecOut + ".png", d.pngPath);
    ::unlink((codecOut + ".xyz").c_str());
    d.xyzSameBytes = kelvara::writeImage(kelvara::codecs()[2], codecOut + ".xyz", d.image, kelvara::EncodeOptions{6, 0xF8, kLevel}) &&
                     sameFiles(codecOut + ".xyz", d.xyzPath);
    ::unlink((codecOut + ".bmp").c_str());
    d.bmpSameBytes = kelvara::convertImage(d.pngPath, codecOut + ".bmp", ImageFormat::Png,
                                           ImageFormat::Bmp, settings) == ConvertStatus::Success &&
                     plainPngToBmp(d.pngPath, plainOut + ".bmp") &&
                     sameFiles(codecOut + ".bmp", plainOut + ".bmp") &&
                     sameFiles(codecOut + ".bmp", d.bmpPath);
    for (const char* ext : {".png", ".xyz", ".bmp"}) {
        ::unlink((codecOut + ext).c_str());
        ::unlink((plainOut + ext).c_str());
    }
    return {};
}

Data& data() {
    static Data d;
    static const bool made = [] {
        d.error = makeData(d);
        return true;
    }();
    (void)made;
    return d;
}

// --- Benchmarks ------------------------------------------------------------

// Bytes are the image's pixels on both sides of every pair, items the pixels:
// the rates then compare directly.
void setCounters(benchmark::State& state) {
    const auto n = static_cast<std::int64_t>(state.iterations());
    const auto pixels = static_cast<std::int64_t>(std::size_t{kSide} * kSide);
    state.SetBytesProcessed(n * pixels);
    state.SetItemsProcessed(n * pixels);
}

const Data* dataFor(benchmark::State& state) {
    const Data& d = data();
    if (!d.error.empty()) {
        state.SkipWithError(d.error.c_str());
        return nullptr;
    }
    return &d;
}

// Each iteration writes a file that does not exist yet; the target is removed
// between iterations, untimed. (Replacing a file adds the codec's fdatasync;
// bench_bmp prices that.)
template <typename Write>
void writeNew(benchmark::State& state, const char* name, Write write) {
    const Data* d = dataFor(state);
    if (d == nullptr) {
        return;
    }
    const std::string path = targetPath(name);
    ::unlink(path.c_str());
    for (auto _ : state) {
        if (!write(*d, path)) {
            state.SkipWithError("write failed");
            break;
        }
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    ::unlink(path.c_str());
    setCounters(state);
}

void BM_Convert_BmpToPng(benchmark::State& state) {
    const kelvara::Settings settings;  // PngCompLv 6, Filter 5
    writeNew(state, "convert.png", [&](const Data& d, const std::string& path) {
        return kelvara::convertImage(d.bmpPath, path, ImageFormat::Bmp, ImageFormat::Png,
                                     settings) == ConvertStatus::Success;
    });
}

void BM_Plain_BmpToPng(benchmark::State& state) {
    writeNew(state, "plain.png",
             [](const Data& d, const std::string& path) { return plainBmpToPng(d.bmpPath, path); });
}

void BM_Convert_PngToBmp(benchmark::State& state) {
    const kelvara::Settings settings;
    writeNew(state, "convert.bmp", [&](const Data& d, const std::string& path) {
        return kelvara::convertImage(d.pngPath, path, ImageFormat::Png, ImageFormat::Bmp,
                                     settings) == ConvertStatus::Success;
    });
}

void BM_Plain_PngToBmp(benchmark::State& state) {
    writeNew(state, "plain.bmp",
             [](const Data& d, const std::string& path) { return plainPngToBmp(d.pngPath, path); });
}

// writeXyz starts from the image; the baseline from the payload already
// laid out, which is the least any writer must hand libdeflate.
void BM_WriteXyz(benchmark::State& state) {
    writeNew(state, "codec.xyz", [](const Data& d, const std::string& path) {
        return kelvara::writeImage(kelvara::codecs()[2], path, d.image, kelvara::EncodeOptions{6, 0xF8, kLevel});
    });
}

void BM_Plain_CompressWrite(benchmark::State& state) {
    writeNew(state, "plain.xyz", [](const Data& d, const std::string& path) {
        return plainXyzWrite(path, kSide, kSide, d.payload.data(), d.payload.size());
    });
}

// readXyz obtains a fresh image each call, as a converter does; the plain
// read obtains its file and payload buffers each time likewise.
void BM_ReadXyz(benchmark::State& state) {
    const Data* d = dataFor(state);
    if (d == nullptr) {
        return;
    }
    IndexedImage image;
    for (auto _ : state) {
        if (!kelvara::readImage(kelvara::codecs()[2], d->xyzPath, image)) {
            state.SkipWithError("readXyz failed");
            break;
        }
        benchmark::DoNotOptimize(image.pixels());
    }
    setCounters(state);
}

void BM_Plain_ReadDecompress(benchmark::State& state) {
    const Data* d = dataFor(state);
    if (d == nullptr) {
        return;
    }
    for (auto _ : state) {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::size_t size = 0;
        const Buffer payload = plainXyzRead(d->xyzPath, width, height, size);
        if (!payload) {
            state.SkipWithError("plain XYZ read failed");
            break;
        }
        benchmark::DoNotOptimize(payload.get());
    }
    setCounters(state);
}

// Wall time: the user waits for the write calls too.
#define KELVARA_BENCH(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()

KELVARA_BENCH(BM_Convert_BmpToPng);
KELVARA_BENCH(BM_Plain_BmpToPng);
KELVARA_BENCH(BM_Convert_PngToBmp);
KELVARA_BENCH(BM_Plain_PngToBmp);
KELVARA_BENCH(BM_WriteXyz);
KELVARA_BENCH(BM_Plain_CompressWrite);
KELVARA_BENCH(BM_ReadXyz);
KELVARA_BENCH(BM_Plain_ReadDecompress);

// --- One conversion, for peak memory ---------------------------------------

int runOnce(int argc, char** argv) {
    const std::string op = argc > 2 ? argv[2] : "";
    if (op == "noop") {
        return 0;  // the process alone: the floor of the peak-memory table
    }
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: %s --once OP IN OUT\n"
                     "OP: bmp2png png2bmp bmp2xyz xyz2bmp (convertImage, default settings),\n"
                     "    plain-bmp2png plain-png2bmp plain-bmp2xyz plain-xyz2bmp (baselines),\n"
                     "    noop (no arguments: the process alone)\n",
                     argv[0]);
        return 2;
    }
    const std::string in = argv[3];
    const std::string out = argv[4];
    const kelvara::Settings settings;
    const auto convert = [&](ImageFormat from, ImageFormat to) {
        return kelvara::convertImage(in, out, from, to, settings) == ConvertStatus::Success;
    };
    bool ok = false;
    if (op == "bmp2png") {
        ok = convert(ImageFormat::Bmp, ImageFormat::Png);
    } else if (op == "png2bmp") {
        ok = convert(ImageFormat::Png, ImageFormat::Bmp);
    } else if (op == "bmp2xyz") {
        ok = convert(ImageFormat::Bmp, ImageFormat::Xyz);
    } else if (op == "xyz2bmp") {
        ok = convert(ImageFormat::Xyz, ImageFormat::Bmp);
    } else if (op == "plain-bmp2png") {
        ok = plainBmpToPng(in, out);
    } else if (op == "plain-png2bmp") {
        ok = plainPngToBmp(in, out);
    } else if (op == "plain-bmp2xyz") {
        ok = plainBmpToXyz(in, out);
    } else if (op == "plain-xyz2bmp") {
        ok = plainXyzToBmp(in, out);
    } else {
        std::fprintf(stderr, "unknown operation %s\n", op.c_str());
        return 2;
    }
    if (!ok) {
        std::fprintf(stderr, "%s %s -> %s failed\n", op.c_str(), in.c_str(), out.c_str());
        return 1;
    }
    return 0;
}

int prepare() {
    const Data& d = data();
    if (!d.error.empty()) {
        std::fprintf(stderr, "%s\n", d.error.c_str());
        return 1;
    }
    std::printf("bmp %s\npng %s\nxyz %s\n", d.bmpPath.c_str(), d.pngPath.c_str(),
                d.xyzPath.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0) {
        return runOnce(argc, argv);
    }
    if (argc > 1 && std::strcmp(argv[1], "--prepare") == 0) {
        return prepare();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const std::string dir = benchDir();
    // The files are made before the first benchmark, so their sizes and the
    // byte comparisons can go into the run's header.
    const Data& d = data();
    if (!d.error.empty()) {
        std::fprintf(stderr, "cannot make the test files: %s\n", d.error.c_str());
        return 1;
    }
    const auto yesNo = [](bool b) { return std::string(b ? "yes" : "NO"); };
    benchmark::AddCustomContext("bench_dir", dir);
    benchmark::AddCustomContext("bench_fs", fileSystemName(dir));
    benchmark::AddCustomContext("image", std::to_string(kSide) + "x" + std::to_string(kSide) +
                                             ", 256 colours, level 6, filter mask 0xF8");
    benchmark::AddCustomContext("bytes_bmp", std::to_string(fileSize(d.bmpPath)));
    benchmark::AddCustomContext("bytes_png", std::to_string(fileSize(d.pngPath)));
    benchmark::AddCustomContext("bytes_xyz", std::to_string(fileSize(d.xyzPath)));
    benchmark::AddCustomContext("same_bytes_png", yesNo(d.pngSameBytes));
    benchmark::AddCustomContext("same_bytes_xyz", yesNo(d.xyzSameBytes));
    benchmark::AddCustomContext("same_bytes_bmp", yesNo(d.bmpSameBytes));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
