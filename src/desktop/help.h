#pragma once

#include <string>

namespace kelvara {

inline constexpr char kManualFileName[] = "manual.html";

// The bundled manual: beside the executable (a build tree, a portable copy)
// or where an installation puts it (../share/doc/kelvara/). Never looked up
// in the current directory. Empty when there is none.
std::string findManual(const std::string& programDir);

// Opens the manual with the desktop's handler for HTML. A missing manual or a
// failing handler is silent; the result only says whether it was handed on.
bool openManual(const std::string& programDir);

}  // namespace kelvara
