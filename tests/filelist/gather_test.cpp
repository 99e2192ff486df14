#include "filelist/gather.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kelvara {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;
using namespace std::string_literals;

// Creates each entry below root: a name ending in '/' is a folder, any other
// a small file; missing parents are made.
void makeTree(const std::string& root, const Paths& entries) {
    for (const std::string& entry : entries) {
        const fs::path p = root + "/" + entry;
        fs::create_directories(entry.back() == '/' ? p : p.parent_path());
        if (entry.back() != '/') {
            test::writeFile(p.string(), "x");
        }
    }
}

Paths column(const FileList& list, int column) {
    Paths cells;
    for (int i = 0; i < list.rowCount(); ++i) {
        cells.push_back(list.cellText(i, column));
    }
    return cells;
}

Paths prefixed(const std::string& root, Paths names) {
    for (std::string& name : names) {
        name = root + "/" + name;
    }
    return names;
}

TEST(FindFiles, RegularFilesFolderByFolderInByteOrderThroughLinksButNoCycles) {
    test::TempDir t;
    const std::string in = t.file("in");
    // "0sub" sorts before the files but is walked after them; "B" < "a" and
    // "\xc3\xa9" > "z" only in unsigned byte order, not by a locale.
    makeTree(t.path(),
             {"out/o.bmp", "in/z.bmp", "in/B.bmp", "in/\xc3\xa9.bmp", "in/.hidden", "in/README",
              "in/0sub/x", "in/b/1.bmp", "in/a/2.bmp", "in/a/deep/3.bmp", "in/empty/"});
    ASSERT_EQ(::mkfifo((in + "/pipe").c_str(), 0600), 0);
    for (const auto& [target, link] : {std::pair{"nowhere", "dangling"},
                                       {".hidden", "link-to-file"},
                                       {"..", "a/up"},  // cycles through in, and on itself
                                       {".", "self"},
                                       {"b", "twin"},
                                       {"../out", "ext"}}) {
        ASSERT_EQ(::symlink(target, (in + "/" + link).c_str()), 0) << link;
    }
    EXPECT_EQ(findFiles(in), prefixed(in, {".hidden", "B.bmp", "README", "link-to-file", "z.bmp",
                                           "\xc3\xa9.bmp", "0sub/x", "a/2.bmp", "a/deep/3.bmp",
                                           "b/1.bmp", "ext/o.bmp", "twin/1.bmp"}));
    // A folder handed in with a trailing '/' still gets one '/' added.
    EXPECT_EQ(findFiles(in + "/").front(), in + "//.hidden");
    EXPECT_TRUE(findFiles(in + "/z.bmp").empty());

    FileList list;
    for (const char* name : {"pipe", "dangling", "vanished.bmp", "vanished"}) {
        gatherPath(list, in + "/" + name, "");
    }
    EXPECT_EQ(list.rowCount(), 0);
}

TEST(FindFiles, UnreadableFolderContributesNothingAndTheWalkGoesOn) {
    test::TempDir t;
    makeTree(t.path(), {"a/locked/hidden.bmp", "a/z/ok.bmp", "a/top.bmp"});
    ASSERT_EQ(::chmod(t.file("a/locked").c_str(), 0), 0);
    const Paths expected = prefixed(t.file("a"), {"top.bmp", "z/ok.bmp"});
    const int status = test::runInChild([&] {
        return !test::dropPrivileges() ? 77 : findFiles(t.file("a")) == expected ? 0 : 1;
    });
    if (status == 77) {
        GTEST_SKIP() << "cannot drop privileges";
    }
    EXPECT_EQ(status, 0);
}

TEST(GatherPath, BaseDirectoriesAndRelativePaths) {
    test::TempDir t;
    makeTree(t.path(), {"set1/a.bmp", "set1/notes.txt", "set1/sub/b.png", "other/c.bmp"});
    FileList list;
    gatherPath(list, t.file("set1/a.bmp"), "");  // a file alone: its own folder
    gatherPath(list, t.file("set1"), "");        // then its folder: a.bmp stays once
    const fs::path top(t.path());
    gatherPath(list, t.file("other"), top.parent_path());  // a given base wins
    EXPECT_EQ(column(list, kColumnRelativePath), (Paths{"a.bmp", "set1/notes.txt", "set1/sub/b.png",
                                                        top.filename().string() + "/other/c.bmp"}));
    EXPECT_EQ(column(list, kColumnBaseDirectory),
              (Paths{t.file("set1"), t.path(), t.path(), top.parent_path()}));
    EXPECT_EQ(column(list, kColumnFullPath), prefixed(t.path(), {"set1/a.bmp", "set1/notes.txt",
                                                                 "set1/sub/b.png", "other/c.bmp"}));
}

