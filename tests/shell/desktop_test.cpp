// The desktop program on Qt's offscreen platform: the main window's commands,
// drops, a run, the settings dialog, and a restart through the settings file.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QThread>

#include <filesystem>
#include <map>

#include "platform/drop_paths.h"
#include "platform/progress_window.h"
#include "settings/settings_dialog.h"
#include "shell/application.h"
#include "shell/command_ids.h"
#include "shell/file_list_view.h"
#include "shell/main_window.h"
#include "shell/shell_services.h"
#include "support/support.h"

namespace kelvara {
namespace {

using Texts = std::vector<std::string>;

// Dialog answers given in advance, and a record of what was asked.
struct FakeServices final : ShellServices {
    std::optional<Texts> chooseFiles(QWidget*, const std::string& start) override {
        calls += " chooseFiles:" + start;
        return filesToChoose;
    }
    bool editSettings(QWidget*, const QString& caption, Settings& settings) override {
        calls += " editSettings:" + caption.toStdString();
        return settings.TopMost = true;
    }
    void showVersion(QWidget*, const QString& caption, const QString& text) override {
        const bool versions = text.contains("zlib\tversion " ZLIB_VERSION "\nlibpng\tversion " PNG_LIBPNG_VER_STRING);
        calls += " showVersion:" + caption.toStdString() + (versions ? " with versions" : "");
    }
    void openHelp(const std::string& programDir) override { calls += " openHelp:" + programDir; }
    std::string calls;
    std::optional<Texts> filesToChoose;
};

void writeSample(const std::string& path) {
    IndexedImage image;
    test::makeImage(image, 7, 5, 1);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(test::formats()[path.ends_with(".png") ? 1 : 0].write(path, image)) << path;
}

bool processEventsUntil(const std::function<bool()>& done) {
    for (QDeadlineTimer deadline(20000); !done() && !deadline.hasExpired(); QThread::msleep(1)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

// A shown main window over a fresh folder, the given samples listed (their
// folder as base), saving as XYZ beside them; its model is checked throughout.
struct Desk {
    explicit Desk(const Texts& names = {}) {
        window.showAtStoredPlace();
        for (const std::string& name : names) {
            writeSample(dir.file(name));
            list.addEntry(dir.file(name), dir.path());
        }
    }
    ~Desk() { EXPECT_TRUE(idle()); }
    bool idle() {
        return processEventsUntil([this] { return !window.job().busy(); });
    }
    void select(const std::vector<int>& rows) {
        window.listView()->selectionModel()->clearSelection();
        for (const int row : rows) {
            window.listView()->selectionModel()->select(window.model().index(row, 0),
                                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    // The list (a '+' after each converted row), the rows selected in the view,
    // the services asked and the window's state; the folder shows as T.
    std::string observe() const {
        std::string seen = "mode=" + std::to_string(settings.SaveMode) + " rows=";
        for (int i = 0; i < list.rowCount(); ++i) {
            seen += (i ? "," : "") + list.cellText(i, 0) + (list.cellText(i, 1) == statusText(ConvertStatus::Success) ? "+" : "");
        }
        std::vector<int> selected;
        for (const QModelIndex& index : window.listView()->selectionModel()->selectedRows()) selected.push_back(index.row());
        std::sort(selected.begin(), selected.end());
        seen += " sel=";
        for (const int row : selected) seen += std::to_string(row);
        seen += services.calls + (window.isVisible() ? "" : " closed");
        seen += window.windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? " top" : "";
        seen += settings.LastDir == dir.path() ? "" : " last=" + settings.LastDir;
        for (std::size_t at; (at = seen.find(dir.path())) != std::string::npos;) seen.replace(at, dir.path().size(), "T");
        return seen;
    }

    test::TempDir dir;
    Settings settings = [this] {
        Settings s;
        s.SaveDir = s.LastDir = dir.path();
        s.DelSuccessItem = false;
        s.SaveMode = 2;
        return s;
    }();
    FileList list;
    FakeServices services;
    MainWindow window{list, settings, services, "/opt/kelvara-here"};
    QAbstractItemModelTester tester{&window.model(), QAbstractItemModelTester::FailureReportingMode::Fatal};
};

// One window per row, rows a, b, c listed with b selected; the command given
// by its button, its menu item or its accelerator (typed into the window).
TEST(MainWindow, EachCommandDoesItsJob) {
    const std::string calm = "mode=2 rows=a.bmp,b.bmp,c.bmp sel=1";
    struct Row {
        int id;
        const char* how;
        std::string after;
    } const rows[] = {
        {ids::kSaveAsBmp, "button", "mode=0 rows=a.bmp,b.bmp,c.bmp sel=1"},
        {ids::kSaveAsPng, "button", "mode=1 rows=a.bmp,b.bmp,c.bmp sel=1"},
        {ids::kCmdSelectAll, "button", "mode=2 rows=a.bmp,b.bmp,c.bmp sel=012"},
        {ids::kCmdSelectAll, "Ctrl+A", "mode=2 rows=a.bmp,b.bmp,c.bmp sel=012"},
        {ids::kCmdDeleteSelected, "button", "mode=2 rows=a.bmp,c.bmp sel=1"},
        {ids::kCmdDeleteSelected, "Del", "mode=2 rows=a.bmp,c.bmp sel=1"},
        {ids::kCmdRemoveAll, "button", "mode=2 rows= sel="},
        {ids::kCmdRemoveAll, "Ctrl+I", "mode=2 rows= sel="},
        {ids::kCmdConvertSelected, "button", "mode=2 rows=a.bmp,b.bmp+,c.bmp sel=1"},
        {ids::kCmdConvertSelected, "Return", "mode=2 rows=a.bmp,b.bmp+,c.bmp sel=1"},
        {ids::kCmdConvertSelected, "Enter", "mode=2 rows=a.bmp,b.bmp+,c.bmp sel=1"},
        {ids::kCmdConvertAll, "button", "mode=2 rows=a.bmp+,b.bmp+,c.bmp+ sel=1"},
        {ids::kCmdConvertAll, "Ctrl+S", "mode=2 rows=a.bmp+,b.bmp+,c.bmp+ sel=1"},
        {ids::kCmdOpen, "Ctrl+O", "mode=2 rows=a.bmp+,b.bmp+,c.bmp+,d.bmp+ sel=1 chooseFiles:T last=T/more"},
        {ids::kCmdSettings, "Ctrl+C", calm + " editSettings:設定 top"},
        {ids::kCmdVersion, "menu", calm + " showVersion:バージョン情報 with versions"},
        {ids::kCmdHelp, "F1", calm + " openHelp:/opt/kelvara-here"},
        {ids::kCmdExit, "Alt+F4", calm + " closed"},
    };
    for (const Row& row : rows) {
        Desk desk({"a.bmp", "b.bmp", "c.bmp"});
        writeSample(desk.dir.file("more/d.bmp"));
        desk.services.filesToChoose = Texts{desk.dir.file("more/d.bmp")};
        desk.settings.AutoConvert3 = true;
        desk.select({1});
        const std::string how = row.how;
        if (how == "button") {
            desk.window.button(row.id)->click();
        } else if (how == "menu") {
            desk.window.action(row.id)->trigger();
        } else {
            desk.window.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&desk.window));
            const QKeyCombination key = QKeySequence(QString::fromStdString(how))[0];
            QTest::keyClick(desk.window.listView(), key.key(), key.keyboardModifiers());
        }
        ASSERT_TRUE(desk.idle());
        EXPECT_EQ(desk.observe(), row.after) << row.id << " " << how;
    }
}

// Planned as a whole: a.bmp to PNG would replace the listed a.png, which is
// rewritten in place; a missing file fails. Closing and commands wait.
TEST(MainWindow, RunDisablesTheWindowShowsProgressAndSetsStatuses) {
    Desk desk({"a.bmp", "b.bmp", "a.png"});
    desk.list.addEntry(desk.dir.file("missing.bmp"), desk.dir.path());
    desk.settings.SaveMode = 1;
    std::vector<QString> seen;  // counter text | bar position
    QtJobOwner& owner = desk.window.jobOwner();
    const auto record = [&] {
        EXPECT_FALSE(desk.window.isEnabled());
        seen.push_back(owner.progressWindow()->counterText() + "|" + QString::number(owner.progressWindow()->position()));
    };
    QObject::connect(&owner, &QtJobOwner::progressOpened, [&](int total) {
        record();
        EXPECT_FALSE(owner.progressWindow()->close() || total != 4);  // no closing it
    });
    QObject::connect(&owner, &QtJobOwner::progressAdvanced, record);
    QSignalSpy changed(&desk.window.model(), &QAbstractItemModel::dataChanged);
    desk.window.button(ids::kCmdConvertAll)->click();
    EXPECT_TRUE(desk.window.job().busy());
    EXPECT_FALSE(desk.window.close());
    desk.window.dispatchCommand(ids::kCmdRemoveAll);
    desk.window.dropPaths({desk.dir.path()});
    ASSERT_TRUE(desk.idle());
    EXPECT_EQ(seen, (std::vector<QString>{"Please wait while the program is converting your images...|0", "1/4|1",
                                          "2/4|2", "3/4|3", "4/4|4"}));
    EXPECT_TRUE(owner.progressWindow() == nullptr && desk.window.isEnabled());
    EXPECT_EQ(changed.count(), 4);  // one status each
    ASSERT_EQ(desk.list.rowCount(), 4);
    const ConvertStatus statuses[] = {ConvertStatus::TargetConflict, ConvertStatus::Success, ConvertStatus::Success,
                                      ConvertStatus::UnsupportedFormat};
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(desk.list.cellText(row, kColumnStatus), statusText(statuses[row]));
        for (int c = 0; c < kColumnCount; ++c) {
            const QModelIndex index = desk.window.model().index(row, c);
            EXPECT_EQ(index.data().toString() + "|" + index.data(Qt::ToolTipRole).toString(),
                      QString::fromStdString(desk.list.cellText(row, c) + "|" + desk.list.cellText(row, c)));
            EXPECT_FALSE(index.flags().testFlag(Qt::ItemIsEditable));
        }
        EXPECT_EQ(desk.window.model().index(row, 0).data(FileListModel::kSequenceRole), row);
    }
    desk.window.move(33, 44);
    EXPECT_TRUE(desk.window.close());
    EXPECT_EQ(QPoint(desk.settings.Left, desk.settings.Top), QPoint(33, 44));
}

// A folder (its name heads the relative paths), a file named in Shift-JIS and
// a remote file dropped; with AutoConvert1 every row converts.
TEST(MainWindow, DropGathersLocalPathsByTheirBytes) {
    Desk desk({"a.bmp"});
    for (const char* name : {"set/b.bmp", "set/sub/c.bmp", "\x82\xA0.bmp"}) writeSample(desk.dir.file(name));
    const auto drop = [&](const std::string& uris) {
        QMimeData mime;
        mime.setData("text/uri-list", QByteArray::fromStdString(uris));
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QDropEvent drop(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(&desk.window, &enter);
        QCoreApplication::sendEvent(&desk.window, &drop);
        return enter.isAccepted();
    };
    desk.settings.AutoConvert1 = true;
    EXPECT_FALSE(drop("https://example.org/x.bmp\r\n"));
    const std::string folder = "file://" + desk.dir.path();
    EXPECT_TRUE(drop("https://example.org/x.bmp\r\n" + folder + "/set/\r\n" + folder + "/%82%A0.bmp"));
    ASSERT_TRUE(desk.idle());
    EXPECT_EQ(desk.observe(), "mode=2 rows=a.bmp+,set/b.bmp+,set/sub/c.bmp+,\x82\xA0.bmp+ sel=");
    desk.settings.AutoConvert1 = false;  // now a drop only gathers
    EXPECT_TRUE(drop(folder + "/set/sub"));
    EXPECT_EQ(desk.observe(), "mode=2 rows=a.bmp+,set/b.bmp+,set/sub/c.bmp+,\x82\xA0.bmp+,sub/c.xyz sel=");
    for (const auto& [uris, paths] : std::vector<std::pair<std::string, Texts>>{
             {"FILE://localhost/a%2/\r\n  file:/b/c%3F?q#f \nfile:///", {"/a%2", "/b/c?", "/"}},
             {"# comment\r\nfile://host/x\r\nfile:///n%00ul\nfile:rel", {}}}) {
        QMimeData mime;
        mime.setData("text/uri-list", QByteArray::fromStdString(uris));
        EXPECT_EQ(localPathsFromMime(mime), paths) << uris;
        EXPECT_EQ(offersLocalPaths(mime), !paths.empty()) << uris;
    }
}

TEST(MainWindow, HeaderClickSortsAndTheSelectionTravels) {
    Desk desk;
    for (int i = 59; i >= 0; --i) {  // enough to scroll; relative paths in descending order
        desk.list.addEntry(desk.dir.file(QString::asprintf("f%03d.bmp", i).toStdString()), desk.dir.path());
    }
    QScrollBar* bar = desk.window.listView()->verticalScrollBar();
    QHeaderView* header = desk.window.listView()->horizontalHeader();
    const QPoint at(header->sectionViewportPosition(kColumnFullPath) + 5, header->height() / 2);
    QCoreApplication::processEvents();
    bar->setValue(7);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(desk.list.cellText(0, 0) + std::to_string(bar->value()), "f000.bmp7");  // nothing selected: it stays
    desk.select({50, 20});                                           // f050 and f020
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);  // again: descending
    EXPECT_EQ(desk.list.cellText(0, 0) + std::to_string(bar->value()), "f059.bmp9");  // the first selected on top
    EXPECT_EQ(desk.observe().substr(desk.observe().find(" sel=")), " sel=939");
    FileList list;
    { FileListModel model(list); }
    list.addEntry("/a.bmp", "/");  // would call into the destroyed model
}

// One dialog per row over the same settings: the second page shown or not,
// controls set (name=value), the folder browser's answer ("-": not browsed),
// OK or Cancel; then the settings and what the dialog shows.
TEST(SettingsDialog, OkAppliesThePagesShownCancelNothing) {
    const std::string sjis = "/srv/\x95\x5C\x8E\xA6", wide = "/" + std::string(600, 'w');
    const std::string usual = "A=000 T=0 U=0 D=1 S=0 R=1 P=3 X=6 F=2 E=1 ", chosen = "A=000 T=0 U=0 D=1 S=1 R=1 P=3 X=6 F=2 E=1 ";
    struct Row {
        bool secondPage;
        Texts edits;
        std::optional<std::string> browsed;
        bool ok;
        std::string after;
    } const rows[] = {
        {false, {"checkAutoDrop=1", "checkAutoOpenFile=1", "checkTopMost=1", "radioCopyUnknown=1", "checkDelSuccessItem=0",
                 "sliderPngLevel=9", "radioFilterNone=1", "radioExistingOverwrite=1"}, "-", true, "A=101 T=1 U=1 D=0 S=0 R=1 P=3 X=6 F=2 E=1 " + sjis},
        {true, {"sliderPngLevel=9", "sliderXyzLevel=0", "radioFilterAll=1", "radioExistingRename=1",
                "checkAutoCommandLine=1"}, "-", true, "A=010 T=0 U=0 D=1 S=0 R=1 P=9 X=0 F=5 E=2 " + sjis + " levels=90"},
        {true, {"sliderPngLevel=9", "radioExistingRename=1", "checkAutoDrop=1"}, "-", false, usual + sjis + " levels=96 cancelled"},
        {true, {"radioExistingOverwrite=1"}, "-", true, "A=000 T=0 U=0 D=1 S=0 R=1 P=3 X=6 F=2 E=0 " + sjis + " levels=36"},
        {true, {"radioFilterSub=1"}, "-", true, "A=000 T=0 U=0 D=1 S=0 R=1 P=3 X=6 F=1 E=1 " + sjis + " levels=36"},
        {false, {"editSaveDir=/typed", "checkReproduceDir=0"}, "-", true, "A=000 T=0 U=0 D=1 S=0 R=0 P=3 X=6 F=2 E=1 /typed"},
        {false, {"editSaveDir=" + wide, "radioSpecifiedFolder=1"}, "-", true, chosen + wide + " enabled"},
        {false, {"radioSpecifiedFolder=1"}, "/mnt/\x83\x5C/", true, chosen + "/mnt/\x83\x5C enabled asked:" + sjis},
        {false, {"radioSpecifiedFolder=1"}, "/", true, chosen + "/ enabled asked:" + sjis},
        {false, {"radioSpecifiedFolder=1"}, std::nullopt, true, chosen + sjis + " enabled asked:" + sjis},
        // An empty chosen folder keeps the dialog open on its page, saying why.
        {true, {"radioSpecifiedFolder=1", "editSaveDir="}, "-", true, usual + sjis + " enabled cancelled missing"},
        {false, {"radioSpecifiedFolder=1", "editSaveDir=", "radioSameFolder=1"}, "-", true, usual + sjis},
    };
    for (const Row& row : rows) {
        Settings s;
        std::tie(s.PngCompLv, s.Filter, s.Existing, s.SaveDir) = std::tuple(3, 2, 1, sjis);
        std::string asked;
        SettingsDialog dialog(s, nullptr, "設定", [&](QWidget*, const QString& title, const std::string& start) {
            asked = title == "保存先ディレクトリの選択" ? " asked:" + start : " asked wrongly";
            return row.browsed;
        });
        if (row.secondPage) dialog.tabs()->setCurrentIndex(SettingsDialog::HowToSave);
        for (const std::string& edit : row.edits) {
            const std::string name = edit.substr(0, edit.find('=')), value = edit.substr(edit.find('=') + 1);
            QWidget* control = dialog.findChild<QWidget*>(QString::fromStdString(name));
            if (auto* button = qobject_cast<QAbstractButton*>(control)) {
                button->setChecked(value == "1");
            } else if (auto* slider = qobject_cast<QSlider*>(control)) {
                slider->setValue(std::stoi(value));
            } else {
                qobject_cast<QLineEdit*>(control)->setText(QString::fromStdString(value));
            }
        }
        if (row.browsed != "-") dialog.findChild<QAbstractButton*>("buttonBrowse")->click();
        row.ok ? dialog.accept() : dialog.reject();
        const auto on = [&](const char* name) { return dialog.findChild<QWidget*>(name)->isEnabled(); };
        std::string after;
        for (const auto& [name, value] : std::vector<std::pair<const char*, int>>{
                 {"A=", s.AutoConvert1}, {"", s.AutoConvert2}, {"", s.AutoConvert3}, {" T=", s.TopMost},
                 {" U=", s.UnKnownFlag}, {" D=", s.DelSuccessItem}, {" S=", s.SaveDirFlag}, {" R=", s.ReproduceDir},
                 {" P=", s.PngCompLv}, {" X=", s.XyzCompLv}, {" F=", s.Filter}, {" E=", s.Existing}}) {
            after += name + std::to_string(value);
        }
        after += " " + s.SaveDir;
        if (dialog.tabs()->currentIndex() == SettingsDialog::HowToSave) {
            after += " levels=" + (dialog.findChild<QLabel*>("pngLevelValue")->text() +
                                   dialog.findChild<QLabel*>("xyzLevelValue")->text()).toStdString();
        }
        after += on("editSaveDir") && on("buttonBrowse") && on("checkReproduceDir") ? " enabled" : "";
        after += dialog.applied() ? "" : " cancelled";
        after += dialog.findChild<QWidget*>("labelSaveDirMissing")->isHidden() ? "" : " missing";
        EXPECT_EQ(after + asked, row.after);
    }
}

// Alt plus a letter reaches one control of the visible page; desktop themes
// label the dialog's buttons "&OK" and "&Cancel".
TEST(SettingsDialog, MnemonicsOfAPageAreUnique) {
    Settings s;
    SettingsDialog dialog(s, nullptr, "設定");
    for (int page = 0; page < dialog.tabs()->count(); ++page) {
        std::map<QChar, QString> taken{{u'o', "&OK"}, {u'c', "&Cancel"}};
        for (const QAbstractButton* button : dialog.tabs()->widget(page)->findChildren<QAbstractButton*>()) {
            const QString text = QString(button->text()).remove("&&");
            const qsizetype at = text.indexOf(u'&');
            if (at < 0 || at + 1 >= text.size()) continue;
            const auto [was, added] = taken.emplace(text[at + 1].toLower(), text);
            EXPECT_TRUE(added) << text.toStdString() << " / " << was->second.toStdString();
        }
    }
    for (const char* name : {"radioExistingOverwrite", "radioExistingSkip", "radioExistingRename"}) {
        EXPECT_TRUE(dialog.findChild<QAbstractButton*>(name)->text().contains(u'&')) << name;
    }
}

// The command line is gathered against the working folder and converted
// (AutoConvert2); place, column widths and the "Save as" choice come back from
// the settings file, which is written only when the program ends.
TEST(Application, RestartsWhereItStoppedThroughTheSettingsFile) {
    test::TempDir dir;
    FakeServices services;
    const auto start = [&](const std::string& ini, Texts arguments = {}) {
        test::writeFile(dir.file("kelvara.ini"), ini);
        auto app = std::make_unique<Application>(StartupConfig{dir.file("kelvara.ini"), dir.path(), dir.path(), "", "",
                                                               dir.file("work"), std::move(arguments)},
                                                 &services);
        app->start();
        return app;
    };
    const auto window = [](const Application& app) {
        std::string seen = std::to_string(app.window()->pos().x()) + "," + std::to_string(app.window()->pos().y());
        for (int c = 0; c < kColumnCount; ++c) seen += " " + std::to_string(app.window()->listView()->columnWidth(c));
        for (const int id : {ids::kSaveAsBmp, ids::kSaveAsPng, ids::kSaveAsXyz}) {
            seen += app.window()->button(id)->isChecked() ? " " + app.window()->button(id)->text().toStdString() : "";
        }
        return seen + (app.window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? " top" : "");
    };
    writeSample(dir.file("work/a.bmp"));
    auto app = start("[MainWnd]\nLeft=40\nTop=30\nColumn1=111\nColumn2=122\nColumn3=133\nColumn4=144\nTopMost=1\n"
                     "[Convert]\nSaveMode=1\nAutoConvert2=1\nDelSuccessItem=0\n",
                     {"a.bmp"});
    EXPECT_EQ(window(*app), "40,30 111 122 133 144 PNG top");
    ASSERT_TRUE(processEventsUntil([&] { return !app->window()->job().busy(); }));
    EXPECT_EQ(app->list().cellText(0, kColumnFullPath), dir.file("work/a.bmp"));
    EXPECT_EQ(test::listDir(dir.file("work")), (Texts{"a.bmp", "a.png"}));
    app->window()->move(60, 70);
    app->window()->listView()->setColumnWidth(0, 222);
    app->window()->listView()->setColumnWidth(3, 155);
    app->window()->button(ids::kSaveAsXyz)->click();
    const test::Bytes before = test::readFile(dir.file("kelvara.ini"));
    ASSERT_TRUE(app->window()->close());
    EXPECT_EQ(test::readFile(dir.file("kelvara.ini")), before);
    app.reset();
    const test::Bytes saved = test::readFile(dir.file("kelvara.ini"));
    EXPECT_EQ(window(*start(std::string(saved.begin(), saved.end()))), "60,70 222 122 133 155 XYZ top");
    EXPECT_EQ(window(*start("[MainWnd]\nLeft=-20\nTop=99999\n")), "0,0 100 50 200 300 BMP");  // off the desktop
}

}  // namespace
}  // namespace kelvara

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // windows close without a loop to end
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
