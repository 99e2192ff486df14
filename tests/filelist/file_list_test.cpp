#include "filelist/file_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace kelvara {
namespace {

std::vector<std::string> column(const FileList& list, int col) {
    std::vector<std::string> texts;
    for (int i = 0; i < list.rowCount(); ++i) {
        texts.push_back(list.cellText(i, col));
    }
    return texts;
}

// Rows named by their relative path, under the base "C:\x".
void addNamed(FileList& list, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        list.addEntry("C:\\x\\" + name, "C:\\x");
    }
}

TEST(FileListStatus, TextsByCodeAndWaitingForNewRows) {
    const std::vector<std::string> expected = {"正常終了", "スキップ", "ファイルのコピーに失敗",
                                               "非対応の形式", "8ビットカラーではない",
                                               "書き出しエラー"};
    FileList list;
    addNamed(list, {"a.bmp"});
    EXPECT_EQ(list.cellText(0, kColumnStatus), kWaitingText);
    for (int code = 0; code < 6; ++code) {
        EXPECT_EQ(statusText(static_cast<ConvertStatus>(code)), expected[code]);
        list.setStatus(0, static_cast<ConvertStatus>(code));
        EXPECT_EQ(list.cellText(0, kColumnStatus), expected[code]);
    }
    EXPECT_EQ(statusText(static_cast<ConvertStatus>(6)), "");
    EXPECT_EQ(statusText(static_cast<ConvertStatus>(-1)), "");
}

TEST(FileListAdd, CellsRelativePathsAndExactDuplicates) {
    FileList list;
    list.addEntry("C:\\x\\dir\\sub\\a.bmp", "C:\\x");
    list.addEntry("C:\\x\\a.bmp", "C:\\x");
    list.addEntry("C:\\x\\a.bmp", "C:\\other");  // same bytes: ignored
    list.addEntry("c:\\x\\A.BMP", "c:\\x");      // differs only in case: a row of its own
    ASSERT_EQ(list.rowCount(), 3);
    EXPECT_EQ(column(list, kColumnRelativePath),
              (std::vector<std::string>{"dir\\sub\\a.bmp", "a.bmp", "A.BMP"}));
    EXPECT_EQ(list.cellText(1, kColumnBaseDirectory), "C:\\x");
    EXPECT_EQ(list.cellText(1, kColumnFullPath), "C:\\x\\a.bmp");
    EXPECT_EQ(list.row(2).sequence, 2);
    EXPECT_EQ(list.nextSequence(), 3);
    EXPECT_FALSE(list.row(0).selected);
    EXPECT_TRUE(list.containsPath("c:\\x\\A.BMP"));
    EXPECT_FALSE(list.containsPath("C:\\x\\A.bmp"));
}

TEST(FileListAdd, BaseThatIsNoPrefixNeverCrashes) {
    FileList list;
    list.addEntry("/aa/b.bmp", "/zz");           // same length as a prefix would be
    list.addEntry("/q", "/a/much/longer/base");  // longer than the path
    list.addEntry("/r.bmp", "");
    EXPECT_EQ(column(list, kColumnRelativePath), (std::vector<std::string>{"b.bmp", "", "r.bmp"}));
}

TEST(FileListAdd, LongPathsComeBackWholeAndAreFreedByRemoval) {
    const std::string base = "/" + std::string(250, 'd');
    const std::string path = base + "/" + std::string(49, 'f');  // 300 bytes
    FileList list;
    list.addEntry(path, base);
    EXPECT_EQ(list.cellText(0, kColumnFullPath), path);
    EXPECT_EQ(list.cellText(0, kColumnRelativePath), std::string(49, 'f'));
    list.selectRow(0);
    list.removeSelected();
    list.addEntry(path, base);
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_EQ(list.row(0).sequence, 1);
}

TEST(FileListAccess, OutOfRangeIsEmptyOrIgnored) {
    FileList list;
    addNamed(list, {"a"});
    EXPECT_EQ(list.cellText(0, kColumnCount), "");
    EXPECT_EQ(list.cellText(0, -1), "");
    EXPECT_EQ(list.cellText(1, 0), "");
    EXPECT_EQ(list.cellText(-1, 0), "");
    list.setStatus(1, ConvertStatus::Success);
    list.setStatus(-1, ConvertStatus::Success);
    list.selectRow(1);
    EXPECT_EQ(list.cellText(0, kColumnStatus), kWaitingText);
    EXPECT_EQ(list.firstSelected(), -1);
}

