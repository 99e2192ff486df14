#include <csignal>
#include <string>
#include <vector>

#include <QApplication>
#include <QLocale>

#include "io/standard_streams.h"
#include "desktop/application.h"
#include "desktop/status_texts.h"

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard stream would otherwise be
    // the descriptor of the first file written, and messages would go into it.
    kelvara::openClosedStandardStreams();
    // Takes out the arguments Qt understands (-platform, -style, ...); the
    // rest are the paths to gather, as the bytes the shell passed.
    QApplication qtApp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelvara"));
    QApplication::setDesktopFileName(QStringLiteral("kelvara"));
    // An output beyond the file size limit is a write error of its entry,
    // not the end of the program.
    std::signal(SIGXFSZ, SIG_IGN);
    kelvara::useLanguage(kelvara::languageFor(QLocale::system()));

    std::vector<std::string> arguments(argv + 1, argv + argc);
    kelvara::Application app(kelvara::StartupConfig::fromProcess(std::move(arguments)));
    app.start();
    QApplication::exec();
    return 0;
}
