#pragma once

#include <cstdint>
#include <string>

#include "codecs/codec_table.h"
#include "image/indexed_image.h"
#include "io/image_file.h"

namespace kelvara {

// Reads an 8-bit bitmap (40-byte info header or 12-byte core header; plain
// rows or RLE8) into image; with options.expandLowDepth also 1-, 2- and 4-bit
// ones (plain, or RLE4), one index a byte. False, leaving image empty and
// saying why in options.failure, when the file is not such a bitmap, has no
// pixels, or lacks pixel data it declares.
bool readBmp(ImageFile& source, IndexedImage& image, const ReadOptions& options = {});

// The bit count of a bitmap with a 40- or 12-byte header, 0 for anything
// else (including a file that ends inside its headers).
std::uint16_t probeBmp(ImageFile& source);

// Width x height as the headers declare them, 0 when they cannot be read.
std::uint64_t bmpPixelCount(ImageFile& source);

// Writes image as an 8-bit bitmap with a 40-byte header and its whole
// palette into a stream open for writing, which the caller commits.
bool writeBmp(ImageFile& target, const IndexedImage& image);

}  // namespace kelvara