TEST(FileListSelection, FlagsFirstSelectedAndPositions) {
    FileList list;
    EXPECT_TRUE(list.rowPositions(false).empty());
    addNamed(list, {"0", "1", "2", "3"});
    EXPECT_TRUE(list.rowPositions(true).empty());
    list.selectRow(2);
    list.setSelected(3, true);
    list.selectRow(2);  // stays selected, others kept
    EXPECT_EQ(list.firstSelected(), 2);
    EXPECT_EQ(list.selectedFlags(), (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(list.rowPositions(true), (std::vector<int>{2, 3}));
    EXPECT_EQ(list.rowPositions(false), (std::vector<int>{0, 1, 2, 3}));
    list.setSelected(2, false);
    EXPECT_EQ(list.firstSelected(), 3);
    list.selectAll();
    EXPECT_EQ(list.selectedFlags(), (std::vector<bool>(4, true)));
}

TEST(FileListRemove, SelectedRowsGoAndSelectionMovesToTheFollowingRow) {
    FileList list;
    addNamed(list, {"0", "1", "2", "3", "4", "5"});
    for (int p : {1, 2, 4}) {
        list.selectRow(p);
    }
    list.removeSelected();
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"0", "3", "5"}));
    EXPECT_EQ(list.selectedFlags(), (std::vector<bool>{false, true, false}));
    EXPECT_FALSE(list.containsPath("C:\\x\\4"));
    EXPECT_TRUE(list.containsPath("C:\\x\\5"));

    list.selectRow(2);
    list.setSelected(1, false);
    list.removeSelected();  // the last row: nothing follows it
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"0", "3"}));
    EXPECT_EQ(list.firstSelected(), -1);

    list.removeSelected();  // nothing selected: nothing happens
    EXPECT_EQ(list.rowCount(), 2);
}

TEST(FileListRemove, SequenceRestartsOnlyAfterRemoveAll) {
    FileList list;
    addNamed(list, {"a", "b", "c"});
    list.selectRow(2);
    list.removeSelected();
    addNamed(list, {"c"});
    EXPECT_EQ(list.row(2).sequence, 3);
    list.sortByColumn(0);
    list.removeAll();
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_FALSE(list.containsPath("C:\\x\\a"));
    EXPECT_EQ(list.sortColumn(), -1);
    EXPECT_EQ(list.sortDirection(), 0);
    addNamed(list, {"a"});
    EXPECT_EQ(list.row(0).sequence, 0);
}

TEST(FileListRemove, SucceededRowsGoAndFreeTheirPaths) {
    FileList list;
    addNamed(list, {"s1", "s2", "skip", "s3", "wait", "copy", "fmt", "depth", "write"});
    for (int i : {0, 1, 3}) {
        list.setStatus(i, ConvertStatus::Success);
    }
    list.setStatus(2, ConvertStatus::Skipped);
    for (int i = 5; i < 9; ++i) {
        list.setStatus(i, static_cast<ConvertStatus>(i - 3));  // the four failure texts
    }
    list.removeSucceeded();
    EXPECT_EQ(column(list, 0),
              (std::vector<std::string>{"skip", "wait", "copy", "fmt", "depth", "write"}));
    addNamed(list, {"s1", "s2", "s3", "skip"});
    EXPECT_EQ(list.rowCount(), 9);
    EXPECT_EQ(list.row(8).sequence, 11);
}

// The one-pass compaction on random picks: survivors in order, paths freed,
// and the selection on the row after the first removed one.
TEST(FileListRemove, RandomPicksLeaveTheSurvivorsInOrder) {
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        FileList list;
        std::vector<std::string> expected;
        std::vector<bool> pick;
        int firstRemoved = -1;
        const int n = static_cast<int>(random() % 40);
        for (int i = 0; i < n; ++i) {
            addNamed(list, {std::to_string(i)});
            pick.push_back(random() % 3 == 0);
            if (!pick.back()) {
                expected.push_back(std::to_string(i));
                continue;
            }
            firstRemoved = firstRemoved < 0 ? i : firstRemoved;
            (round % 2 ? list.setStatus(i, ConvertStatus::Success) : list.selectRow(i));
        }
        round % 2 ? list.removeSucceeded() : list.removeSelected();
        EXPECT_EQ(column(list, 0), expected);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(list.containsPath("C:\\x\\" + std::to_string(i)), !pick[i]);
        }
        const bool followerSelected =
            round % 2 == 0 && firstRemoved >= 0 && firstRemoved < list.rowCount();
        EXPECT_EQ(list.firstSelected(), followerSelected ? firstRemoved : -1);
        EXPECT_EQ(list.rowPositions(true).size(), followerSelected ? 1u : 0u);
    }
}

