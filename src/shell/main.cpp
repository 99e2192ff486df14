#include <string>
#include <vector>

#include <QApplication>

#include "shell/application.h"

int main(int argc, char** argv) {
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
