#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "codecs/failure.h"
#include "image/indexed_image.h"
#include "io/image_file.h"

namespace kelvara {

// A file's format: a source's type (from its extension) and a conversion's
// target kind.
enum class ImageFormat : std::int32_t { Bmp = 0, Png = 1, Xyz = 2 };

// libpng filter masks by the Filter setting: none, sub, up, average, Paeth, all.
inline constexpr std::array<std::uint32_t, 6> pngFilterMasks = {0x08, 0x10, 0x20, 0x40, 0x80, 0xF8};

// What the writers take from the settings.
struct EncodeOptions {
    int pngLevel = 6;
    std::uint32_t pngFilterMask = pngFilterMasks.back();
    int xyzLevel = 6;
};

// How a reader reads.
struct ReadOptions {
    // 1-, 2- and 4-bit palette images are read as 8-bit ones with the same
    // palette and indices; otherwise they are refused.
    bool expandLowDepth = false;
    // When given, a reader that refuses a file says why here, where it knows.
    Failure* failure = nullptr;
    // A run's open output folders, through which a file by its path is opened.
    FolderHandles* folders = nullptr;
};

// Records why a read failed (when asked) and gives false, for `return`.
inline bool refuse(const ReadOptions& options, Failure why) {
    if (options.failure != nullptr) {
        *options.failure = why;
    }
    return false;
}

// One format: its extension and its reader, probe and writer. Readers and
// probes take a stream at its start (a file or bytes in memory); the writer
// writes into a stream the caller then commits.
struct Codec {
    ImageFormat format;
    std::string_view extension;  // lower case, without the dot
    bool (*read)(ImageFile& source, IndexedImage& image, const ReadOptions& options);
    // The pixel depth the file declares, 0 when it is not recognisable.
    int (*probe)(ImageFile& source);
    bool (*write)(ImageFile& target, const IndexedImage& image, const EncodeOptions& options);
    // Width x height as the file declares them (nothing decoded), 0 when the
    // header cannot be read.
    std::uint64_t (*pixelCount)(ImageFile& source);
};

// Every format, indexed by ImageFormat: the one list of them.
const std::array<Codec, 3>& codecs();
// Null for a value outside the enumeration.
const Codec* codecFor(ImageFormat format);
// The format whose extension this is, ASCII letter case aside; null for none.
const Codec* codecForExtension(std::string_view extension);

// A codec's reader or probe on a file by its path (opened through its
// folder's handle when the options give the run's handles), or on bytes in
// memory.
bool readImage(const Codec& codec, const std::string& path, IndexedImage& image,
               const ReadOptions& options = {});
bool readImage(const Codec& codec, std::span<const std::uint8_t> bytes, IndexedImage& image,
               const ReadOptions& options = {});
int probeImage(const Codec& codec, const std::string& path);
int probeImage(const Codec& codec, std::span<const std::uint8_t> bytes);
// A codec's pixel count of a file by its path.
std::uint64_t pixelCountOf(const Codec& codec, const std::string& path);
// A codec's writer to a file by its path, published whole or not at all.
bool writeImage(const Codec& codec, const std::string& path, const IndexedImage& image,
                const EncodeOptions& options);

}  // namespace kelvara