TEST(FileListSort, ClicksAlternateAndANewColumnStartsAscending) {
    FileList list;
    addNamed(list, {"b"});
    EXPECT_FALSE(list.sortByColumn(0));  // one row: not even the state moves
    addNamed(list, {"a", "c"});
    EXPECT_EQ(list.sortDirection(), 0);
    EXPECT_FALSE(list.sortByColumn(4));
    EXPECT_FALSE(list.sortByColumn(-1));
    EXPECT_EQ(list.sortColumn(), -1);

    EXPECT_TRUE(list.sortByColumn(0));
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"a", "b", "c"}));
    list.sortByColumn(0);
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(list.sortDirection(), -1);
    list.sortByColumn(0);
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"a", "b", "c"}));

    // Status texts sort as text; in the C locale by their UTF-8 bytes:
    // スキップ < 待機中 < 正常終了.
    list.setStatus(0, ConvertStatus::Skipped);
    list.setStatus(2, ConvertStatus::Success);
    list.sortByColumn(0);  // descending now: c, b, a
    EXPECT_TRUE(list.sortByColumn(kColumnStatus));
    EXPECT_EQ(list.sortColumn(), kColumnStatus);
    EXPECT_EQ(list.sortDirection(), 1);
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"a", "b", "c"}));
    list.sortByColumn(0);
    EXPECT_EQ(list.sortDirection(), 1);
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(FileListSort, StateAfterRemovalsAndAppendedRows) {
    FileList list;
    addNamed(list, {"b", "a"});
    list.sortByColumn(kColumnFullPath);
    list.removeAll();
    addNamed(list, {"b", "a"});
    list.sortByColumn(kColumnFullPath);
    EXPECT_EQ(list.sortDirection(), 1);  // ascending again, not reversed

    addNamed(list, {"0"});  // appended at the end, unsorted
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"a", "b", "0"}));
    list.sortByColumn(kColumnFullPath);
    EXPECT_EQ(column(list, 0), (std::vector<std::string>{"b", "a", "0"}));

    list.setStatus(0, ConvertStatus::Success);
    list.removeSucceeded();
    list.selectAll();
    list.removeSelected();
    EXPECT_EQ(list.sortColumn(), kColumnFullPath);  // only removeAll forgets the sort
    EXPECT_EQ(list.sortDirection(), -1);
}

