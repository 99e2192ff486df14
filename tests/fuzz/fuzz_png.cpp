// readPng / probePng through a real file, then every writer and back.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"

namespace {

std::uint32_t loadBe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Gives every whole chunk its right CRC: a mutation would otherwise almost
// always end at libpng's CRC check and never reach the code behind it.
void fixChunkCrcs(std::vector<std::uint8_t>& png) {
    std::size_t at = 8;  // after the signature
    while (at + 12 <= png.size()) {
        const std::uint32_t length = loadBe32(&png[at]);
        if (length > png.size() - at - 12) {
            return;
        }
        const auto crc = static_cast<std::uint32_t>(crc32(0, &png[at + 4], length + 4));
        std::uint8_t* out = &png[at + 8 + length];
        for (int i = 0; i < 4; ++i) {
            out[i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        }
        at += 12 + static_cast<std::size_t>(length);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> png(data, data + size);
    fixChunkCrcs(png);
    kelvara::fuzz::fuzzCodec(kelvara::fuzz::Codec::Png, png.data(), png.size());
    return 0;
}
