#pragma once

#include "io/image_file.h"

namespace kelvara {

// Input and output chunk sizes of the stream helpers.
inline constexpr unsigned kZlibInputChunk = 32768;
inline constexpr unsigned kZlibOutputChunk = 32812;

// Decompresses one zlib stream from source (open for reading) into target
// (open for writing). True only when the stream reached its end intact.
bool inflateStream(ImageFile& source, ImageFile& target);

// Compresses everything from source's position to its end into one zlib
// stream written to target, at level -1..9.
bool deflateStream(ImageFile& source, ImageFile& target, int level);

}  // namespace kelvara
