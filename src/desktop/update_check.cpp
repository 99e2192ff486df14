#include "desktop/update_check.h"

#include <sys/stat.h>

#include <string>

#include "io/path_toolkit.h"
#include "settings/ini_file.h"
#include "settings/program_directory.h"

namespace kelvara {

namespace {

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string updateCheckRoot(std::string_view xdgConfigHome, std::string_view home) {
    if (!xdgConfigHome.empty() && xdgConfigHome.front() == '/') {
        return std::string(xdgConfigHome);
    }
    if (home.empty()) {
        return {};
    }
    return joinPath(home, ".config");
}

bool RegistryKey::open(std::string_view relativePath) {
    close();
    if (root_.empty()) {
        return false;
    }
    std::string folder = joinPath(root_, relativePath);
    if (!isFolder(folder)) {
        return false;
    }
    folder_ = std::move(folder);
    return true;
}

bool RegistryKey::create(std::string_view relativePath) {
    close();
    if (root_.empty()) {
        return false;
    }
    std::string folder = joinPath(root_, relativePath);
    makeDirectories(folder, PathStyle::posix());
    if (!isFolder(folder)) {
        return false;
    }
    folder_ = std::move(folder);
    return true;
}

bool RegistryKey::writeString(std::string_view name, std::string_view value) {
    if (!isOpen()) {
        return false;
    }
    const std::string path = joinPath(folder_, kUpdateCheckValuesFile);
    IniFile values;
    // An unreadable values file is not replaced: its other values would be lost.
    return values.load(path) && values.set(kUpdateCheckValuesSection, name, value) &&
           values.save(path);
}

bool RegistryKey::writeNumber(std::string_view name, std::uint32_t value) {
    return writeString(name, std::to_string(value));
}

bool registerWithUpdateChecker(const std::string& root, const UpdateCheckIdentity& identity) {
    RegistryKey key(root);
    if (!key.open("Upcheck")) {
        return true;  // the checker is not installed: nothing to record
    }
    const std::string authorKey = std::string("Upcheck/") + kUpdateCheckAuthorKey;
    if (!key.create(authorKey) || !key.writeString("Author", kUpdateCheckAuthor) ||
        !key.writeString("InfoURL", kUpdateCheckInfoUrl) ||
        !key.writeString("DisplayHost", kUpdateCheckDisplayHost)) {
        return false;
    }
    if (!key.create(authorKey + '/' + identity.distinctName) ||
        !key.writeNumber("Build", identity.build) ||
        !key.writeString("DistinctName", identity.distinctName) ||
        !key.writeString("DisplayName", identity.displayName)) {
        return false;
    }
    if (!identity.executablePath.empty() && !key.writeString("FilePath", identity.executablePath)) {
        return false;
    }
    key.close();
    return true;
}

}  // namespace kelvara
