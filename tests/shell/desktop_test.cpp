// The desktop program on Qt's offscreen platform: the main window's commands,
// drops, a run, the settings dialog, and a restart through the settings file.
#include <gtest/gtest.h>
#include <libdeflate.h>
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
#include <sstream>

#include "desktop/status_texts.h"
#include "desktop/drop_paths.h"
#include "desktop/progress_window.h"
#include "desktop/settings_dialog.h"
#include "desktop/application.h"
#include "desktop/command_ids.h"
#include "desktop/file_list_view.h"
#include "desktop/main_window.h"
#include "desktop/shell_services.h"
#include "support/support.h"
#include "unit/table.h"

namespace kelvara {
namespace {

using Texts = std::vector<std::string>;

// Answers given in advance (the settings dialog confirmed, having set TopMost)
// and a record of what was asked.
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
        const bool versions = text.contains("zlib\tversion " ZLIB_VERSION "\nlibpng\tversion " PNG_LIBPNG_VER_STRING
                                            "\nlibdeflate\tversion " LIBDEFLATE_VERSION_STRING);
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
    for (QDeadlineTimer deadline(20000); !done() && !deadline.hasExpired(); QThread::msleep(1))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// A shown main window over a fresh folder, the given samples listed (their
// folder as base), saving as XYZ beside them; its model is checked throughout.
struct Desk {
    explicit Desk(const Texts& names = {}) {
        window.showAtStoredPlace();
        for (const std::string& name : names) writeSample(dir.file(name)), list.addEntry(dir.file(name), dir.path());
    }
    bool idle() { return processEventsUntil([this] { return !window.job().busy(); }); }
    // The list (a '+' after each converted row, '*' after each selected in the
    // view), the services asked and the window's state; the folder shows as T.
    std::string observe() const {
        std::string seen = "mode=" + std::to_string(settings.SaveMode) + " rows=";
        for (int i = 0; i < list.rowCount(); ++i) {
            seen += (i ? "," : "") + list.cellText(i, 0);
            seen += list.cellText(i, 1) == statusTexts()[static_cast<std::size_t>(ConvertStatus::Success)] ? "+" : "";
            seen += window.listView()->selectionModel()->isRowSelected(i) ? "*" : "";
        }
        seen += services.calls + (window.isVisible() ? "" : " closed");
        seen += window.windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? " top" : "";
        seen += settings.LastDir == dir.path() ? "" : " last=" + settings.LastDir;
        for (std::size_t at; (at = seen.find(dir.path())) != std::string::npos;) {
            seen.replace(at, dir.path().size(), "T");
        }
        return seen;
    }

    test::TempDir dir;
    Settings settings = [this] {
        Settings s;
        std::tie(s.SaveDir, s.LastDir, s.DelSuccessItem, s.SaveMode) = std::tuple(dir.path(), dir.path(), false, 2);
        return s;
    }();
    FileList list{&statusTexts()};
    FakeServices services;
    MainWindow window{list, settings, services, "/opt/kelvara-here"};
    QAbstractItemModelTester tester{&window.model(), QAbstractItemModelTester::FailureReportingMode::Fatal};
};

// The rows and what they mean: tests/data/desktop/commands.tsv.
TEST(MainWindow, EachCommandDoesItsJob) {
    for (const auto& row : tableRows("desktop/commands.tsv")) {
        Desk desk({"a.bmp", "b.bmp", "c.bmp"});
        for (const char* name : {"more/d.bmp", "set/b.bmp", "set/sub/c.bmp", "\x82\xA0.bmp"}) {
            writeSample(desk.dir.file(name));
        }
        desk.services.filesToChoose = Texts{desk.dir.file("more/d.bmp")};
        desk.settings.AutoConvert1 = desk.settings.AutoConvert3 = true;
        desk.window.listView()->selectionModel()->select(desk.window.model().index(0, 0),
                                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        std::string how = row[1];
        QHeaderView* header = desk.window.listView()->horizontalHeader();
        if (how == "button") {
            desk.window.button(std::stoi(row[0]))->click();
        } else if (how == "menu") {
            desk.window.action(std::stoi(row[0]))->trigger();
        } else if (how.starts_with("header")) {
            for (std::size_t at = 7; at < how.size(); at += 2) {
                const QPoint column(header->sectionViewportPosition(how[at] - '0') + 5, header->height() / 2);
                QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, column);
            }
        } else if (how.starts_with("drop ")) {
            for (std::size_t at; (at = how.find('@')) != std::string::npos;) how.replace(at, 1, desk.dir.path());
            QMimeData mime;
            mime.setData("text/uri-list", QByteArray::fromStdString(how.substr(5)));
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
            QDropEvent drop(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
            QCoreApplication::sendEvent(&desk.window, &enter);
            QCoreApplication::sendEvent(&desk.window, &drop);
            desk.services.calls += enter.isAccepted() ? "" : " refused";
        } else {
            desk.window.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&desk.window));
            const QKeyCombination key = QKeySequence(QString::fromStdString(how))[0];
            QTest::keyClick(desk.window.listView(), key.key(), key.keyboardModifiers());
        }
        ASSERT_TRUE(desk.idle());
        EXPECT_EQ(desk.observe(), row[2]) << row[0] << " " << row[1];
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
        const ProgressWindow& progress = *owner.progressWindow();
        seen.push_back(progress.counterText() + "|" + QString::number(progress.position()) +
                       (desk.window.isEnabled() ? " enabled" : ""));
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
                                          "2/4|2", "3/4|3", "4/4|4"}));  // the window disabled throughout
    EXPECT_TRUE(owner.progressWindow() == nullptr && desk.window.isEnabled() && changed.count() == 4);
    ASSERT_EQ(desk.window.model().rowCount(), 4);
    const ConvertStatus statuses[] = {ConvertStatus::TargetConflict, ConvertStatus::Success, ConvertStatus::Success,
                                      ConvertStatus::UnsupportedFormat};
    for (int row = 0; row < 4; ++row)  // as the view shows them
        EXPECT_EQ(desk.window.model().index(row, 1).data().toString().toStdString(), statusTexts()[static_cast<std::size_t>(statuses[row])]);
    desk.window.move(33, 44);
    EXPECT_TRUE(desk.window.close());
    EXPECT_EQ(QPoint(desk.settings.Left, desk.settings.Top), QPoint(33, 44));
}

