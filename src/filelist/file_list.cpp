#include "filelist/file_list.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kelvara {

namespace {

const std::string& emptyText() {
    static const std::string empty;
    return empty;
}

}  // namespace

const std::string& FileList::cell(int position, int column) const {
    const FileEntry& entry = rows_[static_cast<std::size_t>(position)];
    switch (column) {
        case kColumnRelativePath:
            return entry.relativePath;
        case kColumnStatus:
            if (texts_ == nullptr) {
                return emptyText();
            }
            return (*texts_)[entry.result ? static_cast<std::size_t>(*entry.result) : kWaitingSlot];
        case kColumnBaseDirectory:
            return entry.baseDirectory;
        case kColumnFullPath:
            return entry.fullPath;
        case kColumnReason:
            if (reasons_ == nullptr || !entry.result || !isFailure(*entry.result)) {
                return emptyText();
            }
            return (*reasons_)[static_cast<std::size_t>(entry.failure)];
        default:
            return emptyText();
    }
}

void FileList::setStatusTexts(const StatusTexts* texts) {
    if (observer_ != nullptr) {
        observer_->aboutToRearrange();
    }
    texts_ = texts;
    if (observer_ != nullptr) {
        observer_->rearranged();
    }
}

void FileList::setReasonTexts(const ReasonTexts* texts) {
    if (observer_ != nullptr) {
        observer_->aboutToRearrange();
    }
    reasons_ = texts;
    if (observer_ != nullptr) {
        observer_->rearranged();
    }
}

bool FileList::addEntry(const std::string& fullPath, const std::string& baseDirectory) {
    // One hash lookup decides and records: the path set is not visible to a
    // view, so taking the path before rowsAboutToBeAppended changes nothing
    // it could see.
    const auto [path, inserted] = paths_.insert(fullPath);
    if (!inserted) {
        return false;
    }
    FileEntry entry;
    // A base that is not really a prefix, or longer than the path, must not
    // crash: whatever follows the first base.size() + 1 bytes is taken.
    entry.relativePath = fullPath.substr(std::min(baseDirectory.size() + 1, fullPath.size()));
    entry.baseDirectory = baseDirectory;
    entry.fullPath = fullPath;
    entry.sequence = nextSequence_;

    const int position = rowCount();
    if (observer_ != nullptr) {
        observer_->rowsAboutToBeAppended(position, position);
    }
    try {
        rows_.push_back(std::move(entry));
    } catch (...) {
        paths_.erase(path);  // keep one path per row even when memory runs out
        throw;
    }
    // Wraps instead of overflowing; two thousand million additions never
    // happen in practice, but signed overflow must not.
    nextSequence_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(nextSequence_) + 1u);
    if (observer_ != nullptr) {
        observer_->rowsAppended();
    }
    return true;
}

std::string FileList::cellText(int position, int column) const {
    if (position < 0 || position >= rowCount()) {
        return {};
    }
    return cell(position, column);
}

void FileList::setStatus(int position, ConvertStatus status, EntryReport report) {
    if (position < 0 || position >= rowCount()) {
        return;
    }
    // A value outside the enumeration would index past the texts.
    if (static_cast<std::size_t>(status) >= kConvertStatusCount ||
        static_cast<std::size_t>(report.failure) >= kFailureCount) {
        return;
    }
    FileEntry& entry = rows_[static_cast<std::size_t>(position)];
    entry.result = status;
    entry.failure = report.failure;
    entry.output = std::move(report.written);
    if (observer_ != nullptr) {
        observer_->statusChanged(position);
    }
}

void FileList::removeAll() {
    const bool hadRows = !rows_.empty();
    if (hadRows && observer_ != nullptr) {
        observer_->aboutToRearrange();
    }
    rows_.clear();
    paths_.clear();
    nextSequence_ = 0;
    sortColumn_ = -1;
    sortDirection_ = 0;
    if (hadRows && observer_ != nullptr) {
        observer_->rearranged();
    }
}

template <typename Predicate>
int FileList::removeWhere(Predicate&& remove) {
    const auto first = std::find_if(rows_.begin(), rows_.end(), remove);
    if (first == rows_.end()) {
        return -1;
    }
    if (observer_ != nullptr) {
        observer_->aboutToRearrange();
    }
    // Compaction instead of one erase per row: each survivor moves at most
    // once, so removing half of 100,000 rows stays linear.
    auto out = first;
    for (auto in = first; in != rows_.end(); ++in) {
        if (remove(*in)) {
            paths_.erase(in->fullPath);
        } else {
            *out = std::move(*in);
            ++out;
        }
    }
    const int firstPosition = static_cast<int>(first - rows_.begin());
    rows_.erase(out, rows_.end());
    if (observer_ != nullptr) {
        observer_->rearranged();
    }
    return firstPosition;
}

