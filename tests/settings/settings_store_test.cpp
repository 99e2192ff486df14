#include "settings/settings_store.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "settings/program_directory.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::TempDir;

constexpr int kSkipped = 77;  // a child that could not drop root

std::string slurp(const std::string& path) {
    const test::Bytes bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Loads every setting from path as start-up does, on a 1920x1080 desktop.
struct Loaded {
    explicit Loaded(const std::string& path, StoreAccess access = StoreAccess::ReadWrite)
        : store(path, access) {
        store.setSaveOnExit(false);
        bindAllSettings(store, s, 1920, 1080, "/opt/kelvara");
    }
    Settings s;
    SettingsStore store;
};

const char kFirstRunFile[] =
    "[Convert]\nAutoConvert1=0\nAutoConvert2=0\nAutoConvert3=0\nDelSuccessItem=1\n"
    "ReproduceDir=1\nSaveDir=/opt/kelvara\nSaveDirFlag=0\nSaveMode=0\nUnKnownFlag=0\n"
    "[MainWnd]\nColumn1=100\nColumn2=50\nColumn3=200\nColumn4=300\nLeft=0\nTop=0\nTopMost=0\n"
    "[Png]\nCompLv=6\nFilter=5\n[System]\nLastDir=/opt/kelvara\n[Xyz]\nCompLv=6\n";

TEST(SettingsStore, FirstRunUsesDefaultsAndWritesAllTwentyAtExit) {
    TempDir dir;
    const std::string path = dir.file("cfg/kelvara/kelvara.ini");  // folders made on save
    Settings s;
    {
        SettingsStore store(path);
        bindAllSettings(store, s, 1920, 1080, "/opt/kelvara");
        EXPECT_EQ(store.bindings().size(), 20u);
    }
    const Settings defaults;
    EXPECT_EQ(s.SaveMode, defaults.SaveMode);
    EXPECT_EQ(s.ReproduceDir, defaults.ReproduceDir);
    EXPECT_EQ(s.PngCompLv, defaults.PngCompLv);
    EXPECT_EQ(s.Column2, defaults.Column2);
    EXPECT_EQ(s.SaveDir, "/opt/kelvara");
    EXPECT_EQ(s.LastDir, "/opt/kelvara");
    EXPECT_EQ(slurp(path), kFirstRunFile);
}

TEST(SettingsStore, OutOfRangeAndMalformedValues) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    test::writeFile(path,
                    "[convert]\nsavemode=1\nSaveDirFlag=2\nUnKnownFlag=1\nReproduceDir=0\n"
                    "SaveDir=" +
                        std::string(600, 'd') +
                        "\n[System]\nLastDir=\n"
                        "[Png]\nCompLv=12\nFilter=abc\n[Xyz]\nCompLv=7x\n"
                        "[MainWnd]\nLeft=-20\nTop=1079\nTopMost=2\nColumn1=-5\nColumn2=\n"
                        "Column3=99999999999\n");
    Loaded in(path);
    EXPECT_EQ(in.s.SaveMode, 1);
    EXPECT_EQ(in.s.SaveDirFlag, 0);
    EXPECT_EQ(in.s.UnKnownFlag, 1);
    EXPECT_FALSE(in.s.ReproduceDir);
    EXPECT_EQ(in.s.SaveDir, std::string(511, 'd'));
    EXPECT_EQ(in.s.LastDir, "");
    EXPECT_EQ(in.s.PngCompLv, 6);
    EXPECT_EQ(in.s.Filter, 0);
    EXPECT_EQ(in.s.XyzCompLv, 7);
    EXPECT_EQ(in.s.Left, 0);
    EXPECT_EQ(in.s.Top, 1079);
    EXPECT_TRUE(in.s.TopMost);
    EXPECT_EQ(in.s.Column1, -5);
    EXPECT_EQ(in.s.Column2, 0);
    EXPECT_EQ(in.s.Column3, INT_MAX);

    in.s.SaveMode = 2;
    ASSERT_TRUE(in.store.saveAll());
    const std::string out = slurp(path);
    EXPECT_NE(out.find("[convert]\nsavemode=2\n"),
              std::string::npos);  // the line keeps its spelling
    EXPECT_EQ(out.find("SaveMode"), std::string::npos);
    EXPECT_NE(out.find("\nTopMost=1\n"), std::string::npos);
    EXPECT_NE(out.find("\nSaveDir=" + std::string(511, 'd') + "\n"), std::string::npos);
}

TEST(SettingsStore, KeepsUtf8AndShiftJisBytes) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    const std::string utf8 = "/home/\xE3\x83\xA6\xE3\x83\xBC\xE3\x82\xB6/\xE7\x94\xBB\xE5\x83\x8F";
    const std::string sjis = "C:\\\x95\x5C\x8E\xA6\\\x83\x5C";
    std::string file = kFirstRunFile;
    file.replace(file.find("/opt/kelvara"), 12, utf8);
    file.replace(file.find("/opt/kelvara"), 12, sjis);
    test::writeFile(path, file);
    {
        Loaded in(path);
        EXPECT_EQ(in.s.SaveDir, utf8);
        EXPECT_EQ(in.s.LastDir, sjis);
        in.s.Top = 7;
        ASSERT_TRUE(in.store.saveAll());
    }
    file.replace(file.find("Top=0"), 5, "Top=7");
    EXPECT_EQ(slurp(path), file);
}

