#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <QAbstractButton>
#include <QAction>
#include <QHeaderView>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QUrl>

#include <filesystem>

#include "platform/progress_window.h"
#include "shell/application.h"
#include "shell/command_ids.h"
#include "shell/file_list_view.h"
#include "shell/main_window.h"
#include "shell_test_support.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using Rows = std::vector<int>;
using Texts = std::vector<std::string>;

class MainWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        settings.SaveDir = settings.LastDir = dir.path();
        settings.DelSuccessItem = false;
        settings.SaveMode = static_cast<int>(ImageFormat::Png);
        window = std::make_unique<MainWindow>(list, settings, services, "/opt/kelvara-here");
        window->showAtStoredPlace();
    }
    void TearDown() override { ASSERT_TRUE(waitIdle()); }

    // `count` bitmaps img0.bmp... in the temporary folder, listed with it as base.
    Texts addSamples(int count) {
        Texts paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back(dir.file("img" + std::to_string(i) + ".bmp"));
            test::writeSampleBmp(paths.back(), i);
            list.addEntry(paths.back(), dir.path());
        }
        return paths;
    }
    void selectInView(const Rows& rows) {
        QItemSelectionModel* selection = window->listView()->selectionModel();
        selection->clearSelection();
        for (const int row : rows) {
            selection->select(window->model().index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    Rows selectedInView() const {
        Rows rows;
        for (const QModelIndex& index : window->listView()->selectionModel()->selectedRows()) {
            rows.push_back(index.row());
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    Texts column(int c) const {
        Texts cells;
        for (int row = 0; row < list.rowCount(); ++row) {
            cells.push_back(list.cellText(row, c));
        }
        return cells;
    }
    bool waitIdle() {
        return test::processEventsUntil([this] { return !window->job().busy(); });
    }
    void click(int id) {
        QAbstractButton* button = window->button(id);
        ASSERT_NE(button, nullptr) << id;
        button->click();
    }
    void choose(int id) { window->action(id)->trigger(); }  // from the menu
    void press(QKeyCombination key) {  // into the active window, as a user does
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window->listView(), key.key(), key.keyboardModifiers());
    }

    test::TempDir dir;
    Settings settings;
    FileList list;
    test::FakeServices services;
    std::unique_ptr<MainWindow> window;
};

// Each accelerator triggers its own command and no other.
TEST_F(MainWindowTest, AcceleratorsTriggerOnlyTheirCommand) {
    std::vector<int> triggered;
    for (QAction* action : window->findChildren<QAction*>()) {
        QObject::connect(action, &QAction::triggered, [&, action] {
            triggered.push_back(action->property(ids::kCommandIdProperty).toInt());
        });
    }
    const std::pair<int, const char*> keys[] = {{ids::kCmdSelectAll, "Ctrl+A"},
                                                {ids::kCmdSettings, "Ctrl+C"},
                                                {ids::kCmdRemoveAll, "Ctrl+I"},
                                                {ids::kCmdOpen, "Ctrl+O"},
                                                {ids::kCmdConvertAll, "Ctrl+S"},
                                                {ids::kCmdDeleteSelected, "Del"},
                                                {ids::kCmdHelp, "F1"},
                                                {ids::kCmdConvertSelected, "Return"},
                                                {ids::kCmdConvertSelected, "Enter"},
                                                {ids::kCmdExit, "Alt+F4"}};
    for (const auto& [id, key] : keys) {
        triggered.clear();
        press(QKeySequence(key)[0]);
        EXPECT_EQ(triggered, Rows{id}) << key;
    }
    // Ctrl+C reached the settings, not a copy of the list.
    EXPECT_EQ(services.calls, (Texts{"editSettings:設定", "chooseFiles:" + dir.path(),
                                     "openHelp:/opt/kelvara-here"}));
}

// Every command through its button or menu item; Enter and Ctrl+C as keys.
TEST_F(MainWindowTest, EveryCommandDoesItsJob) {
    const Texts paths = addSamples(4);
    for (const auto& [id, mode] :
         {std::pair{ids::kSaveAsXyz, 2}, {ids::kSaveAsBmp, 0}, {ids::kSaveAsPng, 1}}) {
        click(id);
        EXPECT_EQ(settings.SaveMode, mode) << id;
    }
    click(ids::kCmdSelectAll);
    EXPECT_EQ(selectedInView(), (Rows{0, 1, 2, 3}));
    selectInView({2});
    click(ids::kCmdSelectAll);  // again, after the user narrowed the selection
    EXPECT_EQ(selectedInView(), (Rows{0, 1, 2, 3}));
    selectInView({1, 2});
    click(ids::kCmdDeleteSelected);
    EXPECT_EQ(column(kColumnFullPath), (Texts{paths[0], paths[3]}));
    EXPECT_EQ(selectedInView(), Rows{1});  // the row now where the first removed one stood

    press(QKeyCombination(Qt::Key_Return));  // converts the selection
    ASSERT_TRUE(window->job().busy() && waitIdle());
    EXPECT_EQ(column(kColumnStatus), (Texts{"待機中", "正常終了"}));
    EXPECT_EQ(test::listDir(dir.path()),
              (Texts{"img0.bmp", "img1.bmp", "img2.bmp", "img3.bmp", "img3.png"}));
    click(ids::kCmdConvertAll);
    ASSERT_TRUE(window->job().busy() && waitIdle());
    EXPECT_TRUE(test::exists(dir.file("img0.png")));
    click(ids::kCmdRemoveAll);
    EXPECT_EQ(window->model().rowCount(), 0);

    test::TempDir other;
    services.filesToChoose = Texts{other.file("pick.bmp")};
    settings.AutoConvert3 = true;
    test::writeSampleBmp(other.file("pick.bmp"));
    choose(ids::kCmdOpen);
    EXPECT_EQ(column(kColumnFullPath), Texts{other.file("pick.bmp")});
    EXPECT_EQ(settings.LastDir, other.path());
    ASSERT_TRUE(window->job().busy() && waitIdle());
    services.settingsEdit = [](Settings& s) { s.TopMost = true; };
    press(Qt::CTRL | Qt::Key_C);
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(window->isVisible());
    choose(ids::kCmdVersion);
    EXPECT_TRUE(services.versionText.startsWith("Kelvaraイメージコンバータ Ver1.02\n"));
    EXPECT_TRUE(services.versionText.contains("zlib\tversion " ZLIB_VERSION "\n"));
    EXPECT_TRUE(services.versionText.contains("libpng\tversion " PNG_LIBPNG_VER_STRING "\n"));
    choose(ids::kCmdHelp);
    EXPECT_EQ(services.calls, (Texts{"chooseFiles:" + dir.path(), "editSettings:設定",
                                     "showVersion:バージョン情報", "openHelp:/opt/kelvara-here"}));
    window->listView()->setColumnWidth(kColumnStatus, 77);
    choose(ids::kCmdExit);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(settings.Column2, 77);
}

TEST_F(MainWindowTest, RunOverFiveRowsShowsProgressInOrder) {
    settings.SaveMode = static_cast<int>(ImageFormat::Xyz);
    addSamples(4);
    list.addEntry(dir.file("missing.bmp"), dir.path());  // a row that fails
    std::vector<QString> seen;                           // counter text | bar position
    QtJobOwner& owner = window->jobOwner();
    const auto record = [&] {
        EXPECT_FALSE(window->isEnabled());
        seen.push_back(QStringLiteral("%1|%2")
                           .arg(owner.progressWindow()->counterText())
                           .arg(owner.progressWindow()->position()));
    };
    QObject::connect(&owner, &QtJobOwner::progressOpened, [&](int total) {
        ProgressWindow* progress = owner.progressWindow();
        ASSERT_NE(progress, nullptr);
        EXPECT_EQ(total, 5);
        EXPECT_EQ(progress->pos(), window->centralWidget()->mapToGlobal(QPoint(0, 0)));
        EXPECT_FALSE(progress->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        record();
        EXPECT_FALSE(progress->close());  // neither a close request nor Escape closes it
        QTest::keyClick(progress, Qt::Key_Escape);
        EXPECT_TRUE(progress->isVisible());
    });
    QObject::connect(&owner, &QtJobOwner::progressAdvanced, record);

    press(Qt::CTRL | Qt::Key_S);
    EXPECT_TRUE(window->job().busy());
    EXPECT_FALSE(window->close());  // ignored while busy
    EXPECT_TRUE(window->isVisible());
    window->dispatchCommand(ids::kCmdRemoveAll);  // commands do nothing during the run
    ASSERT_TRUE(waitIdle());

    EXPECT_EQ(seen,
              (std::vector<QString>{"Please wait while the program is converting your images...|0",
                                    "1/5|1", "2/5|2", "3/5|3", "4/5|4", "5/5|5"}));
    EXPECT_EQ(owner.progressWindow(), nullptr);
    EXPECT_TRUE(window->isEnabled());
    Texts statuses(4, "正常終了");
    statuses.push_back(statusText(ConvertStatus::UnsupportedFormat));
    EXPECT_EQ(column(kColumnStatus), statuses);
    EXPECT_TRUE(test::exists(dir.file("img3.xyz")));
    window->move(33, 44);
    EXPECT_TRUE(window->close());
    EXPECT_EQ(QPoint(settings.Left, settings.Top), QPoint(33, 44));
}

TEST_F(MainWindowTest, HeaderClickSortsAndSelectionTravels) {
    for (int i = 59; i >= 0; --i) {  // enough to scroll; relative paths in descending order
        list.addEntry(dir.file(QString::asprintf("f%03d.bmp", i).toStdString()), dir.path());
    }
    QScrollBar* bar = window->listView()->verticalScrollBar();
    QHeaderView* header = window->listView()->horizontalHeader();
    const QPoint at(header->sectionViewportPosition(kColumnFullPath) + 5, header->height() / 2);
    QCoreApplication::processEvents();
    bar->setValue(7);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(column(kColumnRelativePath).front(), "f000.bmp");
    EXPECT_EQ(bar->value(), 7);  // nothing selected: the view stays where it was
    selectInView({50, 20});      // f050 and f020
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);  // again: descending
    EXPECT_EQ(column(kColumnRelativePath).front(), "f059.bmp");
    EXPECT_EQ(selectedInView(), (Rows{9, 39}));
    EXPECT_EQ(bar->value(), 9);  // the first selected row on top
}

TEST_F(MainWindowTest, DroppedFolderIsGatheredAndConvertedWhenSet) {
    const std::string set = dir.file("set1");
    std::filesystem::create_directories(set + "/sub");
    test::writeSampleBmp(set + "/a.bmp");
    test::writeSampleBmp(set + "/sub/b.bmp");
    addSamples(1);  // converted too: automatic conversion takes every row
    settings.AutoConvert1 = true;
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(set + "/"))});
    const auto drop = [&] {
        const QPoint at = window->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, {});
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(window.get(), &enter);
        QCoreApplication::sendEvent(window.get(), &drop);
        EXPECT_TRUE(enter.isAccepted() && drop.isAccepted());
    };
    drop();
    EXPECT_EQ(column(kColumnRelativePath), (Texts{"img0.bmp", "set1/a.bmp", "set1/sub/b.bmp"}));
    EXPECT_EQ(column(kColumnBaseDirectory), Texts(3, dir.path()));
    ASSERT_TRUE(window->job().busy() && waitIdle());
    EXPECT_EQ(column(kColumnStatus), Texts(3, "正常終了"));

    settings.AutoConvert1 = false;  // now a drop only gathers
    window->dispatchCommand(ids::kCmdRemoveAll);
    drop();
    EXPECT_EQ(list.rowCount(), 4);  // the first run's outputs too
    EXPECT_FALSE(window->job().busy());
}

