// Writes the bundled sample images with the project's own writers:
//   make_examples <folder>
// Small 8-bit images of each format (some in a subfolder, to show
// --keep-tree), one 24-bit bitmap the converter refuses, and a text file.

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codecs/codec_table.h"
#include "image/indexed_image.h"

namespace {

using namespace kelvara;

using Pixel = std::function<std::uint8_t(int x, int y)>;
using Colour = std::function<PaletteEntry(int index)>;

std::uint8_t clampByte(double v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

bool paint(IndexedImage& image, int width, int height, const Colour& colour, const Pixel& pixel) {
    image.setSize(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    if (!image.hasPixels()) {
        return false;
    }
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry c = colour(i);
        image.setPaletteEntry(static_cast<std::uint16_t>(i), c.red, c.green, c.blue);
    }
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = image.row(static_cast<std::uint16_t>(y));
        for (int x = 0; x < width; ++x) {
            row[x] = pixel(x, y);
        }
    }
    return true;
}

// A small fixed pseudo-random sequence, so the files come out the same on
// every run.
std::uint32_t noise(int x, int y) {
    std::uint32_t h =
        static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

PaletteEntry sunsetColour(int i) {
    return {clampByte(60 + i * 0.8), clampByte(20 + i * 0.55), clampByte(110 - i * 0.4)};
}

PaletteEntry rainbowColour(int i) {
    const double t = i / 256.0 * 6.283185307;
    return {clampByte(128 + 127 * std::sin(t)), clampByte(128 + 127 * std::sin(t + 2.094)),
            clampByte(128 + 127 * std::sin(t + 4.189))};
}

PaletteEntry spriteColour(int i) {
    static const PaletteEntry kColours[] = {{20, 20, 40},  {240, 240, 250}, {250, 200, 40},
                                            {200, 60, 60}, {60, 160, 220},  {120, 80, 40}};
    return i < 6 ? kColours[i] : PaletteEntry{0, 0, 0};
}

// 16x16 pixel art: one character per pixel, '.' is the background.
Pixel sprite(const char* const* rows) {
    return [rows](int x, int y) -> std::uint8_t {
        switch (rows[y][x]) {
            case '#':
                return 1;
            case 'o':
                return 2;
            case 'r':
                return 3;
            case 'b':
                return 4;
            case 'w':
                return 5;
            default:
                return 0;
        }
    };
}

const char* const kGhost[16] = {
    "................", ".....######.....", "...##########...", "..############..",
    "..##bb####bb##..", ".###bb####bb###.", ".##############.", ".##############.",
    ".##############.", ".##############.", ".######rr######.", ".######rr######.",
    ".##############.", ".##.###..###.##.", ".#...##..##...#.", "................"};
const char* const kCoin[16] = {
    "................", ".....oooooo.....", "...oooooooooo...", "..oooowwwwoooo..",
    "..ooowoooowooo..", ".oooowooooooooo.", ".ooooowwwwooooo.", ".ooooooooowoooo.",
    ".ooooooooowoooo.", ".oooowooooooooo.", "..ooowwwwwwooo..", "..oooooooooooo..",
    "...oooooooooo...", ".....oooooo.....", "................", "................"};
const char* const kKey[16] = {
    "................", "..oooo..........", ".oooooo.........", "oo....oo........",
    "oo....oo........", "oo....oooooooooo", ".oooooooooooooo.", "..oooo.....o.o..",
    "...........o.o..", "...........o....", "................", "................",
    "................", "................", "................", "................"};

// A 24-bit bitmap, written by hand: the project's writers only make 8-bit ones.
bool write24BitBmp(const std::string& path, int width, int height) {
    const int stride = (width * 3 + 3) / 4 * 4;
    const std::uint32_t imageSize = static_cast<std::uint32_t>(stride * height);
    std::vector<std::uint8_t> file(54 + imageSize, 0);
    auto le32 = [&](std::size_t at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) {
            file[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
        }
    };
    file[0] = 'B';
    file[1] = 'M';
    le32(2, static_cast<std::uint32_t>(file.size()));
    le32(10, 54);
    le32(14, 40);
    le32(18, static_cast<std::uint32_t>(width));
    le32(22, static_cast<std::uint32_t>(height));
    file[26] = 1;   // planes
    file[28] = 24;  // bits per pixel
    le32(34, imageSize);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = file.data() + 54 + static_cast<std::size_t>((height - 1 - y) * stride);
        for (int x = 0; x < width; ++x) {
            row[x * 3 + 0] = static_cast<std::uint8_t>(255 * y / height);    // blue
            row[x * 3 + 1] = static_cast<std::uint8_t>(255 * x / width);     // green
            row[x * 3 + 2] = static_cast<std::uint8_t>(noise(x, y) & 0x3F);  // red
        }
    }
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    const std::unique_ptr<std::FILE, Closer> out(std::fopen(path.c_str(), "wb"));
    return out && std::fwrite(file.data(), 1, file.size(), out.get()) == file.size();
}

bool writeText(const std::string& path, const std::string& text) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    const std::unique_ptr<std::FILE, Closer> out(std::fopen(path.c_str(), "wb"));
    return out && std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
}

