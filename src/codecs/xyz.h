#pragma once

#include <string>

#include "image/indexed_image.h"
#include "io/image_file.h"

namespace kelvara {

// "XYZ1", width and height (little-endian 16-bit), then one zlib stream of
// the 768-byte RGB palette followed by the pixel indices, top row first.
// False, leaving image empty, for a zero size or a stream that is damaged or
// holds less than palette and pixels (more is allowed and dropped).
bool readXyz(const std::string& sourcePath, IndexedImage& image);

// 8 when readXyz accepts the file, otherwise 0.
int probeXyz(const std::string& sourcePath);

// Level -1..9. The target is replaced only when the whole file was written.
bool writeXyz(const std::string& targetPath, const IndexedImage& image, int level);
// The same into a stream open for writing, which the caller commits.
bool writeXyz(ImageFile& target, const IndexedImage& image, int level);

}  // namespace kelvara
