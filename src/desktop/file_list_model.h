#pragma once

#include <QAbstractTableModel>

#include "filelist/file_list.h"

namespace kelvara {

// The file list as a table for a view: it reads the rows of FileList in
// place (nothing is copied) and turns FileList's change notices into the
// model's signals. Removals and sorts reset the model; the rows' selected
// flags, which travel with the rows, are then announced so that a view can
// show them again.
class FileListModel final : public QAbstractTableModel, private FileListObserver {
    Q_OBJECT

public:
    // Becomes the list's observer until destroyed.
    explicit FileListModel(FileList& list, QObject* parent = nullptr);
    ~FileListModel() override;

    FileList& list() { return list_; }
    const FileList& list() const { return list_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // Display and tool-tip text of a cell (a failed row's tool tip adds why);
    // the row's sequence number under kSequenceRole.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    static constexpr int kSequenceRole = Qt::UserRole;

signals:
    // The rows' selected flags changed in FileList (or the rows were
    // rearranged, and the flags must be shown at their new places).
    void listSelectionChanged();

private:
    void rowsAboutToBeAppended(int first, int last) override;
    void rowsAppended() override;
    void aboutToRearrange() override;
    void rearranged() override;
    void statusChanged(int position) override;
    void selectionChanged() override;

    FileList& list_;
};

// The column headers in the interface's language.
QString columnHeader(int column);

}  // namespace kelvara
