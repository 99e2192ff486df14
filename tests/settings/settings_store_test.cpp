#include "settings/settings_store.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "settings/program_directory.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::TempDir;

std::string slurp(const std::string& path) {
    const test::Bytes bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

const std::string kPictures = "/home/u/Pictures";  // the default folder handed in

// Loads every setting from path as start-up does, on a 1920x1080 desktop.
struct Loaded {
    explicit Loaded(const std::string& path, StoreAccess access = StoreAccess::ReadWrite)
        : store(path, access) {
        store.setSaveOnExit(false);
        bindAllSettings(store, s, 1920, 1080, kPictures);
    }
    Settings s;
    SettingsStore store;
};

// Runs body in a child without root; skips when privileges cannot be dropped.
#define RUN_UNPRIVILEGED(body)                                                             \
    do {                                                                                   \
        const int status =                                                                 \
            test::runInChild([&]() -> int { return test::dropPrivileges() ? body : 77; }); \
        if (status == 77) {                                                                \
            GTEST_SKIP() << "cannot drop privileges";                                      \
        }                                                                                  \
        EXPECT_EQ(status, 0);                                                              \
    } while (false)

const char kFirstRunFile[] =
    "[Convert]\nAutoConvert1=0\nAutoConvert2=0\nAutoConvert3=0\nDelSuccessItem=1\nExisting=0\n"
    "ReproduceDir=1\nSaveDir=/home/u/Pictures\nSaveDirFlag=0\nSaveMode=0\nUnKnownFlag=0\n"
    "[MainWnd]\nColumn1=100\nColumn2=50\nColumn3=200\nColumn4=300\nLeft=0\nTop=0\nTopMost=0\n"
    "[Png]\nCompLv=6\nFilter=5\n[System]\nLastDir=/home/u/Pictures\n[Xyz]\nCompLv=6\n";
const std::string kUtf8 = "/home/\xE3\x83\xA6\xE3\x83\xBC\xE3\x82\xB6/\xE7\x94\xBB\xE5\x83\x8F";
const std::string kShiftJis = "C:\\\x95\x5C\x8E\xA6\\\x83\x5C";  // 0x5C as second bytes

TEST(SettingsStore, FirstRunWritesAllTwentyDefaultsOnlyAtAnAllowedExit) {
    TempDir dir;
    const std::string path = dir.file("cfg/kelvara/kelvara.ini");  // folders made on save
    {
        Loaded readOnly(path, StoreAccess::ReadOnly);
        EXPECT_FALSE(readOnly.store.saveAll());
        EXPECT_FALSE(readOnly.store.writeInt("Png", "CompLv", 1));
        Loaded noSaveOnExit(path);
    }
    EXPECT_FALSE(test::exists(path));
    Settings s;
    {
        SettingsStore store(path);
        bindAllSettings(store, s, 1920, 1080, kPictures);
    }
    EXPECT_EQ(s.LastDir, kPictures);
    EXPECT_EQ(slurp(path), kFirstRunFile);

    // Single writes; a value ends at its first line break.
    SettingsStore store(path);
    store.setSaveOnExit(false);
    EXPECT_TRUE(store.writeText("System", "LastDir", "/x\n[Evil]"));
    EXPECT_TRUE(store.writeBool("MainWnd", "TopMost", true));
    std::string expected = kFirstRunFile;
    expected.replace(expected.find("TopMost=0"), 9, "TopMost=1");
    expected.replace(expected.rfind(kPictures), kPictures.size(), "/x");
    EXPECT_EQ(slurp(path), expected);
}

TEST(SettingsStore, OutOfRangeAndMalformedValues) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    test::writeFile(path,
                    "[convert]\nsavemode=1\nSaveDirFlag=2\nUnKnownFlag=1\nReproduceDir=0\n"
                    "SaveDir=" +
                        std::string(600, 'd') + "\n[System]\nLastDir=" + kUtf8 +
                        "\n[Png]\nCompLv=12\nFilter=abc\n[Xyz]\nCompLv=7x\n[MainWnd]\n"
                        "Left=-20\nTop=1079\nTopMost=2\nColumn1=-5\nColumn2=\n"
                        "Column3=99999999999\n");
    Loaded in(path);
    const Settings& s = in.s;
    EXPECT_EQ(std::tuple(s.SaveMode, s.SaveDirFlag, s.UnKnownFlag, s.ReproduceDir),
              std::tuple(1, 0, 1, false));
    EXPECT_EQ(std::tuple(s.SaveDir, s.LastDir), std::tuple(std::string(600, 'd'), kUtf8));
    EXPECT_EQ(std::tuple(s.PngCompLv, s.Filter, s.XyzCompLv), std::tuple(6, 0, 7));
    EXPECT_EQ(std::tuple(s.Left, s.Top, s.TopMost), std::tuple(0, 1079, true));
    EXPECT_EQ(std::tuple(s.Column1, s.Column2, s.Column3), std::tuple(-5, 0, INT_MAX));

    in.s.SaveMode = 2;
    ASSERT_TRUE(in.store.saveAll());
    const std::string out = slurp(path);
    EXPECT_EQ(out.rfind("[convert]\nsavemode=2\n", 0), 0u);  // the line keeps its spelling
    EXPECT_EQ(out.find("SaveMode"), std::string::npos);
    for (const std::string& line :
         {std::string("TopMost=1"), "SaveDir=" + std::string(600, 'd'), "LastDir=" + kUtf8}) {
        EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << line;
    }
}

