#include <gtest/gtest.h>

#include "convert/output_policy.h"
#include "io/path_toolkit.h"
#include "filelist/gather.h"
#include "support/support.h"
#include "unit/table.h"

namespace kelvara {
namespace {

using namespace std::string_literals;
using Paths = std::vector<std::string>;

// The rows and what they mean: tests/data/unit/resolve_output.tsv.
TEST(ResolveOutput, DecidesActionFormatAndTarget) {
    for (const auto& row : tableRows("unit/resolve_output.tsv")) {
        Settings s;
        std::tie(s.SaveMode, s.SaveDirFlag, s.SaveDir, s.ReproduceDir, s.UnKnownFlag) =
            std::tuple(std::stoi(row[2]), std::stoi(row[3]), row[4], row[5] == "1", std::stoi(row[6]));
        const OutputPlan plan = resolveOutput(row[0], row[1], s);
        const char* names[] = {"convert", "copy", "skip", "bmp", "png", "xyz"};
        EXPECT_EQ(names[int(plan.action)] + (" "s + names[3 + int(plan.sourceFormat)]) + " " + plan.targetPath,
                  row[7] + " " + row[8] + " " + row[9])
            << row[0];
    }
}

// The rows: tests/data/unit/path_parts.tsv.
TEST(PathToolkit, SplitsPathsInBothStylesAndMakesFolders) {
    for (const auto& row : tableRows("unit/path_parts.tsv")) {
        const PathStyle style = row[0] == "windows" ? PathStyle::windows() : PathStyle::posix();
        EXPECT_EQ(directoryPart(row[1], style) + "|" + std::string(fileNamePart(row[1], style)) + "|" +
                      std::string(extensionPart(row[1], style)),
                  row[2] + "|" + row[3] + "|" + row[4])
            << row[1];
    }
    // Where the character after the one at a position starts.
    const PathStyle kWin = PathStyle::windows(), kPosix = PathStyle::posix();
    for (const auto& [text, pos, style, next] :
         {std::tuple{"a\x95\x5C\x81"s, 1, kWin, 3}, {"a\x95\x5C\x81"s, 3, kWin, 4}, {"\x81\0x"s, 0, kWin, 1},
          {"\xF0\x9F\x98\x80/"s, 0, kPosix, 4}, {"\xC3("s, 0, kPosix, 1}, {"\xE8\xA1"s, 0, kPosix, 1}}) {
        EXPECT_EQ(nextChar(text, pos, style), std::size_t(next)) << text << pos;
    }
    for (const auto& [codeset, isSjis] :
         {std::pair{"Shift_JIS", true}, {"sjis", true}, {"CP932", true}, {"WINDOWS-31J", true}, {"EUC-JP", false}}) {
        EXPECT_EQ(isShiftJisCodeset(codeset), isSjis) << codeset;
    }

    test::TempDir dir;
    makeDirectories(dir.file("out/a/b"), kPosix);
    makeDirectories(dir.file("out/a/b"), kPosix);  // existing: nothing to do
    makeDirectories(dir.file("out/c/"), kPosix);
    // Under the Shift-JIS rule the 0x5C inside 表 does not split the path.
    makeDirectories(dir.file("out/\x95\x5C/sub"), PathStyle::posix(CharRule::ShiftJis));
    test::writeFile(dir.file("blocker"), "file");  // a file in the way stops it
    makeDirectories(dir.file("blocker/deeper/still"), kPosix);
    makeDirectories("", kPosix);
    EXPECT_EQ(test::listDir(dir.file("out")), (Paths{"a", "c", "\x95\x5C"}));
    EXPECT_EQ(std::pair(test::listDir(dir.file("out/a")), test::listDir(dir.file("out/\x95\x5C"))),
              std::pair(Paths{"b"}, Paths{"sub"}));
    EXPECT_EQ(test::listDir(dir.path()), (Paths{"blocker", "out"}));
}

// The command-line text and the open-file dialog's answer, as the Windows path
// style gives them: tests/data/unit/path_texts.tsv.
TEST(PathTexts, SplitIntoPaths) {
    for (const auto& row : tableRows("unit/path_texts.tsv")) {
        EXPECT_EQ(row[0] == "open" ? parseOpenFileResult(row[1]) : splitCommandLine(row[1]),
                  Paths(row.begin() + 2, row.end()))
            << row[1];
    }
}

}  // namespace
}  // namespace kelvara
