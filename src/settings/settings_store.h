#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "settings/settings.h"

namespace kelvara {

enum class BindingKind { Int, Bool, Text };

// A variable tied to a key of the settings file: read when bound, written
// back by saveAll. The variable must outlive the store.
struct SettingBinding {
    std::string section;
    std::string key;
    std::variant<int*, bool*, std::string*> target;

    BindingKind kind() const { return static_cast<BindingKind>(target.index()); }
};

enum class StoreAccess {
    ReadWrite,
    ReadOnly,  // never writes the file: saveAll and the write primitives do nothing
};

// The program's settings file and the variables bound to it. Every read
// consults the file as it is on disk; a file that cannot be read gives the
// defaults. Writes replace the file atomically, and a file that exists but
// could not be read is never replaced, so nothing of it is lost. Failures are
// reported by return values only.
class SettingsStore {
  public:
    explicit SettingsStore(std::string iniPath, StoreAccess access = StoreAccess::ReadWrite);
    // Saves every binding unless the store is read-only or saving on exit is off.
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    const std::string& path() const { return path_; }
    bool readOnly() const { return access_ == StoreAccess::ReadOnly; }
    void setSaveOnExit(bool save) { saveOnExit_ = save; }
    // Sorted by section, then key, byte by byte (letter case counts).
    const std::vector<SettingBinding>& bindings() const { return bindings_; }

    // Each reads the variable's value now and remembers it for saveAll.
    void bindInt(std::string_view section, std::string_view key, int& target, int def);
    void bindIntInRange(std::string_view section, std::string_view key, int& target, int def,
                        int min, int max);
    void bindBool(std::string_view section, std::string_view key, bool& target, bool def);
    // The text is read whole.
    void bindText(std::string_view section, std::string_view key, std::string& target,
                  std::string_view def);

    // Writes every bound variable's current value with one atomic replacement
    // of the file, creating its folder first. False when nothing was written.
    bool saveAll();

    // The single-key primitives; the INI layer documents their rules.
    int readInt(std::string_view section, std::string_view key, int def) const;
    int readIntInRange(std::string_view section, std::string_view key, int def, int min,
                       int max) const;
    bool readBool(std::string_view section, std::string_view key, bool def) const;
    std::string readText(std::string_view section, std::string_view key,
                         std::string_view def) const;

  private:
    void addBinding(std::string_view section, std::string_view key,
                    std::variant<int*, bool*, std::string*> target);
    template <typename Edit>
    bool update(Edit&& edit);

    std::string path_;
    StoreAccess access_;
    bool saveOnExit_ = true;
    std::vector<SettingBinding> bindings_;
};

// Binds every setting of `settings` in its usual order. The window
// position must lie on a desktop of the given size. Both folders default to
// defaultFolder (see defaultSettingsFolder); an empty SaveDir counts as unset,
// since an empty output folder would put every target under the root.
void bindAllSettings(SettingsStore& store, Settings& settings, int desktopWidth, int desktopHeight,
                     const std::string& defaultFolder);

}  // namespace kelvara
