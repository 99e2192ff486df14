#include "filelist/file_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

#include "filelist/gather.h"
#include "support/need.h"
#include "unit/table.h"

namespace kelvara {
namespace {

using Texts = std::vector<std::string>;
using S = ConvertStatus;

const StatusTexts kTexts = {"done", "skipped", "copy failed", "unsupported", "not 8-bit",
                            "write error", "conflict", "waiting"};

Texts column(const FileList& list, int col) {
    Texts texts;
    for (int i = 0; i < list.rowCount(); ++i) texts.push_back(list.cellText(i, col));
    return texts;
}

std::vector<bool> selected(const FileList& list) {
    std::vector<bool> flags;
    for (int i = 0; i < list.rowCount(); ++i) flags.push_back(list.row(i).selected);
    return flags;
}

void addNamed(FileList& list, const Texts& names) {
    for (const std::string& name : names) list.addEntry("/x/" + name, "/x");
}

TEST(FileList, ListsEachExactPathOnceSelectsAndRemoves) {
    FileList list(&kTexts);
    const std::string deep = "/" + std::string(250, 'd'), name(49, 'f');  // kept whole
    std::vector<bool> added;
    for (const auto& [full, base] : std::vector<std::pair<std::string, std::string>>{
             {"/x/dir/sub/a.bmp", "/x"}, {"/x/a.bmp", "/x"}, {"/x/a.bmp", "/other"}, {"/x/A.BMP", "/x"},
             {"/aa/b.bmp", "/zz"}, {"/q", "/a/much/longer/base"}, {deep + "/" + name, deep}}) {
        added.push_back(list.addEntry(full, base));
    }
    EXPECT_EQ(added, (std::vector<bool>{true, true, false, true, true, true, true}));
    EXPECT_EQ(column(list, 0), (Texts{"dir/sub/a.bmp", "a.bmp", "A.BMP", "b.bmp", "", name}));
    EXPECT_EQ(list.cellText(5, kColumnBaseDirectory) + list.cellText(5, kColumnFullPath), deep + deep + "/" + name);
    // Out of range: empty texts, ignored changes.
    list.setStatus(6, S::Success);
    list.setStatus(-1, S::Success);
    list.setStatus(0, static_cast<S>(kConvertStatusCount));
    list.selectRow(6);
    EXPECT_EQ(list.cellText(0, kColumnCount) + list.cellText(6, 0) + list.cellText(-1, 0) +
                  std::to_string(list.firstSelected()), "-1");
    EXPECT_EQ(column(list, kColumnStatus), Texts(6, "waiting"));

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
    EXPECT_EQ(selected(list), (std::vector<bool>{false, true, false}));
    list.setSelected(1, false);
    list.selectRow(2);
    list.removeSelected();  // the last row: nothing follows it
    list.removeSelected();  // nothing selected: nothing happens
    EXPECT_EQ(column(list, 0), (Texts{"0", "3"}));
    EXPECT_EQ(list.firstSelected(), -1);
    // Successes go and free their paths; sequence numbers go on.
    addNamed(list, {"s1", "skip", "s2", "4", "copy"});
    for (const auto& [row, status] : {std::pair{2, S::Success}, {3, S::Skipped}, {4, S::Success}, {5, S::Success}})
        list.setStatus(row, status);
    list.setStatus(6, S::CopyFailed);
    list.removeSucceeded();
    addNamed(list, {"s1", "skip"});
    EXPECT_EQ(column(list, 0), (Texts{"0", "3", "skip", "copy", "s1"}));
    EXPECT_EQ(list.row(4).sequence, 11);
    list.selectAll();
    EXPECT_EQ(selected(list), std::vector<bool>(5, true));
}

// Columns clicked in turn: a new one sorts ascending, the same one again
// reverses. Ties keep their order; selection and sequence travel with rows.
TEST(FileList, SortsByEachColumnWithTheLocaleCollation) {
    KELVARA_NEED(std::setlocale(LC_COLLATE, "en_US.UTF-8"), "the en_US.UTF-8 locale");
    Texts names;  // enough rows that an unstable sort would show
    for (int i = 0; i < 45; ++i) names.push_back(std::string(1, "cBadfbAeC"[i % 9]) + std::to_string(i / 9));
    FileList list(&kTexts);
    addNamed(list, {"b"});
    EXPECT_FALSE(list.sortByColumn(0));  // one row: not even the state moves
    list.removeAll();
    for (std::size_t i = 0; i < names.size(); ++i) {
        list.addEntry("/" + names[(i + 4) % names.size()] + "/" + names[i], "/" + names[(i + 4) % names.size()]);
        list.setStatus(int(i), static_cast<S>(i % 3));
        list.setSelected(int(i), i % 2 == 0);
    }
    EXPECT_FALSE(list.sortByColumn(kColumnCount) || list.sortByColumn(-1) || list.sortColumn() != -1);
    int direction = 1;
    for (const int col : {1, 1, 1, 0, 2, 3}) {
        direction = col == list.sortColumn() ? -direction : 1;
        std::vector<int> rank(names.size());  // positions before this sort
        for (int i = 0; i < list.rowCount(); ++i) rank[list.row(i).sequence] = i;
        ASSERT_TRUE(list.sortByColumn(col));
        EXPECT_EQ(std::pair(list.sortColumn(), list.sortDirection()), std::pair(col, direction));
        for (int i = 0; i < list.rowCount(); ++i) {
            const FileEntry &row = list.row(i), &before = list.row(i > 0 ? i - 1 : 0);
            EXPECT_TRUE(row.relativePath == names[row.sequence] && row.selected == (row.sequence % 2 == 0));
            const int order = std::strcoll(list.cell(i > 0 ? i - 1 : 0, col).c_str(), list.cell(i, col).c_str());
            EXPECT_TRUE(i == 0 || order * direction < 0 || (order == 0 && rank[before.sequence] < rank[row.sequence]))
                << col << " " << i;
        }
    }
    list.removeAll();  // and forgets the sort
    addNamed(list, {"b", "a"});
    ASSERT_TRUE(list.sortByColumn(3));
    EXPECT_EQ(std::pair(list.sortDirection(), column(list, 0)), std::pair(1, Texts{"a", "b"}));
    std::setlocale(LC_COLLATE, "C");
}

// As nobody, so that the locked folder cannot be read; the child reports what
// it gathered, which tests/data/gather/walk.txt shows (omissions by Omission
// value, files found and duplicates per path, rows with their base folders).
// The output folder is skipped in a walk, also through a link, but walked
// when named itself.
TEST(Gather, WalksInByteOrderThroughLinksWithoutLoopsAndReportsOmissions) {
    test::TempDir t;
    buildTree(t.path(), "unit/gather_tree.tsv");
    const auto child = [&] {
        const auto named = [&](const std::string& p) { return "T" + p.substr(t.path().size()); };
        std::string report;
        const GatherOptions options{t.file("out"), [&](const std::string& path, Omission why) {
                                        report += named(path) + " omitted " + std::to_string(int(why)) + "\n";
                                    }};
        FileList list;
        for (const char* path : {"in/", "in/a/../b/1.bmp", "out", "in/empty", "in/pipe", "gone", "./solo.bmp"}) {
            const GatherCount count = gatherPath(list, t.file(path), "", options);
            report += path + (" " + std::to_string(count.files)) + " " + std::to_string(count.duplicates) + "\n";
        }
        for (int i = 0; i < list.rowCount(); ++i) {
            report += list.cellText(i, 0) + " @" + named(list.cellText(i, 2)) + "\n";
        }
        test::writeFile(t.file("report/text"), report);
        return 0;
    };
    ASSERT_EQ(test::runInChild(child, {0, true}), 0);
    EXPECT_EQ(test::readFile(t.file("report/text")), test::readFile(KELVARA_DATA_DIR "/gather/walk.txt"));
}

// An output folder made while a walk is under way (by another shard writing
// into the tree) is left out all the same: the FIFO's report comes while in/
// is listed, before sub/ is entered.
TEST(Gather, LeavesOutAnOutputFolderMadeDuringTheWalk) {
    test::TempDir t;
    for (const char* file : {"in/a.bmp", "in/sub/b.bmp"}) test::writeFile(t.file(file), "x");
    ASSERT_EQ(::mkfifo(t.file("in/pipe").c_str(), 0600), 0);
    const GatherOptions options{t.file("in/sub/out"), [&](const std::string&, Omission) {
                                    test::writeFile(t.file("in/sub/out/made.bmp"), "x");
                                }};
    FileList list;
    gatherPath(list, t.file("in"), "", options);
    EXPECT_EQ(column(list, 0), (Texts{"in/a.bmp", "in/sub/b.bmp"}));
}

// Each road gathers, then starts a run when its own setting says so (bits: 1
// AutoConvert1, 2 AutoConvert2, 4 AutoConvert3, 8 into SaveDir = in/dir, which a
// walk then leaves out). The road: c command line, d drop, o open-file dialog.
TEST(Gather, EachRoadStartsByItsOwnSetting) {
    test::TempDir t;
    const std::string in = t.file("in");
    for (const char* file : {"in/a.bmp", "in/my pics/b.png", "in/dir/c.bmp"}) test::writeFile(t.file(file), "x");
    struct Row { char road; int settings; std::optional<Texts> input; Texts rows; bool started; std::string lastDir; };
    const Row rows[] = {
        {'c', 2, Texts{}, {}, false, "/before"},
        {'c', 2, Texts{"a.bmp", "", "dir", "gone", in + "/my pics/b.png"}, {"a.bmp", "dir/c.bmp", "b.png"}, true,
         "/before"},
        {'c', 1 | 4, Texts{"a.bmp"}, {"a.bmp"}, false, "/before"},
        {'d', 1, Texts{in, ""}, {"in/a.bmp", "in/dir/c.bmp", "in/my pics/b.png"}, true, "/before"},
        {'d', 2 | 4 | 8, Texts{in}, {"in/a.bmp", "in/my pics/b.png"}, false, "/before"},
        {'d', 1, Texts{in + "/gone"}, {}, true, "/before"},
        {'o', 4, std::nullopt, {}, false, "/before"},
        {'o', 4, Texts{in + "/dir/typed.bmp", in + "/a.bmp"}, {"a.bmp"}, true, in + "/dir"},
        {'o', 1 | 2, Texts{"/kelvara-no-such-file.bmp"}, {}, false, "/"},
    };
    for (const Row& row : rows) {
        FileList list;
        Settings s;
        std::tie(s.AutoConvert1, s.AutoConvert2, s.AutoConvert3, s.SaveDirFlag, s.SaveDir, s.LastDir) =
            std::tuple(row.settings & 1, row.settings & 2, row.settings & 4, row.settings / 8, in + "/dir", "/before");
        bool started = false;
        const StartAll start = [&] { started = true; };
        if (row.road == 'c') onCommandLine(list, *row.input, in, s, start);
        if (row.road == 'd') onDropPaths(list, *row.input, s, start);
        if (row.road == 'o') onOpenFiles(list, row.input, s, start);
        EXPECT_EQ(std::tuple(column(list, 0), started, s.LastDir), std::tuple(row.rows, row.started, row.lastDir))
            << row.road << row.settings;
    }
}

}  // namespace
}  // namespace kelvara
