#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "settings/settings.h"
#include "shell/shell_services.h"

namespace kelvara::test {

// Dialog answers given in advance, and a record of what was asked.
class FakeServices final : public ShellServices {
  public:
    std::optional<std::vector<std::string>> chooseFiles(QWidget*,
                                                        const std::string& start) override {
        calls.push_back("chooseFiles:" + start);
        return filesToChoose;
    }
    bool editSettings(QWidget*, const QString& caption, Settings& settings) override {
        calls.push_back("editSettings:" + caption.toStdString());
        if (settingsEdit) {
            settingsEdit(settings);
        }
        return settingsConfirmed;
    }
    void showVersion(QWidget*, const QString& caption, const QString& text) override {
        calls.push_back("showVersion:" + caption.toStdString());
        versionText = text;
    }
    void openHelp(const std::string& programDir) override {
        calls.push_back("openHelp:" + programDir);
    }

    std::vector<std::string> calls;
    std::optional<std::vector<std::string>> filesToChoose;
    std::function<void(Settings&)> settingsEdit;
    bool settingsConfirmed = true;
    QString versionText;
};

// A small 8-bit bitmap written by the project's own writer.
void writeSampleBmp(const std::string& path, int seed = 0);

// Serves events until pred holds or timeoutMs passes; returns pred().
bool processEventsUntil(const std::function<bool()>& pred, int timeoutMs = 20000);

}  // namespace kelvara::test