TEST(SettingsStore, HandWrittenFileChangesOnlyInItsValues) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    test::writeFile(path,
                    "; written by hand\r\n\r\n[Convert]\r\nSaveMode = 1 \r\n# SaveMode=0\r\n"
                    "not an entry\r\nSaveMode=0\r\nSaveDir=\r\nCustom=keep me\r\n\r\n"
                    "[Plugins]\r\nName=x\r\n[Png]\r\nCompLv=3\r\n[Convert]\r\n"
                    "SaveDirFlag=1\r\n[System]\r\nLastDir=" +
                        kShiftJis + "\r\n");
    {
        Loaded in(path);
        EXPECT_EQ(in.s.SaveMode, 1);
        EXPECT_EQ(in.s.SaveDir, kPictures);  // empty would mean the root
        EXPECT_EQ(in.s.SaveDirFlag, 0);      // only the first [Convert] is read
        EXPECT_EQ(in.s.PngCompLv, 3);
        EXPECT_EQ(in.s.LastDir, kShiftJis);
        in.s.SaveMode = 2;
        in.s.Left = 5;
        ASSERT_TRUE(in.store.saveAll());
    }
    EXPECT_EQ(slurp(path),
              "; written by hand\r\n\r\n[Convert]\r\nSaveMode = 2 \r\n# SaveMode=0\r\n"
              "not an entry\r\nSaveMode=0\r\nSaveDir=/home/u/Pictures\r\nCustom=keep me\r\n"
              "AutoConvert1=0\r\nAutoConvert2=0\r\nAutoConvert3=0\r\nDelSuccessItem=1\r\n"
              "Existing=0\r\nReproduceDir=1\r\nSaveDirFlag=0\r\nUnKnownFlag=0\r\n\r\n[Plugins]"
              "\r\nName=x\r\n[Png]\r\nCompLv=3\r\n"
              "Filter=5\r\n[Convert]\r\nSaveDirFlag=1\r\n[System]\r\nLastDir=" +
                  kShiftJis +
                  "\r\n[MainWnd]\r\nColumn1=100\r\nColumn2=50\r\nColumn3=200\r\nColumn4=300\r\n"
                  "Left=5\r\nTop=0\r\nTopMost=0\r\n[Xyz]\r\nCompLv=6\r\n");
}

