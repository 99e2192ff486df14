#pragma once

#include <memory>
#include <string>
#include <vector>

#include "desktop/status_texts.h"
#include "filelist/file_list.h"
#include "settings/settings.h"
#include "settings/settings_store.h"

namespace kelvara {

class MainWindow;
class ShellServices;

// Where a start of the program takes its files and arguments from.
struct StartupConfig {
    std::string settingsPath;      // the INI file
    std::string programDir;        // the executable's folder (the manual)
    std::string defaultFolder;     // what the folder settings start as
    std::string updateCheckRoot;   // the folder that may hold "Upcheck"; empty skips it
    std::string executablePath;    // recorded for the update checker
    std::string currentDirectory;  // relative arguments are taken from here
    std::vector<std::string> arguments;  // without the program's name

    // The running process: its executable, environment and working folder.
    static StartupConfig fromProcess(std::vector<std::string> arguments);
};

// One run of the desktop program: the settings, the file list and the main
// window, in the order start-up needs them. Destroying it saves the settings
// (once), after the window has been closed and has copied its position and
// column widths into them.
class Application {
public:
    // services defaults to the real dialogs; it must outlive the application.
    explicit Application(StartupConfig config, ShellServices* services = nullptr);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Registration with the update checker, the desktop's size, the
    // settings, the window at its stored place, then the command line.
    // Needs a QApplication.
    void start();

    MainWindow* window() const { return window_.get(); }
    Settings& settings() { return settings_; }
    FileList& list() { return list_; }

private:
    StartupConfig config_;
    std::unique_ptr<ShellServices> ownServices_;
    ShellServices* services_;
    // Declared in this order so that the window goes first and the store,
    // which saves the settings when destroyed, goes before the settings.
    Settings settings_;
    SettingsStore store_;
    FileList list_{&statusTexts()};
    std::unique_ptr<MainWindow> window_;
};

}  // namespace kelvara
