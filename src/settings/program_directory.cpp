#include "settings/program_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "io/path_toolkit.h"

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

namespace {

bool isAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

// $XDG_CONFIG_HOME when absolute, else $HOME/.config; empty when neither is known.
std::string configHome(const SettingsEnvironment& env) {
    if (isAbsolute(env.xdgConfigHome)) {
        return env.xdgConfigHome;
    }
    return env.home.empty() ? std::string() : joinPath(env.home, ".config");
}

// The quoted value of one user-dirs.dirs line for key, with "$HOME" expanded
// and backslash escapes undone; empty when the line is another key's or its
// value is neither absolute nor below $HOME.
std::string userDirValue(std::string_view line, std::string_view key, const std::string& home) {
    const auto skipBlanks = [&line] {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
    };
    skipBlanks();
    if (line.substr(0, key.size()) != key) {
        return {};
    }
    line.remove_prefix(key.size());
    skipBlanks();
    if (line.substr(0, 1) != "=") {
        return {};
    }
    line.remove_prefix(1);
    skipBlanks();
    if (line.substr(0, 1) != "\"") {
        return {};
    }
    line.remove_prefix(1);
    std::string value;
    if (line.substr(0, 5) == "$HOME" && (line.size() == 5 || line[5] == '/' || line[5] == '"')) {
        if (!isAbsolute(home)) {
            return {};
        }
        value = home.substr(0, home.find_last_not_of('/') + 1);  // "/" becomes ""
        line.remove_prefix(5);
    } else if (line.substr(0, 1) != "/") {
        return {};  // relative: meaningless for a folder setting
    }
    for (std::size_t i = 0; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
        }
        value += line[i];
    }
    while (value.size() > 1 && value.back() == '/') {
        value.pop_back();
    }
    return value.empty() ? "/" : value;
}

std::string picturesFolder(const SettingsEnvironment& env) {
    const std::string config = configHome(env);
    if (config.empty()) {
        return {};
    }
    const std::string path = joinPath(config, "user-dirs.dirs");
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    std::string folder;
    std::size_t total = 0;
    // The last valid line wins, as with the tools that write the file; a
    // file of megabytes is nobody's user-dirs.dirs.
    for (std::string line; total < (1u << 20) && std::getline(file, line);) {
        total += line.size() + 1;
        std::string value = userDirValue(line, "XDG_PICTURES_DIR", env.home);
        if (!value.empty()) {
            folder = std::move(value);
        }
    }
    return folder;
}

}  // namespace

std::string settingsFilePath(const std::string& programDir, const SettingsEnvironment& env) {
    const std::string beside = joinPath(programDir, kSettingsFileName);
    if (::access(beside.c_str(), F_OK) == 0 || ::access(programDir.c_str(), W_OK) == 0) {
        return beside;
    }
    const std::string config = configHome(env);
    if (config.empty()) {
        return beside;  // nowhere better; saving there fails quietly
    }
    return joinPath(joinPath(config, "kelvara"), kSettingsFileName);
}

std::string defaultSettingsFolder(const std::string& programDir, const SettingsEnvironment& env) {
    if (settingsFilePath(programDir, env) == joinPath(programDir, kSettingsFileName)) {
        return programDir;
    }
    if (std::string pictures = picturesFolder(env); !pictures.empty()) {
        return pictures;
    }
    return isAbsolute(env.home) ? env.home : programDir;
}

}  // namespace kelvara
