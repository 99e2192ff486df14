#pragma once

#include <cstdint>

#include "codecs/codec_table.h"
#include "image/indexed_image.h"
#include "io/image_file.h"

namespace kelvara {

// Reads a PNG whose pixels are one byte deep (8-bit palette or 8-bit grey,
// the latter with a grey ramp palette); with options.expandLowDepth also 1-,
// 2- and 4-bit palette ones, one index a byte. A palette file's tRNS values
// become the image's palette alpha. False for anything else or any decoding
// error, saying why in options.failure.
bool readPng(ImageFile& source, IndexedImage& image, const ReadOptions& options = {});

// channels x bit depth after stripping alpha, or 0 when the file is not a
// PNG or cannot be decoded that far.
int probePng(ImageFile& source);

// Width x height as the IHDR declares them, 0 when it cannot be read.
std::uint64_t pngPixelCount(ImageFile& source);

// Writes an 8-bit palette PNG (IHDR, PLTE with every palette entry, tRNS
// when the image has palette alpha, IDAT, IEND) at compression level -1..9
// (-1: 6; 0: stored) with the row filters of filterMask (see filterRows),
// into a stream open for writing, which the caller commits.
bool writePng(ImageFile& target, const IndexedImage& image, int level, unsigned filterMask);

}  // namespace kelvara
