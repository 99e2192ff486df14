// Writes the seed corpora: small valid files from the project's own writers,
// files of the other kinds a reader meets (other depths, RLE, interlacing),
// and a few hand-made edge cases. Usage: make_fuzz_seeds <corpus folder>
#include <png.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "fuzz_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kelvara::IndexedImage;

std::string root;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string folder = root + "/" + target;
    ::mkdir(folder.c_str(), 0777);
    kelvara::fuzz::writeBytes(folder + "/" + name, bytes.data(), bytes.size());
}

void put(const std::string& target, const std::string& name, std::string_view text) {
    put(target, name, Bytes(text.begin(), text.end()));
}

Bytes load(const std::string& path) {
    Bytes bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) {
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
        std::fclose(f);
    }
    return bytes;
}

void makeImage(IndexedImage& image, unsigned width, unsigned height, unsigned colours) {
    image.setSize(width, height);
    for (unsigned i = 0; i < colours; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(i * 37),
                              static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 5));
    }
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            image.row(static_cast<std::uint16_t>(y))[x] =
                static_cast<std::uint8_t>((x * 3 + y * 7) % colours);
        }
    }
}

// Runs a writer into a scratch file and returns the bytes it wrote.
template <typename Write>
Bytes written(Write&& write) {
    const std::string path = kelvara::fuzz::workPath("seed");
    if (!write(path)) {
        std::fprintf(stderr, "a writer failed\n");
        std::exit(1);
    }
    Bytes bytes = load(path);
    std::remove(path.c_str());
    return bytes;
}

void le16(Bytes& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void le32(Bytes& b, std::uint32_t v) {
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
}

Bytes deflated(const Bytes& plain) {
    uLongf size = compressBound(plain.size());
    Bytes out(size);
    compress2(out.data(), &size, plain.data(), plain.size(), 9);
    out.resize(size);
    return out;
}

// A bitmap header with the 40-byte info header and a full 256-entry table.
Bytes bmpHeader(std::int32_t width, std::int32_t height, unsigned bits, unsigned compression,
                std::uint32_t dataSize) {
    Bytes b = {'B', 'M'};
    const std::uint32_t offset = 14 + 40 + 1024;
    le32(b, offset + dataSize);
    le32(b, 0);
    le32(b, offset);
    le32(b, 40);
    le32(b, static_cast<std::uint32_t>(width));
    le32(b, static_cast<std::uint32_t>(height));
    le16(b, 1);
    le16(b, bits);
    le32(b, compression);
    le32(b, dataSize);
    le32(b, 2835);
    le32(b, 2835);
    le32(b, 256);
    le32(b, 0);
    for (unsigned i = 0; i < 256; ++i) {
        b.insert(b.end(), {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                           static_cast<std::uint8_t>(i / 2), 0});
    }
    return b;
}

void bmpSeeds() {
    IndexedImage image;
    for (const auto& [w, h] : {std::pair{1u, 1u}, {3u, 2u}, {5u, 5u}, {17u, 9u}}) {
        makeImage(image, w, h, 256);
        put("bmp", "writer-" + std::to_string(w) + "x" + std::to_string(h) + ".bmp",
            written([&](const std::string& p) { return kelvara::writeBmp(p, image); }));
    }
    // Top-down rows (negative height).
    Bytes topDown = bmpHeader(4, -3, 8, 0, 12);
    for (int i = 0; i < 12; ++i) {
        topDown.push_back(static_cast<std::uint8_t>(i * 20));
    }
    put("bmp", "top-down.bmp", topDown);
    // RLE8: encoded run, absolute run (odd, padded), delta, end of line,
    // a run past the row's end, end of bitmap.
    const Bytes rle = {3, 7, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 0, 0, 9, 4, 0, 0, 2, 5, 0, 1};
    Bytes rleFile = bmpHeader(6, 4, 8, 1, static_cast<std::uint32_t>(rle.size()));
    rleFile.insert(rleFile.end(), rle.begin(), rle.end());
    put("bmp", "rle8.bmp", rleFile);
    // A 12-byte core header with a 3-byte-per-entry table.
    Bytes core = {'B', 'M'};
    le32(core, 14 + 12 + 768 + 4);
    le32(core, 0);
    le32(core, 14 + 12 + 768);
    le32(core, 12);
    le16(core, 2);
    le16(core, 2);
    le16(core, 1);
    le16(core, 8);
    for (unsigned i = 0; i < 256; ++i) {
        core.insert(core.end(), {static_cast<std::uint8_t>(i), 0, static_cast<std::uint8_t>(~i)});
    }
    core.insert(core.end(), {1, 2, 0, 0});
    put("bmp", "core-header.bmp", core);
    // Another depth (only probed), a file cut inside its rows, and a header
    // that declares the largest size with no pixels behind it.
    Bytes four = bmpHeader(2, 2, 4, 0, 8);
    four.insert(four.end(), 8, 0x12);
    put("bmp", "four-bit.bmp", four);
    Bytes cut = bmpHeader(16, 16, 8, 0, 256);
    cut.insert(cut.end(), 100, 0x55);
    put("bmp", "truncated.bmp", cut);
    put("bmp", "huge-declared.bmp", bmpHeader(65535, 65535, 8, 0, 0));
    put("bmp", "zero-width.bmp", bmpHeader(0, 5, 8, 0, 0));
}

// libpng's own writer, for the kinds the project never writes.
Bytes pngWith(unsigned width, unsigned height, int colorType, int bitDepth, int interlace,
              bool withTrns) {
    const std::string path = kelvara::fuzz::workPath("seed.png");
    FILE* f = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        std::fprintf(stderr, "libpng failed\n");
        std::exit(1);
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, bitDepth, colorType, interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[16];
    for (int i = 0; i < 16; ++i) {
        palette[i] = {static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 16), 9};
    }
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, palette, 16);
    }
    if (withTrns) {
        png_byte alpha[4] = {0, 64, 128, 255};
        png_set_tRNS(png, info, alpha, 4, nullptr);
    }
    png_write_info(png, info);
    png_set_interlace_handling(png);
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    std::vector<png_byte> row(rowBytes);
    const int passes = interlace == PNG_INTERLACE_ADAM7 ? 7 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        for (unsigned y = 0; y < height; ++y) {
            for (std::size_t x = 0; x < rowBytes; ++x) {
                row[x] = static_cast<png_byte>((x * 5 + y) & (bitDepth == 8 ? 0x0F : 0x11));
            }
            png_write_row(png, row.data());
        }
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    Bytes bytes = load(path);
    std::remove(path.c_str());
    return bytes;
}

