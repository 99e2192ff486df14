#pragma once

#include <string>

namespace kelvara {

// Far beyond any sensible machine: a typo such as 1000000 must not start a
// million threads.
inline constexpr int kMaxJobs = 1024;

// Every user setting, named after its key in the settings file. One record
// exists for the process; code that needs it is handed a reference.
struct Settings {
    int SaveMode = 0;     // target format, an ImageFormat value
    int SaveDirFlag = 0;  // 0: beside each source, 1: into SaveDir
    int UnKnownFlag = 0;  // other file types: 0 skip, 1 copy unchanged
    bool ReproduceDir = true;
    bool DelSuccessItem = true;
    bool AutoConvert1 = false;
    bool AutoConvert2 = false;
    bool AutoConvert3 = false;
    std::string SaveDir;  // both folders: byte paths, see defaultSettingsFolder
    std::string LastDir;
    int PngCompLv = 6;
    int Filter = 5;
    int XyzCompLv = 6;
    int Left = 0;
    int Top = 0;
    // The window's inside; 0: the size its layout asks for.
    int Width = 0;
    int Height = 0;
    // Column widths in the list's column order (the fifth is the reason);
    // 0: wide enough for the header and the texts the column shows.
    int Column1 = 0;
    int Column2 = 0;
    int Column3 = 0;
    int Column4 = 0;
    int Column5 = 0;
    bool ReasonColumn = false;
    bool TopMost = false;
    // A target that exists but is no file of the run: 0 overwrite, 1 skip, 2 rename.
    int Existing = 0;
    // Parallel workers of a run; 0: one per processor.
    int Jobs = 0;
    // 1-, 2- and 4-bit palette images convert as 8-bit ones instead of being
    // refused.
    bool ExpandLowDepth = false;
};

}  // namespace kelvara
