#include "desktop/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QRadioButton>
#include <QStatusBar>
#include <QStyle>

#include "filelist/gather.h"
#include "desktop/drop_paths.h"
#include "desktop/command_ids.h"
#include "desktop/file_dialogs.h"
#include "desktop/file_list_view.h"
#include "desktop/help.h"
#include "desktop/shell_services.h"
#include "desktop/status_texts.h"
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

bool isEnterKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
        return false;
    }
    const auto* key = static_cast<const QKeyEvent*>(event);
    return (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
           (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

// How the status bar and the details name a path that gave no entry.
QString omissionText(Omission why) {
    switch (why) {
        case Omission::NotFound:
            return MainWindow::tr("not found (missing, or a link to nothing)");
        case Omission::NotAFile:
            return MainWindow::tr("not a file (a FIFO, socket or device)");
        case Omission::Unreadable:
            return MainWindow::tr("a folder that could not be read");
        case Omission::NoFiles:
            return MainWindow::tr("a folder without files");
    }
    return {};
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
                              Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      ui_(std::make_unique<Ui::MainWindow>()),
      list_(list),
      settings_(settings),
      services_(services),
      programDir_(std::move(programDir)),
      model_(list),
      jobOwner_(this),
      job_(list, settings, jobOwner_) {
    ui_->setupUi(this);
    // The list shows the window's language.
    list_.setStatusTexts(&statusTexts());
    list_.setReasonTexts(&reasonTexts());
    connect(&jobOwner_, &QtJobOwner::cancelRequested, this, [this] { job_.cancel(); });
    connect(&jobOwner_, &QtJobOwner::finished, this, &MainWindow::reportRun);
    setWindowIcon(applicationIcon());
    setAcceptDrops(true);

    FileListView* view = ui_->fileListView;
    view->setListModel(&model_);
    setUpColumns();
    connect(view->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &MainWindow::sortByColumn);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);
    connect(view, &QAbstractItemView::doubleClicked, this,
            [this] { dispatchCommand(ids::kCmdOpenFile); });

    message_ = new QLabel(this);
    message_->setTextFormat(Qt::RichText);
    // Mouse only: a label that took the focus would swallow Enter.
    message_->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(message_, &QLabel::linkActivated, this, &MainWindow::onMessageLink);
    statusBar()->addWidget(message_, 1);
    count_ = new QLabel(this);
    statusBar()->addPermanentWidget(count_);
    connect(&model_, &QAbstractItemModel::rowsInserted, this, &MainWindow::updateCount);
    connect(&model_, &QAbstractItemModel::modelReset, this, [this] {
        updateCount();
        updateSortIndicator();
    });
    updateCount();

    connectCommands();

    const int saveAs[] = {ids::kSaveAsBmp, ids::kSaveAsPng, ids::kSaveAsXyz};
    if (settings_.SaveMode >= 0 && settings_.SaveMode < 3) {
        button(saveAs[settings_.SaveMode])->setChecked(true);
    }
    view->setFocus();
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
        if (id == ids::kCmdExit) {
            each->setShortcuts({each->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q)});
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
        each->installEventFilter(this);  // Enter presses a focused button
    }
    action(ids::kCmdReasonColumn)->setChecked(settings_.ReasonColumn);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Enter on a focused button presses that button: the window's Enter
    // accelerator (convert) must not take the key from it.
    auto* pressed = qobject_cast<QAbstractButton*>(watched);
    if (pressed != nullptr && isEnterKey(event)) {
        event->accept();
        if (event->type() == QEvent::KeyPress) {
            pressed->click();
        }
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::setUpColumns() {
    FileListView* view = ui_->fileListView;
    QHeaderView* header = view->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    const int stored[kColumnCount] = {settings_.Column1, settings_.Column2, settings_.Column3,
                                      settings_.Column4, settings_.Column5};
    fitting_ = true;
    for (int column = 0; column < kColumnCount; ++column) {
        userWidth_[column] = stored[column] > 0;
        view->setColumnWidth(column, stored[column] > 0 ? stored[column] : fittingWidth(column));
    }
    view->setColumnHidden(kColumnReason, !settings_.ReasonColumn);
    fitting_ = false;
    connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int) {
        if (!fitting_ && column >= 0 && column < kColumnCount &&
            !ui_->fileListView->isColumnHidden(column)) {
            userWidth_[column] = true;
        }
    });
}

int MainWindow::fittingWidth(int column) const {
    const FileListView* view = ui_->fileListView;
    const int header = view->horizontalHeader()->sectionSizeHint(column);
    const QFontMetrics metrics(view->font());
    // A cell's text is inset by the focus frame's margin and one pixel on
    // each side; a little more keeps it clear of the next column.
    const int inset =
        2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1) + 6;
    int texts = 0;
    const auto widest = [&](const auto& table) {
        for (const std::string& text : table) {
            texts = std::max(texts, metrics.horizontalAdvance(QString::fromStdString(text)) + inset);
        }
    };
    switch (column) {
        case kColumnStatus:
            widest(statusTexts());
            break;
        case kColumnReason:
            widest(reasonTexts());
            break;
        default:  // the paths: room for a name in two or three folders
            // Measured on a Latin letter: paths are mostly Latin, and the
            // average of a Japanese font is a full-width glyph's.
            texts = metrics.horizontalAdvance(QLatin1Char('x')) * 36;
            break;
    }
    return std::max(header, texts);
}

