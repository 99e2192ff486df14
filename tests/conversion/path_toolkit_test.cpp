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

bool isDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(PathToolkit, SplitsWindowsStylePaths) {
    EXPECT_EQ(fileNamePart("C:\\pics\\a.bmp", kWin), "a.bmp");
    EXPECT_EQ(fileNamePart("C:\\pics\\", kWin), "");
    EXPECT_EQ(fileNamePart("a.bmp", kWin), "a.bmp");
    EXPECT_EQ(fileNamePart("C:/pics/a.bmp", kWin), "a.bmp");
    EXPECT_EQ(fileNamePart("C:\\pics/sub\\a.bmp", kWin), "a.bmp");

    EXPECT_EQ(extensionPart("x.png\\readme", kWin), "");
    EXPECT_EQ(extensionPart("A.BMP", kWin), "BMP");
    EXPECT_EQ(extensionPart("a.tar.bmp", kWin), "bmp");
    EXPECT_EQ(extensionPart(".bmp", kWin), "bmp");
    EXPECT_EQ(extensionPart("a.", kWin), "");
    EXPECT_EQ(extensionPart("a", kWin), "");
    EXPECT_EQ(extensionPart("C:\\my.dir\\file", kWin), "");

    EXPECT_EQ(directoryPart("C:\\pics\\a.bmp", kWin), "C:\\pics");
    EXPECT_EQ(directoryPart("C:\\a.bmp", kWin), "C:");
    EXPECT_EQ(directoryPart("C:\\", kWin), "C:");
    EXPECT_EQ(directoryPart("C:\\pics\\", kWin), "C:\\pics");
    EXPECT_EQ(directoryPart("", kWin), "");
    EXPECT_EQ(directoryPart("a.bmp", kWin), "");
}

TEST(PathToolkit, PosixStyleSplitsOnlyAtSlash) {
    EXPECT_EQ(fileNamePart("/home/u/a\\b.bmp", kPosix), "a\\b.bmp");
    EXPECT_EQ(directoryPart("/home/u/a\\b.bmp", kPosix), "/home/u");
    EXPECT_EQ(directoryPart("/a.bmp", kPosix), "");
    EXPECT_EQ(directoryPart("/pics/", kPosix), "/pics");
    EXPECT_EQ(extensionPart("/x.d/a\\b.png", kPosix), "png");

    // Paths are kept whole, far beyond the old 511-byte buffers.
    const std::string deep = "/" + std::string(3000, 'd') + "/name.xyz";
    EXPECT_EQ(directoryPart(deep, kPosix).size(), 3001u);
    EXPECT_EQ(extensionPart(deep, kPosix), "xyz");
}

TEST(PathToolkit, ShiftJisSecondByteIsNeverASeparator) {
    const std::string folder = "C:\\" + kHyo;  // a folder named 表
    EXPECT_EQ(fileNamePart(folder + "\\a.bmp", kWin), "a.bmp");
    EXPECT_EQ(fileNamePart(folder, kWin), kHyo);
    EXPECT_EQ(directoryPart(folder + "\\a.bmp", kWin), folder);
    EXPECT_EQ(directoryPart(folder, kWin), "C:");
    EXPECT_EQ(fileNamePart("C:\\x\\" + kSo + kSo + ".bmp", kWin), kSo + kSo + ".bmp");
    // A name ending in 表 is the whole name, not the text after its 0x5C.
    EXPECT_EQ(fileNamePart("d\\a" + kHyo, kWin), "a" + kHyo);
    EXPECT_EQ(directoryPart("d\\a" + kHyo + "\\", kWin), "d\\a" + kHyo);
    // A dot as a second byte is not an extension dot either.
    EXPECT_EQ(extensionPart("a\x81.", kWin), "");
}

