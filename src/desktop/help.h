#pragma once

#include <string>
#include <vector>

namespace kelvara {

inline constexpr char kManualFileName[] = "manual.html";

// Where the bundled manual may be, in the order it is looked for: beside the
// executable (a build tree, a portable copy), then where an installation
// puts it (../share/doc/kelvara/). Never the current directory.
std::vector<std::string> manualPlaces(const std::string& programDir);
// The first of those that is a file; empty when there is none.
std::string findManual(const std::string& programDir);

}  // namespace kelvara