void chunk(Bytes& png, const char* type, const Bytes& data) {
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    for (int shift = 24; shift >= 0; shift -= 8) {
        png.push_back(static_cast<std::uint8_t>(data.size() >> shift));
    }
    png.insert(png.end(), typed.begin(), typed.end());
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, typed.data(), typed.size()));
    for (int shift = 24; shift >= 0; shift -= 8) {
        png.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
}

void pngSeeds() {
    IndexedImage image;
    int variant = 0;
    for (const auto& [w, h] : {std::pair{1u, 1u}, {7u, 3u}, {16u, 16u}}) {
        makeImage(image, w, h, 16);
        for (const int level : {0, 9}) {
            const unsigned mask = variant % 2 == 0 ? 0x08u : 0xF8u;
            put("png",
                "writer-" + std::to_string(w) + "x" + std::to_string(h) + "-l" +
                    std::to_string(level) + ".png",
                written([&](const std::string& p) {
                    return kelvara::writePng(p, image, level, mask);
                }));
            ++variant;
        }
    }
    put("png", "grey8.png", pngWith(5, 4, PNG_COLOR_TYPE_GRAY, 8, PNG_INTERLACE_NONE, false));
    put("png", "grey16.png", pngWith(3, 3, PNG_COLOR_TYPE_GRAY, 16, PNG_INTERLACE_NONE, false));
    put("png", "grey-alpha8.png",
        pngWith(3, 3, PNG_COLOR_TYPE_GRAY_ALPHA, 8, PNG_INTERLACE_NONE, false));
    put("png", "rgb8.png", pngWith(3, 2, PNG_COLOR_TYPE_RGB, 8, PNG_INTERLACE_NONE, false));
    put("png", "palette4.png", pngWith(6, 3, PNG_COLOR_TYPE_PALETTE, 4, PNG_INTERLACE_NONE, false));
    put("png", "palette8-adam7.png",
        pngWith(9, 9, PNG_COLOR_TYPE_PALETTE, 8, PNG_INTERLACE_ADAM7, false));
    put("png", "palette8-trns.png",
        pngWith(4, 4, PNG_COLOR_TYPE_PALETTE, 8, PNG_INTERLACE_NONE, true));

    // The largest size a palette image may declare, with a few bytes of rows.
    const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    for (int i = 0; i < 2; ++i) {
        ihdr.insert(ihdr.end(), {0x00, 0x00, 0xFF, 0xFF});
    }
    ihdr.insert(ihdr.end(), {8, PNG_COLOR_TYPE_PALETTE, 0, 0, 0});
    Bytes huge = signature;
    chunk(huge, "IHDR", ihdr);
    chunk(huge, "PLTE", Bytes(6, 0x80));
    chunk(huge, "IDAT", deflated(Bytes(3000, 0)));
    chunk(huge, "IEND", {});
    put("png", "huge-declared.png", huge);
}