TEST(PathToolkit, NextCharStepsByCharacter) {
    // Shift-JIS: a lead byte takes the next byte unless the text ends there.
    const std::string sjis = "a" + kHyo + "\x81";
    EXPECT_EQ(nextChar(sjis, 0, kWin), 1u);
    EXPECT_EQ(nextChar(sjis, 1, kWin), 3u);
    EXPECT_EQ(nextChar(sjis, 3, kWin), 4u);  // lead byte before the end: one character
    EXPECT_EQ(nextChar(sjis, 4, kWin), 4u);  // at the end it stays
    EXPECT_EQ(nextChar(std::string_view("\x81\0x", 3), 0, kWin), 1u);

    // UTF-8: whole sequences; malformed bytes stand alone.
    const std::string utf8 = "\xE8\xA1\xA8/\xC3(\xF0\x9F\x98\x80";
    EXPECT_EQ(nextChar(utf8, 0, kPosix), 3u);
    EXPECT_EQ(nextChar(utf8, 3, kPosix), 4u);
    EXPECT_EQ(nextChar(utf8, 4, kPosix), 5u);  // 0xC3 without a continuation byte
    EXPECT_EQ(nextChar(utf8, 6, kPosix), 10u);
    EXPECT_EQ(nextChar("\xE8\xA1", 0, kPosix), 1u);  // cut short
    EXPECT_EQ(fileNamePart("/d/\xE8\xA1\xA8.png", kPosix), "\xE8\xA1\xA8.png");
}

TEST(PathToolkit, NativeStyleFollowsTheLocaleCodeset) {
    EXPECT_TRUE(isShiftJisCodeset("SHIFT_JIS"));
    EXPECT_TRUE(isShiftJisCodeset("Shift-JIS"));
    EXPECT_TRUE(isShiftJisCodeset("CP932"));
    EXPECT_TRUE(isShiftJisCodeset("sjis"));
    EXPECT_FALSE(isShiftJisCodeset("UTF-8"));
    EXPECT_FALSE(isShiftJisCodeset("EUC-JP"));
    const PathStyle native = PathStyle::native();
    EXPECT_FALSE(native.backslashSeparates);
    EXPECT_EQ(native.builtSeparator, '/');
}

TEST(MakeDirectories, CreatesEveryMissingParent) {
    test::TempDir dir;
    const std::string leaf = dir.file("out/a/b");
    makeDirectories(leaf, kPosix);
    EXPECT_TRUE(isDir(dir.file("out")));
    EXPECT_TRUE(isDir(dir.file("out/a")));
    EXPECT_TRUE(isDir(leaf));
    makeDirectories(leaf, kPosix);  // existing: nothing to do
    makeDirectories(dir.file("out/c/"), kPosix);
    EXPECT_TRUE(isDir(dir.file("out/c")));
    EXPECT_EQ(test::listDir(dir.file("out")), (std::vector<std::string>{"a", "c"}));
}

TEST(MakeDirectories, MakesNoFolderNamedAfterHalfACharacter) {
    test::TempDir dir;
    // Under the Shift-JIS rule the 0x5C inside 表 must not split the path.
    const PathStyle sjisBoth{true, '/', CharRule::ShiftJis};
    const std::string leaf = dir.file("out/" + kHyo + "/sub");
    makeDirectories(leaf, sjisBoth);
    EXPECT_TRUE(isDir(leaf));
    EXPECT_EQ(test::listDir(dir.file("out")), std::vector<std::string>{kHyo});
}

TEST(MakeDirectories, AFileInTheWayStopsIt) {
    test::TempDir dir;
    test::writeFile(dir.file("blocker"), std::string("file"));
    makeDirectories(dir.file("blocker"), kPosix);
    makeDirectories(dir.file("blocker/deeper/still"), kPosix);
    EXPECT_FALSE(isDir(dir.file("blocker")));
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"blocker"});
    makeDirectories("", kPosix);  // nothing to make, nothing happens
}

}  // namespace
}  // namespace kelvara