// Cancel: no entry starts any more, those running finish whole, the others
// keep their status, no temporary is left and the window comes back.
TEST(MainWindow, CancelStartsNothingMoreAndLeavesNoPartialFile) {
    Desk desk;
    IndexedImage image;
    for (int i = 0; i < 40; ++i) {
        test::makeImage(image, 500, 400, i);
        ASSERT_TRUE(test::formats()[0].write(desk.dir.file(std::to_string(i) + ".bmp"), image));
        desk.list.addEntry(desk.dir.file(std::to_string(i) + ".bmp"), desk.dir.path());
    }
    std::tie(desk.settings.SaveMode, desk.settings.PngCompLv, desk.settings.Jobs) = std::tuple(1, 9, 2);
    QtJobOwner& owner = desk.window.jobOwner();
    QObject::connect(&owner, &QtJobOwner::progressAdvanced, [&](const QString& text) {
        if (text == "2/40") owner.progressWindow()->findChild<QAbstractButton*>("cancelButton")->click();
    });
    desk.window.button(ids::kCmdConvertAll)->click();
    ASSERT_TRUE(desk.idle());
    int converted = 0;
    for (int row = 0; row < 40; ++row) {
        const std::string png = desk.dir.file(std::to_string(row) + ".png");
        const bool done = desk.list.row(row).result == ConvertStatus::Success;
        converted += done;
        EXPECT_EQ(done, test::formats()[1].read(png, image)) << row;  // whole, or not there
        EXPECT_TRUE(done || (desk.list.cellText(row, 1) == statusTexts()[kWaitingSlot] && !std::filesystem::exists(png)));
    }
    EXPECT_TRUE(converted >= 2 && converted < 40) << converted;
    for (const std::string& name : test::listDir(desk.dir.path())) EXPECT_EQ(name.find(".kelvara-"), std::string::npos);
    EXPECT_TRUE(desk.window.isEnabled() && owner.progressWindow() == nullptr);
}

