#pragma once

#include <string>

#include "convert/convert.h"
#include "io/atomic_file.h"
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

// The Existing setting as the writer's choice (out of range: replace).
ExistingTarget existingTargetRule(const Settings& settings);

// Carries out a plan made for fullPath, publishing the output as `target`
// says. A kept existing target, or a copy whose target is its source, is
// Skipped. `report` (when given) receives the path of the file written, or
// why nothing was.
ConvertStatus carryOut(const OutputPlan& plan, const std::string& fullPath,
                       const Settings& settings, const TargetOptions& target,
                       EntryReport* report = nullptr);

enum class CopyResult { Copied, SameFile, TargetKept, Failed };

// Copies a file through a temporary in the target's folder, keeping the
// source's permission bits. Touches nothing when both paths name the same
// file (same device and inode), when an existing target is to be kept, or
// when either side cannot be used.
CopyResult copyFile(const std::string& sourcePath, const std::string& targetPath,
                    const TargetOptions& target = {}, std::string* written = nullptr);

}  // namespace kelvara
