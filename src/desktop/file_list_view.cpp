#include "desktop/file_list_view.h"

#include <vector>

#include <QHeaderView>
#include <QItemSelection>

#include "desktop/file_list_model.h"

namespace kelvara {

FileListView::FileListView(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setShowGrid(false);
    setWordWrap(false);
    setAlternatingRowColors(false);
    setCornerButtonEnabled(false);
    setTextElideMode(Qt::ElideRight);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setTabKeyNavigation(false);

    QHeaderView* rows = verticalHeader();
    rows->hide();
    // One fixed height for every row keeps a list of 100,000 rows cheap.
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(fontMetrics().height() + 6);

    QHeaderView* columns = horizontalHeader();
    columns->setSectionsClickable(true);
    columns->setHighlightSections(false);
    columns->setStretchLastSection(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setSectionResizeMode(QHeaderView::Interactive);
}

void FileListView::setListModel(FileListModel* model) {
    if (listModel_ != nullptr) {
        disconnect(listModel_, nullptr, this, nullptr);
    }
    listModel_ = model;
    setModel(model);
    if (model != nullptr) {
        connect(model, &FileListModel::listSelectionChanged, this,
                &FileListView::showListSelection);
        showListSelection();
    }
}

void FileListView::readSelection() {
    if (listModel_ == nullptr || selectionModel() == nullptr) {
        return;
    }
    FileList& list = listModel_->list();
    std::vector<bool> selected(static_cast<std::size_t>(list.rowCount()), false);
    // Ranges rather than selectedRows(): a select-all of many rows is one range.
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom() && row < list.rowCount(); ++row) {
            selected[static_cast<std::size_t>(row)] = true;
        }
    }
    // FileList reports each change back, and showing each one would rebuild
    // the view's whole selection per row; the view already shows the result.
    readingSelection_ = true;
    for (int row = 0; row < list.rowCount(); ++row) {
        list.setSelected(row, selected[static_cast<std::size_t>(row)]);
    }
    readingSelection_ = false;
}

void FileListView::showListSelection() {
    if (readingSelection_ || listModel_ == nullptr || selectionModel() == nullptr) {
        return;
    }
    const FileList& list = listModel_->list();
    const int lastColumn = kColumnCount - 1;
    QItemSelection selection;
    int runStart = -1;
    for (int row = 0; row <= list.rowCount(); ++row) {
        const bool selected = row < list.rowCount() && list.row(row).selected;
        if (selected && runStart < 0) {
            runStart = row;
        } else if (!selected && runStart >= 0) {
            selection.select(listModel_->index(runStart, 0), listModel_->index(row - 1, lastColumn));
            runStart = -1;
        }
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

}  // namespace kelvara
