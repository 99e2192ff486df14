#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "convert/output_policy.h"
#include "convert/convert.h"
#include "filelist/gather.h"

namespace kelvara::batch {

inline constexpr std::size_t kStatusCount = kConvertStatusCount;

// The STATUS column: one word per ConvertStatus; empty outside the range.
std::string_view statusName(ConvertStatus status);
// The STATUS column of a dry run.
std::string_view planName(OutputAction action);
// The STATUS column of a path that gave no entry.
std::string_view omissionName(Omission why);
inline constexpr std::size_t kOmissionCount = 4;

// Appends "STATUS<TAB>SOURCE<TAB>TARGET\n". Backslash, tab and newline in
// the paths become \\, \t and \n so that every entry stays one line of three
// fields; every other byte is written as it is.
void appendLine(std::string& out, std::string_view status, std::string_view source,
                std::string_view target);

// Per-status counts of a run, in ConvertStatus order (a dry run counts
// convert, copy and skip in the first three, conflicts with the run's), then
// the paths that gave no entry, in Omission order.
using StatusCounts = std::array<std::size_t, kStatusCount + kOmissionCount>;
inline constexpr std::size_t omissionSlot(Omission why) {
    return kStatusCount + static_cast<std::size_t>(why);
}

// "done/total", files per second and the time left, for the terminal.
std::string progressLine(std::size_t done, std::size_t total, double elapsedSeconds);
// "3 success, 1 not-8-bit in 0.4 s" (dry run: "2 convert, 1 skip ...").
std::string summaryLine(const StatusCounts& counts, bool dryRun, double elapsedSeconds,
                        bool interrupted);

}  // namespace kelvara::batch