TEST(SettingsStore, BinaryHugeAndLongLinedFilesAreReadAndKept) {
    TempDir dir;
    std::mt19937 random(7);
    std::string binary(1 << 16, '\0');
    for (char& c : binary) {
        c = static_cast<char>(random() % 8 == 0 ? 0 : random());
    }
    std::string huge;
    while (huge.size() < (20u << 20)) {
        huge += "filler line " + std::to_string(huge.size()) + "=" + std::string(40, 'x') + "\n";
    }
    huge += "[Png]\nCompLv=3\n";
    std::string longLine =
        "[Convert]\n" + std::string(1 << 20, 'x') + "\nSaveDir=" + std::string(1 << 20, 'y') + "\n";

    for (const std::string* file : {&binary, &huge, &longLine}) {
        const std::string path = dir.file("kelvara.ini");
        test::writeFile(path, *file);
        Loaded in(path);
        EXPECT_EQ(in.s.PngCompLv, file == &huge ? 3 : 6);
        EXPECT_EQ(in.s.SaveDir, file == &longLine ? std::string(1 << 20, 'y') : kPictures);
        in.s.Column4 = 1234;
        ASSERT_TRUE(in.store.saveAll());
        // Everything before the one changed value is kept; additions come after it.
        const std::size_t kept = std::min(file->size(), file->find("\nSaveDir="));
        EXPECT_EQ(slurp(path).compare(0, kept, *file, 0, kept), 0);
        EXPECT_EQ(Loaded(path).s.Column4, 1234);
    }
}

TEST(SettingsStore, FilesThatCannotBeUsedGiveDefaultsAndAreNeverReplaced) {
    TempDir dir;
    const std::string folder = dir.file("folder.ini"), fifo = dir.file("fifo.ini");
    const std::string original = "[Png]\nCompLv=3\n";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);  // read without blocking, never replaced
    for (const std::string& path : {folder, fifo}) {
        Loaded in(path);
        EXPECT_EQ(in.s.SaveDir, kPictures);
        EXPECT_FALSE(in.store.saveAll());
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));

    // Unreadable (0222: writable, so only the failed read protects it), and
    // writable in a read-only folder.
    const std::string locked = dir.file("locked.ini"), writeOnly = dir.file("w.ini");
    const std::string inReadOnly = dir.file("ro/kelvara.ini");
    ASSERT_EQ(::mkdir(dir.file("ro").c_str(), 0755), 0);
    for (const auto& [path, mode] : {std::pair{locked, 0}, {writeOnly, 0222}, {inReadOnly, 0666}}) {
        test::writeFile(path, original);
        ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
    }
    ASSERT_EQ(::chmod(dir.file("ro").c_str(), 0555), 0);
    RUN_UNPRIVILEGED([&] {
        for (const std::string& path : {locked, writeOnly, inReadOnly}) {
            Loaded in(path);
            if (in.s.PngCompLv != (path == inReadOnly ? 3 : 6)) {
                return 1;
            }
            in.s.PngCompLv = 1;
            if (in.store.saveAll()) {
                return 2;
            }
        }
        return test::listDir(dir.file("ro")) == std::vector<std::string>{"kelvara.ini"} ? 0 : 3;
    }());
    for (const std::string& path : {locked, writeOnly, inReadOnly}) {
        EXPECT_EQ(slurp(path), original) << path;
    }
}

TEST(SettingsStore, SaveAllReplacesTheFileOnceAndOnlyWhenSomethingChanged) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    test::writeFile(path, std::string(kFirstRunFile));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, dir.path().c_str(), IN_MOVED_TO) < 0) {
        GTEST_SKIP() << "no inotify";
    }
    auto renames = [&] {  // events counted, whatever the temporary was named
        alignas(inotify_event) char buffer[4096];
        int count = 0;
        for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
            for (char* p = buffer; p < buffer + n; ++count) {
                p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len;
            }
        }
        return count;
    };
    Loaded in(path);
    EXPECT_TRUE(in.store.saveAll());
    EXPECT_EQ(renames(), 0);
    in.s = Settings{1, 1, 1, false, false, true, true, true, "/a", "/b",
                    1, 1, 1, 1,     1,     1,    1,    1,    1,    true};
    EXPECT_TRUE(in.store.saveAll());
    EXPECT_EQ(renames(), 1);
    ::close(watch);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"kelvara.ini"});
    const Loaded again(path);
    EXPECT_EQ(std::tuple(again.s.SaveDir, again.s.TopMost, again.s.Column4),
              std::tuple("/a", true, 1));
}

