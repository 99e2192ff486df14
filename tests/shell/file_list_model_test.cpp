#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "shell/file_list_model.h"
#include "shell_test_support.h"

namespace kelvara {
namespace {

// Every cell and the row count of the model against FileList itself.
testing::AssertionResult mirrors(const FileListModel& model, const FileList& list) {
    if (model.rowCount() != list.rowCount() || model.columnCount() != kColumnCount) {
        return testing::AssertionFailure() << "rows " << model.rowCount() << " vs " << list.rowCount();
    }
    for (int row = 0; row < list.rowCount(); ++row) {
        for (int c = 0; c < kColumnCount; ++c) {
            const QString shown = model.data(model.index(row, c)).toString();
            if (shown.toStdString() != list.cellText(row, c)) {
                return testing::AssertionFailure() << "cell " << row << "," << c << ": "
                                                   << shown.toStdString();
            }
        }
        if (model.data(model.index(row, 0), FileListModel::kSequenceRole).toInt() !=
            list.row(row).sequence) {
            return testing::AssertionFailure() << "sequence of row " << row;
        }
    }
    return testing::AssertionSuccess();
}

TEST(FileListModel, FollowsEveryChangeOfTheList) {
    test::QtWarningCollector warnings;
    FileList list;
    FileListModel model(list);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy selection(&model, &FileListModel::listSelectionChanged);

    for (const char* name : {"c.bmp", "a.png", "日本/b.xyz", "d.txt"}) {
        list.addEntry(std::string("/base/") + name, "/base");
        EXPECT_TRUE(mirrors(model, list));
    }
    list.addEntry("/base/a.png", "/base");  // a duplicate adds nothing
    EXPECT_EQ(model.rowCount(), 4);

    list.setStatus(2, ConvertStatus::NotEightBit);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(2, kColumnStatus));
    EXPECT_EQ(changed[0][1].toModelIndex(), model.index(2, kColumnStatus));
    EXPECT_TRUE(mirrors(model, list));

    list.setSelected(0, true);
    EXPECT_EQ(selection.count(), 1);
    ASSERT_TRUE(list.sortByColumn(kColumnRelativePath));
    EXPECT_TRUE(mirrors(model, list));
    EXPECT_EQ(selection.count(), 2);  // the flags moved with their rows

    list.setStatus(0, ConvertStatus::Success);
    list.setStatus(3, ConvertStatus::Success);
    list.removeSucceeded();
    EXPECT_TRUE(mirrors(model, list));
    list.selectAll();
    list.removeSelected();
    EXPECT_TRUE(mirrors(model, list));
    list.addEntry("/base/e.bmp", "/base");
    list.removeAll();
    EXPECT_TRUE(mirrors(model, list));
    EXPECT_TRUE(warnings.warnings().isEmpty()) << warnings.warnings().join('\n').toStdString();
}

TEST(FileListModel, HeadersAndTips) {
    FileList list;
    FileListModel model(list);
    list.addEntry("/base/sub/name.bmp", "/base");
    const QStringList headers = {"相対パス", "状態", "基準ディレクトリ", "フルパス"};
    for (int c = 0; c < kColumnCount; ++c) {
        EXPECT_EQ(model.headerData(c, Qt::Horizontal).toString(), headers[c]);
    }
    EXPECT_EQ(model.data(model.index(0, kColumnStatus)).toString(), QStringLiteral("待機中"));
    EXPECT_EQ(model.data(model.index(0, kColumnRelativePath), Qt::ToolTipRole).toString(),
              QStringLiteral("sub/name.bmp"));
    EXPECT_FALSE(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsEditable));
}

TEST(FileListModel, LeavesTheListWhenDestroyed) {
    FileList list;
    {
        FileListModel model(list);
    }
    list.addEntry("/a.bmp", "/");  // would call into the destroyed model
    EXPECT_EQ(list.rowCount(), 1);
}

}  // namespace
}  // namespace kelvara