TEST(FileListSort, SelectionAndSequenceTravelWithRowsAndTiesKeepOrder) {
    FileList list;
    list.addEntry("/p/c", "/p");
    list.addEntry("/q/c", "/q");
    list.addEntry("/p/a", "/p");
    list.addEntry("/q/b", "/q");
    list.selectRow(0);
    list.selectRow(3);
    list.sortByColumn(kColumnRelativePath);
    EXPECT_EQ(column(list, kColumnFullPath),
              (std::vector<std::string>{"/p/a", "/q/b", "/p/c", "/q/c"}));
    EXPECT_EQ(list.selectedFlags(), (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(list.row(1).sequence, 3);
    EXPECT_EQ(list.row(2).sequence, 0);
    list.sortByColumn(kColumnRelativePath);
    EXPECT_EQ(column(list, kColumnFullPath),
              (std::vector<std::string>{"/p/c", "/q/c", "/q/b", "/p/a"}));
    EXPECT_EQ(list.firstSelected(), 0);
}

TEST(FileListSort, EqualTextsKeepTheirOrderInBothDirections) {
    FileList list;
    for (int i = 10; i < 50; ++i) {  // enough rows that an unstable sort would show
        addNamed(list, {std::to_string(i)});
        list.setStatus(i - 10, static_cast<ConvertStatus>(i % 3));
    }
    for (int direction : {1, -1}) {
        list.sortByColumn(kColumnStatus);
        ASSERT_EQ(list.sortDirection(), direction);
        for (int i = 1; i < list.rowCount(); ++i) {
            if (list.cellText(i - 1, kColumnStatus) == list.cellText(i, kColumnStatus)) {
                EXPECT_LT(list.cellText(i - 1, 0), list.cellText(i, 0)) << i;
            }
        }
    }
}

// Restores LC_COLLATE whatever the test does.
class CollationLocale {
public:
    CollationLocale() : saved_(std::setlocale(LC_COLLATE, nullptr)) {}
    ~CollationLocale() { std::setlocale(LC_COLLATE, saved_.c_str()); }
    bool use(const char* name) { return std::setlocale(LC_COLLATE, name) != nullptr; }

private:
    std::string saved_;
};

TEST(FileListSort, FollowsTheLocaleCollation) {
    CollationLocale locale;
    FileList list;
    addNamed(list, {"c", "B", "a", "é", "f", "b", "A", "e", "C"});

    ASSERT_TRUE(locale.use("C"));
    list.sortByColumn(0);
    EXPECT_EQ(column(list, 0),
              (std::vector<std::string>{"A", "B", "C", "a", "b", "c", "e", "f", "é"}));

    bool found = false;
    for (const char* name : {"en_US.UTF-8", "en_US.utf8", "en_GB.UTF-8", "de_DE.UTF-8"}) {
        if (locale.use(name) && std::strcoll("a", "B") < 0) {
            found = true;
            break;
        }
    }
    if (!found) {
        GTEST_SKIP() << "no installed locale collates \"a\" before \"B\" (try en_US.UTF-8)";
    }
    list.sortByColumn(1);
    list.sortByColumn(0);
    std::vector<std::string> texts = column(list, 0);
    EXPECT_LT(std::find(texts.begin(), texts.end(), "a"), std::find(texts.begin(), texts.end(), "B"));
    EXPECT_LT(std::find(texts.begin(), texts.end(), "B"), std::find(texts.begin(), texts.end(), "c"));
    EXPECT_LT(std::find(texts.begin(), texts.end(), "é"), std::find(texts.begin(), texts.end(), "f"));
    for (std::size_t i = 1; i < texts.size(); ++i) {
        EXPECT_LE(std::strcoll(texts[i - 1].c_str(), texts[i].c_str()), 0) << i;
    }
}

class RecordingObserver : public FileListObserver {
public:
    explicit RecordingObserver(const FileList& list) : list_(list) {}
    // Each call with the row count the observer sees at that moment.
    std::vector<std::string> calls;

    void rowsAboutToBeAppended(int first, int last) override {
        record("aboutToAppend " + std::to_string(first) + "-" + std::to_string(last));
    }
    void rowsAppended() override { record("appended"); }
    void aboutToRearrange() override { record("aboutToRearrange"); }
    void rearranged() override { record("rearranged"); }
    void statusChanged(int position) override {
        record("status " + std::to_string(position) + " " + list_.cellText(position, 1));
    }
    void selectionChanged() override {
        record("selection " + std::to_string(list_.firstSelected()));
    }

private:
    void record(const std::string& what) {
        calls.push_back(what + " @" + std::to_string(list_.rowCount()));
    }
    const FileList& list_;
};

TEST(FileListObserver, ToldBeforeAndAfterEachChange) {
    FileList list;
    RecordingObserver observer(list);
    list.setObserver(&observer);
    addNamed(list, {"b", "a", "b", "c"});
    list.setStatus(1, ConvertStatus::Success);
    list.setStatus(5, ConvertStatus::Success);
    list.selectRow(0);
    list.selectRow(0);
    list.sortByColumn(0);    // a, b (selected), c
    list.removeSucceeded();  // b, c
    list.removeSucceeded();
    list.removeSelected();  // c, then selected
    list.selectAll();
    list.removeAll();
    list.removeAll();
    EXPECT_EQ(observer.calls,
              (std::vector<std::string>{
                  "aboutToAppend 0-0 @0", "appended @1", "aboutToAppend 1-1 @1", "appended @2",
                  "aboutToAppend 2-2 @2", "appended @3", "status 1 正常終了 @3", "selection 0 @3",
                  "aboutToRearrange @3", "rearranged @3", "aboutToRearrange @3", "rearranged @2",
                  "aboutToRearrange @2", "rearranged @1", "selection 0 @1", "aboutToRearrange @1",
                  "rearranged @0"}));
}

}  // namespace
}  // namespace kelvara
