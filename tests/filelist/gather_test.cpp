#include "filelist/gather.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kelvara {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

// Creates each entry below root: a name ending in '/' is a folder, any
// other a small file; missing parents are made.
void makeTree(const std::string& root, std::initializer_list<std::string> entries) {
    for (const std::string& entry : entries) {
        const fs::path p = root + "/" + entry;
        if (entry.back() == '/') {
            fs::create_directories(p);
        } else {
            fs::create_directories(p.parent_path());
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

TEST(FindFiles, FilesFirstThenEachSubtreeInByteOrder) {
    test::TempDir t;
    // "0sub" sorts before the files but is walked after them; "B" < "a" and
    // "\xc3\xa9" > "z" only in unsigned byte order, not by a locale.
    makeTree(t.path(), {"z.bmp", "B.bmp", "\xc3\xa9.bmp", "0sub/x", "b/1.bmp", "a/2.bmp",
                        "a/deep/3.bmp", "empty/"});
    const Paths expected = {"B.bmp",   "z.bmp",        "\xc3\xa9.bmp", "0sub/x",
                            "a/2.bmp", "a/deep/3.bmp", "b/1.bmp"};
    EXPECT_EQ(findFiles(t.path()), prefixed(t.path(), expected));
    // A folder handed in with a trailing '/' still gets one '/' added.
    EXPECT_EQ(findFiles(t.path() + "/").front(), t.path() + "//B.bmp");
    EXPECT_TRUE(findFiles(t.path() + "/missing").empty());
    EXPECT_TRUE(findFiles(t.path() + "/z.bmp").empty());
}

TEST(FindFiles, HiddenFilesNamesWithoutExtensionAndOnlyRegularFiles) {
    test::TempDir t;
    makeTree(t.path(), {".hidden", "README", ".dot/inner"});
    ASSERT_EQ(::mkfifo(t.file("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("nowhere", t.file("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(".hidden", t.file("link-to-file").c_str()), 0);
    EXPECT_EQ(findFiles(t.path()),
              prefixed(t.path(), {".hidden", "README", "link-to-file", ".dot/inner"}));

    FileList list;
    gatherPath(list, t.file("pipe"), "");
    gatherPath(list, t.file("dangling"), "");
    gatherPath(list, t.file("vanished.bmp"), "");
    EXPECT_EQ(list.rowCount(), 0);
}

TEST(FindFiles, LinksToFoldersAreFollowedButNeverBackUpThePath) {
    test::TempDir t;
    makeTree(t.path(), {"out/o.bmp", "in/a.bmp", "in/sub/b.bmp"});
    ASSERT_EQ(::symlink("..", t.file("in/sub/up").c_str()), 0);   // cycle through in
    ASSERT_EQ(::symlink(".", t.file("in/self").c_str()), 0);      // cycle on itself
    ASSERT_EQ(::symlink("sub", t.file("in/twin").c_str()), 0);    // sibling: a new path
    ASSERT_EQ(::symlink("../out", t.file("in/ext").c_str()), 0);  // outside the tree
    // Each file once per distinct path the walk reaches; the links that lead
    // to an ancestor are not entered, so twin/up is refused as well.
    EXPECT_EQ(findFiles(t.file("in")),
              prefixed(t.file("in"), {"a.bmp", "ext/o.bmp", "sub/b.bmp", "twin/b.bmp"}));
}

TEST(FindFiles, UnreadableFolderContributesNothingAndTheWalkGoesOn) {
    test::TempDir t;
    makeTree(t.path(), {"a/locked/hidden.bmp", "a/z/ok.bmp", "a/top.bmp"});
    ASSERT_EQ(::chmod(t.file("a/locked").c_str(), 0), 0);
    const Paths expected = prefixed(t.file("a"), {"top.bmp", "z/ok.bmp"});
    const int status = test::runInChild([&] {
        if (!test::dropPrivileges()) {
            return 77;
        }
        return findFiles(t.file("a")) == expected ? 0 : 1;
    });
    if (status == 77) {
        GTEST_SKIP() << "cannot drop privileges";
    }
    EXPECT_EQ(status, 0);
}

TEST(FindFiles, DeepTreeDoesNotExhaustTheStack) {
    test::TempDir t;
    // Built with mkdirat so that no single path has to be resolved whole.
    int fd = ::open(t.path().c_str(), O_RDONLY | O_DIRECTORY);
    std::string deepest = t.path();
    for (int level = 0; level < 2000 && fd >= 0; ++level) {
        ::mkdirat(fd, "d", 0755);
        const int child = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = child;
        deepest += "/d";
    }
    ASSERT_GE(fd, 0);
    ::close(::openat(fd, "f", O_WRONLY | O_CREAT, 0644));
    ::close(fd);
    EXPECT_EQ(findFiles(t.path()), Paths{deepest + "/f"});
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

TEST(SplitCommandLine, BlanksQuotesAndEnclosingQuotes) {
    EXPECT_EQ(splitCommandLine(R"(a.bmp "C:\my pics\b.png" C:\x\"c d".bmp)"),
              (Paths{"a.bmp", R"(C:\my pics\b.png)", R"(C:\x\"c d".bmp)"}));
    EXPECT_EQ(splitCommandLine("\ta\t\t b  "), (Paths{"a", "b"}));
    EXPECT_EQ(splitCommandLine(R"(a"b c"d "" ")"), (Paths{R"(a"b c"d)", "", ""}));
    EXPECT_EQ(splitCommandLine(R"("a" b")"), (Paths{"a", R"(b")"}));
    EXPECT_TRUE(splitCommandLine(" \t ").empty());
    EXPECT_TRUE(splitCommandLine("").empty());
}

TEST(ParseOpenFileResult, OnePathOrAFolderWithNames) {
    using namespace std::string_literals;
    EXPECT_EQ(parseOpenFileResult("/p/a.bmp\0\0"s), Paths{"/p/a.bmp"});
    EXPECT_EQ(parseOpenFileResult("/p\0a.bmp\0b c.bmp\0\0junk\0"s),
              (Paths{"/p/a.bmp", "/p/b c.bmp"}));
    EXPECT_EQ(parseOpenFileResult("/\0a.bmp\0b.bmp\0\0"s), (Paths{"//a.bmp", "//b.bmp"}));
    EXPECT_TRUE(parseOpenFileResult("\0\0"s).empty());
}

class Roads : public ::testing::Test {
  protected:
    void SetUp() override { makeTree(t.path(), {"a.bmp", "my pics/b.png", "dir/c.bmp"}); }

    test::TempDir t;
    FileList list;
    Settings settings;
    int starts = 0;
    StartAll startAll = [this] { ++starts; };
};

TEST_F(Roads, CommandLineCompletesRelativeArgumentsAndStartsUnlessEmpty) {
    onCommandLine(list, {}, t.path(), settings, startAll);
    settings.AutoConvert2 = true;
    onCommandLine(list, {}, t.path(), settings, startAll);
    EXPECT_EQ(starts, 0);

    onCommandLine(list, {"a.bmp", "", "dir", "missing", t.file("my pics/b.png")}, t.path(),
                  settings, startAll);
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(column(list, kColumnRelativePath), (Paths{"a.bmp", "dir/c.bmp", "b.png"}));
    EXPECT_EQ(column(list, kColumnBaseDirectory), (Paths{t.path(), t.path(), t.file("my pics")}));

    // The text form: empty does nothing, blanks alone still start.
    list.removeAll();
    onCommandLineText(list, "", t.path(), settings, startAll);
    onCommandLineText(list, " \t", t.path(), settings, startAll);
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(list.rowCount(), 0);
    onCommandLineText(list, R"("my pics/b.png" a.bmp)", t.path() + "/", settings, startAll);
    EXPECT_EQ(column(list, kColumnFullPath), (Paths{t.file("my pics/b.png"), t.file("a.bmp")}));
}

TEST_F(Roads, DropGathersEachNameAndStartsWithAutoConvert1Regardless) {
    onDropPaths(list, {t.file("dir"), "", t.file("a.bmp")}, settings, startAll);
    EXPECT_EQ(column(list, kColumnRelativePath), (Paths{"dir/c.bmp", "a.bmp"}));
    EXPECT_EQ(starts, 0);
    settings.AutoConvert1 = true;
    onDropPaths(list, {t.file("empty-or-missing")}, settings, startAll);
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(list.rowCount(), 2);
}

TEST_F(Roads, OpenFilesSetsLastDirFromTheFirstPathUnlessCancelled) {
    settings.AutoConvert3 = true;
    settings.LastDir = "/before";
    onOpenFiles(list, std::nullopt, settings, startAll);
    onOpenFiles(list, Paths{}, settings, startAll);
    EXPECT_EQ(settings.LastDir, "/before");
    EXPECT_EQ(starts, 0);

    onOpenFiles(list, Paths{t.file("dir/typed-but-missing.bmp"), t.file("a.bmp")}, settings,
                startAll);
    EXPECT_EQ(settings.LastDir, t.file("dir"));
    EXPECT_EQ(column(list, kColumnFullPath), Paths{t.file("a.bmp")});
    EXPECT_EQ(starts, 1);

    settings.AutoConvert3 = false;
    onOpenFiles(list, Paths{"/kelvara-no-such-file.bmp"}, settings, startAll);
    EXPECT_EQ(settings.LastDir, "/");
    onOpenFiles(list, parseOpenFileResult(std::string("/\0a\0b\0\0", 7)), settings, startAll);
    EXPECT_EQ(settings.LastDir, "/");
    EXPECT_EQ(starts, 1);
}

}  // namespace
}  // namespace kelvara