TEST(SettingsLocation, BesideTheProgramOrInTheConfigFolder) {
    TempDir dir;
    const SettingsEnvironment xdg{"/xdg", "/home/u"};
    const std::string gone = dir.file("missing"), empty = dir.file("empty");
    const std::string holding = dir.file("holding");
    EXPECT_EQ(settingsFilePath(dir.path(), xdg), dir.file("kelvara.ini"));
    EXPECT_EQ(settingsFilePath(gone, xdg), "/xdg/kelvara/kelvara.ini");
    EXPECT_EQ(settingsFilePath(gone, {"", "/home/u"}), "/home/u/.config/kelvara/kelvara.ini");
    EXPECT_EQ(settingsFilePath(gone, {"relative", "/home/u"}),
              "/home/u/.config/kelvara/kelvara.ini");

    // Read-only program folders: the file is used where it already is.
    ASSERT_EQ(::mkdir(empty.c_str(), 0555), 0);
    ASSERT_EQ(::mkdir(holding.c_str(), 0755), 0);
    test::writeFile(holding + "/kelvara.ini", std::string());
    ASSERT_EQ(::chmod(holding.c_str(), 0555), 0);
    RUN_UNPRIVILEGED(settingsFilePath(empty, xdg) == "/xdg/kelvara/kelvara.ini" &&
                             settingsFilePath(holding, xdg) == holding + "/kelvara.ini"
                         ? 0
                         : 1);
}

TEST(SettingsLocation, DefaultFolderIsTheProgramsOnlyForAPortableCopy) {
    TempDir dir;
    const std::string home = dir.file("home"), installed = dir.file("missing/bin");
    const auto userDirs = [&](const std::string& folder, const std::string& text) {
        std::filesystem::create_directories(folder);
        test::writeFile(folder + "/user-dirs.dirs", text);
        return folder;
    };
    userDirs(home + "/.config", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
    const std::string usual =
        userDirs(dir.file("usual"),
                 "# XDG_PICTURES_DIR=\"/no\"\nXDG_DOCUMENTS_DIR=\"/docs\"\n"
                 "  XDG_PICTURES_DIR = \"$HOME/Pictures/\"\r\n"
                 "XDG_PICTURES_DIR=\"Pictures\"\nXDG_PICTURES_DIR=\"$HOMEX/y\"\n");
    const std::string lastWins = userDirs(
        dir.file("last"), "XDG_PICTURES_DIR=\"/srv/a\"\nXDG_PICTURES_DIR=\"/srv/b \\\"c\\\"\"\n");
    const std::string belowRoot = userDirs(dir.file("root"), "XDG_PICTURES_DIR=\"$HOME/p\"\n");
    // Columns: program folder, XDG_CONFIG_HOME, HOME, default folder.
    for (const auto& [programDir, xdg, rowHome, expected] : std::vector<std::array<std::string, 4>>{
             {installed, usual, home, home + "/Pictures"},
             {installed, lastWins, home, "/srv/b \"c\""},
             {installed, dir.file("none"), home, home},
             {installed, belowRoot, "/", "/p"},
             {installed, "", home, home + "/Bilder"},
             {dir.path(), usual, home, dir.path()},  // portable: the settings file beside it
             {installed, "", "", installed},
         }) {
        EXPECT_EQ(defaultSettingsFolder(programDir, {xdg, rowHome}), expected) << xdg;
    }
}

}  // namespace
}  // namespace kelvara
