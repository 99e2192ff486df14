#pragma once

#include <string>
#include <string_view>

namespace kelvara {

inline constexpr char kSettingsFileName[] = "kelvara.ini";

// The folder of the running executable, without a trailing '/' ("/" for the
// root, "." when /proc/self/exe cannot be read). Worked out once; the current
// directory is left alone.
const std::string& programDirectory();

// The running executable's full path (from /proc/self/exe), empty when unknown.
std::string executablePath();

// folder + '/' + name, without doubling a '/' that folder ends with.
std::string joinPath(std::string_view folder, std::string_view name);

// What the settings file's location depends on besides the program folder.
// Empty means unset.
struct SettingsEnvironment {
    std::string xdgConfigHome;
    std::string home;

    // From XDG_CONFIG_HOME and HOME; HOME falls back to the password entry.
    static SettingsEnvironment fromProcess();
};

// Beside the executable when the file is already there or the folder is
// writable; otherwise in the user's configuration folder
// ($XDG_CONFIG_HOME/kelvara/, $XDG_CONFIG_HOME defaulting to $HOME/.config),
// which the first save creates. A relative XDG_CONFIG_HOME is ignored.
std::string settingsFilePath(const std::string& programDir, const SettingsEnvironment& env);

// What SaveDir and LastDir start as. A portable copy (its settings file beside
// the executable, as settingsFilePath decides) keeps everything in its own
// folder; an installed program uses the user's pictures folder, XDG_PICTURES_DIR
// of user-dirs.dirs in the configuration folder (only "$HOME/..." or absolute
// values count), else the home folder, else programDir.
std::string defaultSettingsFolder(const std::string& programDir, const SettingsEnvironment& env);

}  // namespace kelvara
