#include "image/indexed_image.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kelvara {
namespace {

TEST(SharedBuffer, CopiesShareStorageUntilTheLastHolderReleases) {
    SharedBuffer<std::uint8_t> first;
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(first.allocate(0), nullptr);
    EXPECT_TRUE(first.empty());

    std::uint8_t* storage = first.allocate(16);
    ASSERT_NE(storage, nullptr);
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](std::uint8_t b) { return b == 0; }));
    storage[3] = 42;

    SharedBuffer<std::uint8_t> copy(first);
    EXPECT_EQ(copy.data(), storage);
    EXPECT_EQ(first.holders(), 2);

    first.release();
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(first.count(), 0u);
    EXPECT_EQ(copy.count(), 16u);
    EXPECT_EQ(copy[3], 42);
    EXPECT_EQ(copy.holders(), 1);

    SharedBuffer<std::uint8_t> assigned;
    assigned.allocate(4);
    assigned = copy;
    EXPECT_EQ(assigned.data(), copy.data());
    EXPECT_EQ(copy.holders(), 2);
}

TEST(SharedBuffer, AllocationThatCannotBeSatisfiedLeavesTheBufferEmpty) {
    SharedBuffer<PaletteEntry> buffer;
    buffer.allocate(4);
    EXPECT_EQ(buffer.allocate(SIZE_MAX / 2), nullptr);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.count(), 0u);
}

TEST(IndexedImage, ZeroDimensionGivesAnEmptyImage) {
    IndexedImage image;
    for (auto [w, h] : {std::pair{0u, 7u}, std::pair{7u, 0u}, std::pair{0x10000u, 5u}}) {
        image.setSize(3, 3);
        image.setSize(w, h);
        EXPECT_TRUE(image.isEmpty());
        EXPECT_EQ(image.width(), 0);
        EXPECT_EQ(image.height(), 0);
        EXPECT_FALSE(image.hasPixels());
        EXPECT_EQ(image.paletteCount(), 0u);
        EXPECT_EQ(image.cursor(), nullptr);
    }
}

TEST(IndexedImage, SetSizeGivesZeroedPixelsAndBlackPalette) {
    IndexedImage image;
    image.setSize(3, 2);
    ASSERT_TRUE(image.hasPixels());
    EXPECT_EQ(image.pixelCount(), 6u);
    EXPECT_TRUE(std::all_of(image.pixels(), image.pixels() + 6, [](auto b) { return b == 0; }));
    ASSERT_EQ(image.paletteCount(), 256u);
    EXPECT_TRUE(std::all_of(image.palette(), image.palette() + 256,
                            [](const PaletteEntry& e) { return e == PaletteEntry{}; }));
    EXPECT_EQ(image.cursor(), image.pixels());

    // Dimensions take the low 16 bits of each count.
    image.setSize(0x10002, 0x10003);
    EXPECT_EQ(image.width(), 2);
    EXPECT_EQ(image.height(), 3);
}

TEST(IndexedImage, CursorIsClampedToThePixels) {
    IndexedImage image;
    image.setSize(3, 4);
    std::uint8_t* start = image.pixels();

    EXPECT_EQ(image.seekPixel(1, 2), start + 7);
    EXPECT_EQ(image.seekPixel(3, 0), start + 7);  // x out of range: unchanged
    EXPECT_EQ(image.seekPixel(0, 4), start + 7);  // y out of range: unchanged

    EXPECT_EQ(image.previousRow(), start + 4);
    EXPECT_EQ(image.previousRow(), start + 1);
    EXPECT_EQ(image.previousRow(), start);  // before the top row: clamped to the start
    EXPECT_EQ(image.previousRow(), start);

    image.seekPixel(2, 2);
    EXPECT_EQ(image.nextRow(), start + 11);
    EXPECT_EQ(image.nextRow(), start + 12);  // past the last byte: clamped to the end
    EXPECT_EQ(image.nextRow(), start + 12);
}

TEST(IndexedImage, PaletteEntriesAndClear) {
    IndexedImage image;
    EXPECT_FALSE(image.setPaletteEntry(0, 1, 2, 3));  // no palette yet

    image.setSize(2, 2);
    EXPECT_TRUE(image.setPaletteEntry(255, 1, 2, 3));
    EXPECT_EQ(image.palette()[255], (PaletteEntry{1, 2, 3}));
    EXPECT_FALSE(image.setPaletteEntry(256, 9, 9, 9));
    EXPECT_EQ(image.palette()[255], (PaletteEntry{1, 2, 3}));

    image.pixels()[3] = 7;
    image.clear(false);
    EXPECT_EQ(image.pixels()[3], 0);
    EXPECT_EQ(image.palette()[255], (PaletteEntry{1, 2, 3}));
    image.clear(true);
    EXPECT_EQ(image.palette()[255], PaletteEntry{});

    image.reset();
    EXPECT_TRUE(image.isEmpty());
    EXPECT_FALSE(image.hasPixels());
    EXPECT_EQ(image.cursor(), nullptr);
    image.clear(true);  // harmless on an empty image
}

}  // namespace
}  // namespace kelvara
