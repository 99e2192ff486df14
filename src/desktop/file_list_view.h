#pragma once

#include <QTableView>

namespace kelvara {

class FileListModel;

// The list control of the main window: a report-style table with full-row,
// multiple selection, a clickable header that does no sorting of its own
// (the window sorts FileList on a click and shows the sort), and no editing.
//
// The user's selection is read into FileList on demand (readSelection);
// selections that FileList makes (select all, after a removal, after a sort)
// are shown as soon as the model announces them.
class FileListView final : public QTableView {
    Q_OBJECT

public:
    explicit FileListView(QWidget* parent = nullptr);

    void setListModel(FileListModel* model);
    FileListModel* listModel() const { return listModel_; }

    // Copies the view's selected rows into the rows' selected flags.
    void readSelection();

private:
    void showListSelection();

    FileListModel* listModel_ = nullptr;
    bool readingSelection_ = false;
};

}  // namespace kelvara
