#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "run/conversion_job.h"
#include "filelist/file_list.h"
#include "desktop/qt_job_owner.h"
#include "settings/settings.h"
#include "desktop/file_list_model.h"

class QAbstractButton;
class QAction;

namespace Ui {
class MainWindow;
}

namespace kelvara {

class FileListView;
class ShellServices;

// The program's only top-level window: the file list, the "Save as" choice
// and the command buttons, with its menu and accelerators. Every button,
// menu item and shortcut reaches dispatchCommand with its identifier.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    // Sets up the list's columns from the settings and checks the "Save as"
    // button of SaveMode; the window stays hidden until showAtStoredPlace.
    MainWindow(FileList& list, Settings& settings, ShellServices& services,
               std::string programDir, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Moves the window to (Left, Top), applies TopMost and shows it.
    void showAtStoredPlace();
    // Puts the window into the topmost band or takes it out, as TopMost says.
    void applyTopMost();

    // The one entry of every command, by identifier. Ignored during a run.
    void dispatchCommand(int id);
    // A header click: sorts by the column, the selection travelling with its
    // rows and the first selected row scrolled to the top.
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

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void connectCommands();
    void startConversion(bool onlySelected);
    void openFiles();
    void editSettings();
    void readSelection();

    std::unique_ptr<Ui::MainWindow> ui_;
    FileList& list_;
    Settings& settings_;
    ShellServices& services_;
    std::string programDir_;
    FileListModel model_;
    // The job's owner first: the job (declared after it) is destroyed first.
    QtJobOwner jobOwner_;
    ConversionJob job_;
};

// The application icon at all its sizes.
QIcon applicationIcon();

}  // namespace kelvara
