#include <gtest/gtest.h>
#include <sys/stat.h>
#include <png.h>
#include <zlib.h>

#include <QAbstractButton>
#include <QAction>
#include <QHeaderView>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QUrl>

#include <memory>
#include <string>
#include <vector>

#include "platform/progress_window.h"
#include "shell/command_ids.h"
#include "shell/file_list_view.h"
#include "shell/main_window.h"
#include "shell_test_support.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::FakeServices;
using test::processEventsUntil;

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        settings.SaveDir = dir.path();
        settings.LastDir = dir.path();
        settings.DelSuccessItem = false;
        window = std::make_unique<MainWindow>(list, settings, services, "/opt/kelvara-here");
        window->showAtStoredPlace();
    }
    void TearDown() override {
        ASSERT_TRUE(processEventsUntil([this] { return !window->job().busy(); }));
    }

    // count real bitmaps in the temporary folder, listed with it as base.
    std::vector<std::string> addSamples(int count, const std::string& prefix = "img") {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back(dir.file(prefix + std::to_string(i) + ".bmp"));
            test::writeSampleBmp(paths.back(), i);
            list.addEntry(paths.back(), dir.path());
        }
        return paths;
    }
    void selectInView(const std::vector<int>& rows) {
        FileListView* view = window->listView();
        view->clearSelection();
        for (const int row : rows) {
            view->selectionModel()->select(
                view->model()->index(row, 0),
                QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    std::vector<int> selectedInView() const {
        std::vector<int> rows;
        for (const QModelIndex& index : window->listView()->selectionModel()->selectedRows()) {
            rows.push_back(index.row());
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    std::vector<std::string> column(int c) const {
        std::vector<std::string> cells;
        for (int row = 0; row < list.rowCount(); ++row) {
            cells.push_back(list.cellText(row, c));
        }
        return cells;
    }
    bool waitIdle() {
        return processEventsUntil([this] { return !window->job().busy(); });
    }

    test::TempDir dir;
    Settings settings;
    FileList list;
    FakeServices services;
    std::unique_ptr<MainWindow> window;
};

// The menu, its texts and its accelerators, written out independently of the
// .ui file.
TEST_F(MainWindowTest, EveryCommandHasItsMenuTextShortcutAndButton) {
    struct Row {
        int id;
        const char* text;
        const char* shortcut;
        bool hasButton;
    };
    const Row rows[] = {
        {ids::kCmdOpen, "&Open...", "Ctrl+O", false},
        {ids::kCmdConvertSelected, "Convert &selected", "Return", true},
        {ids::kCmdConvertAll, "Convert &all", "Ctrl+S", true},
        {ids::kCmdExit, "E&xit", "Alt+F4", false},
        {ids::kCmdSettings, "S&ettings...", "Ctrl+C", false},
        {ids::kCmdVersion, "&Version...", "", false},
        {ids::kCmdDeleteSelected, "&Delete selected items", "Del", true},
        {ids::kCmdRemoveAll, "&Remove all", "Ctrl+I", true},
        {ids::kCmdSelectAll, "&Select all", "Ctrl+A", true},
        {ids::kCmdHelp, "&Index", "F1", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        QAction* action = window->action(row.id);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text().toStdString(), row.text);
        EXPECT_EQ(action->shortcut().toString().toStdString(), row.shortcut);
        EXPECT_EQ(window->button(row.id) != nullptr, row.hasButton);
    }
    EXPECT_TRUE(window->action(ids::kCmdConvertSelected)->shortcuts().contains(
        QKeySequence(Qt::Key_Enter)));
    for (const int id : {ids::kSaveAsBmp, ids::kSaveAsPng, ids::kSaveAsXyz}) {
        EXPECT_NE(window->button(id), nullptr) << id;
    }
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Kelvara Image Converter"));
    EXPECT_EQ(window->listView()->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(window->listView()->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(window->button(ids::kCmdSelectAll)->text(), QStringLiteral("S&elect all"));
    EXPECT_EQ(window->button(ids::kCmdDeleteSelected)->text(), QStringLiteral("&Delete selected"));
}

TEST_F(MainWindowTest, SaveAsButtonsSetSaveMode) {
    window->button(ids::kSaveAsXyz)->click();
    EXPECT_EQ(settings.SaveMode, 2);
    window->button(ids::kSaveAsPng)->click();
    EXPECT_EQ(settings.SaveMode, 1);
    window->button(ids::kSaveAsBmp)->click();
    EXPECT_EQ(settings.SaveMode, 0);
}

TEST_F(MainWindowTest, ListCommandsActOnTheViewSelection) {
    addSamples(4);
    const std::vector<std::string> before = column(kColumnFullPath);

    selectInView({1, 2});
    window->dispatchCommand(ids::kCmdDeleteSelected);
    EXPECT_EQ(column(kColumnFullPath), (std::vector<std::string>{before[0], before[3]}));
    // The row now at the first removed position is selected, in the view too.
    EXPECT_EQ(selectedInView(), std::vector<int>{1});

    window->dispatchCommand(ids::kCmdSelectAll);
    EXPECT_EQ(selectedInView(), (std::vector<int>{0, 1}));

    window->dispatchCommand(ids::kCmdRemoveAll);
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(window->model().rowCount(), 0);
}

TEST_F(MainWindowTest, OpenGathersTheChosenFilesAndRemembersTheirFolder) {
    test::TempDir other;
    const std::string chosen = other.file("pick.bmp");
    test::writeSampleBmp(chosen);
    services.filesToChoose = std::vector<std::string>{chosen};
    settings.AutoConvert3 = true;

    window->dispatchCommand(ids::kCmdOpen);
    EXPECT_EQ(services.calls, std::vector<std::string>{"chooseFiles:" + dir.path()});
    ASSERT_EQ(list.rowCount(), 1);
    EXPECT_EQ(list.cellText(0, kColumnRelativePath), "pick.bmp");
    EXPECT_EQ(settings.LastDir, other.path());
    EXPECT_TRUE(window->job().busy());  // AutoConvert3
    ASSERT_TRUE(waitIdle());

    services.filesToChoose.reset();  // cancelled: nothing changes, no run
    window->dispatchCommand(ids::kCmdOpen);
    EXPECT_EQ(settings.LastDir, other.path());
    EXPECT_FALSE(window->job().busy());
}

TEST_F(MainWindowTest, SettingsVersionHelpAndExit) {
    services.settingsEdit = [](Settings& s) { s.TopMost = true; };
    services.settingsConfirmed = false;  // cancelled: TopMost is not applied again
    window->dispatchCommand(ids::kCmdSettings);
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    services.settingsConfirmed = true;
    window->dispatchCommand(ids::kCmdSettings);
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(window->isVisible());

    window->dispatchCommand(ids::kCmdVersion);
    EXPECT_TRUE(services.versionText.startsWith(QStringLiteral("Kelvaraイメージコンバータ Ver1.02\n")));
    EXPECT_TRUE(services.versionText.contains(QStringLiteral("zlib\tversion " ZLIB_VERSION "\n")));
    EXPECT_TRUE(
        services.versionText.contains(QStringLiteral("libpng\tversion " PNG_LIBPNG_VER_STRING "\n")));

    window->dispatchCommand(ids::kCmdHelp);
    EXPECT_EQ(services.calls, (std::vector<std::string>{"editSettings:設定", "editSettings:設定",
                                                        "showVersion:バージョン情報",
                                                        "openHelp:/opt/kelvara-here"}));

    window->listView()->setColumnWidth(kColumnStatus, 77);
    window->dispatchCommand(ids::kCmdExit);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(settings.Column2, 77);
}

// Accelerators go through the window's shortcut map, as a key press would.
TEST_F(MainWindowTest, AcceleratorsTriggerTheirCommands) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    struct Key {
        int id;
        QKeyCombination combination;
    };
    const Key keys[] = {
        {ids::kCmdSelectAll, Qt::CTRL | Qt::Key_A},  {ids::kCmdSettings, Qt::CTRL | Qt::Key_C},
        {ids::kCmdRemoveAll, Qt::CTRL | Qt::Key_I},  {ids::kCmdOpen, Qt::CTRL | Qt::Key_O},
        {ids::kCmdConvertAll, Qt::CTRL | Qt::Key_S}, {ids::kCmdDeleteSelected, QKeyCombination(Qt::Key_Delete)},
        {ids::kCmdHelp, QKeyCombination(Qt::Key_F1)}, {ids::kCmdConvertSelected, QKeyCombination(Qt::Key_Return)},
        {ids::kCmdConvertSelected, QKeyCombination(Qt::Key_Enter)},
    };
    for (const Key& key : keys) {
        int triggered = 0;
        std::vector<int> others;
        QObject context;
        for (QAction* action : window->findChildren<QAction*>()) {
            QObject::connect(action, &QAction::triggered, &context, [&, action] {
                if (action == window->action(key.id)) {
                    ++triggered;
                } else {
                    others.push_back(action->property(ids::kCommandIdProperty).toInt());
                }
            });
        }
        QTest::keyClick(window->listView(), key.combination.key(), key.combination.keyboardModifiers());
        EXPECT_EQ(triggered, 1) << key.id;
        EXPECT_TRUE(others.empty()) << key.id;
    }
    // Ctrl+C reached the settings, not a copy of the list.
    EXPECT_EQ(std::count(services.calls.begin(), services.calls.end(), "editSettings:設定"), 1);
}

TEST_F(MainWindowTest, EnterConvertsOnlyTheSelectedRows) {
    settings.SaveMode = static_cast<int>(ImageFormat::Png);
    settings.DelSuccessItem = true;
    const std::vector<std::string> paths = addSamples(5);
    selectInView({1, 3});
    std::vector<QString> texts;
    QObject::connect(&window->jobOwner(), &QtJobOwner::progressAdvanced,
                     [&](const QString& text) { texts.push_back(text); });

    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window->listView(), Qt::Key_Return);
    ASSERT_TRUE(waitIdle());

    EXPECT_EQ(texts, (std::vector<QString>{"1/2", "2/2"}));
    // The converted rows succeeded and left the list; the others wait.
    EXPECT_EQ(column(kColumnFullPath), (std::vector<std::string>{paths[0], paths[2], paths[4]}));
    EXPECT_EQ(column(kColumnStatus), std::vector<std::string>(3, "待機中"));
    EXPECT_TRUE(test::exists(dir.file("img1.png")));
    EXPECT_TRUE(test::exists(dir.file("img3.png")));
    EXPECT_FALSE(test::exists(dir.file("img0.png")));
}

// A whole run through the GUI-thread bridge: the progress window, the
// disabled main window and the refused close.
TEST_F(MainWindowTest, RunOverFiveRowsShowsProgressInOrder) {
    settings.SaveMode = static_cast<int>(ImageFormat::Xyz);
    addSamples(4);
    list.addEntry(dir.file("missing.bmp"), dir.path());  // a row that fails

    struct Seen {
        QString counter;
        int bar;
        bool ownerEnabled;
    };
    std::vector<Seen> seen;
    QtJobOwner& owner = window->jobOwner();
    QObject::connect(&owner, &QtJobOwner::progressOpened, [&](int total) {
        ProgressWindow* progress = owner.progressWindow();
        ASSERT_NE(progress, nullptr);
        EXPECT_EQ(total, 5);
        EXPECT_EQ(progress->windowTitle(), QStringLiteral("Converting..."));
        EXPECT_FALSE(progress->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        EXPECT_TRUE(progress->isVisible());
        EXPECT_TRUE(progress->isEnabled());
        EXPECT_EQ(progress->pos(), window->centralWidget()->mapToGlobal(QPoint(0, 0)));
        seen.push_back({progress->counterText(), progress->position(), window->isEnabled()});
        // Neither a close request nor Escape closes it.
        EXPECT_FALSE(progress->close());
        QTest::keyClick(progress, Qt::Key_Escape);
        EXPECT_TRUE(progress->isVisible());
    });
    QObject::connect(&owner, &QtJobOwner::progressAdvanced, [&](const QString&) {
        ProgressWindow* progress = owner.progressWindow();
        seen.push_back({progress->counterText(), progress->position(), window->isEnabled()});
    });

    window->dispatchCommand(ids::kCmdConvertAll);
    EXPECT_TRUE(window->job().busy());
    EXPECT_FALSE(window->isEnabled());
    EXPECT_FALSE(window->close());  // ignored while busy
    EXPECT_TRUE(window->isVisible());
    window->dispatchCommand(ids::kCmdRemoveAll);  // commands do nothing during the run
    ASSERT_TRUE(waitIdle());

    const std::vector<Seen> expected = {
        {"Please wait while the program is converting your images...", 0, false},
        {"1/5", 1, false}, {"2/5", 2, false}, {"3/5", 3, false}, {"4/5", 4, false},
        {"5/5", 5, false}};
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].counter, expected[i].counter) << i;
        EXPECT_EQ(seen[i].bar, expected[i].bar) << i;
        EXPECT_EQ(seen[i].ownerEnabled, expected[i].ownerEnabled) << i;
    }
    EXPECT_EQ(owner.progressWindow(), nullptr);
    EXPECT_TRUE(window->isEnabled());
    std::vector<std::string> statuses(4, "正常終了");
    statuses.push_back(statusText(ConvertStatus::UnsupportedFormat));
    EXPECT_EQ(column(kColumnStatus), statuses);
    EXPECT_EQ(window->model().data(window->model().index(4, kColumnStatus)).toString().toStdString(),
              statuses[4]);
    EXPECT_TRUE(test::exists(dir.file("img3.xyz")));

    window->move(33, 44);
    EXPECT_TRUE(window->close());
    EXPECT_EQ(settings.Left, window->pos().x());
    EXPECT_EQ(settings.Top, window->pos().y());
}

TEST_F(MainWindowTest, HeaderClickSortsAndSelectionTravels) {
    // Enough rows to scroll; relative paths in descending order.
    const int count = 60;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.bmp", count - 1 - i);
        list.addEntry(dir.file(name), dir.path());
    }
    FileListView* view = window->listView();
    QScrollBar* bar = view->verticalScrollBar();
    QHeaderView* header = view->horizontalHeader();
    const auto click = [&](int section) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
    };

    // No selection: sorted, scroll position kept.
    QCoreApplication::processEvents();
    bar->setValue(7);
    ASSERT_EQ(bar->value(), 7);
    click(kColumnRelativePath);
    EXPECT_EQ(list.cellText(0, 0), "f000.bmp");
    EXPECT_EQ(list.cellText(count - 1, 0), "f059.bmp");
    EXPECT_EQ(bar->value(), 7);

    selectInView({50, 20});  // f050 and f020
    click(kColumnRelativePath);  // second click: descending
    EXPECT_EQ(list.cellText(0, 0), "f059.bmp");
    EXPECT_EQ(list.sortDirection(), -1);
    const std::vector<int> rows = selectedInView();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(list.cellText(rows[0], 0), "f050.bmp");
    EXPECT_EQ(list.cellText(rows[1], 0), "f020.bmp");
    EXPECT_EQ(bar->value(), rows[0]);  // the first selected row is the top one

    click(kColumnFullPath);  // another column starts ascending
    EXPECT_EQ(list.sortColumn(), kColumnFullPath);
    EXPECT_EQ(list.sortDirection(), 1);
    EXPECT_EQ(list.cellText(0, 0), "f000.bmp");
}

