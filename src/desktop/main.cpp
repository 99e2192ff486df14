#include <string>
#include <vector>

#include <QApplication>

#include "io/standard_streams.h"
#include "desktop/application.h"

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard stream would otherwise be
    // the descriptor of the first file written, and messages would go into it.
    kelvara::openClosedStandardStreams();
    // Takes out the arguments Qt understands (-platform, -style, ...); the
    // rest are the paths to gather, as the bytes the shell passed.
    QApplication qtApp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelvara"));
    QApplication::setDesktopFileName(QStringLiteral("kelvara"));

    std::vector<std::string> arguments(argv + 1, argv + argc);
    kelvara::Application app(kelvara::StartupConfig::fromProcess(std::move(arguments)));
    app.start();
    QApplication::exec();
    return 0;
}
