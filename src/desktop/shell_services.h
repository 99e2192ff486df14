#pragma once

#include "kelvara_version.h"

#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QUrl>

class QWidget;

namespace kelvara {

struct Settings;

// What the main window asks of the desktop: dialogs, messages and the
// programs that open files and folders. Kept behind one interface so the
// window's commands can be exercised without a person to answer the dialogs.
class ShellServices {
public:
    virtual ~ShellServices() = default;
    // The open-file dialog; nothing when cancelled.
    virtual std::optional<std::vector<std::string>> chooseFiles(QWidget* owner,
                                                                const std::string& startFolder) = 0;
    // The folder chooser; nothing when cancelled.
    virtual std::optional<std::string> chooseFolder(QWidget* owner,
                                                    const std::string& startFolder) = 0;
    // The settings dialog; true when confirmed.
    virtual bool editSettings(QWidget* owner, const QString& caption, Settings& settings) = 0;
    virtual void showVersion(QWidget* owner, const QString& caption, const QString& text) = 0;
    // A short message the user confirms.
    virtual void showMessage(QWidget* owner, const QString& caption, const QString& text) = 0;
    // Hands a file or folder to the desktop's program for it; false when
    // none could be started.
    virtual bool openUrl(const QUrl& url) = 0;
    // Shows the file selected in a file manager (or at least its folder).
    virtual bool showInFolder(const std::string& path) = 0;
};

// The real dialogs and the desktop's HTML viewer.
class DesktopServices final : public ShellServices {
public:
    std::optional<std::vector<std::string>> chooseFiles(QWidget* owner,
                                                        const std::string& startFolder) override;
    std::optional<std::string> chooseFolder(QWidget* owner,
                                            const std::string& startFolder) override;
    bool editSettings(QWidget* owner, const QString& caption, Settings& settings) override;
    void showVersion(QWidget* owner, const QString& caption, const QString& text) override;
    void showMessage(QWidget* owner, const QString& caption, const QString& text) override;
    bool openUrl(const QUrl& url) override;
    bool showInFolder(const std::string& path) override;
};

inline constexpr char kDisplayName[] = "Kelvaraイメージコンバータ";
inline constexpr char kVersionText[] = "Ver" KELVARA_VERSION;
inline constexpr unsigned kBuildNumber = KELVARA_BUILD_NUMBER;
inline constexpr char kDistinctName[] = "kelvara";

// The version box's caption and text, with the zlib and libpng versions the
// program was built with, in the interface's language.
QString versionCaption();
QString versionText();

}  // namespace kelvara
