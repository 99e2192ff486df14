#include <gtest/gtest.h>

#include "conversion/output_policy.h"
#include "conversion/path_toolkit.h"
#include "filelist/gather.h"
#include "support/support.h"

namespace kelvara {
namespace {

using namespace std::string_literals;
using Paths = std::vector<std::string>;
using A = OutputAction;
using F = ImageFormat;

const PathStyle kWin = PathStyle::windows(), kPosix = PathStyle::posix();
// 表 and ソ in Shift-JIS: their second byte is a backslash.
const std::string kHyo = "\x95\x5C", kSo = "\x83\x5C";

// Settings: target format (SaveMode), into SaveDir or beside (SaveDirFlag),
// the tree kept (ReproduceDir), other files copied (UnKnownFlag).
Settings output(int saveMode, int saveDirFlag, std::string saveDir = {}, bool tree = true, int unknown = 0) {
    Settings s;
    std::tie(s.SaveMode, s.SaveDirFlag, s.SaveDir, s.ReproduceDir, s.UnKnownFlag) =
        std::tuple(saveMode, saveDirFlag, saveDir, tree, unknown);
    return s;
}

// Each source lies in a base folder one level below the root.
TEST(ResolveOutput, DecidesActionFormatAndTarget) {
    struct Row {
        std::string full;
        Settings settings;
        A action;
        F format;
        std::string target;
    } const rows[] = {
        {"/p/a.bmp", output(1, 0), A::ConvertImage, F::Bmp, "/p/a.png"},
        {"/p/a.bmp", output(0, 0), A::ConvertImage, F::Bmp, "/p/a.bmp"},
        {"/s/set1/sub/a.png", output(0, 1, "/out"), A::ConvertImage, F::Png, "/out/set1/sub/a.bmp"},
        {"/s/set1/sub/a.png", output(0, 1, "/out", false), A::ConvertImage, F::Png, "/out/a.bmp"},
        {"/s/set1/a.png", output(2, 1, "/out/"), A::ConvertImage, F::Png, "/out//set1/a.xyz"},
        {"/s/a.png", output(0, 1, ""), A::ConvertImage, F::Png, "/a.bmp"},
        {"/p/A.Png", output(2, 0), A::ConvertImage, F::Png, "/p/A.xyz"},
        {"/p/B.XYZ", output(0, 0), A::ConvertImage, F::Xyz, "/p/B.bmp"},
        {"/p/c.bMp", output(0, 0), A::ConvertImage, F::Bmp, "/p/c.bmp"},
        {"/p/a.tar.bmp", output(1, 0), A::ConvertImage, F::Bmp, "/p/a.tar.png"},
        {"/p/.xyz", output(1, 0), A::ConvertImage, F::Xyz, "/p/.png"},
        {"/p/a.png", output(7, 0), A::ConvertImage, F::Png, "/p/a.bmp"},  // out of range: BMP
        {"/p/a.png", output(-1, 1, "/out"), A::ConvertImage, F::Png, "/out/a.bmp"},
        // Windows spellings on POSIX: a backslash or a drive is part of a name.
        {"/p/x\\y.bmp", output(1, 1, "/out", false), A::ConvertImage, F::Bmp, "/out/x\\y.png"},
        {"/s/C:\\pics\\a.xyz", output(1, 1, "D:\\out"), A::ConvertImage, F::Xyz, "D:\\out/C:\\pics\\a.png"},
        {"/s/" + kHyo + "/" + kSo + ".png", output(0, 1, "/o"), A::ConvertImage, F::Png, "/o/" + kHyo + "/" + kSo + ".bmp"},
        {"/p/bmp", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bmp.bak", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bmpx", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bm", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/x.png/readme", output(1, 1, "/out"), A::SkipEntry, F::Bmp, ""},
        {"/p/a.txt", output(1, 0, "", true, 2), A::SkipEntry, F::Bmp, ""},
        {"/p/bmp", output(1, 0, "", true, 1), A::CopyUnchanged, F::Bmp, "/p/bmp"},
        {"/p/x.png/readme", output(1, 1, "/out", true, 1), A::CopyUnchanged, F::Bmp, "/out/x.png/readme"},
        {"/s/set/r.TXT", output(1, 1, "/out", false, 1), A::CopyUnchanged, F::Bmp, "/out/r.TXT"},
        {"/s/set/r.TXT", output(1, 2, "/out", false, 1), A::CopyUnchanged, F::Bmp, "/s/set/r.TXT"},
    };
    for (const Row& row : rows) {
        const OutputPlan plan = resolveOutput(row.full, row.full.substr(row.full.find('/', 1) + 1), row.settings);
        EXPECT_EQ(std::tuple(plan.action, plan.sourceFormat, plan.targetPath), std::tuple(row.action, row.format, row.target))
            << row.full;
    }
}

TEST(PathToolkit, SplitsPathsInBothStylesAndMakesFolders) {
    struct Row {
        std::string path;
        const PathStyle& style;
        std::string directory, name, extension;
    } const rows[] = {
        {"C:\\pics\\a.bmp", kWin, "C:\\pics", "a.bmp", "bmp"},
        {"C:/pics/A.BMP", kWin, "C:/pics", "A.BMP", "BMP"},
        {"C:\\pics/sub\\a.tar.bmp", kWin, "C:\\pics/sub", "a.tar.bmp", "bmp"},
        {"C:\\pics\\", kWin, "C:\\pics", "", ""},
        {"C:\\.bmp", kWin, "C:", ".bmp", "bmp"},
        {"C:\\my.dir\\file", kWin, "C:\\my.dir", "file", ""},
        {"a.", kWin, "", "a.", ""},
        {"", kWin, "", "", ""},
        // A Shift-JIS second byte is neither a separator nor an extension dot; a NUL
        // is no second byte.
        {"C:\\" + kHyo + "\\a.bmp", kWin, "C:\\" + kHyo, "a.bmp", "bmp"},
        {"C:\\" + kHyo, kWin, "C:", kHyo, ""},
        {"C:\\x\\" + kSo + kSo + ".bmp", kWin, "C:\\x", kSo + kSo + ".bmp", "bmp"},
        {"d\\a" + kHyo + "\\", kWin, "d\\a" + kHyo, "", ""},
        {"a\x81.", kWin, "", "a\x81.", ""},
        {"a\x81\0\\b"s, kWin, "a\x81\0"s, "b", ""},
        // POSIX: only '/' separates; UTF-8 passes whole.
        {"/home/u/a\\b.bmp", kPosix, "/home/u", "a\\b.bmp", "bmp"},
        {"/x.d/\xE8\xA1\xA8.png", kPosix, "/x.d", "\xE8\xA1\xA8.png", "png"},
        {"/a.bmp", kPosix, "", "a.bmp", "bmp"},
        {"/pics/", kPosix, "/pics", "", ""},
        {"/" + std::string(3000, 'd') + "/n.xyz", kPosix, "/" + std::string(3000, 'd'), "n.xyz", "xyz"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(std::tuple(directoryPart(row.path, row.style), std::string(fileNamePart(row.path, row.style)),
                             std::string(extensionPart(row.path, row.style))),
                  std::tuple(row.directory, row.name, row.extension))
            << row.path;
    }
    // Where the character after the one at a position starts.
    for (const auto& [text, pos, style, next] :
         {std::tuple{"a\x95\x5C\x81"s, 1, kWin, 3}, {"a\x95\x5C\x81"s, 3, kWin, 4}, {"a\x95\x5C\x81"s, 4, kWin, 4},
          {"\x81\0x"s, 0, kWin, 1}, {"\xF0\x9F\x98\x80/"s, 0, kPosix, 4}, {"\xC3("s, 0, kPosix, 1},
          {"\xE8\xA1"s, 0, kPosix, 1}, {"\x95\x5C"s, 0, PathStyle::posix(CharRule::ShiftJis), 2}}) {
        EXPECT_EQ(nextChar(text, pos, style), std::size_t(next)) << text << pos;
    }
    for (const auto& [codeset, isSjis] : {std::pair{"SHIFT_JIS", true}, {"Shift-JIS", true}, {"CP932", true},
                                          {"sjis", true}, {"WINDOWS-31J", true}, {"UTF-8", false}, {"EUC-JP", false}}) {
        EXPECT_EQ(isShiftJisCodeset(codeset), isSjis) << codeset;
    }

    test::TempDir dir;
    makeDirectories(dir.file("out/a/b"), kPosix);
    makeDirectories(dir.file("out/a/b"), kPosix);  // existing: nothing to do
    makeDirectories(dir.file("out/c/"), kPosix);
    // Under the Shift-JIS rule the 0x5C inside 表 does not split the path.
    makeDirectories(dir.file("out/" + kHyo + "/sub"), PathStyle::posix(CharRule::ShiftJis));
    test::writeFile(dir.file("blocker"), "file");  // a file in the way stops it
    makeDirectories(dir.file("blocker/deeper/still"), kPosix);
    makeDirectories("", kPosix);
    EXPECT_EQ(test::listDir(dir.file("out")), (Paths{"a", "c", kHyo}));
    EXPECT_EQ(std::pair(test::listDir(dir.file("out/a")), test::listDir(dir.file("out/" + kHyo))),
              std::pair(Paths{"b"}, Paths{"sub"}));
    EXPECT_EQ(test::listDir(dir.path()), (Paths{"blocker", "out"}));
}

// The command-line text and the open-file dialog's answer, as the Windows
// path style gives them; and the lexical normal form every gathered path takes.
TEST(PathTexts, SplitIntoPathsAndNormalise) {
    for (const auto& [text, paths] : std::vector<std::pair<std::string, Paths>>{
             {R"(a.bmp "C:\my pics\b.png" C:\x\"c d".bmp)", {"a.bmp", R"(C:\my pics\b.png)", R"(C:\x\"c d".bmp)"}},
             {"\ta\t\t b  ", {"a", "b"}},
             {R"(a"b c"d "" ")", {R"(a"b c"d)", "", ""}},
             {R"("a" b")", {"a", R"(b")"}},
             {"a b\0c d"s, {"a", "b"}},
             {" \t ", {}}}) {
        EXPECT_EQ(splitCommandLine(text), paths) << text;
    }
    for (const auto& [buffer, paths] : std::vector<std::pair<std::string, Paths>>{
             {"/p/a.bmp\0\0"s, {"/p/a.bmp"}},
             {"/p\0a.bmp\0b c.bmp\0\0junk\0"s, {"/p/a.bmp", "/p/b c.bmp"}},
             {"/\0a.bmp\0b.bmp\0\0"s, {"//a.bmp", "//b.bmp"}},
             {"/p\0a.bmp"s, {"/p/a.bmp"}},
             {"\0\0"s, {}}}) {
        EXPECT_EQ(parseOpenFileResult(buffer), paths) << buffer;
    }
    for (const auto& [path, normal] : {std::pair{"/a/./b//c/", "/a/b/c"}, {"/a/b/../../..", "/"}, {"/..", "/"},
                                       {"a/../../b", "../b"}, {"./", "."}, {"src/inner/../..", "."}, {"//", "/"},
                                       {"", "."}}) {
        EXPECT_EQ(lexicallyNormal(path), normal) << path;
    }
}

}  // namespace
}  // namespace kelvara
