// The least a program can do to convert a folder of 8-bit palette images
// between BMP and PNG with libpng and plain POSIX calls, one file after the
// other on one thread: bench/peers.sh measures kelvara-batch against it.
//
//   peers_png_direct bmp2png IN_DIR OUT_DIR [LEVEL [FILTER_MASK]]
//   peers_png_direct png2bmp IN_DIR OUT_DIR
//
// bmp2png: one read() of the whole bitmap, row pointers into that buffer,
// libpng writing through png_init_io (a FILE* with a 64 KiB buffer) at zlib
// LEVEL (default 6) with FILTER_MASK (default 0xF8, every filter: kelvara's
// defaults).
// png2bmp: libpng reading through png_init_io (64 KiB buffer) straight into
// the bitmap's pixel rows (bottom-up, padded), then headers, colour table and
// rows in one write(). Only 8-bit palette sources are taken: that is the corpus. Each
// output is a new file in OUT_DIR named like its source; no sync, no
// temporary. Exit status 1 if any file failed.

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
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

namespace {

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
void putLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void putLe32(std::uint8_t* p, std::uint32_t v) {
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
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
    bool ok = true;
    while (ok && n > 0) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        ok = done > 0;
        if (ok) {
            data += done;
            n -= static_cast<std::size_t>(done);
        }
    }
    return ::close(fd) == 0 && ok;
}

// --- BMP to PNG -------------------------------------------------------------

// Only trivially destructible locals: libpng's error jump lands here.
bool writePngSteps(png_structp png, png_infop info, std::FILE* out, png_uint_32 width,
                   png_uint_32 height, png_colorp palette, int colours, png_bytepp rows, int level,
                   int mask) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_init_io(png, out);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, mask);
    png_set_compression_level(png, level);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_PLTE(png, info, palette, colours);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

bool bmpToPng(const std::string& in, const std::string& out, int level, int mask, Block& bytes,
              std::vector<png_bytep>& rows) {
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
    const int colours = used == 0 || used > 256 ? 256 : static_cast<int>(used);
    const std::size_t pixelOffset = getLe32(b + 10);
    if (width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN) {
        return false;
    }
    const auto height = static_cast<std::uint32_t>(rawHeight < 0 ? -rawHeight : rawHeight);
    const std::size_t stride = (static_cast<std::size_t>(width) + 3) / 4 * 4;
    if (pixelOffset < kTableOffset + 4 * std::size_t(colours) || pixelOffset > size ||
        (size - pixelOffset) / stride < height) {
        return false;
    }
    png_color palette[256];
    for (int i = 0; i < colours; ++i) {
        const std::uint8_t* e = b + kTableOffset + 4 * i;
        palette[i] = png_color{e[2], e[1], e[0]};
    }
    rows.resize(height);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t stored = rawHeight < 0 ? y : height - 1 - y;
        rows[y] = bytes.data() + pixelOffset + std::size_t{stored} * stride;
    }
    std::FILE* file = std::fopen(out.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    std::setvbuf(file, stdioBuffer, _IOFBF, kStdioBuffer);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    const bool ok = info != nullptr && writePngSteps(png, info, file, static_cast<png_uint_32>(width),
                                                     height, palette, colours, rows.data(), level,
                                                     mask);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0 && ok;
}

// --- PNG to BMP -------------------------------------------------------------

struct PngHead {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int depth = 0;
    int colourType = 0;
    int interlace = 0;
};

bool readHeadSteps(png_structp png, png_infop info, std::FILE* in, PngHead* head) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_init_io(png, in);
    png_read_info(png, info);
    png_get_IHDR(png, info, &head->width, &head->height, &head->depth, &head->colourType,
                 &head->interlace, nullptr, nullptr);
    return true;
}

bool readRowsSteps(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

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
    bool ok = info != nullptr && readHeadSteps(png, info, file, &head) && head.depth == 8 &&
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
        ok = readRowsSteps(png, rows.data());
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
    const int mask = argc > 5 ? static_cast<int>(std::strtol(argv[5], nullptr, 0)) : 0xF8;

    // Reused from file to file, as a converter of many files would.
    Block bytes;
    std::vector<png_bytep> rows;
    int failed = 0;
    for (const std::string& name : filesIn(inDir, toPng ? ".bmp" : ".png")) {
        const std::string in = inDir + "/" + name;
        const std::string out = outDir + "/" + stem(name) + (toPng ? ".png" : ".bmp");
        const bool ok = toPng ? bmpToPng(in, out, level, mask, bytes, rows)
                              : pngToBmp(in, out, bytes, rows);
        if (!ok) {
            std::fprintf(stderr, "%s: failed: %s\n", argv[0], in.c_str());
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}
