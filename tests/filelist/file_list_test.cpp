#include "filelist/file_list.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

namespace kelvara {
namespace {

using Texts = std::vector<std::string>;

Texts column(const FileList& list, int col) {
    Texts texts;
    for (int i = 0; i < list.rowCount(); ++i) {
        texts.push_back(list.cellText(i, col));
    }
    return texts;
}

// Rows named by their relative path, under the base "C:\x".
void addNamed(FileList& list, const Texts& names) {
    for (const std::string& name : names) {
        list.addEntry("C:\\x\\" + name, "C:\\x");
    }
}

TEST(FileList, AddsCellsOncePerExactPath) {
    FileList list;
    list.addEntry("C:\\x\\dir\\sub\\a.bmp", "C:\\x");
    list.addEntry("C:\\x\\a.bmp", "C:\\x");
    list.addEntry("C:\\x\\a.bmp", "C:\\other");  // the same bytes: ignored
    list.addEntry("c:\\x\\A.BMP", "c:\\x");      // differs in case only: a row of its own
    list.addEntry("/aa/b.bmp", "/zz");           // bases that are no prefix never crash
    list.addEntry("/q", "/a/much/longer/base");
    const std::string base = "/" + std::string(250, 'd'), name(49, 'f');  // 300 bytes, kept whole
    list.addEntry(base + "/" + name, base);
    EXPECT_EQ(column(list, kColumnRelativePath),
              (Texts{"dir\\sub\\a.bmp", "a.bmp", "A.BMP", "b.bmp", "", name}));
    EXPECT_EQ(column(list, kColumnBaseDirectory)[1], "C:\\x");
    EXPECT_EQ(column(list, kColumnFullPath)[5], base + "/" + name);
    EXPECT_EQ(list.row(2).sequence, 2);
    EXPECT_TRUE(list.containsPath("c:\\x\\A.BMP"));
    EXPECT_FALSE(list.containsPath("C:\\x\\A.bmp"));
    // Out of range: empty texts, ignored changes.
    EXPECT_EQ(list.cellText(0, kColumnCount), "");
    EXPECT_EQ(list.cellText(6, 0), "");
    EXPECT_EQ(list.cellText(-1, 0), "");
    list.setStatus(6, ConvertStatus::Success);
    list.setStatus(-1, ConvertStatus::Success);
    list.selectRow(6);
    EXPECT_EQ(list.firstSelected(), -1);
    EXPECT_EQ(column(list, kColumnStatus), Texts(6, std::string(kWaitingText)));
}

TEST(FileList, SelectionAndRemovals) {
    FileList list;
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
    EXPECT_FALSE(list.containsPath("C:\\x\\4"));
    list.setSelected(1, false);
    list.selectRow(2);
    list.removeSelected();  // the last row: nothing follows it
    EXPECT_EQ(column(list, 0), (Texts{"0", "3"}));
    list.removeSelected();  // nothing selected: nothing happens
    EXPECT_EQ(list.firstSelected(), -1);
    EXPECT_EQ(list.rowCount(), 2);

    // Successes go and free their paths; sequence numbers go on.
    addNamed(list, {"s1", "skip", "s2", "s3", "copy"});
    for (int i : {2, 4, 5}) {
        list.setStatus(i, ConvertStatus::Success);
    }
    list.setStatus(3, ConvertStatus::Skipped);
    list.setStatus(6, ConvertStatus::CopyFailed);
    list.removeSucceeded();
    EXPECT_EQ(column(list, 0), (Texts{"0", "3", "skip", "copy"}));
    addNamed(list, {"s1", "s2", "s3", "skip"});
    EXPECT_EQ(list.rowCount(), 7);
    EXPECT_EQ(list.row(6).sequence, 13);

    list.selectAll();
    EXPECT_EQ(list.selectedFlags(), std::vector<bool>(7, true));
    list.removeAll();  // only this restarts the sequence
    EXPECT_FALSE(list.containsPath("C:\\x\\0"));
    addNamed(list, {"0"});
    EXPECT_EQ(list.row(0).sequence, 0);
}

TEST(FileListSort, ClicksAlternateAndANewColumnStartsAscending) {
    FileList list;
    addNamed(list, {"b"});
    EXPECT_FALSE(list.sortByColumn(0));  // one row: not even the state moves
    addNamed(list, {"a", "c"});
    EXPECT_FALSE(list.sortByColumn(4));
    EXPECT_FALSE(list.sortByColumn(-1));
    EXPECT_EQ(list.sortColumn(), -1);
    EXPECT_EQ(list.sortDirection(), 0);

    const Texts up{"a", "b", "c"}, down{"c", "b", "a"};
    EXPECT_TRUE(list.sortByColumn(0));
    EXPECT_EQ(column(list, 0), up);
    list.sortByColumn(0);
    EXPECT_EQ(column(list, 0), down);
    EXPECT_EQ(list.sortDirection(), -1);
    list.sortByColumn(0);
    EXPECT_EQ(column(list, 0), up);

    // A new column starts ascending, not flipped from the old one; in the C
    // locale the status texts order by their UTF-8 bytes: スキップ < 待機中 < 正常終了.
    list.setStatus(0, ConvertStatus::Success);
    list.setStatus(2, ConvertStatus::Skipped);
    EXPECT_TRUE(list.sortByColumn(kColumnStatus));
    EXPECT_EQ(list.sortColumn(), kColumnStatus);
    EXPECT_EQ(list.sortDirection(), 1);
    EXPECT_EQ(column(list, 0), down);

    addNamed(list, {"0"});  // appended at the end, unsorted
    list.selectAll();
    list.setSelected(3, false);
    list.removeSelected();
    EXPECT_EQ(column(list, 0), Texts{"0"});
    EXPECT_EQ(list.sortDirection(), 1);  // only removeAll forgets the sort
    list.removeAll();
    addNamed(list, {"b", "a"});
    list.sortByColumn(kColumnStatus);
    EXPECT_EQ(list.sortDirection(), 1);  // ascending again, not reversed
}

TEST(FileListSort, RowsTakeSelectionAndSequenceAlongAndTiesKeepTheirOrder) {
    FileList list;
    // Enough rows that an unstable sort would show; three distinct texts.
    for (int i = 0; i < 40; ++i) {
        addNamed(list, {std::to_string(100 + i)});
        list.setStatus(i, static_cast<ConvertStatus>(i % 3));
        list.setSelected(i, i % 5 == 0);
    }
    for (const int direction : {1, -1}) {
        ASSERT_TRUE(list.sortByColumn(kColumnStatus));
        ASSERT_EQ(list.sortDirection(), direction);
        for (int i = 0; i < list.rowCount(); ++i) {
            const int original = std::stoi(list.cellText(i, 0)) - 100;
            EXPECT_EQ(list.row(i).sequence, original);
            EXPECT_EQ(list.row(i).selected, original % 5 == 0);
            if (i > 0) {
                const int order = list.cellText(i - 1, 1).compare(list.cellText(i, 1)) * direction;
                EXPECT_TRUE(order < 0 || (order == 0 && list.row(i - 1).sequence < original)) << i;
            }
        }
    }
}

TEST(FileListSort, FollowsTheLocaleCollation) {
    struct Restore {
        std::string saved = std::setlocale(LC_COLLATE, nullptr);
        ~Restore() { std::setlocale(LC_COLLATE, saved.c_str()); }
    } restore;
    FileList list;
    addNamed(list, {"c", "B", "a", "é", "f", "b", "A", "e", "C"});
    ASSERT_TRUE(std::setlocale(LC_COLLATE, "C"));
    list.sortByColumn(0);
    EXPECT_EQ(column(list, 0), (Texts{"A", "B", "C", "a", "b", "c", "e", "f", "é"}));

    bool found = false;
    for (const char* name : {"en_US.UTF-8", "en_US.utf8", "en_GB.UTF-8", "de_DE.UTF-8"}) {
        if (std::setlocale(LC_COLLATE, name) && std::strcoll("a", "B") < 0) {
            found = true;
            break;
        }
    }
    if (!found) {
        GTEST_SKIP() << "no installed locale collates \"a\" before \"B\" (try en_US.UTF-8)";
    }
    list.sortByColumn(1);
    list.sortByColumn(0);
    const Texts texts = column(list, 0);
    for (std::size_t i = 1; i < texts.size(); ++i) {
        EXPECT_LT(std::strcoll(texts[i - 1].c_str(), texts[i].c_str()), 0) << texts[i];
    }
}

}  // namespace
}  // namespace kelvara
