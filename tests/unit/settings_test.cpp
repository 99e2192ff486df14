#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "settings/ini_file.h"
#include "settings/program_directory.h"
#include "settings/settings_store.h"
#include "support/support.h"

namespace kelvara {
namespace {

const std::string kIniData = KELVARA_INI_DIR;

std::string text(const std::string& path) {
    const test::Bytes bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
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
        EXPECT_FALSE(readOnly.store.saveAll() || readOnly.store.writeInt("Png", "CompLv", 1));
        Loaded(path).store.setSaveOnExit(false);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    test::writeFile(path, text(kIniData + "/first-run.saved.ini"));
    const ino_t inode = inodeOf(path);
    EXPECT_TRUE(Loaded(path).store.saveAll());
    EXPECT_EQ(inodeOf(path), inode);
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
    ::mkdir(dir.file("rw").c_str(), 0755);
    ::mkdir(dir.file("ro").c_str(), 0755);
    ::chmod(dir.file("rw").c_str(), 0777);
    struct Row {
        std::string name;
        char kind;  // 'f' a file of this mode, 'd' a folder, 'p' a FIFO
        mode_t mode;
        int compLv;
    } const rows[] = {{"rw/unreadable.ini", 'f', 0, 6}, {"rw/write-only.ini", 'f', 0222, 6}, {"rw/folder.ini", 'd', 0777, 6},
                      {"rw/fifo.ini", 'p', 0666, 6}, {"ro/kelvara.ini", 'f', 0666, 3}};
    for (const Row& row : rows) {
        const std::string path = dir.file(row.name);
        if (row.kind == 'f')
            test::writeFile(path, "[Png]\nCompLv=3\n");
        else
            row.kind == 'd' ? ::mkdir(path.c_str(), 0777) : ::mkfifo(path.c_str(), 0666);
        ::chmod(path.c_str(), row.mode);
    }
    ::chmod(dir.file("ro").c_str(), 0555);
    const auto before = test::snapshot(dir.path());
    for (const Row& row : rows) {
        const int result = test::runInChild(
            [&] {
                Loaded in(dir.file(row.name));  // also saves as it goes
                const bool read = in.s.PngCompLv == row.compLv;
                in.s.PngCompLv = 1;
                return (read ? 0 : 1) | (in.store.saveAll() ? 2 : 0);
            },
            {0, true});
        EXPECT_EQ(result, 0) << row.name;
    }
    EXPECT_EQ(test::snapshot(dir.path()), before);
}

// Columns: program folder, XDG_CONFIG_HOME, HOME, default folder, settings file.
TEST(SettingsLocation, PortableCopyPicturesFolderOrHome) {
    test::TempDir dir;
    const std::string home = dir.file("home"), installed = dir.file("missing/bin"), usual = dir.file("usual"),
                      last = dir.file("last"), root = dir.file("root"), portable = dir.file("portable");
    test::writeFile(home + "/.config/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
    test::writeFile(usual + "/user-dirs.dirs",
                    "# XDG_PICTURES_DIR=\"/no\"\nXDG_DOCUMENTS_DIR=\"/docs\"\n  XDG_PICTURES_DIR = \"$HOME/Pictures/\"\r\n"
                    "XDG_PICTURES_DIR=\"Pictures\"\nXDG_PICTURES_DIR=\"$HOMEX/y\"\n");
    test::writeFile(last + "/user-dirs.dirs", "XDG_PICTURES_DIR=\"/srv/a\"\nXDG_PICTURES_DIR=\"/srv/b \\\"c\\\"\"\n");
    test::writeFile(root + "/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/p\"\n");
    test::writeFile(portable + "/kelvara.ini", "");
    ::mkdir(dir.file("locked").c_str(), 0755);
    ::mkdir(dir.file("writable").c_str(), 0755);
    ::chmod(dir.file("writable").c_str(), 0777);
    for (const char* folder : {"portable", "locked"}) ::chmod(dir.file(folder).c_str(), 0555);
    const std::string configured = "/kelvara/kelvara.ini";
    struct Row {
        std::string program, xdg, home, folder, file;
    } const rows[] = {
        {installed, usual, home, home + "/Pictures", usual + configured},
        {installed, last, home, "/srv/b \"c\"", last + configured},
        {installed, dir.file("none"), home, home, dir.file("none") + configured},
        {installed, root, "/", "/p", root + configured},
        {installed, "", home, home + "/Bilder", home + "/.config" + configured},
        {installed, "relative", home, home + "/Bilder", home + "/.config" + configured},
        {installed, "", "", installed, installed + "/kelvara.ini"},
        {dir.file("writable"), usual, home, dir.file("writable"), dir.file("writable/kelvara.ini")},
        {portable, usual, home, portable, portable + "/kelvara.ini"},  // read-only, the file there
        {dir.file("locked"), usual, home, home + "/Pictures", usual + configured},
    };
    for (const Row& row : rows) {
        const SettingsEnvironment env{row.xdg, row.home};
        const int result = test::runInChild(
            [&] {
                return (defaultSettingsFolder(row.program, env) == row.folder ? 0 : 1) |
                       (settingsFilePath(row.program, env) == row.file ? 0 : 2);
            },
            {0, true});
        EXPECT_EQ(result, 0) << row.program << " " << row.xdg;
    }
}

}  // namespace
}  // namespace kelvara
