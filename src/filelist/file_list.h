#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "convert/convert.h"

namespace kelvara {

// Column numbers of a row's cells.
enum FileColumn : int {
    kColumnRelativePath = 0,
    kColumnStatus = 1,
    kColumnBaseDirectory = 2,
    kColumnFullPath = 3,
    kColumnReason = 4,  // why the last run failed, empty otherwise
    kColumnCount = 5,
};

// What the status column shows: a text per ConvertStatus, then the text of
// a row no run has set yet. The program that shows the list provides them.
using StatusTexts = std::array<std::string, kConvertStatusCount + 1>;
inline constexpr std::size_t kWaitingSlot = kConvertStatusCount;
// What the reason column shows: a text per Failure.
using ReasonTexts = std::array<std::string, kFailureCount>;

// Neither a success nor a skip.
inline bool isFailure(ConvertStatus status) {
    return status != ConvertStatus::Success && status != ConvertStatus::Skipped;
}

struct FileEntry {
    std::string relativePath;
    std::string baseDirectory;
    std::string fullPath;
    std::int32_t sequence = 0;
    std::optional<ConvertStatus> result;  // none until a run has set it
    Failure failure = Failure::None;      // why the result is a failure
    std::string output;                   // what the last run wrote, if anything
    bool selected = false;
};

// Told about every change of a FileList, before and after it, on the thread
// that makes the change. A view keeps itself in step through it.
class FileListObserver {
public:
    virtual ~FileListObserver() = default;
    virtual void rowsAboutToBeAppended(int /*first*/, int /*last*/) {}
    virtual void rowsAppended() {}
    // Removals and sorting change many positions at once.
    virtual void aboutToRearrange() {}
    virtual void rearranged() {}
    virtual void statusChanged(int /*position*/) {}
    virtual void selectionChanged() {}
};

// The files gathered for conversion, in display order, each listed once by
// its exact full path.
class FileList {
public:
    // texts: what the status column shows; none (null) shows nothing there.
    // They must outlive the list.
    explicit FileList(const StatusTexts* texts = nullptr) : texts_(texts) {}
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    void setObserver(FileListObserver* observer) { observer_ = observer; }
    // Another set of status texts (another language): every row shows its
    // result in them at once.
    void setStatusTexts(const StatusTexts* texts);
    // The same for the reason column; none (null) shows nothing there.
    void setReasonTexts(const ReasonTexts* texts);

    int rowCount() const { return static_cast<int>(rows_.size()); }
    // Appends a row unless fullPath is listed already. baseDirectory is a
    // leading part of fullPath; the relative path is what follows it and the
    // one separator after it. False when the path was listed already.
    bool addEntry(const std::string& fullPath, const std::string& baseDirectory);
    std::string cellText(int position, int column) const;
    // The cell of a valid position, or an empty text for a column out of range.
    const std::string& cell(int position, int column) const;
    // A run's result for the row: its status, and what it wrote or why not.
    void setStatus(int position, ConvertStatus status, EntryReport report = {});

    void removeAll();
    // Removes the selected rows, then selects the row that now stands where
    // the first removed one stood.
    void removeSelected();
    // Removes every row whose last run succeeded.
    void removeSucceeded();

    void selectAll();
    // Selects exactly the rows whose last result is a failure.
    void selectFailed();
    void selectRow(int position);
    // Sets one row's flag, as a view reports the user's selection.
    void setSelected(int position, bool selected);
    int firstSelected() const;
    std::vector<int> rowPositions(bool onlySelected) const;

    // Header-click sort: ascending on a new column, reversed on each further
    // click of the same one, by the locale's collation (LC_COLLATE) of the
    // column's text. Selection and sequence numbers travel with their rows;
    // rows that compare equal keep their order. Returns false (and changes
    // nothing, not even the sort state) with fewer than two rows or a column
    // outside 0..3.
    bool sortByColumn(int column);
    int sortColumn() const { return sortColumn_; }
    int sortDirection() const { return sortDirection_; }
    std::int32_t nextSequence() const { return nextSequence_; }

    // Read access for views; position must be valid.
    const FileEntry& row(int position) const { return rows_[static_cast<std::size_t>(position)]; }

private:
    // Removes the matching rows and their paths in one pass; returns the
    // position of the first removed row, -1 when nothing matched.
    template <typename Predicate>
    int removeWhere(Predicate&& remove);
    void notifySelectionChanged();

    std::vector<FileEntry> rows_;
    std::unordered_set<std::string> paths_;
    std::int32_t nextSequence_ = 0;
    int sortColumn_ = -1;
    int sortDirection_ = 0;
    FileListObserver* observer_ = nullptr;
    const StatusTexts* texts_ = nullptr;
    const ReasonTexts* reasons_ = nullptr;
};

}  // namespace kelvara