TEST(SettingsStore, HandWrittenFileChangesOnlyInItsValues) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    test::writeFile(path,
                    "; written by hand\r\n\r\n[Convert]\r\nSaveMode = 1 \r\n# SaveMode=0\r\n"
                    "not an entry\r\nSaveMode=0\r\nCustom=keep me\r\n\r\n[Plugins]\r\nName=x\r\n"
                    "[Png]\r\nCompLv=3\r\n[Convert]\r\nSaveDirFlag=1\r\n");
    {
        Loaded in(path);
        EXPECT_EQ(in.s.SaveMode, 1);
        EXPECT_EQ(in.s.SaveDirFlag, 0);  // only the first [Convert] is read
        EXPECT_EQ(in.s.PngCompLv, 3);
        in.s.SaveMode = 2;
        in.s.Left = 5;
        ASSERT_TRUE(in.store.saveAll());
    }
    EXPECT_EQ(slurp(path),
              "; written by hand\r\n\r\n[Convert]\r\nSaveMode = 2 \r\n# SaveMode=0\r\n"
              "not an entry\r\nSaveMode=0\r\nCustom=keep me\r\nAutoConvert1=0\r\n"
              "AutoConvert2=0\r\nAutoConvert3=0\r\nDelSuccessItem=1\r\nReproduceDir=1\r\n"
              "SaveDir=/opt/kelvara\r\nSaveDirFlag=0\r\nUnKnownFlag=0\r\n\r\n[Plugins]\r\n"
              "Name=x\r\n[Png]\r\nCompLv=3\r\nFilter=5\r\n[Convert]\r\nSaveDirFlag=1\r\n"
              "[MainWnd]\r\nColumn1=100\r\nColumn2=50\r\nColumn3=200\r\nColumn4=300\r\nLeft=5\r\n"
              "Top=0\r\nTopMost=0\r\n[System]\r\nLastDir=/opt/kelvara\r\n[Xyz]\r\nCompLv=6\r\n");
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
    const std::string longLine =
        "[Convert]\n" + std::string(1 << 20, 'x') + "\nSaveDir=" + std::string(1 << 20, 'y') + "\n";

    for (const std::string* file :
         std::initializer_list<const std::string*>{&binary, &huge, &longLine}) {
        const std::string& original = *file;
        const std::string path = dir.file("kelvara.ini");
        test::writeFile(path, original);
        Loaded in(path);
        EXPECT_EQ(in.s.PngCompLv, file == &huge ? 3 : 6);
        EXPECT_EQ(in.s.SaveDir, file == &longLine ? std::string(511, 'y') : "/opt/kelvara");
        in.s.Column4 = 1234;
        ASSERT_TRUE(in.store.saveAll());
        const std::string out = slurp(path);
        // Everything before the one changed value is kept; additions come after it.
        const std::size_t kept = std::min(original.size(), original.find("\nSaveDir="));
        EXPECT_EQ(out.compare(0, kept, original, 0, kept), 0);
        EXPECT_EQ(Loaded(path).s.Column4, 1234);
    }
}

TEST(SettingsStore, DirectoryInPlaceOfTheFileStaysADirectory) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    Loaded in(path);
    EXPECT_EQ(in.s.SaveDir, "/opt/kelvara");
    EXPECT_FALSE(in.store.saveAll());
    struct stat st {};
    EXPECT_TRUE(::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

// Runs body in a child without root; skips when privileges cannot be dropped.
#define RUN_UNPRIVILEGED(body)                             \
    do {                                                   \
        const int status = test::runInChild([&]() -> int { \
            if (!test::dropPrivileges()) {                 \
                return kSkipped;                           \
            }                                              \
            body                                           \
        });                                                \
        if (status == kSkipped) {                          \
            GTEST_SKIP() << "cannot drop privileges";      \
        }                                                  \
        EXPECT_EQ(status, 0);                              \
    } while (false)

TEST(SettingsStore, UnreadableFileGivesDefaultsAndIsNeverReplaced) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    const std::string original = "[Png]\nCompLv=3\n";
    for (mode_t mode : {0000, 0222}) {  // 0222: writable, so only the failed read protects it
        test::writeFile(path, original);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        RUN_UNPRIVILEGED({
            Loaded in(path);
            if (in.s.PngCompLv != 6) {
                return 1;
            }
            in.s.PngCompLv = 1;
            return in.store.saveAll() ? 2 : 0;
        });
        EXPECT_EQ(slurp(path), original) << mode;
    }
}

