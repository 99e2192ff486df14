#include "conversion/path_toolkit.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kelvara {
namespace {

const PathStyle kWin = PathStyle::windows();
const PathStyle kPosix = PathStyle::posix();
// 表 and ソ in Shift-JIS: their second byte is a backslash.
const std::string kHyo = "\x95\x5C";
const std::string kSo = "\x83\x5C";

TEST(PathToolkit, SplitsPathsIntoFolderNameAndExtension) {
    struct Case {
        std::string path;
        const PathStyle& style;
        std::string directory, name, extension;
    } const cases[] = {
        {"C:\\pics\\a.bmp", kWin, "C:\\pics", "a.bmp", "bmp"},
        {"C:/pics/A.BMP", kWin, "C:/pics", "A.BMP", "BMP"},
        {"C:\\pics/sub\\a.tar.bmp", kWin, "C:\\pics/sub", "a.tar.bmp", "bmp"},
        {"C:\\pics\\", kWin, "C:\\pics", "", ""},
        {"C:\\", kWin, "C:", "", ""},
        {"C:\\.bmp", kWin, "C:", ".bmp", "bmp"},
        {"C:\\my.dir\\file", kWin, "C:\\my.dir", "file", ""},
        {"x.png\\readme", kWin, "x.png", "readme", ""},
        {"a.", kWin, "", "a.", ""},
        {"", kWin, "", "", ""},
        // A Shift-JIS second byte is neither a separator nor an extension dot.
        {"C:\\" + kHyo + "\\a.bmp", kWin, "C:\\" + kHyo, "a.bmp", "bmp"},
        {"C:\\" + kHyo, kWin, "C:", kHyo, ""},
        {"C:\\x\\" + kSo + kSo + ".bmp", kWin, "C:\\x", kSo + kSo + ".bmp", "bmp"},
        {"d\\a" + kHyo + "\\", kWin, "d\\a" + kHyo, "", ""},
        {"a\x81.", kWin, "", "a\x81.", ""},
        // POSIX: only '/' separates; UTF-8 passes whole.
        {"/home/u/a\\b.bmp", kPosix, "/home/u", "a\\b.bmp", "bmp"},
        {"/x.d/\xE8\xA1\xA8.png", kPosix, "/x.d", "\xE8\xA1\xA8.png", "png"},
        {"/a.bmp", kPosix, "", "a.bmp", "bmp"},
        {"/pics/", kPosix, "/pics", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.path));
        EXPECT_EQ(directoryPart(c.path, c.style), c.directory);
        EXPECT_EQ(fileNamePart(c.path, c.style), c.name);
        EXPECT_EQ(extensionPart(c.path, c.style), c.extension);
    }
    // Kept whole, far beyond the old 511-byte buffers.
    const std::string deep = "/" + std::string(3000, 'd') + "/name.xyz";
    EXPECT_EQ(directoryPart(deep, kPosix).size(), 3001u);
}

TEST(PathToolkit, NextCharStepsByCharacterUnderTheLocalesRule) {
    const std::string sjis = "a" + kHyo + "\x81";
    EXPECT_EQ(nextChar(sjis, 1, kWin), 3u);
    EXPECT_EQ(nextChar(sjis, 3, kWin), 4u);  // a lead byte with nothing after it
    EXPECT_EQ(nextChar(sjis, 4, kWin), 4u);  // at the end it stays
    EXPECT_EQ(nextChar(std::string_view("\x81\0x", 3), 0, kWin), 1u);  // nor with a NUL
    EXPECT_EQ(nextChar("\xF0\x9F\x98\x80/", 0, kPosix), 4u);
    EXPECT_EQ(nextChar("\xC3(", 0, kPosix), 1u);     // malformed: one byte
    EXPECT_EQ(nextChar("\xE8\xA1", 0, kPosix), 1u);  // cut short: one byte
    for (const auto& [codeset, sjisCodeset] : {std::pair{"SHIFT_JIS", true},
                                               {"Shift-JIS", true},
                                               {"CP932", true},
                                               {"sjis", true},
                                               {"UTF-8", false},
                                               {"EUC-JP", false}}) {
        EXPECT_EQ(isShiftJisCodeset(codeset), sjisCodeset) << codeset;
    }
}

TEST(MakeDirectories, BuildsTheMissingFoldersOfARealTree) {
    test::TempDir dir;
    makeDirectories(dir.file("out/a/b"), kPosix);
    makeDirectories(dir.file("out/a/b"), kPosix);  // existing: nothing to do
    makeDirectories(dir.file("out/c/"), kPosix);
    // Under the Shift-JIS rule the 0x5C inside 表 does not split the path.
    makeDirectories(dir.file("out/" + kHyo + "/sub"), PathStyle{true, '/', CharRule::ShiftJis});
    // A file in the way stops it; an empty path makes nothing.
    test::writeFile(dir.file("blocker"), std::string("file"));
    makeDirectories(dir.file("blocker/deeper/still"), kPosix);
    makeDirectories("", kPosix);

    struct stat st {};
    EXPECT_TRUE(::stat(dir.file("out/a/b").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_EQ(test::listDir(dir.file("out")), (std::vector<std::string>{"a", "c", kHyo}));
    EXPECT_EQ(test::listDir(dir.file("out/" + kHyo)), std::vector<std::string>{"sub"});
    EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"blocker", "out"}));
    EXPECT_TRUE(::stat(dir.file("blocker").c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

}  // namespace
}  // namespace kelvara
