// Renders the main window (after a run, with its statuses), the progress
// window and both settings pages into PNG files, for a look at the layout:
//   shell_screenshots OUTPUT_FOLDER
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include <QApplication>
#include <QTabWidget>

#include "platform/progress_window.h"
#include "settings/settings_dialog.h"
#include "shell/command_ids.h"
#include "shell/file_list_view.h"
#include "shell/main_window.h"
#include "shell_test_support.h"
#include "support/test_support.h"

using namespace kelvara;

namespace {

bool save(QWidget& widget, const QString& folder, const char* name) {
    const QString path = folder + '/' + QString::fromLatin1(name);
    const bool ok = widget.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);

    test::TempDir dir;
    Settings settings;
    settings.SaveDir = dir.path();
    settings.LastDir = dir.path();
    settings.DelSuccessItem = false;
    settings.SaveMode = 1;
    FileList list;
    test::FakeServices services;
    MainWindow window(list, settings, services, dir.path());
    window.showAtStoredPlace();

    const char* names[] = {"sunset.bmp", "logo.bmp", "tiles/grass.bmp", "tiles/water.bmp"};
    ::mkdir(dir.file("pictures").c_str(), 0777);
    ::mkdir(dir.file("pictures/tiles").c_str(), 0777);
    for (int i = 0; i < 4; ++i) {
        test::writeSampleBmp(dir.file(std::string("pictures/") + names[i]), i);
    }
    test::writeFile(dir.file("pictures/readme.txt"), std::string("notes"));
    window.dropPaths({dir.file("pictures"), dir.file("missing.bmp")});
    list.addEntry(dir.file("broken.bmp"), dir.path());
    test::writeFile(dir.file("broken.bmp"), std::string("BM not really"));

    bool ok = true;
    window.dispatchCommand(ids::kCmdConvertAll);
    test::processEventsUntil([&] { return !window.job().busy(); });
    window.listView()->selectRow(1);
    ok = save(window, out, "main_window.png") && ok;

    ProgressWindow progress(&window, 5);
    progress.show();
    progress.advance(QStringLiteral("2/5"));
    progress.advance(QStringLiteral("3/5"));
    ok = save(progress, out, "progress_window.png") && ok;
    progress.hide();

    SettingsDialog dialog(settings, &window, QStringLiteral("設定"));
    dialog.show();
    ok = save(dialog, out, "settings_general.png") && ok;
    dialog.tabs()->setCurrentIndex(SettingsDialog::HowToSave);
    ok = save(dialog, out, "settings_how_to_save.png") && ok;
    dialog.reject();
    window.close();
    return ok ? 0 : 1;
}
