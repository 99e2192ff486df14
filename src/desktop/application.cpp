#include "desktop/application.h"

#include <unistd.h>

#include <cerrno>

#include <QGuiApplication>
#include <QScreen>

#include "desktop/update_check.h"
#include "settings/program_directory.h"
#include "desktop/main_window.h"
#include "desktop/shell_services.h"

namespace kelvara {

namespace {

std::string processCurrentDirectory() {
    std::vector<char> buffer(4096);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            return buffer.data();
        }
        if (errno != ERANGE) {
            return {};  // relative arguments then stay relative, and are not found
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

StartupConfig StartupConfig::fromProcess(std::vector<std::string> arguments) {
    const SettingsEnvironment env = SettingsEnvironment::fromProcess();
    StartupConfig config;
    config.programDir = programDirectory();
    config.settingsPath = settingsFilePath(config.programDir, env);
    config.defaultFolder = defaultSettingsFolder(config.programDir, env);
    config.updateCheckRoot = kelvara::updateCheckRoot(env.xdgConfigHome, env.home);
    config.executablePath = kelvara::executablePath();
    config.currentDirectory = processCurrentDirectory();
    config.arguments = std::move(arguments);
    return config;
}

Application::Application(StartupConfig config, ShellServices* services)
    : config_(std::move(config)),
      ownServices_(services == nullptr ? std::make_unique<DesktopServices>() : nullptr),
      services_(services == nullptr ? ownServices_.get() : services),
      store_(config_.settingsPath) {}

Application::~Application() = default;

void Application::start() {
    if (!config_.updateCheckRoot.empty()) {
        registerWithUpdateChecker(config_.updateCheckRoot,
                                  {kDistinctName, kDisplayName, kBuildNumber,
                                   config_.executablePath});
    }

    // The whole desktop, so that a window left on a second screen stays there.
    QSize desktop(1, 1);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        desktop = screen->virtualSize();
    }
    bindAllSettings(store_, settings_, desktop.width(), desktop.height(), config_.defaultFolder);

    window_ = std::make_unique<MainWindow>(list_, settings_, *services_, config_.programDir);
    window_->showAtStoredPlace();
    list_.removeAll();
    window_->takeCommandLine(config_.arguments, config_.currentDirectory);
}

}  // namespace kelvara
