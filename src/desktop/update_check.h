#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvara {

// The update checker's store: a folder tree in which each key is a folder and
// a key's values are entries of "values.ini" in its folder, under the section
// [Values]. The checker itself creates the top folder "Upcheck"; this program
// only records itself below it.
inline constexpr char kUpdateCheckValuesFile[] = "values.ini";
inline constexpr char kUpdateCheckValuesSection[] = "Values";

// The folder that plays the role of the user's software key:
// $XDG_CONFIG_HOME, or ~/.config when that is unset or relative.
std::string updateCheckRoot(std::string_view xdgConfigHome, std::string_view home);

// Holds at most one open key below a root folder. Key paths are relative to
// the root, separated by '/'.
class RegistryKey {
public:
    explicit RegistryKey(std::string root) : root_(std::move(root)) {}

    // Opens a key that exists already.
    bool open(std::string_view relativePath);
    // Opens a key, creating it and any missing parent keys first.
    bool create(std::string_view relativePath);
    bool writeString(std::string_view name, std::string_view value);
    bool writeNumber(std::string_view name, std::uint32_t value);
    void close() { folder_.clear(); }
    bool isOpen() const { return !folder_.empty(); }

private:
    std::string root_;
    std::string folder_;
};

// Who this program is to the update checker.
struct UpdateCheckIdentity {
    std::string distinctName;
    std::string displayName;
    std::uint32_t build = 0;
    // Recorded as "FilePath" when not empty.
    std::string executablePath;
};

// Records the identity below root/Upcheck when that folder exists; writes
// nothing at all when it does not (and reports success then, as there is
// nothing to do). False when a key or value could not be written; whatever
// was written before stays.
bool registerWithUpdateChecker(const std::string& root, const UpdateCheckIdentity& identity);

// The publisher values written under the author's key.
inline constexpr char kUpdateCheckAuthorKey[] = "kelvara@kelvara.example.org";
inline constexpr char kUpdateCheckAuthor[] = "kelvara";
inline constexpr char kUpdateCheckInfoUrl[] = "https://kelvara.example.org/update/kelvara.txt";
inline constexpr char kUpdateCheckDisplayHost[] = "kelvara.example.org";

}  // namespace kelvara
