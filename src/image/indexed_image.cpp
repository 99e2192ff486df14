#include "image/indexed_image.h"

#include <algorithm>
#include <cstring>

namespace kelvara {

void IndexedImage::setSize(std::uint32_t width, std::uint32_t height, bool zeroPixels) {
    reset();
    const auto w = static_cast<std::uint16_t>(width);
    const auto h = static_cast<std::uint16_t>(height);
    if (w == 0 || h == 0) {
        return;
    }
    width_ = w;
    height_ = h;
    // calloc hands back zeroed storage, so no separate clearing pass.
    if (zeroPixels) {
        pixels_.allocate(static_cast<std::size_t>(w) * h);
    } else {
        pixels_.allocateUninitialized(static_cast<std::size_t>(w) * h);
    }
    palette_.allocate(kPaletteSize);
    cursor_ = pixels_.data();
}

void IndexedImage::reset() {
    pixels_.release();
    cursor_ = nullptr;
    width_ = 0;
    height_ = 0;
    palette_.release();
    alphaCount_ = 0;
}

void IndexedImage::clear(bool withPalette) {
    if (!pixels_.empty()) {
        std::memset(pixels_.data(), 0, pixels_.count());
    }
    if (withPalette && !palette_.empty()) {
        std::fill(palette_.begin(), palette_.end(), PaletteEntry{});
    }
}

bool IndexedImage::setPaletteEntry(std::uint16_t index, std::uint8_t red, std::uint8_t green,
                                   std::uint8_t blue) {
    if (palette_.empty() || index >= palette_.count()) {
        return false;
    }
    palette_[index] = PaletteEntry{red, green, blue};
    return true;
}

void IndexedImage::setPaletteAlpha(const std::uint8_t* values, std::size_t count) {
    alphaCount_ = values == nullptr ? 0 : std::min<std::size_t>(count, kPaletteSize);
    std::copy(values, values + alphaCount_, alpha_.begin());
}

std::uint8_t* IndexedImage::seekPixel(std::uint16_t x, std::uint16_t y) {
    if (x < width_ && y < height_ && !pixels_.empty()) {
        cursor_ = row(y) + x;
    }
    return cursor_;
}

std::uint8_t* IndexedImage::previousRow() {
    if (cursor_ == nullptr) {
        return cursor_;
    }
    const std::size_t offset = static_cast<std::size_t>(cursor_ - pixels_.data());
    cursor_ = offset >= width_ ? cursor_ - width_ : pixels_.data();
    return cursor_;
}

std::uint8_t* IndexedImage::nextRow() {
    if (cursor_ == nullptr) {
        return cursor_;
    }
    const std::size_t offset = static_cast<std::size_t>(cursor_ - pixels_.data());
    cursor_ = pixels_.count() - offset > width_ ? cursor_ + width_ : pixels_.end();
    return cursor_;
}

}  // namespace kelvara