TEST(ShellTexts, CommandLineAndOpenFileAnswersSplitIntoPaths) {
    EXPECT_EQ(splitCommandLine(R"(a.bmp "C:\my pics\b.png" C:\x\"c d".bmp)"),
              (Paths{"a.bmp", R"(C:\my pics\b.png)", R"(C:\x\"c d".bmp)"}));
    EXPECT_EQ(splitCommandLine("\ta\t\t b  "), (Paths{"a", "b"}));
    EXPECT_EQ(splitCommandLine(R"(a"b c"d "" ")"), (Paths{R"(a"b c"d)", "", ""}));
    EXPECT_EQ(splitCommandLine(R"("a" b")"), (Paths{"a", R"(b")"}));
    EXPECT_TRUE(splitCommandLine(" \t ").empty());

    EXPECT_EQ(parseOpenFileResult("/p/a.bmp\0\0"s), Paths{"/p/a.bmp"});
    EXPECT_EQ(parseOpenFileResult("/p\0a.bmp\0b c.bmp\0\0junk\0"s),
              (Paths{"/p/a.bmp", "/p/b c.bmp"}));
    EXPECT_EQ(parseOpenFileResult("/\0a.bmp\0b.bmp\0\0"s), (Paths{"//a.bmp", "//b.bmp"}));
    EXPECT_TRUE(parseOpenFileResult("\0\0"s).empty());
}

TEST(Roads, EachGathersAndStartsByItsOwnSetting) {
    test::TempDir t;
    makeTree(t.path(), {"a.bmp", "my pics/b.png", "dir/c.bmp"});
    FileList list;
    Settings settings;
    int starts = 0;
    const StartAll startAll = [&] { ++starts; };

    // Command line: nothing at all without arguments; relative ones completed.
    settings.AutoConvert2 = true;
    onCommandLine(list, {}, t.path(), settings, startAll);
    onCommandLineText(list, "", t.path(), settings, startAll);
    EXPECT_EQ(starts, 0);
    onCommandLineText(list, " \t", t.path(), settings, startAll);  // blanks alone still start
    EXPECT_EQ(starts, 1);
    onCommandLine(list, {"a.bmp", "", "dir", "missing", t.file("my pics/b.png")}, t.path(),
                  settings, startAll);
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(column(list, kColumnRelativePath), (Paths{"a.bmp", "dir/c.bmp", "b.png"}));
    EXPECT_EQ(column(list, kColumnBaseDirectory), (Paths{t.path(), t.path(), t.file("my pics")}));
    list.removeAll();
    onCommandLineText(list, R"("my pics/b.png" a.bmp)", t.path() + "/", settings, startAll);
    EXPECT_EQ(column(list, kColumnFullPath), (Paths{t.file("my pics/b.png"), t.file("a.bmp")}));

    // Drop: AutoConvert1 alone starts, however few rows the drop added.
    list.removeAll();
    settings.AutoConvert3 = true;
    onDropPaths(list, {t.file("dir"), "", t.file("a.bmp")}, settings, startAll);
    EXPECT_EQ(column(list, kColumnRelativePath), (Paths{"dir/c.bmp", "a.bmp"}));
    EXPECT_EQ(starts, 3);  // the command line's run
    settings.AutoConvert1 = true;
    settings.AutoConvert2 = settings.AutoConvert3 = false;
    onDropPaths(list, {t.file("missing")}, settings, startAll);
    EXPECT_EQ(starts, 4);

    // Open-file dialog: LastDir from the first path, kept when cancelled.
    list.removeAll();
    settings.LastDir = "/before";
    onOpenFiles(list, std::nullopt, settings, startAll);
    onOpenFiles(list, Paths{}, settings, startAll);
    EXPECT_EQ(settings.LastDir, "/before");
    settings.AutoConvert3 = true;
    onOpenFiles(list, Paths{t.file("dir/typed-but-missing.bmp"), t.file("a.bmp")}, settings,
                startAll);
    EXPECT_EQ(settings.LastDir, t.file("dir"));
    EXPECT_EQ(column(list, kColumnFullPath), Paths{t.file("a.bmp")});
    EXPECT_EQ(starts, 5);
    settings.AutoConvert3 = false;
    onOpenFiles(list, Paths{"/kelvara-no-such-file.bmp"}, settings, startAll);
    EXPECT_EQ(settings.LastDir, "/");
    EXPECT_EQ(starts, 5);
}

}  // namespace
}  // namespace kelvara
