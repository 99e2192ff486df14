#pragma once

#include "kelvara_version.h"

#include <optional>
#include <string>
#include <vector>

#include <QString>

class QWidget;

namespace kelvara {

struct Settings;

// What the main window asks of the desktop: dialogs and the help viewer.
// Kept behind one interface so the window's commands can be exercised
// without a person to answer the dialogs.
class ShellServices {
public:
    virtual ~ShellServices() = default;
    // The open-file dialog; nothing when cancelled.
    virtual std::optional<std::vector<std::string>> chooseFiles(QWidget* owner,
                                                                const std::string& startFolder) = 0;
    // The settings dialog; true when confirmed.
    virtual bool editSettings(QWidget* owner, const QString& caption, Settings& settings) = 0;
    virtual void showVersion(QWidget* owner, const QString& caption, const QString& text) = 0;
    virtual void openHelp(const std::string& programDir) = 0;
};

// The real dialogs and the desktop's HTML viewer.
class DesktopServices final : public ShellServices {
public:
    std::optional<std::vector<std::string>> chooseFiles(QWidget* owner,
                                                        const std::string& startFolder) override;
    bool editSettings(QWidget* owner, const QString& caption, Settings& settings) override;
    void showVersion(QWidget* owner, const QString& caption, const QString& text) override;
    void openHelp(const std::string& programDir) override;
};

inline constexpr char kDisplayName[] = "Kelvaraイメージコンバータ";
inline constexpr char kVersionText[] = "Ver" KELVARA_VERSION;
inline constexpr unsigned kBuildNumber = KELVARA_BUILD_NUMBER;
inline constexpr char kDistinctName[] = "kelvara";

// The version box's caption and text, with the zlib and libpng versions the
// program was built with.
QString versionCaption();
QString versionText();

}  // namespace kelvara
