#pragma once

#include "filelist/file_list.h"

namespace kelvara {

// The status column's texts in the desktop program, one per result and the
// waiting text last. The success text also marks what "remove succeeded"
// removes in the user's eyes.
const StatusTexts& statusTexts();

}  // namespace kelvara
