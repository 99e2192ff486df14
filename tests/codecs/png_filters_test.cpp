// The writer's row filters against libpng's own writer: for every mask the
// filtered rows (the filter type chosen for each row and its bytes) must be
// those libpng produces, on pictures of many shapes.
#include <png.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/png_filters.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Picture {
    const char* name;
    std::uint32_t width, height;
    Bytes pixels;
};

// Noise, a dithered gradient, flat blocks with sharp edges, and the shapes
// libpng treats apart (one row, one column).
std::vector<Picture> pictures() {
    std::mt19937 random(7);
    std::vector<Picture> all;
    const auto add = [&](const char* name, std::uint32_t w, std::uint32_t h, auto pixel) {
        Picture p{name, w, h, Bytes(std::size_t{w} * h)};
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) p.pixels[std::size_t{y} * w + x] = pixel(x, y);
        all.push_back(std::move(p));
    };
    const auto noise = [&](std::uint32_t, std::uint32_t) { return std::uint8_t(random()); };
    add("noise", 37, 23, noise);
    add("gradient", 64, 40, [&](std::uint32_t x, std::uint32_t y) {
        return std::uint8_t((x * 3 + y * 2) / 2 + random() % 3);
    });
    add("blocks", 50, 30, [](std::uint32_t x, std::uint32_t y) {
        return std::uint8_t((x / 7 % 3) * 80 + (y / 5 % 2) * 17);
    });
    add("one row", 17, 1, noise);
    add("one column", 1, 19, noise);
    add("two columns", 2, 9, noise);
    add("one pixel", 1, 1, noise);
    return all;
}

// libpng's rows: the picture written by libpng with this filter mask, its
// IDAT stream inflated.
Bytes libpngRows(const Picture& p, unsigned mask) {
    Bytes file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(
        png, &file,
        [](png_structp s, png_bytep data, png_size_t n) {
            auto* out = static_cast<Bytes*>(png_get_io_ptr(s));
            out->insert(out->end(), data, data + n);
        },
        nullptr);
    png_set_IHDR(png, info, p.width, p.height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(256);
    png_set_PLTE(png, info, palette.data(), 256);
    png_set_filter(png, 0, static_cast<int>(mask));
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < p.height; ++y)
        png_write_row(png, p.pixels.data() + std::size_t{y} * p.width);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);

    Bytes stream;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::size_t length = std::size_t{file[at]} << 24 | file[at + 1] << 16 |
                                   file[at + 2] << 8 | file[at + 3];
        if (std::memcmp(&file[at + 4], "IDAT", 4) == 0)
            stream.insert(stream.end(), &file[at + 8], &file[at + 8] + length);
        at += length + 12;
    }
    Bytes rows(std::size_t{p.width + 1} * p.height);
    uLongf size = rows.size();
    return uncompress(rows.data(), &size, stream.data(), stream.size()) == Z_OK && size == rows.size()
               ? rows
               : Bytes{};
}

TEST(PngFilters, RowsAreThoseLibpngWrites) {
    // Each filter alone, every filter, and mixes the heuristic chooses among.
    for (const unsigned mask : {0x08u, 0x10u, 0x20u, 0x40u, 0x80u, 0xF8u, 0x30u, 0xC0u, 0x58u, 0xA8u}) {
        for (const Picture& p : pictures()) {
            const Bytes expected = libpngRows(p, mask);
            ASSERT_FALSE(expected.empty()) << p.name;
            Bytes rows(expected.size());
            kelvara::filterRows(p.pixels.data(), p.width, p.width, p.height, mask, rows.data());
            EXPECT_EQ(rows, expected) << p.name << ", mask 0x" << std::hex << mask;
        }
    }
}

}  // namespace
