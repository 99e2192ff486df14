#pragma once

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QMainWindow>

#include "run/conversion_job.h"
#include "filelist/file_list.h"
#include "filelist/gather.h"
#include "desktop/qt_job_owner.h"
#include "settings/settings.h"
#include "desktop/file_list_model.h"

class QAbstractButton;
class QAction;
class QLabel;

namespace Ui {
class MainWindow;
}

namespace kelvara {

class FileListView;
class ShellServices;

// The program's only top-level window: the file list, the "Save as" choice
// and the command buttons, with its menu, accelerators, the rows' context
// menu and a status bar. Every button, menu item and shortcut reaches
// dispatchCommand with its identifier.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    // Sets up the list's columns from the settings and checks the "Save as"
    // button of SaveMode; the window stays hidden until showAtStoredPlace.
    MainWindow(FileList& list, Settings& settings, ShellServices& services,
               std::string programDir, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Gives the window its stored size (Width, Height), moves it to (Left,
    // Top), applies TopMost and shows it.
    void showAtStoredPlace();
    // Puts the window into the topmost band or takes it out, as TopMost says.
    void applyTopMost();

    // The one entry of every command, by identifier. Ignored during a run.
    void dispatchCommand(int id);
    // A header click: sorts by the column, the selection and the current
    // row travelling with their rows and the current row kept in view.
    void sortByColumn(int column);
    // The drop road: gathers the paths, then the automatic conversion.
    void dropPaths(const std::vector<std::string>& paths);
    // The command-line road with the program's arguments.
    void takeCommandLine(const std::vector<std::string>& arguments,
                         const std::string& currentDirectory);

    ConversionJob& job() { return job_; }
    QtJobOwner& jobOwner() { return jobOwner_; }
    FileListModel& model() { return model_; }
    FileListView* listView() const;
    // The action of a command identifier, or null.
    QAction* action(int id) const;
    // The button (push or radio) of a command identifier, or null.
    QAbstractButton* button(int id) const;
    // The status bar's message (what the last run or gathering did) and its
    // count of entries.
    QLabel* messageLabel() const { return message_; }
    QLabel* countLabel() const { return count_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using Omitted = std::vector<std::pair<std::string, Omission>>;

    void connectCommands();
    void setUpColumns();
    int fittingWidth(int column) const;
    void startConversion(bool onlySelected);
    void openFiles();
    void addFolder();
    void editSettings();
    void showHelp();
    void readSelection();
    // Runs one gathering road, then tells what it added and what it left out.
    template <typename Road>
    void gather(Road&& road);
    void reportGathered(const GatherCount& count, int added);
    void reportRun();
    void onMessageLink(const QString& link);
    void showContextMenu(const QPoint& at);
    // The row the single-row commands act on: the current one, else the
    // first selected; -1 for none.
    int focusRow() const;
    void openRowFile(bool output);
    void copyPaths();
    void setCurrentRow(int position);
    void updateCount();
    void updateSortIndicator();
    void showReasonColumn(bool shown);

    std::unique_ptr<Ui::MainWindow> ui_;
    FileList& list_;
    Settings& settings_;
    ShellServices& services_;
    std::string programDir_;
    FileListModel model_;
    QLabel* message_ = nullptr;
    QLabel* count_ = nullptr;
    Omitted omitted_;  // of the last gathering, for "Details"
    // What a gathering that started a run reported, told again after it.
    QString gathered_;
    // Columns whose width the user set: only those are stored.
    std::array<bool, kColumnCount> userWidth_{};
    bool fitting_ = false;
    // The job's owner first: the job (declared after it) is destroyed first.
    QtJobOwner jobOwner_;
    ConversionJob job_;
};

// The application icon at all its sizes.
QIcon applicationIcon();

}  // namespace kelvara