std::unique_ptr<QMimeData> urlMime(const QList<QUrl>& urls) {
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls);
    return mime;
}

TEST_F(MainWindowTest, DroppedFolderIsGatheredAndConvertedWhenSet) {
    const std::string set = dir.file("set1");
    ::mkdir(set.c_str(), 0777);
    test::writeFile(set + "/notes.txt", std::string("text"));
    test::writeSampleBmp(set + "/a.bmp");
    ::mkdir((set + "/sub").c_str(), 0777);
    test::writeSampleBmp(set + "/sub/b.bmp");
    addSamples(1, "earlier");  // converted too: automatic conversion takes every row
    settings.AutoConvert1 = true;
    settings.SaveMode = static_cast<int>(ImageFormat::Png);

    const auto mime = urlMime({QUrl::fromLocalFile(QString::fromStdString(set + "/"))});
    const QPoint at = window->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, mime.get(), Qt::LeftButton, {});
    QCoreApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, mime.get(), Qt::LeftButton, {});
    QCoreApplication::sendEvent(window.get(), &drop);
    EXPECT_TRUE(drop.isAccepted());

    EXPECT_EQ(column(kColumnRelativePath),
              (std::vector<std::string>{"earlier0.bmp", "set1/a.bmp", "set1/notes.txt",
                                        "set1/sub/b.bmp"}));
    EXPECT_EQ(column(kColumnBaseDirectory), std::vector<std::string>(4, dir.path()));
    ASSERT_TRUE(window->job().busy());
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(column(kColumnStatus), (std::vector<std::string>{"正常終了", "正常終了", "スキップ",
                                                               "正常終了"}));

    // Without AutoConvert1 a drop only gathers.
    settings.AutoConvert1 = false;
    window->dispatchCommand(ids::kCmdRemoveAll);
    QDragEnterEvent enterAgain(at, Qt::CopyAction, mime.get(), Qt::LeftButton, {});
    QCoreApplication::sendEvent(window.get(), &enterAgain);
    QDropEvent again(at, Qt::CopyAction, mime.get(), Qt::LeftButton, {});
    QCoreApplication::sendEvent(window.get(), &again);
    // The outputs of the first run are listed too.
    EXPECT_EQ(column(kColumnRelativePath),
              (std::vector<std::string>{"set1/a.bmp", "set1/a.png", "set1/notes.txt",
                                        "set1/sub/b.bmp", "set1/sub/b.png"}));
    EXPECT_FALSE(window->job().busy());
}

}  // namespace
}  // namespace kelvara
