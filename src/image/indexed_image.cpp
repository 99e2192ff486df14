#include "image/indexed_image.h"

#include <algorithm>
#include <cstring>

namespace kelvara {

void IndexedImage::setSize(std::uint32_t width, std::uint32_t height, bool zeroPixels,
                           std::size_t roomBefore) {
    reset();
    const auto w = static_cast<std::uint16_t>(width);
    const auto h = static_cast<std::uint16_t>(height);
    if (w == 0 || h == 0) {
        return;
    }
    width_ = w;
    height_ = h;
    // calloc hands back zeroed storage, so no separate clearing pass.
    const std::size_t count = static_cast<std::size_t>(w) * h;
    if (zeroPixels && roomBefore == 0) {
        pixels_.allocate(count);
    } else if (pixels_.allocateUninitialized(count, roomBefore) != nullptr && zeroPixels) {
        std::memset(pixels_.data(), 0, count);
    }
    palette_.allocate(kPaletteSize);
}

void IndexedImage::reset() {
    pixels_.release();
    width_ = 0;
    height_ = 0;
    palette_.release();
    alphaCount_ = 0;
}

void IndexedImage::setPaletteAlpha(const std::uint8_t* values, std::size_t count) {
    alphaCount_ = values == nullptr ? 0 : std::min<std::size_t>(count, kPaletteSize);
    std::copy(values, values + alphaCount_, alpha_.begin());
}

}  // namespace kelvara
