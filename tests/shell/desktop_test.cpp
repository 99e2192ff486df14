// The desktop program on Qt's offscreen platform: the main window's commands,
// drops, a run, the settings dialog, and a restart through the settings file.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QTextDocumentFragment>
#include <QLineEdit>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QThread>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <numeric>
#include <set>
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
    std::optional<std::string> chooseFolder(QWidget*, const std::string& start) override {
        calls += " chooseFolder:" + start;
        return folderToChoose;
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
    void showMessage(QWidget*, const QString& caption, const QString& text) override {
        calls += " showMessage:" + QString(caption + "|" + text).replace('\n', '|').toStdString();
    }
    bool openUrl(const QUrl& url) override { return calls += " openUrl:" + url.toEncoded().toStdString(), true; }
    bool showInFolder(const std::string& path) override { return calls += " showInFolder:" + path, true; }
    std::string calls;
    std::optional<Texts> filesToChoose;
    std::optional<std::string> folderToChoose;
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
        QApplication::clipboard()->clear();
        for (const std::string& name : names) writeSample(dir.file(name)), list.addEntry(dir.file(name), dir.path());
    }
    bool idle() { return processEventsUntil([this] { return !window.job().busy(); }); }
    // The list (a '+' after each converted row, '*' after each selected in the
    // view, '<' after the current one), the sort arrow, the services asked, the
    // window's state, the clipboard and the status bar; the folder shows as T.
    std::string observe() const {
        std::string seen = "mode=" + std::to_string(settings.SaveMode) + " rows=";
        for (int i = 0; i < list.rowCount(); ++i) {
            seen += (i ? "," : "") + list.cellText(i, 0);
            seen += list.cellText(i, 1) == statusTexts()[static_cast<std::size_t>(ConvertStatus::Success)] ? "+" : "";
            seen += window.listView()->selectionModel()->isRowSelected(i) ? "*" : "";
            seen += window.listView()->currentIndex().row() == i ? "<" : "";
        }
        const QHeaderView* header = window.listView()->horizontalHeader();
        if (header->sortIndicatorSection() >= 0)
            seen += " sort=" + std::to_string(header->sortIndicatorSection()) + "ad"[header->sortIndicatorOrder()];
        seen += window.listView()->isColumnHidden(kColumnReason) ? "" : " reasons";
        seen += services.calls + (window.isVisible() ? "" : " closed");
        seen += QApplication::clipboard()->text().isEmpty() ? "" : " clip=" + QApplication::clipboard()->text().toStdString();
        seen += " | " + QTextDocumentFragment::fromHtml(window.messageLabel()->text()).toPlainText().toStdString() +
                " | " + window.countLabel()->text().toStdString();
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
        // Links to a file and to a folder are listed; a link to nothing and a FIFO are not.
        std::filesystem::create_symlink("../a.bmp", desk.dir.file("set/link.bmp"));
        std::filesystem::create_symlink("sub", desk.dir.file("set/linked"));
        std::filesystem::create_symlink("gone.bmp", desk.dir.file("set/dangling.bmp"));
        ASSERT_EQ(::mkfifo(desk.dir.file("set/fifo.bmp").c_str(), 0600), 0);
        desk.services.filesToChoose = Texts{desk.dir.file("more/d.bmp")};
        desk.services.folderToChoose = desk.dir.file("set/sub/");
        desk.settings.AutoConvert1 = desk.settings.AutoConvert3 = true;
        std::string how = row[1];
        const int selected = how.starts_with("row") ? how[3] - '0' : 0;  // "rowN ..." selects row N instead of 0
        how = how.substr(how.starts_with("row") ? 5 : 0);
        desk.window.listView()->selectionModel()->select(desk.window.model().index(selected, 0),
                                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QHeaderView* header = desk.window.listView()->horizontalHeader();
        desk.window.activateWindow();  // the list then takes the focus back after a run, as it does for a user
        ASSERT_TRUE(QTest::qWaitForWindowActive(&desk.window));
        if (how == "button") {
            desk.window.button(std::stoi(row[0]))->click();
        } else if (how == "menu") {
            desk.window.action(std::stoi(row[0]))->trigger();
        } else if (how == "double-click") {
            const QRect cell = desk.window.listView()->visualRect(desk.window.model().index(1, 0));
            QTest::mouseClick(desk.window.listView()->viewport(), Qt::LeftButton, {}, cell.center());
            QTest::mouseDClick(desk.window.listView()->viewport(), Qt::LeftButton, {}, cell.center());
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
        } else {  // a key typed into the list, or ("Return on button") into a focused button
            QWidget* into = desk.window.listView();
            if (how.ends_with(" on button")) {
                into = desk.window.button(std::stoi(row[0]));
                into->setFocus();
                how.resize(how.find(' '));
            }
            const QKeyCombination key = QKeySequence(QString::fromStdString(how))[0];
            QTest::keyClick(into, key.key(), key.keyboardModifiers());
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
    std::set<std::string> files;  // the progress window's file names
    QtJobOwner& owner = desk.window.jobOwner();
    const auto record = [&] {
        const ProgressWindow& progress = *owner.progressWindow();
        seen.push_back(progress.counterText() + "|" + QString::number(progress.position()) +
                       (desk.window.isEnabled() ? " enabled" : ""));
        files.insert(progress.fileText().toStdString());
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
    files.erase("");  // before the first file started
    EXPECT_TRUE(!files.empty() && std::ranges::all_of(files, [&](const std::string& f) {
        return desk.list.addEntry(f, desk.dir.path()) == false;  // each one a listed file
    }));
    // Why the failed rows failed, in their tool tips; the summary, whose link selects exactly them.
    EXPECT_TRUE(desk.window.model().index(0, 3).data(Qt::ToolTipRole).toString().endsWith(
        "\nthe output would replace another file of this run"));
    EXPECT_TRUE(desk.window.model().index(3, 1).data(Qt::ToolTipRole).toString().endsWith("\nthe file vanished"));
    EXPECT_EQ(desk.window.focusWidget(), desk.window.listView());
    emit desk.window.messageLabel()->linkActivated("failed");
    EXPECT_EQ(desk.observe(), "mode=1 rows=a.bmp*<,b.bmp+,a.png+,missing.bmp* | Converted 2, copied 0, skipped 0, failed 2 "
                              "Select failed | 4 files");
    desk.window.move(33, 44);
    EXPECT_TRUE(desk.window.close());
    EXPECT_EQ(QPoint(desk.settings.Left, desk.settings.Top), QPoint(33, 44));
}

// The time left, once a second of work tells the pace; none once all is done.
TEST(ProgressWindow, EstimatesTheTimeLeft) {
    ProgressWindow progress(nullptr, 3);
    progress.advance("1/3");
    EXPECT_EQ(progress.timeLeftText(), "");
    QThread::msleep(1100);
    progress.advance("2/3");  // 1.1 s for two: half a second for the third
    EXPECT_EQ(progress.timeLeftText(), "About 0:01 left");
    progress.advance("3/3");
    EXPECT_EQ(progress.timeLeftText() + formatDuration(3725) + " " + formatDuration(59), "1:02:05 0:59");
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
    EXPECT_TRUE(desk.observe().ends_with(" | Converted " + std::to_string(converted) + ", copied 0, skipped 0, failed 0; "
                                         "cancelled, " + std::to_string(40 - converted) + " not started | 40 files"));
    for (const std::string& name : test::listDir(desk.dir.path())) EXPECT_EQ(name.find(".kelvara-"), std::string::npos);
    EXPECT_TRUE(desk.window.isEnabled() && owner.progressWindow() == nullptr);
}

// Alt plus a letter reaches one control of a settings page: every button and
// every slider (through its label) has a letter of its own; desktop themes
// label the dialog's buttons "&OK" and "&Cancel". Empty when so.
std::string mnemonicClashes(const QWidget& page) {
    std::string clashes;
    std::map<QChar, QString> taken{{u'o', "&OK"}, {u'c', "&Cancel"}};
    const auto take = [&](QString text, bool needed) {
        text.remove("&&");
        const qsizetype at = text.indexOf(u'&');
        if (at < 0 || at + 1 >= text.size()) {
            clashes += needed ? " none: " + text.toStdString() : "";
        } else if (const auto [was, added] = taken.emplace(text[at + 1].toLower(), text); !added) {
            clashes += " " + text.toStdString() + " / " + was->second.toStdString();
        }
    };
    for (const QAbstractButton* button : page.findChildren<QAbstractButton*>()) take(button->text(), button->text() != "...");
    for (const QLabel* label : page.findChildren<QLabel*>()) take(label->text(), qobject_cast<QSlider*>(label->buddy()));
    return clashes;
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
            asked = title == "Choose the output folder" ? " asked:" + start : " asked wrongly";
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
        after += s.ExpandLowDepth ? " expand" : "";
        EXPECT_EQ(after + asked, row[4]) << row[1];
        for (int page = 0; page < dialog.tabs()->count(); ++page)
            EXPECT_EQ(mnemonicClashes(*dialog.tabs()->widget(page)), "") << page;
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
        std::string seen = std::to_string(window.pos().x()) + "," + std::to_string(window.pos().y()) + " " +
                           std::to_string(window.width()) + "x" + std::to_string(window.height());
        for (int c = 0; c < kColumnCount; ++c) seen += " " + std::to_string(window.listView()->columnWidth(c));
        for (const int id : {ids::kSaveAsBmp, ids::kSaveAsPng, ids::kSaveAsXyz})
            seen += window.button(id)->isChecked() ? " " + window.button(id)->text().toStdString() : "";
        return seen + (window.windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? " top" : "");
    };
    writeSample(dir.file("work/a.bmp"));
    EXPECT_EQ(start("[MainWnd]\nLeft=40\nTop=30\nWidth=700\nHeight=500\nColumn1=111\nColumn2=122\nColumn3=133\n"
                    "Column4=144\nColumn5=177\nReasonColumn=1\nTopMost=1\n"
                    "[Convert]\nSaveMode=1\nAutoConvert2=1\nDelSuccessItem=0\n",
                    {"a.bmp"}),
              "40,30 700x500 111 122 133 144 177 PNG top");
    EXPECT_EQ(app->list().cellText(0, kColumnFullPath), dir.file("work/a.bmp"));
    EXPECT_EQ(test::listDir(dir.file("work")), (Texts{"a.bmp", "a.png"}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("config")));  // nothing recorded for the update checker
    app->window()->move(60, 70);
    app->window()->resize(800, 600);
    app->window()->listView()->setColumnWidth(0, 222);
    app->window()->listView()->setColumnWidth(3, 155);
    app->window()->button(ids::kSaveAsXyz)->click();
    const test::Bytes before = test::readFile(dir.file("kelvara.ini"));
    ASSERT_TRUE(app->window()->close());
    EXPECT_EQ(test::readFile(dir.file("kelvara.ini")), before);
    app.reset();
    const test::Bytes saved = test::readFile(dir.file("kelvara.ini"));
    std::filesystem::create_directories(dir.file("config/Upcheck"));  // now the update checker's store is there
    EXPECT_EQ(start(std::string(saved.begin(), saved.end())), "60,70 800x600 222 122 133 155 177 XYZ top");
    EXPECT_EQ(test::snapshot(dir.file("config")), test::snapshot(KELVARA_DATA_DIR "/desktop/upcheck"));
    // Off the desktop and larger than it: the corner and the layout's size. The
    // columns fit their headers, the status column every status text; widths the
    // user did not set are stored as "fit" (0).
    const std::string first = start("[MainWnd]\nLeft=-20\nTop=99999\nWidth=99999\nHeight=400\n");
    EXPECT_TRUE(first.starts_with("0,0 ") && first.ends_with(" 0 BMP")) << first;
    const FileListView& view = *app->window()->listView();
    for (int c = 0; c < kColumnReason; ++c) EXPECT_GE(view.columnWidth(c), view.horizontalHeader()->sectionSizeHint(c)) << c;
    for (const std::string& text : statusTexts())
        EXPECT_GT(view.columnWidth(kColumnStatus), view.fontMetrics().horizontalAdvance(QString::fromStdString(text)) + 4);
    EXPECT_LT(app->window()->width(), 1500);
    app.reset();
    const test::Bytes fit = test::readFile(dir.file("kelvara.ini"));
    EXPECT_NE(std::string(fit.begin(), fit.end()).find("Column1=0\nColumn2=0\nColumn3=0\nColumn4=0\n"), std::string::npos);
}

// Every visible text of the main window (menus, context menu, status bar,
// headers) and of both settings pages: by object name, in the language in use.
std::map<std::string, QString> visibleTexts(Language language) {
    useLanguage(language);
    Desk desk({"a.bmp"});
    SettingsDialog dialog(desk.settings, nullptr, "");
    std::map<std::string, QString> texts{{"title", desk.window.windowTitle()}, {"count", desk.window.countLabel()->text()}};
    for (int c = 0; c < kColumnCount; ++c) texts["header" + std::to_string(c)] = desk.window.model().headerData(c, Qt::Horizontal).toString();
    for (int page = 0; page < dialog.tabs()->count(); ++page) texts["tab" + std::to_string(page)] = dialog.tabs()->tabText(page);
    for (const QObject* root : {static_cast<QObject*>(&desk.window), static_cast<QObject*>(dialog.tabs())}) {
        for (const QObject* each : root->findChildren<QObject*>()) {
            const char* property = qobject_cast<const QGroupBox*>(each) || qobject_cast<const QMenu*>(each) ? "title" : "text";
            const QString text = each->property(property).toString();
            if (!text.isEmpty() && !qobject_cast<const QLineEdit*>(each) && !each->objectName().isEmpty())
                texts[each->objectName().toStdString()] = text;
        }
    }
    const QString statuses = QString::fromStdString(std::accumulate(statusTexts().begin(), statusTexts().end(), std::string()));
    texts["statuses"] = statuses;
    texts["mnemonics"] = QString::fromStdString(mnemonicClashes(*dialog.tabs()->widget(0)) + mnemonicClashes(*dialog.tabs()->widget(1)));
    return texts;
}

// Japanese for a Japanese locale, English for any other; each text of the one
// has its counterpart in the other, and the status texts read as they always have.
TEST(Languages, EveryVisibleTextHasItsTranslation) {
    EXPECT_EQ(languageFor(QLocale("ja_JP")), Language::Japanese);
    EXPECT_EQ(languageFor(QLocale("de_DE")), Language::English);
    const auto english = visibleTexts(Language::English), japanese = visibleTexts(Language::Japanese);
    useLanguage(Language::English);
    ASSERT_EQ(english.size(), japanese.size());
    for (const auto& [name, text] : english) {
        const bool name_only = QRegularExpression("^(BMP|PNG|XYZ|[0-9.]*)$").match(text).hasMatch();
        EXPECT_TRUE(name_only ? japanese.at(name) == text : japanese.at(name) != text) << name << ": " << text.toStdString();
    }
    EXPECT_EQ(japanese.at("statuses"), "正常終了スキップファイルのコピーに失敗非対応の形式8ビットカラーではない書き出しエラー"
                                       "出力先が他のファイルと衝突待機中");
    EXPECT_EQ(english.at("statuses"), "DoneSkippedCopy failedUnsupported formatNot 8-bit colourWrite error"
                                      "Output conflicts with another fileWaiting");
    EXPECT_EQ(english.at("mnemonics") + japanese.at("mnemonics"), "");
    for (std::size_t i = 0; i < kFailureCount; ++i) EXPECT_EQ(reasonTexts()[i], failureText(Failure(i))) << i;
}

}  // namespace
}  // namespace kelvara

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    kelvara::useLanguage(kelvara::Language::English);
    QApplication::setQuitOnLastWindowClosed(false);  // windows close without a loop to end
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