// The rows and what they mean: tests/data/desktop/settings_dialog.tsv; and a
// long folder, kept whole.
TEST(SettingsDialog, OkAppliesThePagesShownCancelNothingAndMnemonicsAreUnique) {
    const std::string sjis = "/srv/\x95\x5C\x8E\xA6", wide = "/" + std::string(600, 'w');
    auto rows = tableRows("desktop/settings_dialog.tsv");
    rows.push_back({"0", "editSaveDir=" + wide, "no", "ok", "000001013621 " + wide});
    for (const auto& row : rows) {
        Settings s;
        std::tie(s.PngCompLv, s.Filter, s.Existing, s.SaveDir) = std::tuple(3, 2, 1, sjis);
        std::string asked;
        SettingsDialog dialog(s, nullptr, "設定", [&](QWidget*, const QString& title, const std::string& start) {
            asked = title == "保存先ディレクトリの選択" ? " asked:" + start : " asked wrongly";
            return row[2] == "cancel" ? std::nullopt : std::optional(row[2]);
        });
        if (row[0] == "1") dialog.tabs()->setCurrentIndex(SettingsDialog::HowToSave);
        std::istringstream edits(row[1]);
        for (std::string edit; edits >> edit;) {
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
        if (row[2] != "no") dialog.findChild<QAbstractButton*>("buttonBrowse")->click();
        row[3] == "ok" ? dialog.accept() : dialog.reject();
        std::string after;
        for (const int digit : {s.AutoConvert1, s.AutoConvert2, s.AutoConvert3, s.TopMost, bool(s.UnKnownFlag),
                                s.DelSuccessItem, bool(s.SaveDirFlag), s.ReproduceDir})
            after += std::to_string(digit);
        after += std::to_string(s.PngCompLv) + std::to_string(s.XyzCompLv) + std::to_string(s.Filter) +
                 std::to_string(s.Existing) + " " + s.SaveDir;
        if (dialog.tabs()->currentIndex() == SettingsDialog::HowToSave) {
            after += " levels=" + (dialog.findChild<QLabel*>("pngLevelValue")->text() +
                                   dialog.findChild<QLabel*>("xyzLevelValue")->text()).toStdString();
        }
        const auto on = [&](const char* name) { return dialog.findChild<QWidget*>(name)->isEnabled(); };
        after += on("editSaveDir") && on("buttonBrowse") && on("checkReproduceDir") ? " enabled" : "";
        after += dialog.applied() ? "" : " cancelled";
        after += dialog.findChild<QWidget*>("labelSaveDirMissing")->isHidden() ? "" : " missing";
        EXPECT_EQ(after + asked, row[4]) << row[1];
        // Alt plus a letter reaches one control of a page; desktop themes label the
        // dialog's buttons "&OK" and "&Cancel".
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
}

// The command line is gathered against the working folder and converted
// (AutoConvert2, the window staying on top); place, column widths and the "Save
// as" choice come back from the settings file, written only when the program ends.
TEST(Application, RestartsWhereItStoppedThroughTheSettingsFile) {
    test::TempDir dir;
    FakeServices services;
    std::unique_ptr<Application> app;
    const auto start = [&](const std::string& ini, Texts arguments = {}) {  // then what the window shows
        app.reset();
        test::writeFile(dir.file("kelvara.ini"), ini);
        const StartupConfig config{dir.file("kelvara.ini"), dir.path(), dir.path(), dir.file("config"),
                                   "/opt/k/kelvara", dir.file("work"), arguments};
        app = std::make_unique<Application>(config, &services);
        app->start();
        EXPECT_TRUE(processEventsUntil([&] { return !app->window()->job().busy(); }));
        const MainWindow& window = *app->window();
        std::string seen = std::to_string(window.pos().x()) + "," + std::to_string(window.pos().y());
        for (int c = 0; c < kColumnCount; ++c) seen += " " + std::to_string(window.listView()->columnWidth(c));
        for (const int id : {ids::kSaveAsBmp, ids::kSaveAsPng, ids::kSaveAsXyz})
            seen += window.button(id)->isChecked() ? " " + window.button(id)->text().toStdString() : "";
        return seen + (window.windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? " top" : "");
    };
    writeSample(dir.file("work/a.bmp"));
    EXPECT_EQ(start("[MainWnd]\nLeft=40\nTop=30\nColumn1=111\nColumn2=122\nColumn3=133\nColumn4=144\nTopMost=1\n"
                    "[Convert]\nSaveMode=1\nAutoConvert2=1\nDelSuccessItem=0\n",
                    {"a.bmp"}),
              "40,30 111 122 133 144 PNG top");
    EXPECT_EQ(app->list().cellText(0, kColumnFullPath), dir.file("work/a.bmp"));
    EXPECT_EQ(test::listDir(dir.file("work")), (Texts{"a.bmp", "a.png"}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("config")));  // nothing recorded for the update checker
    app->window()->move(60, 70);
    app->window()->listView()->setColumnWidth(0, 222);
    app->window()->listView()->setColumnWidth(3, 155);
    app->window()->button(ids::kSaveAsXyz)->click();
    const test::Bytes before = test::readFile(dir.file("kelvara.ini"));
    ASSERT_TRUE(app->window()->close());
    EXPECT_EQ(test::readFile(dir.file("kelvara.ini")), before);
    app.reset();
    const test::Bytes saved = test::readFile(dir.file("kelvara.ini"));
    std::filesystem::create_directories(dir.file("config/Upcheck"));  // now the update checker's store is there
    EXPECT_EQ(start(std::string(saved.begin(), saved.end())), "60,70 222 122 133 155 XYZ top");
    EXPECT_EQ(test::snapshot(dir.file("config")), test::snapshot(KELVARA_DATA_DIR "/desktop/upcheck"));
    EXPECT_EQ(start("[MainWnd]\nLeft=-20\nTop=99999\n"), "0,0 100 50 200 300 BMP");  // off the desktop
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
