#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/shared_buffer.h"

namespace kelvara {

struct PaletteEntry {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;

    friend bool operator==(const PaletteEntry&, const PaletteEntry&) = default;
};
static_assert(sizeof(PaletteEntry) == 3);

// An 8-bit palette image: width x height indices, top row first, no row
// padding, and always 256 palette entries once sized. Codecs reach rows by
// index (row(y)).
class IndexedImage {
public:
    static constexpr unsigned kPaletteSize = 256;

    IndexedImage() = default;
    IndexedImage(const IndexedImage&) = delete;
    IndexedImage& operator=(const IndexedImage&) = delete;

    // Empties the image, then (for two non-zero dimensions) obtains zeroed
    // pixels and a black palette. A reader that will overwrite every pixel
    // may pass zeroPixels = false to skip the clearing. When the pixels cannot
    // be obtained the dimensions stay set and hasPixels() is false: callers
    // must check. roomBefore bytes of scratch space (not cleared) lie just
    // before pixels(), for a reader whose data holds a table right before
    // the pixels and is decoded in one piece.
    void setSize(std::uint32_t width, std::uint32_t height, bool zeroPixels = true,
                 std::size_t roomBefore = 0);
    void reset();
    // Inline: readers set all 256 entries of every image.
    bool setPaletteEntry(std::uint16_t index, std::uint8_t red, std::uint8_t green,
                         std::uint8_t blue) {
        if (palette_.empty() || index >= palette_.count()) {
            return false;
        }
        palette_[index] = PaletteEntry{red, green, blue};
        return true;
    }
    // Opacity of the first `count` palette entries (the rest are opaque), as
    // a palette PNG carries it; only formats that can store it fill it in.
    // More than 256 values are cut; setSize and reset empty it.
    void setPaletteAlpha(const std::uint8_t* values, std::size_t count);


    std::uint16_t width() const { return width_; }
    std::uint16_t height() const { return height_; }
    bool isEmpty() const { return width_ == 0 || height_ == 0; }
    bool hasPixels() const { return !pixels_.empty(); }
    std::uint8_t* pixels() const { return pixels_.data(); }
    std::size_t pixelCount() const { return pixels_.count(); }
    std::uint8_t* row(std::uint16_t y) const {
        return pixels_.data() + static_cast<std::size_t>(y) * width_;
    }
    const PaletteEntry* palette() const { return palette_.data(); }
    std::size_t paletteCount() const { return palette_.count(); }
    const std::uint8_t* paletteAlpha() const { return alpha_.data(); }
    std::size_t paletteAlphaCount() const { return alphaCount_; }

private:
    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
    SharedBuffer<std::uint8_t> pixels_;
    SharedBuffer<PaletteEntry> palette_;
    std::array<std::uint8_t, kPaletteSize> alpha_{};
    std::size_t alphaCount_ = 0;
};

}  // namespace kelvara
