#include "filelist/file_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

#include "filelist/gather.h"
#include "support/need.h"

namespace kelvara {
namespace {

using Texts = std::vector<std::string>;
using S = ConvertStatus;

Texts column(const FileList& list, int col) {
    Texts texts;
    for (int i = 0; i < list.rowCount(); ++i) texts.push_back(list.cellText(i, col));
    return texts;
}

void addNamed(FileList& list, const Texts& names) {
    for (const std::string& name : names) list.addEntry("/x/" + name, "/x");
}

TEST(FileList, ListsEachExactPathOnceSelectsAndRemoves) {
    FileList list;
    const std::string deep = "/" + std::string(250, 'd'), name(49, 'f');  // kept whole
    std::vector<bool> added;
    for (const auto& [full, base] : std::vector<std::pair<std::string, std::string>>{
             {"/x/dir/sub/a.bmp", "/x"}, {"/x/a.bmp", "/x"}, {"/x/a.bmp", "/other"}, {"/x/A.BMP", "/x"},
             {"/aa/b.bmp", "/zz"}, {"/q", "/a/much/longer/base"}, {deep + "/" + name, deep}}) {
        added.push_back(list.addEntry(full, base));
    }
    EXPECT_EQ(added, (std::vector<bool>{true, true, false, true, true, true, true}));
    EXPECT_EQ(column(list, kColumnRelativePath), (Texts{"dir/sub/a.bmp", "a.bmp", "A.BMP", "b.bmp", "", name}));
    EXPECT_EQ(column(list, kColumnBaseDirectory)[5] + column(list, kColumnFullPath)[5], deep + deep + "/" + name);
    EXPECT_TRUE(list.containsPath("/x/A.BMP") && !list.containsPath("/x/A.bmp"));
    // Out of range: empty texts, ignored changes.
    EXPECT_EQ(list.cellText(0, kColumnCount) + list.cellText(6, 0) + list.cellText(-1, 0), "");
    list.setStatus(6, S::Success);
    list.setStatus(-1, S::Success);
    list.selectRow(6);
    EXPECT_EQ(list.firstSelected(), -1);
    EXPECT_EQ(column(list, kColumnStatus), Texts(6, std::string(kWaitingText)));
    EXPECT_EQ(statusText(static_cast<S>(kConvertStatusCount)), "");

    list.removeAll();  // only this restarts the sequence
    addNamed(list, {"0", "1", "2", "3", "4", "5"});
    EXPECT_TRUE(list.rowPositions(true).empty());
    list.selectRow(4);
    list.setSelected(2, true);
    list.selectRow(1);
    list.selectRow(2);  // stays selected
    EXPECT_EQ(list.firstSelected(), 1);
    EXPECT_EQ(list.rowPositions(true), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(list.rowPositions(false), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    // The selection moves to the row now standing where the first removed one stood.
    list.removeSelected();
    EXPECT_EQ(column(list, 0), (Texts{"0", "3", "5"}));
    EXPECT_EQ(list.selectedFlags(), (std::vector<bool>{false, true, false}));
    EXPECT_FALSE(list.containsPath("/x/4"));
    list.setSelected(1, false);
    list.selectRow(2);
    list.removeSelected();  // the last row: nothing follows it
    list.removeSelected();  // nothing selected: nothing happens
    EXPECT_EQ(column(list, 0), (Texts{"0", "3"}));
    EXPECT_EQ(list.firstSelected(), -1);
    // Successes go and free their paths; sequence numbers go on.
    addNamed(list, {"s1", "skip", "s2", "s3", "copy"});
    for (const auto& [row, status] : {std::pair{2, S::Success}, {3, S::Skipped}, {4, S::Success},
                                      {5, S::Success}, {6, S::CopyFailed}}) {
        list.setStatus(row, status);
    }
    list.removeSucceeded();
    addNamed(list, {"s1", "skip"});
    EXPECT_EQ(column(list, 0), (Texts{"0", "3", "skip", "copy", "s1"}));
    EXPECT_EQ(list.row(4).sequence, 11);
    list.selectAll();
    EXPECT_EQ(list.selectedFlags(), std::vector<bool>(5, true));
}

// Columns clicked in turn: a new one sorts ascending, the same one again
// reverses. Ties keep their order; selection and sequence travel with rows.
TEST(FileList, SortsByEachColumnWithTheLocaleCollation) {
    struct Restore {
        std::string saved = std::setlocale(LC_COLLATE, nullptr);
        ~Restore() { std::setlocale(LC_COLLATE, saved.c_str()); }
    } restore;
    const Texts names{"c", "B", "a", "\xC3\xA9", "f", "b", "A", "e", "C"};
    FileList list;
    addNamed(list, {"b"});
    EXPECT_FALSE(list.sortByColumn(0));  // one row: not even the state moves
    list.removeAll();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string base = "/" + names[(i + 4) % names.size()];
        list.addEntry(base + "/" + names[i], base);
        list.setStatus(static_cast<int>(i), static_cast<S>(i % 3));
        list.setSelected(static_cast<int>(i), i % 2 == 0);
    }
    EXPECT_FALSE(list.sortByColumn(kColumnCount) || list.sortByColumn(-1));
    EXPECT_EQ(list.sortColumn(), -1);
    ASSERT_TRUE(std::setlocale(LC_COLLATE, "C") && list.sortByColumn(0));
    EXPECT_EQ(column(list, 0), (Texts{"A", "B", "C", "a", "b", "c", "e", "f", "\xC3\xA9"}));
    KELVARA_NEED(std::setlocale(LC_COLLATE, "en_US.UTF-8"), "the en_US.UTF-8 locale");
    int direction = 1;
    for (const int col : {1, 1, 1, 0, 2, 3, 3}) {
        direction = col == list.sortColumn() ? -direction : 1;
        std::vector<int> rank(names.size());  // positions before this sort
        for (int i = 0; i < list.rowCount(); ++i) rank[list.row(i).sequence] = i;
        ASSERT_TRUE(list.sortByColumn(col));
        EXPECT_EQ(std::pair(list.sortColumn(), list.sortDirection()), std::pair(col, direction));
        for (int i = 0; i < list.rowCount(); ++i) {
            const FileEntry &row = list.row(i), &before = list.row(i > 0 ? i - 1 : 0);
            EXPECT_EQ(row.relativePath, names[row.sequence]);
            EXPECT_EQ(row.selected, row.sequence % 2 == 0);
            const int order = std::strcoll(before.cell(col).c_str(), row.cell(col).c_str());
            EXPECT_TRUE(i == 0 || order * direction < 0 || (order == 0 && rank[before.sequence] < rank[row.sequence]))
                << col << " " << i;
        }
    }
    list.removeAll();  // and forgets the sort
    addNamed(list, {"b", "a"});
    ASSERT_TRUE(list.sortByColumn(3));
    EXPECT_EQ(std::pair(list.sortDirection(), column(list, 0)), std::pair(1, Texts{"a", "b"}));
}

// As nobody, so that the locked folder cannot be read. The output folder
// "out" is skipped inside a walk, also through a link, but walked when named.
TEST(Gather, WalksInByteOrderThroughLinksWithoutLoopsAndReportsOmissions) {
    test::TempDir t;
    for (const char* file : {"out/o.bmp", "in/z.bmp", "in/B.bmp", "in/\xC3\xA9.bmp", "in/.hidden", "in/0sub/x",
                             "in/b/1.bmp", "in/a/2.bmp", "in/a/deep/3.bmp", "in/locked/l.bmp", "solo.bmp"}) {
        test::writeFile(t.file(file), "x");
    }
    ::mkdir(t.file("in/empty").c_str(), 0755);
    ::mkdir(t.file("report").c_str(), 0755);
    ::chmod(t.file("report").c_str(), 0777);
    ::chmod(t.file("in/locked").c_str(), 0700);
    ::mkfifo(t.file("in/pipe").c_str(), 0644);
    for (const auto& [target, link] : {std::pair{"nowhere", "dangling"}, {".hidden", "link-to-file"},
                                       {"..", "a/up"}, {".", "self"}, {"b", "twin"}, {"../out", "ext"}}) {
        ::symlink(target, t.file("in/" + std::string(link)).c_str());
    }
    const int status = test::runInChild(
        [&] {
            const auto named = [&](const std::string& p) { return "T" + p.substr(t.path().size()); };
            std::string report;
            GatherOptions options{t.file("out"), [&](const std::string& path, Omission why) {
                                      report += named(path) + " omitted " + std::to_string(int(why)) + "\n";
                                  }};
            FileList list;
            for (const char* path : {"in/", "in/a/../b/1.bmp", "out", "in/empty", "in/pipe", "gone", "./solo.bmp"}) {
                const GatherCount count = gatherPath(list, t.file(path), "", options);
                report += std::string(path) + " " + std::to_string(count.files) + " " +
                          std::to_string(count.duplicates) + "\n";
            }
            for (int i = 0; i < list.rowCount(); ++i) report += list.cellText(i, 0) + " @" + named(list.cellText(i, 2)) + "\n";
            test::writeFile(t.file("report/text"), report);
            return 0;
        },
        {0, true});
    ASSERT_EQ(status, 0);
    const test::Bytes report = test::readFile(t.file("report/text"));
    EXPECT_EQ(std::string(report.begin(), report.end()),
              "T/in/dangling omitted 0\nT/in/pipe omitted 1\nT/in/locked omitted 2\nin/ 10 0\n"
              "in/a/../b/1.bmp 1 1\nout 1 0\nT/in/empty omitted 3\nin/empty 0 0\n"
              "T/in/pipe omitted 1\nin/pipe 0 0\nT/gone omitted 0\ngone 0 0\n./solo.bmp 1 0\n"
              "in/.hidden @T\nin/B.bmp @T\nin/link-to-file @T\nin/z.bmp @T\nin/\xC3\xA9.bmp @T\n"
              "in/0sub/x @T\nin/a/2.bmp @T\nin/a/deep/3.bmp @T\nin/b/1.bmp @T\nin/twin/1.bmp @T\n"
              "out/o.bmp @T\nsolo.bmp @T\n");
}

// Each road gathers, then starts a run when its own setting says so. The
// output folder (SaveDir, in/dir) is left out of a walk only when chosen.
TEST(Gather, EachRoadStartsByItsOwnSetting) {
    test::TempDir t;
    const std::string in = t.file("in");
    for (const char* file : {"in/a.bmp", "in/my pics/b.png", "in/dir/c.bmp"}) test::writeFile(t.file(file), "x");
    constexpr int kA1 = 1, kA2 = 2, kA3 = 4, kToSaveDir = 8;
    struct Row {
        char road;  // command line, drop, open-file dialog
        int settings;
        std::optional<Texts> input;
        Texts rows;
        bool started;
        std::string lastDir;
    } const rows[] = {
        {'c', kA2, Texts{}, {}, false, "/before"},
        {'c', kA2, Texts{"a.bmp", "", "dir", "gone", in + "/my pics/b.png"}, {"a.bmp", "dir/c.bmp", "b.png"}, true, "/before"},
        {'c', kA1 | kA3, Texts{"./dir/../a.bmp"}, {"a.bmp"}, false, "/before"},
        {'d', kA1, Texts{in, ""}, {"in/a.bmp", "in/dir/c.bmp", "in/my pics/b.png"}, true, "/before"},
        {'d', kA2 | kA3 | kToSaveDir, Texts{in}, {"in/a.bmp", "in/my pics/b.png"}, false, "/before"},
        {'d', kA1, Texts{in + "/gone"}, {}, true, "/before"},
        {'o', kA3, std::nullopt, {}, false, "/before"},
        {'o', kA3, Texts{}, {}, false, "/before"},
        {'o', kA3, Texts{in + "/dir/typed.bmp", in + "/a.bmp"}, {"a.bmp"}, true, in + "/dir"},
        {'o', kA1 | kA2, Texts{"/kelvara-no-such-file.bmp"}, {}, false, "/"},
    };
    for (const Row& row : rows) {
        FileList list;
        Settings s;
        std::tie(s.AutoConvert1, s.AutoConvert2, s.AutoConvert3, s.SaveDirFlag, s.SaveDir, s.LastDir) =
            std::tuple(row.settings & kA1, row.settings & kA2, row.settings & kA3, row.settings & kToSaveDir ? 1 : 0,
                       in + "/dir", "/before");
        bool started = false;
        const StartAll start = [&] { started = true; };
        if (row.road == 'c')
            onCommandLine(list, *row.input, in, s, start);
        else if (row.road == 'd')
            onDropPaths(list, *row.input, s, start);
        else
            onOpenFiles(list, row.input, s, start);
        EXPECT_EQ(std::tuple(column(list, 0), started, s.LastDir), std::tuple(row.rows, row.started, row.lastDir))
            << row.road << row.settings;
    }
}

}  // namespace
}  // namespace kelvara
