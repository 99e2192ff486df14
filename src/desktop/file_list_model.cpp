#include "desktop/file_list_model.h"

#include "desktop/file_dialogs.h"

namespace kelvara {

const char* columnHeader(int column) {
    switch (column) {
        case kColumnRelativePath:
            return "相対パス";
        case kColumnStatus:
            return "状態";
        case kColumnBaseDirectory:
            return "基準ディレクトリ";
        case kColumnFullPath:
            return "フルパス";
        default:
            return "";
    }
}

FileListModel::FileListModel(FileList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list) {
    list_.setObserver(this);
}

FileListModel::~FileListModel() { list_.setObserver(nullptr); }

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : list_.rowCount();
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= list_.rowCount() || index.column() >= kColumnCount) {
        return {};
    }
    const FileEntry& entry = list_.row(index.row());
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole: {
            const std::string& text = list_.cell(index.row(), index.column());
            // Status texts are UTF-8; the other cells are file-system paths.
            return index.column() == kColumnStatus
                       ? QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
                       : pathToQString(text);
        }
        case kSequenceRole:
            return entry.sequence;
        default:
            return {};
    }
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kColumnCount) {
        return QString::fromUtf8(columnHeader(section));
    }
    if (orientation == Qt::Horizontal && role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void FileListModel::rowsAboutToBeAppended(int first, int last) {
    beginInsertRows(QModelIndex(), first, last);
}

void FileListModel::rowsAppended() { endInsertRows(); }

void FileListModel::aboutToRearrange() { beginResetModel(); }

void FileListModel::rearranged() {
    endResetModel();
    emit listSelectionChanged();
}

void FileListModel::statusChanged(int position) {
    const QModelIndex cell = index(position, kColumnStatus);
    emit dataChanged(cell, cell, {Qt::DisplayRole, Qt::ToolTipRole});
}

void FileListModel::selectionChanged() { emit listSelectionChanged(); }

}  // namespace kelvara
