#pragma once

#include <sys/uio.h>

#include <cstdint>

#include "io/image_file.h"

namespace kelvara {

// Input and output chunk sizes of the stream helpers' working space.
inline constexpr unsigned kZlibInputChunk = 32768;
inline constexpr unsigned kZlibOutputChunk = 32812;

// Decompresses one zlib stream from source straight into the caller's
// blocks, filling them in order; no copy of the output is made. What the
// stream holds beyond the blocks is decoded (to check it) and dropped.
// filled: the bytes stored. True only when the stream reached its end intact.
bool inflateInto(ImageFile& source, const iovec* parts, int count, std::uint64_t& filled);

}  // namespace kelvara
