#pragma once

#include <string>

#include "convert/convert.h"
#include "settings/settings.h"

namespace kelvara {

enum class OutputAction { ConvertImage, CopyUnchanged, SkipEntry };

// What a run does with one list entry, and where its output goes.
struct OutputPlan {
    OutputAction action = OutputAction::SkipEntry;
    ImageFormat sourceFormat = ImageFormat::Bmp;  // for ConvertImage
    std::string targetPath;                       // empty for SkipEntry
};

// The decision for one entry from its full and relative paths and the
// output settings (SaveMode, SaveDirFlag, SaveDir, ReproduceDir, UnKnownFlag).
// An out-of-range setting counts as its default (BMP, beside the source, skip).
OutputPlan resolveOutput(const std::string& fullPath, const std::string& relativePath,
                         const Settings& settings);

// Carries the decision out: converts, copies or skips, and returns the status.
ConvertStatus processEntry(const std::string& fullPath, const std::string& relativePath,
                           const Settings& settings);

// Copies a file through a temporary in the target's folder, keeping the
// source's permission bits. Fails, touching nothing, when both paths name the
// same file (same device and inode) or either side cannot be used.
bool copyFile(const std::string& sourcePath, const std::string& targetPath);

}  // namespace kelvara
