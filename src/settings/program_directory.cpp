#include "settings/program_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "conversion/path_toolkit.h"

namespace kelvara {

std::string executablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        buffer.resize(buffer.size() * 2);  // possibly cut: try again with room to spare
    }
}

namespace {

std::string findProgramDirectory() {
    const std::string exe = executablePath();
    if (exe.empty() || exe.front() != '/') {
        return ".";
    }
    // The kernel separates at '/' bytes whatever the locale's codeset.
    std::string dir = directoryPart(exe, PathStyle::posix());
    return dir.empty() ? "/" : dir;
}

std::string passwordHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return {};
}

}  // namespace

const std::string& programDirectory() {
    static const std::string dir = findProgramDirectory();
    return dir;
}

std::string joinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path.append(name);
}

std::string resolveProgramFile(const std::string& name, const std::string& programDir) {
    return name.find('/') != std::string::npos ? name : joinPath(programDir, name);
}

SettingsEnvironment SettingsEnvironment::fromProcess() {
    SettingsEnvironment env;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) {
        env.xdgConfigHome = xdg;
    }
    if (const char* home = std::getenv("HOME")) {
        env.home = home;
    }
    if (env.home.empty()) {
        env.home = passwordHome();
    }
    return env;
}

std::string settingsFilePath(const std::string& programDir, const SettingsEnvironment& env) {
    const std::string beside = joinPath(programDir, kSettingsFileName);
    if (::access(beside.c_str(), F_OK) == 0 || ::access(programDir.c_str(), W_OK) == 0) {
        return beside;
    }
    std::string configHome;
    if (!env.xdgConfigHome.empty() && env.xdgConfigHome.front() == '/') {
        configHome = env.xdgConfigHome;
    } else if (!env.home.empty()) {
        configHome = joinPath(env.home, ".config");
    } else {
        return beside;  // nowhere better; saving there fails quietly
    }
    return joinPath(joinPath(configHome, "kelvara"), kSettingsFileName);
}

}  // namespace kelvara