void MainWindow::showReasonColumn(bool shown) {
    settings_.ReasonColumn = shown;
    FileListView* view = ui_->fileListView;
    fitting_ = true;
    view->setColumnHidden(kColumnReason, !shown);
    if (shown && !userWidth_[kColumnReason]) {
        view->setColumnWidth(kColumnReason, fittingWidth(kColumnReason));
    }
    fitting_ = false;
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
        case ids::kCmdAddFolder:
            addFolder();
            break;
        case ids::kCmdConvertSelected:
        case ids::kCmdConvertAgain:
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
        case ids::kCmdRemoveFromList:
            readSelection();
            list_.removeSelected();
            // The user goes on from where the removed rows were, or from the
            // new last row when they ended the list.
            if (list_.firstSelected() < 0 && list_.rowCount() > 0) {
                list_.selectRow(list_.rowCount() - 1);
            }
            setCurrentRow(list_.firstSelected());
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
        case ids::kCmdSelectFailed:
            readSelection();
            list_.selectFailed();
            setCurrentRow(list_.firstSelected());
            break;
        case ids::kCmdReasonColumn:
            showReasonColumn(action(ids::kCmdReasonColumn)->isChecked());
            break;
        case ids::kCmdOpenFile:
            openRowFile(false);
            break;
        case ids::kCmdOpenOutput:
            openRowFile(true);
            break;
        case ids::kCmdShowInFolder:
            if (const int row = focusRow(); row >= 0 && !services_.showInFolder(list_.row(row).fullPath)) {
                services_.showMessage(this, tr("Show in folder"),
                                      tr("No file manager could show %1.")
                                          .arg(pathToQString(list_.row(row).fullPath)));
            }
            break;
        case ids::kCmdCopyPath:
            copyPaths();
            break;
        case ids::kCmdHelp:
            showHelp();
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

template <typename Road>
void MainWindow::gather(Road&& road) {
    readSelection();
    Omitted omitted;
    const int before = list_.rowCount();
    const GatherCount count = road([&omitted](const std::string& path, Omission why) {
        omitted.emplace_back(path, why);
    });
    if (count.files == 0 && omitted.empty()) {
        return;  // nothing asked for (a dialog cancelled): the message stays
    }
    omitted_ = std::move(omitted);
    reportGathered(count, list_.rowCount() - before);
    // An automatic conversion's summary will take the status bar: it keeps
    // what the gathering said after its own counts.
    gathered_ = job_.busy() ? message_->text() : QString();
}

void MainWindow::openFiles() {
    const auto chosen = services_.chooseFiles(this, settings_.LastDir);
    gather([&](const OmissionSink& sink) {
        return onOpenFiles(list_, chosen, settings_, [this] { startConversion(false); }, sink);
    });
}

void MainWindow::addFolder() {
    const std::optional<std::string> folder = services_.chooseFolder(this, settings_.LastDir);
    if (!folder || folder->empty()) {
        return;
    }
    // The open dialog's road: the same LastDir and automatic conversion.
    const std::optional<std::vector<std::string>> chosen{{stripTrailingSeparator(*folder)}};
    gather([&](const OmissionSink& sink) {
        return onOpenFiles(list_, chosen, settings_, [this] { startConversion(false); }, sink);
    });
}

void MainWindow::editSettings() {
    if (services_.editSettings(this, tr("Settings"), settings_)) {
        applyTopMost();
    }
}

void MainWindow::showHelp() {
    const std::string manual = findManual(programDir_);
    if (!manual.empty() && services_.openUrl(fileUrl(manual))) {
        return;
    }
    QStringList places;
    for (const std::string& place : manualPlaces(programDir_)) {
        places << pathToQString(lexicallyNormal(place));
    }
    services_.showMessage(
        this, tr("Help"),
        manual.empty()
            ? tr("The manual was not found. It was looked for at:\n%1").arg(places.join(u'\n'))
            : tr("No program could open the manual at:\n%1").arg(pathToQString(manual)));
}

void MainWindow::reportGathered(const GatherCount& count, int added) {
    std::array<int, 4> omissions{};
    for (const auto& [path, why] : omitted_) {
        ++omissions[static_cast<std::size_t>(why)];
    }
    QStringList ignored;
    if (count.duplicates > 0) {
        ignored << tr("%n already listed", "", static_cast<int>(count.duplicates));
    }
    const char* const words[] = {QT_TR_N_NOOP("%n not found"), QT_TR_N_NOOP("%n not a file"),
                                 QT_TR_N_NOOP("%n unreadable"), QT_TR_N_NOOP("%n without files")};
    for (std::size_t i = 0; i < omissions.size(); ++i) {
        if (omissions[i] > 0) {
            ignored << tr(words[i], "", omissions[i]);
        }
    }
    QString text = tr("%n file(s) added", "", added);
    if (!ignored.isEmpty()) {
        text += tr("; ignored: %1").arg(ignored.join(tr(", ")));
    }
    text = text.toHtmlEscaped();
    QString names;
    if (!omitted_.empty()) {
        text += QStringLiteral(" <a href=\"details\">%1</a>").arg(tr("Details").toHtmlEscaped());
        for (std::size_t i = 0; i < omitted_.size() && i < 20; ++i) {
            names += pathToQString(omitted_[i].first) + QStringLiteral(": ") +
                     omissionText(omitted_[i].second) + u'\n';
        }
    }
    message_->setText(text);
    message_->setToolTip(names.trimmed());
}

void MainWindow::reportRun() {
    const RunCounts& counts = job_.counts();
    QString text = tr("Converted %1, copied %2, skipped %3, failed %4")
                       .arg(counts.converted)
                       .arg(counts.copied)
                       .arg(counts.skipped)
                       .arg(counts.failed);
    if (counts.cancelled && counts.notStarted > 0) {
        text += tr("; cancelled, %n not started", "", counts.notStarted);
    }
    text = text.toHtmlEscaped();
    if (counts.failed > 0) {
        text += QStringLiteral(" <a href=\"failed\">%1</a>").arg(tr("Select failed").toHtmlEscaped());
    }
    if (!gathered_.isEmpty()) {
        text += QStringLiteral(" &mdash; ") + gathered_;
        gathered_.clear();
    } else {
        message_->setToolTip({});
    }
    message_->setText(text);
    // Back to the list, where the user left off.
    ui_->fileListView->setFocus();
}

void MainWindow::onMessageLink(const QString& link) {
    if (link == QLatin1String("failed")) {
        dispatchCommand(ids::kCmdSelectFailed);
        return;
    }
    QString text;
    constexpr std::size_t kShown = 200;
    for (std::size_t i = 0; i < omitted_.size() && i < kShown; ++i) {
        text += pathToQString(omitted_[i].first) + QStringLiteral(": ") +
                omissionText(omitted_[i].second) + u'\n';
    }
    if (omitted_.size() > kShown) {
        text += tr("... and %n more", "", static_cast<int>(omitted_.size() - kShown));
    }
    services_.showMessage(this, tr("Ignored"), text.trimmed());
}

int MainWindow::focusRow() const {
    const QModelIndex current = ui_->fileListView->currentIndex();
    if (current.isValid() && current.row() < list_.rowCount()) {
        return current.row();
    }
    ui_->fileListView->readSelection();
    return list_.firstSelected();
}

void MainWindow::setCurrentRow(int position) {
    FileListView* view = ui_->fileListView;
    if (position < 0 || position >= list_.rowCount() || view->selectionModel() == nullptr) {
        return;
    }
    const QModelIndex index = model_.index(position, 0);
    view->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    view->scrollTo(index, QAbstractItemView::EnsureVisible);
}

void MainWindow::openRowFile(bool output) {
    const int row = focusRow();
    if (row < 0) {
        return;
    }
    const std::string& path = output ? list_.row(row).output : list_.row(row).fullPath;
    if (!path.empty() && !services_.openUrl(fileUrl(path))) {
        services_.showMessage(this, tr("Open"),
                              tr("No program could open %1.").arg(pathToQString(path)));
    }
}

void MainWindow::copyPaths() {
    readSelection();
    std::vector<int> rows = list_.rowPositions(true);
    if (rows.empty() && focusRow() >= 0) {
        rows.push_back(focusRow());
    }
    if (rows.empty()) {
        return;
    }
    // Text for people, and a URI list that keeps every byte of a name.
    QStringList text;
    QByteArray uris;
    for (const int row : rows) {
        text << pathToQString(list_.row(row).fullPath);
        uris += fileUrl(list_.row(row).fullPath).toEncoded() + "\r\n";
    }
    auto mime = std::make_unique<QMimeData>();
    mime->setText(text.join(u'\n'));
    mime->setData(QStringLiteral("text/uri-list"), uris);
    QGuiApplication::clipboard()->setMimeData(mime.release());  // the clipboard owns it
}

void MainWindow::showContextMenu(const QPoint& at) {
    FileListView* view = ui_->fileListView;
    QPoint where = at;
    if (!view->indexAt(at).isValid()) {
        // The menu key: the menu opens at the current row, if any.
        if (!view->currentIndex().isValid()) {
            return;
        }
        where = view->visualRect(view->currentIndex()).center();
    }
    const int row = focusRow();
    action(ids::kCmdOpenOutput)->setEnabled(row >= 0 && !list_.row(row).output.empty());
    QMenu menu(this);
    for (const int id : {ids::kCmdOpenFile, ids::kCmdShowInFolder, ids::kCmdOpenOutput, 0,
                         ids::kCmdCopyPath, 0, ids::kCmdConvertAgain, ids::kCmdRemoveFromList}) {
        if (id == 0) {
            menu.addSeparator();
        } else {
            menu.addAction(action(id));
        }
    }
    menu.setDefaultAction(action(ids::kCmdOpenFile));  // what a double-click does
    menu.exec(view->viewport()->mapToGlobal(where));
    action(ids::kCmdOpenOutput)->setEnabled(true);
}

void MainWindow::updateCount() {
    count_->setText(tr("%n file(s)", "", list_.rowCount()));
}

void MainWindow::updateSortIndicator() {
    ui_->fileListView->horizontalHeader()->setSortIndicator(
        list_.sortColumn(), list_.sortDirection() < 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void MainWindow::sortByColumn(int column) {
    if (job_.busy()) {
        return;
    }
    readSelection();
    const QModelIndex current = ui_->fileListView->currentIndex();
    const int sequence = current.isValid() ? list_.row(current.row()).sequence : -1;
    if (!list_.sortByColumn(column)) {
        updateSortIndicator();  // the header flipped its arrow by itself
        return;
    }
    int row = list_.firstSelected();
    for (int i = 0; current.isValid() && i < list_.rowCount(); ++i) {
        if (list_.row(i).sequence == sequence) {
            row = i;
            break;
        }
    }
    // Only as far as needed: the rows above stay in sight when they fit.
    setCurrentRow(row);
}

void MainWindow::dropPaths(const std::vector<std::string>& paths) {
    if (job_.busy()) {
        return;
    }
    gather([&](const OmissionSink& sink) {
        return onDropPaths(list_, paths, settings_, [this] { startConversion(false); }, sink);
    });
}

void MainWindow::takeCommandLine(const std::vector<std::string>& arguments,
                                 const std::string& currentDirectory) {
    gather([&](const OmissionSink& sink) {
        return onCommandLine(list_, arguments, currentDirectory, settings_,
                             [this] { startConversion(false); }, sink);
    });
}

void MainWindow::showAtStoredPlace() {
    if (settings_.Width > 0 && settings_.Height > 0) {
        resize(settings_.Width, settings_.Height);
    }
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
    // pos() of a window is its frame's outer corner; the size is the inside,
    // as it was before a maximise.
    settings_.Left = pos().x();
    settings_.Top = pos().y();
    const QRect normal = isMaximized() || isFullScreen() ? normalGeometry() : geometry();
    settings_.Width = normal.width();
    settings_.Height = normal.height();
    // Widths the user never set stay "fit" (0), so they follow the font and
    // the language of the next start.
    const FileListView* view = ui_->fileListView;
    int* const widths[kColumnCount] = {&settings_.Column1, &settings_.Column2, &settings_.Column3,
                                       &settings_.Column4, &settings_.Column5};
    for (int column = 0; column < kColumnCount; ++column) {
        if (!view->isColumnHidden(column)) {
            *widths[column] = userWidth_[column] ? view->columnWidth(column) : 0;
        }
    }
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