void FileList::removeSelected() {
    const int first = removeWhere([](const FileEntry& entry) { return entry.selected; });
    // Every selected row is gone, so the row now at the first removed
    // position (if any) becomes the only selected one.
    if (first >= 0) {
        selectRow(first);
    }
}

void FileList::removeSucceeded() {
    removeWhere([](const FileEntry& entry) { return entry.result == ConvertStatus::Success; });
}

void FileList::notifySelectionChanged() {
    if (observer_ != nullptr) {
        observer_->selectionChanged();
    }
}

void FileList::selectAll() {
    bool changed = false;
    for (FileEntry& entry : rows_) {
        changed = changed || !entry.selected;
        entry.selected = true;
    }
    if (changed) {
        notifySelectionChanged();
    }
}

void FileList::selectFailed() {
    bool changed = false;
    for (FileEntry& entry : rows_) {
        const bool failed = entry.result && isFailure(*entry.result);
        changed = changed || entry.selected != failed;
        entry.selected = failed;
    }
    if (changed) {
        notifySelectionChanged();
    }
}

void FileList::selectRow(int position) { setSelected(position, true); }

void FileList::setSelected(int position, bool selected) {
    if (position < 0 || position >= rowCount()) {
        return;
    }
    FileEntry& entry = rows_[static_cast<std::size_t>(position)];
    if (entry.selected == selected) {
        return;
    }
    entry.selected = selected;
    notifySelectionChanged();
}

int FileList::firstSelected() const {
    const auto found =
        std::find_if(rows_.begin(), rows_.end(), [](const FileEntry& e) { return e.selected; });
    return found == rows_.end() ? -1 : static_cast<int>(found - rows_.begin());
}

std::vector<int> FileList::rowPositions(bool onlySelected) const {
    std::vector<int> positions;
    positions.reserve(onlySelected ? 0 : rows_.size());
    for (int i = 0; i < rowCount(); ++i) {
        if (!onlySelected || rows_[static_cast<std::size_t>(i)].selected) {
            positions.push_back(i);
        }
    }
    return positions;
}

namespace {

// Collation keys of many texts in one buffer: strcmp on two keys orders them
// as strcoll orders the texts, but a sort then costs n log n byte compares
// instead of n log n full collations.
class CollationKeys {
public:
    void add(const std::string& text) {
        const std::size_t start = buffer_.size();
        // Keys grow by a locale-dependent factor; guess from the largest seen
        // so far so that most texts need a single strxfrm call.
        std::size_t room = text.size() * growth_ + 16;
        buffer_.resize(start + room);
        std::size_t needed = std::strxfrm(buffer_.data() + start, text.c_str(), room);
        if (needed >= room) {
            room = needed + 1;
            buffer_.resize(start + room);
            needed = std::strxfrm(buffer_.data() + start, text.c_str(), room);
        }
        buffer_.resize(start + needed + 1);  // keep the terminating NUL
        if (!text.empty()) {
            growth_ = std::max(growth_, needed / text.size() + 1);
        }
        starts_.push_back(start);
    }

    // Pointers stay valid until the next add.
    const char* key(std::size_t index) const { return buffer_.data() + starts_[index]; }

private:
    std::vector<char> buffer_;
    std::vector<std::size_t> starts_;
    std::size_t growth_ = 1;
};

}  // namespace

bool FileList::sortByColumn(int column) {
    if (column < 0 || column >= kColumnCount || rows_.size() < 2) {
        return false;
    }
    // A new column starts ascending; the same column flips. Committed only
    // once the rows are reordered.
    const int previous = column == sortColumn_ ? sortDirection_ : 0;
    const int direction = previous == 0 ? 1 : -previous;

    CollationKeys keys;
    for (int i = 0; i < rowCount(); ++i) {
        keys.add(cell(i, column));
    }
    struct Item {
        const char* key;
        std::size_t index;
    };
    std::vector<Item> order(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        order[i] = {keys.key(i), i};
    }
    // Stable, so rows whose texts collate equal keep their relative order in
    // both directions.
    if (direction > 0) {
        std::stable_sort(order.begin(), order.end(), [](const Item& a, const Item& b) {
            return std::strcmp(a.key, b.key) < 0;
        });
    } else {
        std::stable_sort(order.begin(), order.end(), [](const Item& a, const Item& b) {
            return std::strcmp(a.key, b.key) > 0;
        });
    }

    if (observer_ != nullptr) {
        observer_->aboutToRearrange();
    }
    std::vector<FileEntry> sorted;
    sorted.reserve(rows_.size());
    for (const Item& item : order) {
        sorted.push_back(std::move(rows_[item.index]));
    }
    rows_.swap(sorted);
    sortColumn_ = column;
    sortDirection_ = direction;
    if (observer_ != nullptr) {
        observer_->rearranged();
    }
    return true;
}

}  // namespace kelvara
