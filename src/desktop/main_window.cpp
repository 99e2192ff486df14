#include "desktop/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QRadioButton>

#include "filelist/gather.h"
#include "desktop/drop_paths.h"
#include "desktop/command_ids.h"
#include "desktop/file_list_view.h"
#include "desktop/shell_services.h"
#include "ui_main_window.h"

// Resources compiled into a static library register themselves only when
// asked to; the linker would drop their static initialiser.
static void initialiseResources() { Q_INIT_RESOURCE(kelvara); }

namespace kelvara {

namespace {

int commandIdOf(const QObject* object) {
    const QVariant id = object->property(ids::kCommandIdProperty);
    return id.isValid() ? id.toInt() : 0;
}

}  // namespace

QIcon applicationIcon() {
    initialiseResources();
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/kelvara-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

MainWindow::MainWindow(FileList& list, Settings& settings, ShellServices& services,
                       std::string programDir, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                              Qt::CustomizeWindowHint),
      ui_(std::make_unique<Ui::MainWindow>()),
      list_(list),
      settings_(settings),
      services_(services),
      programDir_(std::move(programDir)),
      model_(list),
      jobOwner_(this),
      job_(list, settings, jobOwner_) {
    ui_->setupUi(this);
    connect(&jobOwner_, &QtJobOwner::cancelRequested, this, [this] { job_.cancel(); });
    setWindowIcon(applicationIcon());
    setAcceptDrops(true);

    FileListView* view = ui_->fileListView;
    view->setListModel(&model_);
    const int widths[kColumnCount] = {settings_.Column1, settings_.Column2, settings_.Column3,
                                      settings_.Column4};
    for (int column = 0; column < kColumnCount; ++column) {
        view->setColumnWidth(column, widths[column]);
    }
    connect(view->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &MainWindow::sortByColumn);

    connectCommands();

    const int saveAs[] = {ids::kSaveAsBmp, ids::kSaveAsPng, ids::kSaveAsXyz};
    if (settings_.SaveMode >= 0 && settings_.SaveMode < 3) {
        button(saveAs[settings_.SaveMode])->setChecked(true);
    }

    // Fixed size, no maximise: the layout decides it once.
    setFixedSize(sizeHint());
}

MainWindow::~MainWindow() {
    // Should the application quit in the middle of a run, stop it and keep
    // carrying out what it hands over until its last task has run: those
    // tasks refer to this window's list and job.
    job_.cancel();
    while (job_.busy()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

void MainWindow::connectCommands() {
    for (QAction* each : findChildren<QAction*>()) {
        const int id = commandIdOf(each);
        if (id == 0) {
            continue;
        }
        // Enter on the keypad is the same key as Return to the user.
        if (each->shortcut() == QKeySequence(Qt::Key_Return)) {
            each->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
        }
        each->setShortcutContext(Qt::WindowShortcut);
        addAction(each);  // shortcuts work while the menu is closed
        connect(each, &QAction::triggered, this, [this, id] { dispatchCommand(id); });
    }
    for (QAbstractButton* each : findChildren<QAbstractButton*>()) {
        const int id = commandIdOf(each);
        if (id == 0) {
            continue;
        }
        connect(each, &QAbstractButton::clicked, this, [this, id] { dispatchCommand(id); });
    }
}

FileListView* MainWindow::listView() const { return ui_->fileListView; }

QAction* MainWindow::action(int id) const {
    for (QAction* each : findChildren<QAction*>()) {
        if (commandIdOf(each) == id) {
            return each;
        }
    }
    return nullptr;
}

QAbstractButton* MainWindow::button(int id) const {
    for (QAbstractButton* each : findChildren<QAbstractButton*>()) {
        if (commandIdOf(each) == id) {
            return each;
        }
    }
    return nullptr;
}

void MainWindow::dispatchCommand(int id) {
    if (job_.busy()) {
        return;  // the window is disabled for a run; nothing may reach the list
    }
    switch (id) {
        case ids::kSaveAsBmp:
            settings_.SaveMode = static_cast<int>(ImageFormat::Bmp);
            break;
        case ids::kSaveAsPng:
            settings_.SaveMode = static_cast<int>(ImageFormat::Png);
            break;
        case ids::kSaveAsXyz:
            settings_.SaveMode = static_cast<int>(ImageFormat::Xyz);
            break;
        case ids::kCmdOpen:
            openFiles();
            break;
        case ids::kCmdConvertSelected:
            startConversion(true);
            break;
        case ids::kCmdConvertAll:
            startConversion(false);
            break;
        case ids::kCmdExit:
            close();
            break;
        case ids::kCmdSettings:
            editSettings();
            break;
        case ids::kCmdVersion:
            services_.showVersion(this, versionCaption(), versionText());
            break;
        case ids::kCmdDeleteSelected:
            readSelection();
            list_.removeSelected();
            break;
        case ids::kCmdRemoveAll:
            list_.removeAll();
            break;
        case ids::kCmdSelectAll:
            // The view may hold a narrower selection than the list's flags;
            // without reading it first, selecting all would change no flag
            // and the view would not be told.
            readSelection();
            list_.selectAll();
            break;
        case ids::kCmdHelp:
            services_.openHelp(programDir_);
            break;
        default:
            break;
    }
}

void MainWindow::readSelection() { ui_->fileListView->readSelection(); }

void MainWindow::startConversion(bool onlySelected) {
    // Every run may end by removing rows, which shows FileList's flags again:
    // they must hold what the user selected.
    readSelection();
    job_.start(onlySelected);
}

void MainWindow::openFiles() {
    const auto chosen = services_.chooseFiles(this, settings_.LastDir);
    readSelection();
    onOpenFiles(list_, chosen, settings_, [this] { startConversion(false); });
}

void MainWindow::editSettings() {
    if (services_.editSettings(this, QStringLiteral("設定"), settings_)) {
        applyTopMost();
    }
}

void MainWindow::sortByColumn(int column) {
    if (job_.busy()) {
        return;
    }
    readSelection();
    if (!list_.sortByColumn(column)) {
        return;
    }
    const int first = list_.firstSelected();
    if (first >= 0) {
        ui_->fileListView->scrollToTop(first);
    }
}

void MainWindow::dropPaths(const std::vector<std::string>& paths) {
    if (job_.busy()) {
        return;
    }
    readSelection();
    onDropPaths(list_, paths, settings_, [this] { startConversion(false); });
}

void MainWindow::takeCommandLine(const std::vector<std::string>& arguments,
                                 const std::string& currentDirectory) {
    onCommandLine(list_, arguments, currentDirectory, settings_,
                  [this] { startConversion(false); });
}

void MainWindow::showAtStoredPlace() {
    move(settings_.Left, settings_.Top);
    applyTopMost();
    activateWindow();
}

void MainWindow::applyTopMost() {
    const bool topMost = settings_.TopMost;
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) != topMost) {
        setWindowFlag(Qt::WindowStaysOnTopHint, topMost);
    }
    show();  // a change of the flags hides the window
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (job_.busy()) {
        event->ignore();
        return;
    }
    // pos() of a window is its frame's outer corner.
    settings_.Left = pos().x();
    settings_.Top = pos().y();
    const FileListView* view = ui_->fileListView;
    settings_.Column1 = view->columnWidth(kColumnRelativePath);
    settings_.Column2 = view->columnWidth(kColumnStatus);
    settings_.Column3 = view->columnWidth(kColumnBaseDirectory);
    settings_.Column4 = view->columnWidth(kColumnFullPath);
    event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!job_.busy() && event->mimeData() != nullptr && offersLocalPaths(*event->mimeData())) {
        event->acceptProposedAction();
    }
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (!job_.busy() && event->mimeData() != nullptr && offersLocalPaths(*event->mimeData())) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    if (event->mimeData() == nullptr || !offersLocalPaths(*event->mimeData())) {
        return;
    }
    const std::vector<std::string> paths = localPathsFromMime(*event->mimeData());
    event->acceptProposedAction();
    dropPaths(paths);
}

}  // namespace kelvara
