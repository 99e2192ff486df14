#include "desktop/file_list_model.h"

#include "desktop/file_dialogs.h"

namespace kelvara {

QString columnHeader(int column) {
    switch (column) {
        case kColumnRelativePath:
            return FileListModel::tr("Relative path");
        case kColumnStatus:
            return FileListModel::tr("Status");
        case kColumnBaseDirectory:
            return FileListModel::tr("Base folder");
        case kColumnFullPath:
            return FileListModel::tr("Full path");
        case kColumnReason:
            return FileListModel::tr("Reason");
        default:
            return {};
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
    const auto utf8 = [](const std::string& text) {
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    };
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole: {
            const std::string& text = list_.cell(index.row(), index.column());
            // Status and reason texts are UTF-8; the other cells are paths.
            const bool words = index.column() == kColumnStatus || index.column() == kColumnReason;
            QString shown = words ? utf8(text) : pathToQString(text);
            const std::string& reason = list_.cell(index.row(), kColumnReason);
            if (role == Qt::ToolTipRole && !reason.empty() && index.column() != kColumnReason) {
                shown += QLatin1Char('\n') + utf8(reason);
            }
            return shown;
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
        return columnHeader(section);
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
    // The reason and every cell's tool tip change with the status.
    emit dataChanged(index(position, 0), index(position, kColumnCount - 1),
                     {Qt::DisplayRole, Qt::ToolTipRole});
}

void FileListModel::selectionChanged() { emit listSelectionChanged(); }

}  // namespace kelvara
