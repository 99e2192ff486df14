#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QDialog>
#include <QString>

#include "settings/settings.h"

class QButtonGroup;
class QTabWidget;

namespace Ui {
class SettingsGeneralPage;
class SettingsSavePage;
}  // namespace Ui

namespace kelvara {

// Asks the user for a folder: (owner, title, starting folder) → the chosen
// path, nothing when cancelled.
using FolderChooser = std::function<std::optional<std::string>(
    QWidget* owner, const QString& title, const std::string& startFolder)>;

// The two-page settings dialog ("General", "How to save"). A page takes the
// settings into its controls when it is first shown; OK copies back the
// controls of every page that was shown, Cancel copies nothing. OK is refused,
// with a note on the page, while a specified output folder is left empty.
class SettingsDialog final : public QDialog {
    Q_OBJECT

public:
    enum Page { General = 0, HowToSave = 1 };

    // The folder browser defaults to the platform's folder dialog.
    SettingsDialog(Settings& settings, QWidget* owner, const QString& caption,
                   FolderChooser chooseFolder = {});
    ~SettingsDialog() override;

    // True once OK has applied the pages.
    bool applied() const { return applied_; }
    bool pageShown(Page page) const { return shown_[page]; }
    QTabWidget* tabs() const { return tabs_; }

    // The "..." button: the chosen folder, without a trailing separator,
    // replaces the edit's text (the setting changes only on OK).
    void browseFolder();

public slots:
    void accept() override;

private:
    void showPage(int index);
    void loadGeneral();
    void loadHowToSave();
    void applyGeneral();
    void applyHowToSave();
    void updateFolderControls();
    void showLevels();
    // Puts a folder's bytes into the edit, remembered so that an edit left as
    // shown gives them back exactly.
    void showFolder(std::string folder);
    std::string folderInEdit() const;

    Settings& settings_;
    FolderChooser chooseFolder_;
    QTabWidget* tabs_ = nullptr;
    std::unique_ptr<Ui::SettingsGeneralPage> general_;
    std::unique_ptr<Ui::SettingsSavePage> howToSave_;
    QButtonGroup* filters_ = nullptr;
    QButtonGroup* existing_ = nullptr;
    std::string shownFolder_;
    std::array<bool, 2> shown_{false, false};
    bool applied_ = false;
};

// Runs the dialog modally over owner; true when the user pressed OK.
bool showSettingsSheet(QWidget* owner, const QString& caption, Settings& settings);

}  // namespace kelvara