void xyzSeeds() {
    IndexedImage image;
    int level = -1;
    for (const auto& [w, h] : {std::pair{1u, 1u}, {4u, 3u}, {20u, 10u}}) {
        makeImage(image, w, h, 256);
        put("xyz", "writer-" + std::to_string(w) + "x" + std::to_string(h) + ".xyz",
            written([&](const std::string& p) { return kelvara::writeXyz(p, image, level); }));
        level += 5;
    }
    auto header = [](unsigned w, unsigned h) {
        Bytes b = {'X', 'Y', 'Z', '1'};
        le16(b, w);
        le16(b, h);
        return b;
    };
    Bytes palette(768);
    for (std::size_t i = 0; i < palette.size(); ++i) {
        palette[i] = static_cast<std::uint8_t>(i);
    }
    // A stream shorter than its image, one longer, none at all, one cut off.
    Bytes shortStream = header(8, 8);
    Bytes shortData = palette;
    shortData.insert(shortData.end(), 10, 3);
    const Bytes shortZ = deflated(shortData);
    shortStream.insert(shortStream.end(), shortZ.begin(), shortZ.end());
    put("xyz", "short-stream.xyz", shortStream);
    Bytes longStream = header(2, 2);
    Bytes longData = palette;
    longData.insert(longData.end(), 5000, 1);
    const Bytes longZ = deflated(longData);
    longStream.insert(longStream.end(), longZ.begin(), longZ.end());
    put("xyz", "long-stream.xyz", longStream);
    put("xyz", "no-stream.xyz", header(3, 3));
    Bytes cutStream = header(4, 4);
    cutStream.insert(cutStream.end(), longZ.begin(), longZ.begin() + 20);
    put("xyz", "cut-stream.xyz", cutStream);
    Bytes empty = header(0, 0);
    const Bytes paletteZ = deflated(palette);
    empty.insert(empty.end(), paletteZ.begin(), paletteZ.end());
    put("xyz", "zero-size.xyz", empty);
    Bytes huge = header(65535, 65535);
    huge.insert(huge.end(), shortZ.begin(), shortZ.end());
    put("xyz", "huge-declared.xyz", huge);
}

void textSeeds() {
    using namespace std::string_view_literals;
    put("ini", "settings-crlf",
        "[Convert]\r\nSaveMode=1\r\nSaveDir=/tmp/out\r\n\r\n[Png]\r\nCompLv=9\r\n"
        "\0Convert\x1FSaveMode\x1F#2\x1EPng\x1F"
        "Filter\x1F  3  \x1ENew\x1Fkey\x1Fvalue"sv);
    put("ini", "comments-duplicates",
        "; comment\n[a]\nk=1\n[A]\nk=2\n# k=3\n[b]\n  K  =  spaced  \nlast"
        "\0A\x1Fk\x1Fnew\x1E"
        "b\x1Fk\x1F\x1E"
        "b\x1Fz\x1Fline\nbreak"sv);
    put("ini", "unterminated",
        "[s]\nx=1\0s\x1Fy\x1F"
        "2\x1Et\x1Fq\x1F#-2147483648"sv);
    put("ini", "cr-only",
        "[s]\rx=1\r\0s\x1Fx\x1F"
        "5"sv);
    put("ini", "refused-names",
        "\0a]\x1Fk\x1Fv\x1E"
        "a\x1Fk=\x1Fv\x1E\x1Fk\x1Fv\x1E a\x1Fk\x1Fv"sv);
    put("ini", "empty", ""sv);

    put("command_line", "plain", "a.bmp b.png\tc.xyz"sv);
    put("command_line", "quoted", "\"/home/u/my pics/a.bmp\" \"\" b\"c d\"e"sv);
    put("command_line", "blanks", "   lead  and  trail   "sv);
    put("command_line", "unterminated", "x \"open quote y"sv);
    put("command_line", "multibyte", "\xE8\xA1\xA8.bmp \"\x95\x5C dir\\\" \x81"sv);
    put("command_line", "nul", "a b\0c d"sv);

    put("open_file_result", "single", "/p/a.bmp\0\0"sv);
    put("open_file_result", "several", "/p\0a.bmp\0b c.bmp\0\0junk\0"sv);
    put("open_file_result", "root", "/\0a\0b\0\0"sv);
    put("open_file_result", "empty", "\0\0"sv);
    put("open_file_result", "no-terminator", "/p\0a.bmp"sv);

    put("path", "posix", "/home/u/pics/a.tar.bmp"sv);
    put("path", "windows", "C:\\pics/sub\\A.BMP"sv);
    put("path", "shift-jis", "C:\\\x95\x5C\\\x83\x5C\x83\x5C.bmp"sv);
    put("path", "utf8", "/d/\xE8\xA1\xA8/\xF0\x9F\x98\x80.png"sv);
    put("path", "trailing", "C:\\pics\\"sv);
    put("path", "dots", "..\\.hidden.\x81."sv);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    root = argv[1];
    ::mkdir(root.c_str(), 0777);
    bmpSeeds();
    pngSeeds();
    xyzSeeds();
    textSeeds();
    return 0;
}
