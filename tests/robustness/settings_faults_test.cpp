// A damaged or inaccessible settings file: the store still loads (defaults
// where needed), saves when it can, and never replaces what it could not read.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>

#include "conversion/output_policy.h"
#include "robust_support.h"
#include "settings/settings_store.h"

namespace kelvara::robust {
namespace {

using Values = std::map<std::string, std::string>;

constexpr int kDesktopWidth = 1920;
constexpr int kDesktopHeight = 1080;
const std::string kProgramDir = "/opt/kelvara";

// Every bound setting as "section/key" -> its value's text.
Values valuesOf(const SettingsStore& store) {
    Values values;
    for (const SettingBinding& b : store.bindings()) {
        std::string text = std::visit(
            [](auto* target) -> std::string {
                using T = std::remove_pointer_t<decltype(target)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    return *target;
                } else {
                    return std::to_string(static_cast<int>(*target));
                }
            },
            b.target);
        values[b.section + "/" + b.key] = std::move(text);
    }
    return values;
}

Values load(const std::string& path) {
    Settings settings;
    SettingsStore store(path, StoreAccess::ReadOnly);
    bindAllSettings(store, settings, kDesktopWidth, kDesktopHeight, kProgramDir);
    return valuesOf(store);
}

// Settings that differ from every default.
void changeAll(Settings& s) {
    s.SaveMode = 2;
    s.SaveDirFlag = 1;
    s.UnKnownFlag = 1;
    s.ReproduceDir = false;
    s.DelSuccessItem = false;
    s.AutoConvert1 = s.AutoConvert2 = s.AutoConvert3 = true;
    s.SaveDir = "/data/out put";
    s.LastDir = "/data/in";
    s.PngCompLv = 9;
    s.Filter = 2;
    s.XyzCompLv = 1;
    s.Left = 40;
    s.Top = 30;
    s.Column1 = 11;
    s.Column2 = 22;
    s.Column3 = 33;
    s.Column4 = 44;
    s.TopMost = true;
}

std::string savedSettingsText(const std::string& path) {
    Settings settings;
    SettingsStore store(path);
    store.setSaveOnExit(false);
    bindAllSettings(store, settings, kDesktopWidth, kDesktopHeight, kProgramDir);
    changeAll(settings);
    EXPECT_TRUE(store.saveAll());
    const test::Bytes bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(SettingsFile, TruncatedInTheMiddleOfALine) {
    test::TempDir dir;
    const std::string path = dir.file("kelvara.ini");
    const std::string full = savedSettingsText(path);
    const Values saved = load(path);
    const Values defaults = load(dir.file("absent.ini"));

    // Cut each line in its middle and just before its end.
    for (std::size_t start = 0, end; start < full.size(); start = end + 1) {
        end = full.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        for (const std::size_t cut : {start + (end - start) / 2, end}) {
            const std::string kept = full.substr(0, cut);
            test::writeFile(path, kept);
            Settings settings;
            SettingsStore store(path);
            store.setSaveOnExit(false);
            bindAllSettings(store, settings, kDesktopWidth, kDesktopHeight, kProgramDir);
            const Values loaded = valuesOf(store);
            // A setting whose line survived whole keeps its value; one never
            // reached gets its default.
            std::string section;
            for (std::size_t at = 0, nl; (nl = full.find('\n', at)) != std::string::npos;
                 at = nl + 1) {
                const std::string line = full.substr(at, nl - at);
                if (line.starts_with("[")) {
                    section = line.substr(1, line.find(']') - 1);
                    continue;
                }
                const std::string name = section + "/" + line.substr(0, line.find('='));
                if (nl < cut) {
                    EXPECT_EQ(loaded.at(name), saved.at(name)) << "cut at " << cut;
                } else if (at >= cut) {
                    EXPECT_EQ(loaded.at(name), defaults.at(name)) << "cut at " << cut;
                }
            }
            // Saving completes the file: it reads back as what was bound.
            EXPECT_TRUE(store.saveAll()) << "cut at " << cut;
            EXPECT_EQ(load(path), loaded) << "cut at " << cut;
        }
    }
}

TEST(SettingsFile, UnwritableUnreadableOrAFolderInItsPlace) {
    test::TempDir dir;
    const std::string readOnly = dir.file("read-only.ini");
    const std::string unreadable = dir.file("unreadable.ini");
    const std::string folder = dir.file("folder.ini");
    const std::string lockedDir = dir.file("locked");
    const std::string missingDir = dir.file("new/sub/kelvara.ini");
    const std::string text = savedSettingsText(readOnly);
    test::writeFile(unreadable, text);
    ::chmod(readOnly.c_str(), 0444);
    ::chmod(unreadable.c_str(), 0);
    ::mkdir(folder.c_str(), 0777);
    ::mkdir(lockedDir.c_str(), 0555);
    const Values saved = load(readOnly);
    const Snapshot before = snapshot(dir.path());

    struct Report {
        int loadedSaved[3];  // the bound values were the file's (1) or the defaults (0)
        int savedAnyway[4];  // saveAll's result
    };
    Shared<Report> report;
    const Values defaults = load(dir.file("absent.ini"));
    const int exit = test::runInChild([&] {
        if (!test::dropPrivileges()) {
            return kCannotDropPrivileges;
        }
        Report& r = *report;
        const std::string paths[4] = {readOnly, unreadable, folder, lockedDir + "/kelvara.ini"};
        for (int i = 0; i < 4; ++i) {
            Settings settings;
            SettingsStore store(paths[i]);
            bindAllSettings(store, settings, kDesktopWidth, kDesktopHeight, kProgramDir);
            const Values values = valuesOf(store);
            if (i < 3) {
                r.loadedSaved[i] = values == saved ? 1 : values == defaults ? 0 : -1;
            }
            settings.Column1 = 99;
            r.savedAnyway[i] = store.saveAll() ? 1 : 0;
        }  // each store also tries to save as it is destroyed
        Settings settings;
        SettingsStore store(missingDir);
        bindAllSettings(store, settings, kDesktopWidth, kDesktopHeight, kProgramDir);
        settings.Column1 = 99;
        return store.saveAll() ? 0 : 1;
    });
    if (exit == kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    EXPECT_EQ(exit, 0) << "a missing folder is made and the file written";
    EXPECT_EQ(report->loadedSaved[0], 1);  // read-only: readable all the same
    EXPECT_EQ(report->loadedSaved[1], 0);  // unreadable: defaults
    EXPECT_EQ(report->loadedSaved[2], 0);  // a folder: defaults
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(report->savedAnyway[i], 0) << i;
    }
    Snapshot after = snapshot(dir.path());
    for (const char* made : {"new", "new/sub", "new/sub/kelvara.ini"}) {
        EXPECT_EQ(after.erase(made), 1u) << made;
    }
    EXPECT_EQ(after, before);  // nothing replaced, nothing left beside them
    EXPECT_EQ(load(missingDir).at("MainWnd/Column1"), "99");
}

TEST(SettingsFile, ANulInTheOutputFolderDoesNotHangARun) {
    test::TempDir dir;
    const std::string ini = dir.file("kelvara.ini");
    ::mkdir(dir.file("out").c_str(), 0777);
    test::writeFile(
        ini, "[Convert]\nSaveDirFlag=1\nSaveDir=" + dir.file("out") + std::string("\0x", 2) + "\n");
    IndexedImage image;
    fillImage(image, 8, 8, 1);
    ASSERT_TRUE(writeImage(dir.file("a.bmp"), ImageFormat::Bmp, image));

    Settings settings;
    SettingsStore store(ini, StoreAccess::ReadOnly);
    bindAllSettings(store, settings, kDesktopWidth, kDesktopHeight, kProgramDir);
    ASSERT_EQ(settings.SaveDir.size(), dir.file("out").size() + 2);
    const int status = test::runInChild([&] {
        ::alarm(30);  // a hang ends the child with SIGALRM
        return static_cast<int>(processEntry(dir.file("a.bmp"), "a.bmp", settings));
    });
    // The folder the system sees ends at the NUL: it is not the target's.
    EXPECT_EQ(status, static_cast<int>(ConvertStatus::WriteError));
    EXPECT_TRUE(test::listDir(dir.file("out")).empty());
}

}  // namespace
}  // namespace kelvara::robust
