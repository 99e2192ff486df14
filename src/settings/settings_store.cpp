#include "settings/settings_store.h"

#include <algorithm>
#include <tuple>

#include "io/path_toolkit.h"
#include "settings/ini_file.h"

namespace kelvara {

namespace {

IniFile loadOrEmpty(const std::string& path) {
    IniFile file;
    file.load(path);  // an unreadable file is empty: the defaults apply
    return file;
}

}  // namespace

SettingsStore::SettingsStore(std::string iniPath, StoreAccess access)
    : path_(std::move(iniPath)), access_(access) {}

SettingsStore::~SettingsStore() {
    if (saveOnExit_ && !readOnly()) {
        try {
            saveAll();
        } catch (...) {
            // Out of memory while exiting: the old file stays as it was.
        }
    }
}

void SettingsStore::addBinding(std::string_view section, std::string_view key,
                               std::variant<int*, bool*, std::string*> target) {
    SettingBinding binding{std::string(section), std::string(key), target};
    // std::string compares bytes as unsigned, a prefix first.
    const auto after = std::upper_bound(
        bindings_.begin(), bindings_.end(), binding, [](const auto& a, const auto& b) {
            return std::tie(a.section, a.key) < std::tie(b.section, b.key);
        });
    bindings_.insert(after, std::move(binding));
}

void SettingsStore::bindInt(std::string_view section, std::string_view key, int& target, int def) {
    target = readInt(section, key, def);
    addBinding(section, key, &target);
}

void SettingsStore::bindIntInRange(std::string_view section, std::string_view key, int& target,
                                   int def, int min, int max) {
    target = readIntInRange(section, key, def, min, max);
    addBinding(section, key, &target);
}

void SettingsStore::bindBool(std::string_view section, std::string_view key, bool& target,
                             bool def) {
    target = readBool(section, key, def);
    addBinding(section, key, &target);
}

void SettingsStore::bindText(std::string_view section, std::string_view key, std::string& target,
                             std::string_view def) {
    target = readText(section, key, def);
    addBinding(section, key, &target);
}

template <typename Edit>
bool SettingsStore::update(Edit&& edit) {
    if (readOnly()) {
        return false;
    }
    IniFile file;
    if (!file.load(path_)) {
        return false;  // replacing what could not be read would lose it
    }
    const std::string before = file.text();
    if (!edit(file)) {
        return false;
    }
    if (file.text() == before) {
        return true;  // already up to date: leave the file untouched
    }
    const std::string folder = directoryPart(path_, PathStyle::posix());
    if (!folder.empty()) {
        makeDirectories(folder, PathStyle::posix());
    }
    return file.save(path_);
}

bool SettingsStore::saveAll() {
    return update([this](IniFile& file) {
        bool ok = true;
        for (const SettingBinding& b : bindings_) {
            if (const auto* i = std::get_if<int*>(&b.target)) {
                ok = file.setInt(b.section, b.key, **i) && ok;
            } else if (const auto* f = std::get_if<bool*>(&b.target)) {
                ok = file.setBool(b.section, b.key, **f) && ok;
            } else {
                ok = file.set(b.section, b.key, *std::get<std::string*>(b.target)) && ok;
            }
        }
        return ok;
    });
}

int SettingsStore::readInt(std::string_view section, std::string_view key, int def) const {
    return loadOrEmpty(path_).readInt(section, key, def);
}

int SettingsStore::readIntInRange(std::string_view section, std::string_view key, int def, int min,
                                  int max) const {
    return loadOrEmpty(path_).readIntInRange(section, key, def, min, max);
}

bool SettingsStore::readBool(std::string_view section, std::string_view key, bool def) const {
    return loadOrEmpty(path_).readBool(section, key, def);
}

std::string SettingsStore::readText(std::string_view section, std::string_view key,
                                    std::string_view def) const {
    return loadOrEmpty(path_).readText(section, key, def);
}

void bindAllSettings(SettingsStore& store, Settings& s, int desktopWidth, int desktopHeight,
                     const std::string& defaultFolder) {
    // A window position off the current desktop falls back to the corner.
    const int maxLeft = desktopWidth > 0 ? desktopWidth - 1 : -1;
    const int maxTop = desktopHeight > 0 ? desktopHeight - 1 : -1;
    store.bindIntInRange("Convert", "SaveMode", s.SaveMode, 0, 0, 2);
    store.bindIntInRange("Convert", "SaveDirFlag", s.SaveDirFlag, 0, 0, 1);
    store.bindIntInRange("Convert", "UnKnownFlag", s.UnKnownFlag, 0, 0, 1);
    store.bindIntInRange("Convert", "Existing", s.Existing, 0, 0, 2);
    store.bindIntInRange("Convert", "Jobs", s.Jobs, 0, 0, kMaxJobs);
    store.bindBool("Convert", "ReproduceDir", s.ReproduceDir, true);
    store.bindBool("Convert", "DelSuccessItem", s.DelSuccessItem, true);
    store.bindBool("Convert", "AutoConvert1", s.AutoConvert1, false);
    store.bindBool("Convert", "AutoConvert2", s.AutoConvert2, false);
    store.bindBool("Convert", "AutoConvert3", s.AutoConvert3, false);
    store.bindBool("Convert", "ExpandLowDepth", s.ExpandLowDepth, false);
    store.bindText("Convert", "SaveDir", s.SaveDir, defaultFolder);
    if (s.SaveDir.empty()) {
        s.SaveDir = defaultFolder;
    }
    store.bindText("System", "LastDir", s.LastDir, defaultFolder);
    store.bindIntInRange("Png", "CompLv", s.PngCompLv, 6, 0, 9);
    store.bindIntInRange("Png", "Filter", s.Filter, 5, 0, 5);
    store.bindIntInRange("Xyz", "CompLv", s.XyzCompLv, 6, 0, 9);
    store.bindIntInRange("MainWnd", "Left", s.Left, 0, 0, maxLeft);
    store.bindIntInRange("MainWnd", "Top", s.Top, 0, 0, maxTop);
    // A window larger than the desktop falls back to its layout's size.
    store.bindIntInRange("MainWnd", "Width", s.Width, 0, 0, desktopWidth > 0 ? desktopWidth : -1);
    store.bindIntInRange("MainWnd", "Height", s.Height, 0, 0, desktopHeight > 0 ? desktopHeight : -1);
    store.bindInt("MainWnd", "Column1", s.Column1, 0);
    store.bindInt("MainWnd", "Column2", s.Column2, 0);
    store.bindInt("MainWnd", "Column3", s.Column3, 0);
    store.bindInt("MainWnd", "Column4", s.Column4, 0);
    store.bindInt("MainWnd", "Column5", s.Column5, 0);
    store.bindBool("MainWnd", "ReasonColumn", s.ReasonColumn, false);
    store.bindBool("MainWnd", "TopMost", s.TopMost, false);
}

}  // namespace kelvara