constexpr char kReadme[] =
    "Sample images for kelvara-batch, made by src/batch/make_examples.\n"
    "\n"
    "  *.bmp, *.png, *.xyz   8-bit palette images (sprites/ holds three more)\n"
    "  photo-24bit.bmp       a 24-bit bitmap: reported as not-8-bit\n"
    "  README.txt            another type: skipped, or copied with --others copy\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_examples <folder>\n");
        return 2;
    }
    const std::string dir = argv[1];
    ::mkdir(dir.c_str(), 0777);
    ::mkdir((dir + "/sprites").c_str(), 0777);

    bool ok = true;
    IndexedImage image;
    EncodeOptions options;
    options.pngLevel = options.xyzLevel = 9;
    const auto writer = [&](ImageFormat format) {
        return [&, format](const std::string& name) {
            ok = ok && writeImage(*codecFor(format), dir + "/" + name, image, options);
        };
    };
    const auto bmp = writer(ImageFormat::Bmp);
    const auto png = writer(ImageFormat::Png);
    const auto xyz = writer(ImageFormat::Xyz);

    ok = ok && paint(image, 80, 48, sunsetColour, [](int x, int y) {
             // A vertical ramp with a sun disc and a little dither.
             const int dx = x - 56, dy = y - 30;
             if (dx * dx + dy * dy < 120) {
                 return std::uint8_t{255};
             }
             return static_cast<std::uint8_t>(std::min(254u, y * 5u + (noise(x, y) & 7u)));
         });
    bmp("sunset.bmp");
    ok = ok && paint(image, 64, 64, rainbowColour, [](int x, int y) {
             return static_cast<std::uint8_t>(((x / 8 + y / 8) % 2) * 128 + (x / 8) * 16);
         });
    bmp("tiles.bmp");
    ok = ok && paint(image, 80, 80, rainbowColour, [](int x, int y) {
             const int dx = x - 40, dy = y - 40;
             return static_cast<std::uint8_t>(static_cast<int>(std::sqrt(dx * dx + dy * dy)) * 6);
         });
    png("rings.png");
    ok = ok && paint(image, 48, 48, sunsetColour, [](int x, int y) {
             return static_cast<std::uint8_t>((x * 4 + (noise(x, y) & 31u)) & 0xFF);
         });
    png("noise.png");
    ok = ok && paint(image, 64, 64, rainbowColour, [](int x, int y) {
             const double v = std::sin(x / 6.0) + std::sin(y / 5.0) + std::sin((x + y) / 9.0);
             return static_cast<std::uint8_t>(static_cast<int>((v + 3) * 42) & 0xFF);
         });
    xyz("plasma.xyz");
    ok = ok && paint(image, 64, 32, sunsetColour, [](int x, int y) {
             return static_cast<std::uint8_t>(((x + y) / 6 % 4) * 64);
         });
    xyz("stripes.xyz");

    ok = ok && paint(image, 16, 16, spriteColour, sprite(kGhost));
    bmp("sprites/ghost.bmp");
    ok = ok && paint(image, 16, 16, spriteColour, sprite(kCoin));
    png("sprites/coin.png");
    ok = ok && paint(image, 16, 16, spriteColour, sprite(kKey));
    xyz("sprites/key.xyz");

    ok = ok && write24BitBmp(dir + "/photo-24bit.bmp", 32, 24);
    ok = ok && writeText(dir + "/README.txt", kReadme);
    if (!ok) {
        std::fprintf(stderr, "make_examples: could not write everything into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
