// Writes a folder of 8-bit palette bitmaps that look like quantised artwork,
// for bench/peers.sh: smooth gradients, gradients with a fine dither, coarse
// texture and flat blocks, over a 256-colour palette whose neighbouring
// indices are neighbouring colours. Random bytes would give deflate (and so
// every tool's time and output size) work unlike that of any real file.
//
// Usage: peers_make_corpus DIR PREFIX COUNT WIDTH HEIGHT SEED
// Writes DIR/PREFIX-0000.bmp ... as bottom-up bitmaps with a 40-byte info
// header and a full 256-entry colour table. The same arguments always give
// the same bytes.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

using namespace kelvara::bench;

constexpr double kTwoPi = 6.283185307179586;
constexpr std::size_t kHeadersSize = 14 + 40;
constexpr std::size_t kTableSize = 4 * 256;

// Small and fast; the corpus only needs to be varied and repeatable.
struct Random {
    std::uint64_t state;
    explicit Random(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<std::uint32_t>(state >> 11);
    }
    std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : next() % n; }
    double unit() { return (next() & 0xFFFFFF) / 16777216.0; }
};

// Rows top first, width bytes each.
void paint(std::vector<std::uint8_t>& pixels, std::uint32_t w, std::uint32_t h, Random& random) {
    // Wavelengths follow the image size so a sprite and a poster look alike.
    const double scale = std::max(w, h);
    const double fx = scale * (0.06 + 0.08 * random.unit());
    const double fy = scale * (0.05 + 0.08 * random.unit());
    const double fd = scale * (0.03 + 0.05 * random.unit());
    const double px = kTwoPi * random.unit();
    const double py = kTwoPi * random.unit();
    const double pd = kTwoPi * random.unit();
    const double amp1 = 50 + 30 * random.unit();
    const double amp2 = 25 + 25 * random.unit();

    // The field is separable, so each sine is taken once per column or row.
    std::vector<double> sx(w), su(w), cu(w);
    for (std::uint32_t x = 0; x < w; ++x) {
        sx[x] = std::sin(x / fx + px);
        su[x] = std::sin(x / fd);
        cu[x] = std::cos(x / fd);
    }
    const std::uint32_t tile = std::max<std::uint32_t>(8, std::max(w, h) / 8);
    const unsigned zoneShift = random.below(4);
    for (std::uint32_t y = 0; y < h; ++y) {
        const double cy = amp1 * std::cos(y / fy + py);
        const double sv = amp2 * std::sin(2.0 * y / fd + pd);
        const double cv = amp2 * std::cos(2.0 * y / fd + pd);
        std::uint8_t* row = pixels.data() + std::size_t{y} * w;
        for (std::uint32_t x = 0; x < w; ++x) {
            const double base = 128 + sx[x] * cy + su[x] * cv + cu[x] * sv;
            // Noise by tile: none, fine dither, coarse texture, light dither.
            const unsigned zone = (x / tile + y / tile * 3 + zoneShift) % 4;
            int noise = 0;
            if (zone == 1) {
                noise = static_cast<int>(random.below(5)) - 2;
            } else if (zone == 2) {
                noise = static_cast<int>(random.below(41)) - 20;
            } else if (zone == 3) {
                noise = static_cast<int>(random.below(3)) - 1;
            }
            row[x] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(base) + noise, 0, 255));
        }
    }
    // Flat blocks, as backgrounds, borders and filled shapes give. Their
    // sides follow the image's, so a fixed count covers about a third of
    // any image.
    for (unsigned n = 0; n < 40; ++n) {
        const std::uint32_t bw = std::max<std::uint32_t>(1, w / 64 + random.below(w / 6 + 1));
        const std::uint32_t bh = std::max<std::uint32_t>(1, h / 64 + random.below(h / 6 + 1));
        const std::uint32_t x0 = random.below(w - std::min(bw, w) + 1);
        const std::uint32_t y0 = random.below(h - std::min(bh, h) + 1);
        const auto value = static_cast<std::uint8_t>(random.next());
        for (std::uint32_t y = y0; y < std::min(h, y0 + bh); ++y) {
            std::memset(pixels.data() + std::size_t{y} * w + x0, value, std::min(bw, w - x0));
        }
    }
}


bool writeBitmap(const std::string& path, std::uint32_t w, std::uint32_t h,
                 const std::vector<std::uint8_t>& pixels, Random& random) {
    const std::size_t stride = (std::size_t{w} + 3) / 4 * 4;
    const std::size_t size = kHeadersSize + kTableSize + stride * h;
    std::vector<std::uint8_t> file(size, 0);
    std::uint8_t* head = file.data();
    head[0] = 'B';
    head[1] = 'M';
    putLe32(head + 2, static_cast<std::uint32_t>(size));
    putLe32(head + 10, kHeadersSize + kTableSize);
    putLe32(head + 14, 40);
    putLe32(head + 18, w);
    putLe32(head + 22, h);
    putLe16(head + 26, 1);
    putLe16(head + 28, 8);
    putLe32(head + 34, static_cast<std::uint32_t>(stride * h));
    putLe32(head + 38, 2835);  // 72 dpi
    putLe32(head + 42, 2835);
    putLe32(head + 46, 256);
    // A smooth walk through colour space, so nearby indices are nearby colours.
    const double phase[3] = {random.unit(), random.unit(), random.unit()};
    const double turns = 0.6 + 0.8 * random.unit();
    for (unsigned i = 0; i < 256; ++i) {
        const double t = turns * i / 255.0;
        std::uint8_t* e = head + kHeadersSize + 4 * i;
        for (int c = 0; c < 3; ++c) {  // stored blue, green, red
            e[2 - c] = static_cast<std::uint8_t>(127.5 + 127.5 * std::sin(kTwoPi * (t + phase[c])));
        }
    }
    for (std::uint32_t y = 0; y < h; ++y) {
        std::memcpy(file.data() + kHeadersSize + kTableSize + (h - 1 - y) * stride,
                    pixels.data() + std::size_t{y} * w, w);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = writeFully(fd, file.data(), file.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s DIR PREFIX COUNT WIDTH HEIGHT SEED\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string prefix = argv[2];
    const long count = std::strtol(argv[3], nullptr, 10);
    const long width = std::strtol(argv[4], nullptr, 10);
    const long height = std::strtol(argv[5], nullptr, 10);
    const unsigned long long seed = std::strtoull(argv[6], nullptr, 10);
    if (count < 0 || width < 1 || width > 65535 || height < 1 || height > 65535) {
        std::fprintf(stderr, "%s: bad count or size\n", argv[0]);
        return 2;
    }
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    std::vector<std::uint8_t> pixels(std::size_t{w} * h);
    for (long i = 0; i < count; ++i) {
        Random random(seed * 1000003ULL + static_cast<unsigned long long>(i));
        paint(pixels, w, h, random);
        char name[32];
        std::snprintf(name, sizeof name, "-%04ld.bmp", i);
        const std::string path = dir + "/" + prefix + name;
        if (!writeBitmap(path, w, h, pixels, random)) {
            std::fprintf(stderr, "%s: %s: %s\n", argv[0], path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}
