#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "codecs/codec_table.h"
#include "io/atomic_file.h"
#include "settings/settings.h"

namespace kelvara {


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

// What an entry leaves besides its status.
struct EntryReport {
    std::string written;              // the file written, after a success
    Failure failure = Failure::None;  // why, when it did not succeed
};

// What the writers take from the settings: the PNG level and filter mask
// (an out-of-range Filter counts as "all") and the XYZ level.
EncodeOptions encodeOptions(const Settings& settings);

// Reads source with the reader of sourceType, makes the target's folder and
// writes target in targetKind with the compression settings of `settings`,
// publishing it as `target` says (a target that exists and is to be kept
// gives Skipped). A source that cannot be read is told apart by its probe:
// another pixel depth gives NotEightBit, anything else UnsupportedFormat
// (with ExpandLowDepth, a 1-, 2- or 4-bit file the reader would have
// expanded is UnsupportedFormat too). `report` (when given) receives the path
// of the file written, or why nothing was.
ConvertStatus convertImage(const std::string& sourcePath, const std::string& targetPath,
                           ImageFormat sourceType, ImageFormat targetKind,
                           const Settings& settings, const TargetOptions& target = {},
                           EntryReport* report = nullptr);

// Why a source that could not be read or copied failed, from the file
// system; None when it is a regular file that can be opened.
Failure sourceFailure(const std::string& path);
// Why an output could not be made, from the errno of the failing call and
// what stands at its name.
Failure targetFailure(const std::string& path, int error);

}  // namespace kelvara
