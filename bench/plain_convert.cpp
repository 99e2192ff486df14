// The least a program can do to convert a folder of 8-bit palette images
// between BMP and PNG, one file after the other on one thread, with plain
// POSIX calls: bench/peers.sh measures kelvara-batch against it.
//
//   peers_plain bmp2png IN_DIR OUT_DIR [LEVEL [FILTER_MASK]]
//   peers_plain png2bmp IN_DIR OUT_DIR
//
// bmp2png: one read() of the whole bitmap; the rows filtered straight from
// that buffer by kelvara's filterRows (the same choice per row as
// kelvara-batch: FILTER_MASK in libpng's bits, default 0xF8, every filter;
// the only kelvara code used), compressed with
// libdeflate at LEVEL (default 6), and the chunks (IHDR, PLTE of 256, IDAT
// of at most 1 MiB each, IEND) written with one writev(). Compressor and
// buffers are kept from file to file.
// png2bmp: libpng reading through png_init_io (64 KiB buffer) straight into
// the bitmap's pixel rows (bottom-up, padded), then headers, colour table and
// rows in one write(). Only 8-bit palette sources are taken: that is the
// corpus. Each output is a new file in OUT_DIR named like its source; no
// sync, no temporary. Exit status 1 if any file failed.

#include <dirent.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_png.h"
#include "bench_util.h"

#include "codecs/png_filters.h"

namespace {

using namespace kelvara::bench;

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::size_t kTableOffset = kFileHeaderSize + kInfoHeaderSize;
constexpr std::size_t kPixelOffset = kTableOffset + 4 * 256;
// stdio's default is the file system's block size (4 KiB): libpng's reads
// and writes would then take one system call per 4 or 8 KiB. kelvara-batch
// buffers 64 KiB; so does the baseline.
// glibc ignores the size unless given the buffer; one FILE is open at a time.
constexpr std::size_t kStdioBuffer = 64 * 1024;
char stdioBuffer[kStdioBuffer];

std::uint32_t getLe16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }
std::uint32_t getLe32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void putBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

bool endsWith(const std::string& name, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return name.size() > n && strcasecmp(name.c_str() + name.size() - n, suffix) == 0;
}

// The folder's regular files with the suffix, sorted so every run takes them
// in the same order.
std::vector<std::string> filesIn(const std::string& dir, const char* suffix) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if ((e->d_type == DT_REG || e->d_type == DT_UNKNOWN) && endsWith(name, suffix)) {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string stem(const std::string& name) { return name.substr(0, name.rfind('.')); }

// A block that grows as needed and is kept from file to file; unlike a
// vector it is never cleared, so no byte is written twice.
class Block {
  public:
    ~Block() { std::free(data_); }
    std::uint8_t* reserve(std::size_t n) {
        if (n > capacity_) {
            std::free(data_);
            data_ = static_cast<std::uint8_t*>(std::malloc(n));
            capacity_ = data_ != nullptr ? n : 0;
        }
        return data_;
    }
    std::uint8_t* data() const { return data_; }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
};

bool readWhole(const std::string& path, Block& bytes, std::size_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && st.st_size > 0;
    if (ok) {
        size = static_cast<std::size_t>(st.st_size);
        ok = bytes.reserve(size) != nullptr;
        std::size_t at = 0;
        while (ok && at < size) {
            const ssize_t got = ::read(fd, bytes.data() + at, size - at);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            ok = got > 0;
            at += ok ? static_cast<std::size_t>(got) : 0;
        }
    }
    ::close(fd);
    return ok;
}


bool writeWhole(const std::string& path, const std::uint8_t* data, std::size_t n) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = writeFully(fd, data, n);
    return ::close(fd) == 0 && ok;
}

// --- BMP to PNG -------------------------------------------------------------

constexpr std::size_t kIdatData = std::size_t{1} << 20;

// Fills a chunk's length and type at `at`, and its CRC after n data bytes.
void frameChunk(std::uint8_t* at, const char* type, std::uint32_t n) {
    putBe32(at, n);
    std::memcpy(at + 4, type, 4);
}
void sealChunk(std::uint8_t* at, std::uint32_t n) {
    putBe32(at + 8 + n, libdeflate_crc32(0, at + 4, 4 + n));
}

struct PngWork {
    libdeflate_compressor* compressor = nullptr;
    Block filtered;
    Block stream;
    std::vector<std::uint8_t> frames;  // chunk framing around the stream
    std::vector<iovec> parts;
};

