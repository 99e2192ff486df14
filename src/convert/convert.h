#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "io/atomic_file.h"
#include "settings/settings.h"

namespace kelvara {

// A source file's type (from its extension) and a conversion's target kind.
enum class ImageFormat : std::int32_t { Bmp = 0, Png = 1, Xyz = 2 };

// The result of one list entry.
enum class ConvertStatus : std::int32_t {
    Success = 0,
    Skipped = 1,
    CopyFailed = 2,
    UnsupportedFormat = 3,
    NotEightBit = 4,
    WriteError = 5,
    // The output would replace another file of the same run: another entry's
    // source, or what an earlier entry writes. Nothing is written.
    TargetConflict = 6,
};

inline constexpr std::size_t kConvertStatusCount = 7;

// libpng filter masks by the Filter setting: none, sub, up, average, Paeth, all.
inline constexpr std::array<std::uint32_t, 6> pngFilterMasks = {0x08, 0x10, 0x20, 0x40, 0x80, 0xF8};

// Reads source with the reader of sourceType, makes the target's folder and
// writes target in targetKind with the compression settings of `settings`.
// A source that cannot be read is told apart by its probe: another pixel
// depth gives NotEightBit, anything else UnsupportedFormat.
ConvertStatus convertImage(const std::string& sourcePath, const std::string& targetPath,
                           ImageFormat sourceType, ImageFormat targetKind,
                           const Settings& settings);
// The same, publishing the target as `target` says: a target that exists
// and is to be kept gives Skipped. `written` (when given) receives the path
// of the file written.
ConvertStatus convertImage(const std::string& sourcePath, const std::string& targetPath,
                           ImageFormat sourceType, ImageFormat targetKind,
                           const Settings& settings, const TargetOptions& target,
                           std::string* written = nullptr);

}  // namespace kelvara
