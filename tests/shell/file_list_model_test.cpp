#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "shell/file_list_model.h"

namespace kelvara {
namespace {

// The tester aborts the program on the first breach of the model contract.
TEST(FileListModel, MirrorsEveryChangeOfTheList) {
    FileList list;
    FileListModel model(list);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy selection(&model, &FileListModel::listSelectionChanged);
    const auto expectMirrored = [&] {  // every cell and sequence number
        ASSERT_EQ(model.rowCount(), list.rowCount());
        for (int row = 0; row < list.rowCount(); ++row) {
            EXPECT_EQ(model.data(model.index(row, 0), FileListModel::kSequenceRole),
                      list.row(row).sequence);
            for (int c = 0; c < kColumnCount; ++c) {
                EXPECT_EQ(model.data(model.index(row, c)).toString().toStdString(),
                          list.cellText(row, c));
            }
        }
    };
    for (const char* name :
         {"c.bmp", "a.png", "日本/b.xyz", "d.txt", "a.png"}) {  // a duplicate adds nothing
        list.addEntry(std::string("/base/") + name, "/base");
        expectMirrored();
    }
    EXPECT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.data(model.index(2, 0), Qt::ToolTipRole).toString(),
              QStringLiteral("日本/b.xyz"));
    EXPECT_FALSE(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsEditable));

    list.setStatus(2, ConvertStatus::NotEightBit);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(2, kColumnStatus));
    EXPECT_EQ(changed[0][1].toModelIndex(), model.index(2, kColumnStatus));
    expectMirrored();
    list.setSelected(0, true);
    EXPECT_EQ(selection.count(), 1);
    ASSERT_TRUE(list.sortByColumn(kColumnRelativePath));
    expectMirrored();
    EXPECT_EQ(selection.count(), 2);  // the flags moved with their rows
    list.setStatus(0, ConvertStatus::Success);
    list.setStatus(3, ConvertStatus::Success);
    list.removeSucceeded();
    expectMirrored();
    list.selectAll();
    list.removeSelected();
    list.addEntry("/base/e.bmp", "/base");
    expectMirrored();
    list.removeAll();
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(FileListModel, LeavesTheListWhenDestroyed) {
    FileList list;
    { FileListModel model(list); }
    list.addEntry("/a.bmp", "/");  // would call into the destroyed model
    EXPECT_EQ(list.rowCount(), 1);
}

}  // namespace
}  // namespace kelvara
