#include "desktop/help.h"

#include <sys/stat.h>

#include <QDesktopServices>
#include <QUrl>

#include "desktop/file_dialogs.h"
#include "settings/program_directory.h"

namespace kelvara {

namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string findManual(const std::string& programDir) {
    for (const std::string& candidate :
         {joinPath(programDir, kManualFileName),
          joinPath(programDir, std::string("../share/doc/kelvara/") + kManualFileName)}) {
        if (isFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

bool openManual(const std::string& programDir) {
    const std::string manual = findManual(programDir);
    if (manual.empty()) {
        return false;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(pathToQString(manual)));
}

}  // namespace kelvara