bool bmpToPng(const std::string& in, const std::string& out, unsigned mask, Block& bytes,
              PngWork& work) {
    std::size_t size = 0;
    if (!readWhole(in, bytes, size) || size < kTableOffset) {
        return false;
    }
    const std::uint8_t* b = bytes.data();
    if (b[0] != 'B' || b[1] != 'M' || getLe32(b + 14) != kInfoHeaderSize ||
        getLe16(b + 28) != 8 || getLe32(b + 30) != 0) {
        return false;
    }
    const auto width = static_cast<std::int32_t>(getLe32(b + 18));
    const auto rawHeight = static_cast<std::int32_t>(getLe32(b + 22));
    const std::uint32_t used = getLe32(b + 46);
    const std::uint32_t colours = used == 0 || used > 256 ? 256 : used;
    const std::size_t pixelOffset = getLe32(b + 10);
    if (width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN) {
        return false;
    }
    const auto height = static_cast<std::uint32_t>(rawHeight < 0 ? -rawHeight : rawHeight);
    const std::size_t stride = (static_cast<std::size_t>(width) + 3) / 4 * 4;
    if (pixelOffset < kTableOffset + 4 * std::size_t{colours} || pixelOffset > size ||
        (size - pixelOffset) / stride < height) {
        return false;
    }

    const std::size_t filteredSize = (static_cast<std::size_t>(width) + 1) * height;
    std::uint8_t* filtered = work.filtered.reserve(filteredSize);
    const std::uint8_t* rows = b + pixelOffset;
    const bool bottomUp = rawHeight > 0;
    const std::uint8_t* top = bottomUp ? rows + (height - 1) * stride : rows;
    const auto step = bottomUp ? -static_cast<std::ptrdiff_t>(stride)
                               : static_cast<std::ptrdiff_t>(stride);
    if (filtered == nullptr) {
        return false;
    }
    kelvara::filterRows(top, step, static_cast<std::uint32_t>(width), height, mask, filtered);
    const std::size_t bound = libdeflate_zlib_compress_bound(work.compressor, filteredSize);
    std::uint8_t* stream = work.stream.reserve(bound);
    const std::size_t streamSize =
        stream == nullptr ? 0
                          : libdeflate_zlib_compress(work.compressor, filtered, filteredSize,
                                                     stream, bound);
    if (streamSize == 0) {
        return false;
    }

    // Signature, IHDR, PLTE, then per IDAT its frame, data and CRC, then IEND.
    const std::size_t chunks = (streamSize + kIdatData - 1) / kIdatData;
    const std::size_t headSize = 8 + 25 + 12 + 3 * colours;
    work.frames.resize(headSize + 12 * chunks + 12);
    std::uint8_t* h = work.frames.data();
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::memcpy(h, kSignature, 8);
    frameChunk(h + 8, "IHDR", 13);
    putBe32(h + 16, static_cast<std::uint32_t>(width));
    putBe32(h + 20, height);
    const std::uint8_t ihdrTail[5] = {8, 3, 0, 0, 0};
    std::memcpy(h + 24, ihdrTail, 5);
    sealChunk(h + 8, 13);
    std::uint8_t* plte = h + 33;
    frameChunk(plte, "PLTE", 3 * colours);
    for (std::uint32_t i = 0; i < colours; ++i) {
        const std::uint8_t* e = b + kTableOffset + 4 * i;
        plte[8 + 3 * i] = e[2];
        plte[8 + 3 * i + 1] = e[1];
        plte[8 + 3 * i + 2] = e[0];
    }
    sealChunk(plte, 3 * colours);
    work.parts.clear();
    work.parts.push_back(iovec{h, headSize});
    std::uint8_t* frame = h + headSize;
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t n = std::min(kIdatData, streamSize - k * kIdatData);
        const std::uint8_t* data = stream + k * kIdatData;
        frameChunk(frame, "IDAT", static_cast<std::uint32_t>(n));
        putBe32(frame + 8, libdeflate_crc32(libdeflate_crc32(0, frame + 4, 4), data, n));
        work.parts.push_back(iovec{frame, 8});
        work.parts.push_back(iovec{const_cast<std::uint8_t*>(data), n});
        work.parts.push_back(iovec{frame + 8, 4});
        frame += 12;
    }
    frameChunk(frame, "IEND", 0);
    sealChunk(frame, 0);
    work.parts.push_back(iovec{frame, 12});

    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::size_t total = 0;
    for (const iovec& part : work.parts) {
        total += part.iov_len;
    }
    // One call writes everything but for very large streams (more parts
    // than one call takes, or a short write): then the rest part by part.
    const ssize_t done = ::writev(fd, work.parts.data(),
                                  static_cast<int>(std::min<std::size_t>(work.parts.size(), IOV_MAX)));
    bool ok = done >= 0;
    std::size_t skip = ok ? static_cast<std::size_t>(done) : 0;
    for (std::size_t k = 0; ok && k < work.parts.size() && skip < total; ++k) {
        const iovec& part = work.parts[k];
        if (skip >= part.iov_len) {
            skip -= part.iov_len;
            total -= part.iov_len;
            continue;
        }
        ok = writeFully(fd, static_cast<const std::uint8_t*>(part.iov_base) + skip,
                      part.iov_len - skip);
        total -= part.iov_len;
        skip = 0;
    }
    return ::close(fd) == 0 && ok;
}

