// A reader (formats()[FUZZ_FORMAT]) on the bytes in memory; whatever it
// accepts each writer writes and its reader reads back as the same image
// (only PNG keeps the opacity). No file is involved.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>

#include "support/support.h"

using namespace kelvara;
using namespace kelvara::test;

#define CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "check failed: %s\n", #condition), std::abort()))

// Mutations would nearly always end at a chunk's CRC: every whole chunk gets
// its right one.
static void fixCrcs(Bytes& png) {
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::size_t length =
            std::size_t{png[at]} << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
        if (length > png.size() - at - 12)
            return;
        const uLong crc = crc32(0, &png[at + 4], static_cast<uInt>(length + 4));
        for (int i = 0; i < 4; ++i)
            png[at + 8 + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        at += 12 + length;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Format& from = formats()[FUZZ_FORMAT];
    Bytes bytes(data, data + size);
    if (from.format == ImageFormat::Png)
        fixCrcs(bytes);
    IndexedImage image;
    const bool read = from.readBytes(bytes, image);
    // A conversion asks the probe why a read failed: it must not disagree.
    CHECK(!read || from.probeBytes(bytes) == 8);
    // A header alone may declare 4 GiB; writing that would show nothing new.
    for (const Format& to : formats()) {
        if (!read || image.pixelCount() > (1u << 18))
            break;
        IndexedImage back;
        const Bytes written = to.encode(image);
        CHECK(!written.empty() && to.readBytes(written, back));
        const std::string difference = imageDifference(back, image);
        CHECK(difference.empty() ||
              (to.format != ImageFormat::Png && back.paletteAlphaCount() == 0 &&
               difference == "transparency differs"));
    }
    return 0;
}
