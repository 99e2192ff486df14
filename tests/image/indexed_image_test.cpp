#include "image/indexed_image.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kelvara {
namespace {

TEST(SharedBuffer, CopiesShareZeroedStorageUntilTheLastHolderReleases) {
    SharedBuffer<std::uint8_t> first, assigned;
    EXPECT_EQ(first.allocate(0), nullptr);
    std::uint8_t* storage = first.allocate(16);
    ASSERT_NE(storage, nullptr);
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](std::uint8_t b) { return b == 0; }));
    storage[3] = 42;
    SharedBuffer<std::uint8_t> copy(first);
    assigned.allocate(4);
    assigned = copy;
    EXPECT_EQ(assigned.data(), storage);
    EXPECT_EQ(first.holders(), 3);
    first.release();
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(copy.count(), 16u);
    EXPECT_EQ(copy[3], 42);
    EXPECT_EQ(copy.holders(), 2);

    // An allocation that cannot be satisfied (its byte count would overflow)
    // leaves the buffer empty, releasing what it held.
    SharedBuffer<PaletteEntry> palette;
    palette.allocate(4);
    EXPECT_EQ(palette.allocate(SIZE_MAX / 2), nullptr);
    EXPECT_TRUE(palette.empty());
}

TEST(IndexedImage, SizesAndEmptiness) {
    IndexedImage image;
    image.setSize(3, 2);
    ASSERT_EQ(image.pixelCount(), 6u);
    EXPECT_TRUE(std::all_of(image.pixels(), image.pixels() + 6, [](auto b) { return b == 0; }));
    ASSERT_EQ(image.paletteCount(), 256u);
    EXPECT_TRUE(std::all_of(image.palette(), image.palette() + 256,
                            [](const PaletteEntry& e) { return e == PaletteEntry{}; }));
    image.setSize(0x10002, 0x10003);  // the low 16 bits of each count
    EXPECT_EQ(image.width(), 2);
    EXPECT_EQ(image.height(), 3);
    for (auto [w, h] : {std::pair{0u, 7u}, {7u, 0u}, {0x10000u, 5u}}) {
        image.setSize(w, h);
        EXPECT_TRUE(image.isEmpty() && !image.hasPixels());
        EXPECT_EQ(std::tuple(image.width(), image.height(), image.paletteCount()),
                  std::tuple(0, 0, 0u));
        EXPECT_EQ(image.cursor(), nullptr);
    }
}

TEST(IndexedImage, CursorIsClampedToThePixels) {
    IndexedImage image;
    image.setSize(3, 4);
    const std::uint8_t* start = image.pixels();
    EXPECT_EQ(image.cursor(), start);
    EXPECT_EQ(image.seekPixel(1, 2), start + 7);
    EXPECT_EQ(image.seekPixel(3, 0), start + 7);  // out of range: unchanged
    EXPECT_EQ(image.seekPixel(0, 4), start + 7);
    EXPECT_EQ(image.previousRow(), start + 4);
    EXPECT_EQ(image.previousRow(), start + 1);
    EXPECT_EQ(image.previousRow(), start);  // clamped to the start
    image.seekPixel(2, 2);
    EXPECT_EQ(image.nextRow(), start + 11);
    EXPECT_EQ(image.nextRow(), start + 12);  // clamped to the end
    EXPECT_EQ(image.nextRow(), start + 12);
}

TEST(IndexedImage, PaletteEntriesAndReset) {
    IndexedImage image;
    EXPECT_FALSE(image.setPaletteEntry(0, 1, 2, 3));  // no palette yet
    image.setSize(2, 2);
    EXPECT_TRUE(image.setPaletteEntry(255, 1, 2, 3));
    EXPECT_FALSE(image.setPaletteEntry(256, 9, 9, 9));
    EXPECT_EQ(image.palette()[255], (PaletteEntry{1, 2, 3}));
    image.reset();
    EXPECT_TRUE(image.isEmpty() && !image.hasPixels() && image.cursor() == nullptr);
}

}  // namespace
}  // namespace kelvara
