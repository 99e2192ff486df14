#include "codecs/png_filters.h"

#include <cstring>
#include <vector>

namespace kelvara {

namespace {

constexpr unsigned kNone = 0x08;
constexpr unsigned kSub = 0x10;
constexpr unsigned kUp = 0x20;
constexpr unsigned kAverage = 0x40;
constexpr unsigned kPaeth = 0x80;

enum Filter { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

// The prediction of a byte from a (left), b (above) and c (above left).
// Plain byte arithmetic without branches, so that the loops below vectorise.
template <Filter F>
inline std::uint8_t predict(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    if constexpr (F == None) {
        return 0;
    } else if constexpr (F == Sub) {
        return a;
    } else if constexpr (F == Up) {
        return b;
    } else if constexpr (F == Average) {
        return static_cast<std::uint8_t>((a & b) + ((a ^ b) >> 1));  // (a + b) / 2 in 8 bits
    } else {
        const std::int16_t pa = static_cast<std::int16_t>(b > c ? b - c : c - b);
        const std::int16_t pb = static_cast<std::int16_t>(a > c ? a - c : c - a);
        const std::int16_t sum = static_cast<std::int16_t>(a + b - 2 * c);
        const std::int16_t pc = static_cast<std::int16_t>(sum < 0 ? -sum : sum);
        return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
    }
}

// A filtered byte read as signed, by size (128 for 0x80).
inline std::uint32_t magnitude(std::uint8_t v) {
    const auto negated = static_cast<std::uint8_t>(-v);
    return v < negated ? v : negated;
}

// Filters one row of n bytes into out (when Store) and returns the sum of
// the filtered bytes' magnitudes (when Sum). prev is the row above (zeros
// for the first row).
template <Filter F, bool Store, bool Sum>
std::uint32_t filterRow(const std::uint8_t* __restrict row, const std::uint8_t* __restrict prev,
                        std::size_t n, std::uint8_t* __restrict out) {
    std::uint32_t sum = 0;
    const auto first = static_cast<std::uint8_t>(row[0] - predict<F>(0, prev[0], 0));
    if constexpr (Store) {
        out[0] = first;
    }
    if constexpr (Sum) {
        sum += magnitude(first);
    }
    for (std::size_t i = 1; i < n; ++i) {
        const auto v = static_cast<std::uint8_t>(row[i] - predict<F>(row[i - 1], prev[i], prev[i - 1]));
        if constexpr (Store) {
            out[i] = v;
        }
        if constexpr (Sum) {
            sum += magnitude(v);
        }
    }
    return sum;
}

using RowFunction = std::uint32_t (*)(const std::uint8_t*, const std::uint8_t*, std::size_t,
                                      std::uint8_t*);

constexpr RowFunction kStore[5] = {
    filterRow<None, true, false>, filterRow<Sub, true, false>, filterRow<Up, true, false>,
    filterRow<Average, true, false>, filterRow<Paeth, true, false>};
constexpr RowFunction kCost[5] = {
    filterRow<None, false, true>, filterRow<Sub, false, true>, filterRow<Up, false, true>,
    filterRow<Average, false, true>, filterRow<Paeth, false, true>};

}  // namespace

void filterRows(const std::uint8_t* top, std::ptrdiff_t stride, std::uint32_t width,
                std::uint32_t height, unsigned filterMask, std::uint8_t* out) {
    unsigned mask = filterMask & (kNone | kSub | kUp | kAverage | kPaeth);
    if (height == 1) {
        mask &= ~(kUp | kAverage | kPaeth);
    }
    if (width == 1) {
        mask &= ~(kSub | kAverage | kPaeth);
    }
    if (mask == 0) {
        mask = kNone;
    }
    int candidates[5];
    int count = 0;
    for (int f = None; f <= Paeth; ++f) {
        if ((mask & (kNone << f)) != 0) {
            candidates[count++] = f;
        }
    }
    const std::vector<std::uint8_t> zeros(width, 0);
    const std::uint8_t* prev = zeros.data();
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = top + static_cast<std::ptrdiff_t>(y) * stride;
        std::uint8_t* line = out + std::size_t{y} * (width + 1);
        int best = candidates[0];
        if (count > 1) {
            std::uint32_t least = kCost[best](row, prev, width, nullptr);
            for (int k = 1; k < count; ++k) {
                const std::uint32_t cost = kCost[candidates[k]](row, prev, width, nullptr);
                if (cost < least) {
                    least = cost;
                    best = candidates[k];
                }
            }
        }
        line[0] = static_cast<std::uint8_t>(best);
        kStore[best](row, prev, width, line + 1);
        prev = row;
    }
}

}  // namespace kelvara