// --- PNG to BMP -------------------------------------------------------------

bool pngToBmp(const std::string& in, const std::string& out, Block& bytes,
              std::vector<png_bytep>& rows) {
    std::FILE* file = std::fopen(in.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::setvbuf(file, stdioBuffer, _IOFBF, kStdioBuffer);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    PngHead head;
    bool ok = info != nullptr && pngReadHead(png, info, file, &head) && head.depth == 8 &&
              head.colourType == PNG_COLOR_TYPE_PALETTE && head.interlace == PNG_INTERLACE_NONE;
    std::size_t size = 0;
    if (ok) {
        const std::size_t stride = (std::size_t{head.width} + 3) / 4 * 4;
        size = kPixelOffset + stride * head.height;
        ok = bytes.reserve(size) != nullptr;
    }
    if (ok) {
        const std::size_t stride = (std::size_t{head.width} + 3) / 4 * 4;
        std::uint8_t* h = bytes.data();
        std::memset(h, 0, kPixelOffset);  // headers and table start cleared
        h[0] = 'B';
        h[1] = 'M';
        putLe32(h + 2, static_cast<std::uint32_t>(size));
        putLe32(h + 10, kPixelOffset);
        putLe32(h + 14, kInfoHeaderSize);
        putLe32(h + 18, head.width);
        putLe32(h + 22, head.height);
        putLe16(h + 26, 1);
        putLe16(h + 28, 8);
        putLe32(h + 34, static_cast<std::uint32_t>(stride * head.height));
        putLe32(h + 46, 256);
        png_colorp palette = nullptr;
        int count = 0;
        if (png_get_PLTE(png, info, &palette, &count) == PNG_INFO_PLTE) {
            for (int i = 0; i < count && i < 256; ++i) {
                std::uint8_t* e = h + kTableOffset + 4 * i;
                e[0] = palette[i].blue;
                e[1] = palette[i].green;
                e[2] = palette[i].red;
            }
        }
        rows.resize(head.height);
        for (std::uint32_t y = 0; y < head.height; ++y) {
            std::uint8_t* row = h + kPixelOffset + std::size_t{head.height - 1 - y} * stride;
            std::memset(row + head.width, 0, stride - head.width);  // row padding
            rows[y] = row;
        }
        ok = pngReadRows(png, rows.data());
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return ok && writeWhole(out, bytes.data(), size);
}

}  // namespace

int main(int argc, char** argv) {
    const bool toPng = argc >= 4 && argc <= 6 && std::strcmp(argv[1], "bmp2png") == 0;
    const bool toBmp = argc == 4 && std::strcmp(argv[1], "png2bmp") == 0;
    if (!toPng && !toBmp) {
        std::fprintf(stderr,
                     "usage: %s bmp2png IN_DIR OUT_DIR [LEVEL [FILTER_MASK]]\n"
                     "       %s png2bmp IN_DIR OUT_DIR\n",
                     argv[0], argv[0]);
        return 2;
    }
    const std::string inDir = argv[2];
    const std::string outDir = argv[3];
    const int level = argc > 4 ? std::atoi(argv[4]) : 6;
    const auto mask = static_cast<unsigned>(argc > 5 ? std::strtoul(argv[5], nullptr, 0) : 0xF8);

    // Reused from file to file, as a converter of many files would.
    Block bytes;
    std::vector<png_bytep> rows;
    PngWork work;
    if (toPng) {
        work.compressor = libdeflate_alloc_compressor(level);
        if (work.compressor == nullptr) {
            std::fprintf(stderr, "%s: no compressor for level %d\n", argv[0], level);
            return 2;
        }
    }
    int failed = 0;
    for (const std::string& name : filesIn(inDir, toPng ? ".bmp" : ".png")) {
        const std::string in = inDir + "/" + name;
        const std::string out = outDir + "/" + stem(name) + (toPng ? ".png" : ".bmp");
        const bool ok = toPng ? bmpToPng(in, out, mask, bytes, work) : pngToBmp(in, out, bytes, rows);
        if (!ok) {
            std::fprintf(stderr, "%s: failed: %s\n", argv[0], in.c_str());
            ++failed;
        }
    }
    libdeflate_free_compressor(work.compressor);
    return failed == 0 ? 0 : 1;
}
