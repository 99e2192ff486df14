#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvara {

// Filters the rows of an image of one byte per pixel for a PNG stream: the
// top row starts at `top`, each next one `stride` bytes further (negative
// for rows stored bottom-up). out receives, for each row top first, its
// filter type byte and its width filtered bytes (height * (width + 1) bytes). filterMask holds the filters
// allowed, in libpng's bits (0x08 none, 0x10 sub, 0x20 up, 0x40 average,
// 0x80 Paeth). With one filter every row gets it; with several, each row gets
// the one whose bytes, read as signed, have the smallest sum of magnitudes,
// the lowest filter type on a tie, as libpng chooses. As there, filters that
// need a row above are dropped for a single row, those that need a pixel to
// the left for a single column, and no filter left means none.
void filterRows(const std::uint8_t* top, std::ptrdiff_t stride, std::uint32_t width,
                std::uint32_t height, unsigned filterMask, std::uint8_t* out);

}  // namespace kelvara
