#include "desktop/help.h"

#include <sys/stat.h>

#include "settings/program_directory.h"

namespace kelvara {

std::vector<std::string> manualPlaces(const std::string& programDir) {
    return {joinPath(programDir, kManualFileName),
            joinPath(programDir, std::string("../share/doc/kelvara/") + kManualFileName)};
}

std::string findManual(const std::string& programDir) {
    for (const std::string& candidate : manualPlaces(programDir)) {
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            return candidate;
        }
    }
    return {};
}

}  // namespace kelvara