TEST(SettingsStore, SaveIntoReadOnlyFolderFailsQuietly) {
    TempDir dir;
    const std::string folder = dir.file("ro");
    const std::string path = folder + "/kelvara.ini";
    const std::string original = "[Png]\nCompLv=3\n";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    test::writeFile(path, original);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    RUN_UNPRIVILEGED({
        Loaded in(path);
        in.s.PngCompLv = 1;
        if (in.s.Filter != 5 || in.store.saveAll()) {
            return 1;
        }
        return test::listDir(folder) == std::vector<std::string>{"kelvara.ini"} ? 0 : 2;
    });
    EXPECT_EQ(slurp(path), original);
}

TEST(SettingsStore, SaveAllReplacesTheFileOnceAndOnlyWhenSomethingChanged) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    test::writeFile(path, std::string(kFirstRunFile));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, dir.path().c_str(), IN_MOVED_TO) < 0) {
        GTEST_SKIP() << "no inotify";
    }
    auto renamesOntoIni = [&] {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(watch, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                count += e->len > 0 && std::string(e->name) == "kelvara.ini";
                p += sizeof(inotify_event) + e->len;
            }
        }
        return count;
    };
    Loaded in(path);
    EXPECT_TRUE(in.store.saveAll());
    EXPECT_EQ(renamesOntoIni(), 0);

    in.s = Settings{1, 1, 1, false, false, true, true, true, "/a", "/b",
                    1, 1, 1, 1,     1,     1,    1,    1,    1,    true};
    EXPECT_TRUE(in.store.saveAll());
    EXPECT_EQ(renamesOntoIni(), 1);
    ::close(watch);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"kelvara.ini"});
    const Loaded again(path);
    EXPECT_EQ(again.s.SaveDir, "/a");
    EXPECT_TRUE(again.s.TopMost);
    EXPECT_EQ(again.s.Column4, 1);
}

TEST(SettingsStore, ReadOnlyStoreAndSaveOnExitOffNeverWrite) {
    TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    {
        Settings s;
        SettingsStore store(path, StoreAccess::ReadOnly);
        bindAllSettings(store, s, 800, 600, dir.path());
        EXPECT_FALSE(store.saveAll());
        EXPECT_FALSE(store.writeInt("Png", "CompLv", 1));
    }
    {
        Settings s;
        SettingsStore store(path);
        bindAllSettings(store, s, 800, 600, dir.path());
        store.setSaveOnExit(false);
    }
    EXPECT_FALSE(test::exists(path));
    SettingsStore store(path);
    store.setSaveOnExit(false);
    EXPECT_TRUE(store.writeText("System", "LastDir", "/x"));
    EXPECT_TRUE(store.writeBool("MainWnd", "TopMost", true));
    EXPECT_EQ(slurp(path), "[System]\nLastDir=/x\n[MainWnd]\nTopMost=1\n");
}

TEST(SettingsLocation, BesideTheProgramOrInTheConfigFolder) {
    TempDir dir;
    const SettingsEnvironment xdg{"/xdg", "/home/u"};
    const SettingsEnvironment homeOnly{"", "/home/u"};
    EXPECT_EQ(settingsFilePath(dir.path(), xdg), dir.file("kelvara.ini"));
    const std::string gone = dir.file("missing");
    EXPECT_EQ(settingsFilePath(gone, xdg), "/xdg/kelvara/kelvara.ini");
    EXPECT_EQ(settingsFilePath(gone, homeOnly), "/home/u/.config/kelvara/kelvara.ini");
    EXPECT_EQ(settingsFilePath(gone, {"relative", "/home/u"}),
              "/home/u/.config/kelvara/kelvara.ini");

    const std::string empty = dir.file("empty");
    const std::string holding = dir.file("holding");
    ASSERT_EQ(::mkdir(empty.c_str(), 0555), 0);
    ASSERT_EQ(::mkdir(holding.c_str(), 0755), 0);
    test::writeFile(holding + "/kelvara.ini", std::string());
    ASSERT_EQ(::chmod(holding.c_str(), 0555), 0);
    RUN_UNPRIVILEGED({
        const bool ok = settingsFilePath(empty, xdg) == "/xdg/kelvara/kelvara.ini" &&
                        settingsFilePath(holding, xdg) == holding + "/kelvara.ini";
        return ok ? 0 : 1;
    });
}

TEST(SettingsLocation, ProgramDirectoryAndProgramFiles) {
    const auto cwd = std::filesystem::current_path();
    EXPECT_TRUE(test::exists(programDirectory() + "/settings_tests"));
    EXPECT_EQ(std::filesystem::current_path(), cwd);
    EXPECT_EQ(resolveProgramFile("other.ini", "/opt/k"), "/opt/k/other.ini");
    EXPECT_EQ(resolveProgramFile("conf/other.ini", "/opt/k"), "conf/other.ini");
    EXPECT_EQ(resolveProgramFile("other.ini", "/"), "/other.ini");
}

}  // namespace
}  // namespace kelvara
