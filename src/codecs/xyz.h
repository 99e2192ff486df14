#pragma once

#include <cstdint>

#include "image/indexed_image.h"
#include "io/image_file.h"

namespace kelvara {

// "XYZ1", width and height (little-endian 16-bit), then one zlib stream of
// the 768-byte RGB palette followed by the pixel indices, top row first.
// False, leaving image empty, for a zero size or a stream that is damaged or
// holds less than palette and pixels (more is allowed and dropped).
bool readXyz(ImageFile& source, IndexedImage& image);

// 8 when readXyz accepts the file, otherwise 0.
int probeXyz(ImageFile& source);

// Width x height as the header declares them, 0 when it cannot be read.
std::uint64_t xyzPixelCount(ImageFile& source);

// Level -1..9, into a stream open for writing, which the caller commits.
bool writeXyz(ImageFile& target, const IndexedImage& image, int level);

}  // namespace kelvara
