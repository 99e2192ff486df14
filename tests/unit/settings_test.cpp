#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "settings/ini_file.h"
#include "settings/program_directory.h"
#include "settings/settings_store.h"
#include "support/support.h"
#include "unit/table.h"

namespace kelvara {
namespace {

const std::string kIniData = KELVARA_DATA_DIR "/ini";

std::string text(const std::string& path) {
    const test::Bytes bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Every setting bound from path as start-up binds them, on a 1920x1080 desktop,
// with /home/u/Pictures as the default folder.
struct Loaded {
    explicit Loaded(const std::string& path, StoreAccess access = StoreAccess::ReadWrite) : store(path, access) {
        bindAllSettings(store, s, 1920, 1080, "/home/u/Pictures");
    }
    Settings s;
    SettingsStore store;
};

// tests/data/ini/NAME.ini (none for the first run) is loaded and saved as the
// program ends; the file must then read NAME.saved.ini byte for byte, which
// shows every value as the program understood it: out of range or malformed
// values replaced in place, missing keys and sections added, every other line
// kept. KELVARA_UPDATE_GOLDEN=1 rewrites the expected files instead.
TEST(SettingsStore, LoadsAndSavesAsTheGoldenFilesSay) {
    for (const std::string name : {"first-run", "ranges", "malformed", "hand-written"}) {
        test::TempDir dir;
        const std::string path = dir.file("cfg/kelvara/kelvara.ini"), golden = kIniData + "/" + name + ".saved.ini";
        if (name != "first-run") test::writeFile(path, text(kIniData + "/" + name + ".ini"));
        {
            Loaded in(path);
            if (name == "hand-written") {
                in.s.Left = 5;
                in.s.SaveDir = "/x\n[Evil]";  // a value ends at its first line break
            }
        }
        if (std::getenv("KELVARA_UPDATE_GOLDEN")) test::writeFile(golden, text(path));
        EXPECT_EQ(text(path), text(golden)) << name;
        EXPECT_EQ(test::listDir(dir.file("cfg/kelvara")), std::vector<std::string>{"kelvara.ini"});
    }
    // Nothing written without a change, by a read-only store, or with saving on exit off.
    test::TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    {
        Loaded readOnly(path, StoreAccess::ReadOnly);
        EXPECT_FALSE(readOnly.store.saveAll());
        Loaded(path).store.setSaveOnExit(false);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    test::writeFile(path, text(kIniData + "/first-run.saved.ini"));
    const auto written = std::filesystem::last_write_time(path);
    EXPECT_TRUE(Loaded(path).store.saveAll());
    EXPECT_EQ(std::filesystem::last_write_time(path), written);
    // Names the format cannot hold are refused, and nothing changes.
    IniFile ini("[A]\n");
    for (const auto& [section, key] : {std::pair{"A", "k=x"}, {"A", ""}, {"A", " k"}, {"A", "[k"}, {"A", ";k"},
                                       {"A", "#k"}, {"A", "k\n"}, {"A]", "k"}, {"", "k"}, {"A ", "k"}}) {
        EXPECT_FALSE(ini.set(section, key, "1")) << section << "/" << key;
    }
    EXPECT_EQ(ini.text(), "[A]\n");
}

// As nobody, a settings file that cannot be read gives the defaults and is
// never replaced, although its folder ("rw") is writable; one in a read-only
// folder is read but cannot be replaced either.
TEST(SettingsStore, NeverReplacesWhatItCouldNotRead) {
    test::TempDir dir;
    buildTree(dir.path(), "unit/unreadable_tree.tsv");
    const std::pair<const char*, int> rows[] = {{"rw/unreadable.ini", 6}, {"rw/write-only.ini", 6},
                                                {"rw/folder.ini", 6}, {"rw/fifo.ini", 6}, {"ro/kelvara.ini", 3}};
    const auto before = test::snapshot(dir.path());
    for (const auto& [name, compLv] : rows) {
        const auto child = [&] {
            Loaded in(dir.file(name));  // also saves as it goes
            const bool read = in.s.PngCompLv == compLv;
            in.s.PngCompLv = 1;
            return (read ? 0 : 1) | (in.store.saveAll() ? 2 : 0);
        };
        EXPECT_EQ(test::runInChild(child, {0, true}), 0) << name;
    }
    EXPECT_EQ(test::snapshot(dir.path()), before);
}

// The rows and what they mean: tests/data/unit/settings_location.tsv.
TEST(SettingsLocation, PortableCopyPicturesFolderOrHome) {
    test::TempDir dir;
    buildTree(dir.path(), "unit/location_tree.tsv");
    for (const auto& row : tableRows("unit/settings_location.tsv", dir.path())) {
        const SettingsEnvironment env{row[1], row[2]};
        const auto child = [&] {
            return (defaultSettingsFolder(row[0], env) == row[3] ? 0 : 1) |
                   (settingsFilePath(row[0], env) == row[4] ? 0 : 2);
        };
        EXPECT_EQ(test::runInChild(child, {0, true}), 0) << row[0] << " " << row[1];
    }
}

}  // namespace
}  // namespace kelvara