// The application over an INI file in the temporary folder, started.
std::unique_ptr<Application> start(const test::TempDir& dir, test::FakeServices& services,
                                   const std::string& ini,
                                   std::vector<std::string> arguments = {}) {
    test::writeFile(dir.file("kelvara.ini"), ini);
    StartupConfig c{dir.file("kelvara.ini"), dir.path(),          dir.path(),
                    dir.file("config"),      dir.file("kelvara"), dir.file("work"),
                    std::move(arguments)};
    auto app = std::make_unique<Application>(c, &services);
    app->start();
    return app;
}

// Also the command line: gathered against the working folder and converted.
TEST(Startup, WindowPlaceWidthsAndChoicesSurviveARestartThroughTheIniFile) {
    test::TempDir dir;
    test::FakeServices services;
    const auto expectWindow = [](const Application& app, QPoint at, Rows widths, int saveAs) {
        MainWindow* window = app.window();
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->pos(), at);
        EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        for (int c = 0; c < kColumnCount; ++c) {
            EXPECT_EQ(window->listView()->columnWidth(c), widths[c]) << c;
        }
        EXPECT_TRUE(window->button(saveAs)->isChecked());
    };
    std::filesystem::create_directory(dir.file("work"));
    test::writeSampleBmp(dir.file("work/a.bmp"));
    auto app =
        start(dir, services,
              "[MainWnd]\nLeft=40\nTop=30\nColumn1=111\nColumn2=122\nColumn3=133\nColumn4=144\n"
              "TopMost=1\n[Convert]\nSaveMode=1\nAutoConvert2=1\nDelSuccessItem=0\n",
              {"a.bmp"});
    expectWindow(*app, {40, 30}, {111, 122, 133, 144}, ids::kSaveAsPng);
    EXPECT_EQ(app->list().cellText(0, kColumnFullPath), dir.file("work/a.bmp"));
    ASSERT_TRUE(test::processEventsUntil([&] { return !app->window()->job().busy(); }));
    EXPECT_EQ(test::listDir(dir.file("work")), (Texts{"a.bmp", "a.png"}));
    EXPECT_FALSE(test::exists(dir.file("config")));  // no update checker: nothing recorded

    MainWindow* window = app->window();
    window->move(60, 70);
    window->listView()->setColumnWidth(0, 222);
    window->listView()->setColumnWidth(3, 155);
    window->button(ids::kSaveAsXyz)->click();
    const test::Bytes before = test::readFile(dir.file("kelvara.ini"));
    ASSERT_TRUE(window->close());
    EXPECT_EQ(test::readFile(dir.file("kelvara.ini")), before);  // written when the program ends
    app.reset();
    const test::Bytes saved = test::readFile(dir.file("kelvara.ini"));
    app = start(dir, services, std::string(saved.begin(), saved.end()));
    expectWindow(*app, {60, 70}, {222, 122, 133, 155}, ids::kSaveAsXyz);
    app->window()->close();

    app = start(dir, services, "[MainWnd]\nLeft=-20\nTop=99999\n");  // off the desktop
    EXPECT_EQ(app->window()->pos(), QPoint(0, 0));
    app->window()->close();
}

}  // namespace
}  // namespace kelvara
