#include "desktop/settings_dialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "desktop/file_dialogs.h"
#include "ui_settings_general.h"
#include "ui_settings_save.h"

namespace kelvara {

SettingsDialog::SettingsDialog(Settings& settings, QWidget* owner, const QString& caption,
                               FolderChooser chooseFolder)
    : QDialog(owner),
      settings_(settings),
      chooseFolder_(std::move(chooseFolder)),
      general_(std::make_unique<Ui::SettingsGeneralPage>()),
      howToSave_(std::make_unique<Ui::SettingsSavePage>()) {
    if (!chooseFolder_) {
        chooseFolder_ = [](QWidget* parent, const QString& title, const std::string& start) {
            return kelvara::chooseFolder(parent, title, start);
        };
    }
    setWindowTitle(caption);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    tabs_ = new QTabWidget(this);
    auto* generalPage = new QWidget(tabs_);
    general_->setupUi(generalPage);
    auto* howToSavePage = new QWidget(tabs_);
    howToSave_->setupUi(howToSavePage);
    // The tab texts are the pages' own captions.
    tabs_->addTab(generalPage, generalPage->windowTitle());
    tabs_->addTab(howToSavePage, howToSavePage->windowTitle());

    filters_ = new QButtonGroup(this);
    const std::array filterButtons = {howToSave_->radioFilterNone, howToSave_->radioFilterSub,
                                      howToSave_->radioFilterUp, howToSave_->radioFilterAverage,
                                      howToSave_->radioFilterPaeth, howToSave_->radioFilterAll};
    for (std::size_t i = 0; i < filterButtons.size(); ++i) {
        filters_->addButton(filterButtons[i], static_cast<int>(i));
    }
    existing_ = new QButtonGroup(this);  // ids are the setting's values
    existing_->addButton(howToSave_->radioExistingOverwrite, 0);
    existing_->addButton(howToSave_->radioExistingSkip, 1);
    existing_->addButton(howToSave_->radioExistingRename, 2);
    general_->labelSaveDirMissing->hide();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);

    connect(general_->radioSameFolder, &QRadioButton::toggled, this,
            &SettingsDialog::updateFolderControls);
    connect(general_->radioSpecifiedFolder, &QRadioButton::toggled, this,
            &SettingsDialog::updateFolderControls);
    connect(general_->buttonBrowse, &QPushButton::clicked, this, &SettingsDialog::browseFolder);
    connect(general_->editSaveDir, &QLineEdit::textChanged, general_->labelSaveDirMissing,
            &QWidget::hide);
    connect(howToSave_->sliderPngLevel, &QSlider::valueChanged, this, &SettingsDialog::showLevels);
    connect(howToSave_->sliderXyzLevel, &QSlider::valueChanged, this, &SettingsDialog::showLevels);

    connect(tabs_, &QTabWidget::currentChanged, this, &SettingsDialog::showPage);
    showPage(tabs_->currentIndex());
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::showPage(int index) {
    if (index < 0 || index >= static_cast<int>(shown_.size()) || shown_[index]) {
        return;
    }
    shown_[index] = true;
    if (index == General) {
        loadGeneral();
    } else {
        loadHowToSave();
    }
}

void SettingsDialog::loadGeneral() {
    Ui::SettingsGeneralPage& ui = *general_;
    (settings_.SaveDirFlag == 0 ? ui.radioSameFolder : ui.radioSpecifiedFolder)->setChecked(true);
    (settings_.UnKnownFlag == 0 ? ui.radioSkipUnknown : ui.radioCopyUnknown)->setChecked(true);
    ui.checkReproduceDir->setChecked(settings_.ReproduceDir);
    ui.checkDelSuccessItem->setChecked(settings_.DelSuccessItem);
    ui.checkTopMost->setChecked(settings_.TopMost);
    ui.checkAutoDrop->setChecked(settings_.AutoConvert1);
    ui.checkAutoCommandLine->setChecked(settings_.AutoConvert2);
    ui.checkAutoOpenFile->setChecked(settings_.AutoConvert3);
    showFolder(settings_.SaveDir);
    updateFolderControls();
}

void SettingsDialog::loadHowToSave() {
    Ui::SettingsSavePage& ui = *howToSave_;
    ui.sliderPngLevel->setValue(settings_.PngCompLv);
    ui.sliderXyzLevel->setValue(settings_.XyzCompLv);
    showLevels();
    if (QAbstractButton* filter = filters_->button(settings_.Filter)) {
        filter->setChecked(true);
    }
    if (QAbstractButton* existing = existing_->button(settings_.Existing)) {
        existing->setChecked(true);
    }
    ui.checkExpandLowDepth->setChecked(settings_.ExpandLowDepth);
}

void SettingsDialog::updateFolderControls() {
    const bool specified = general_->radioSpecifiedFolder->isChecked();
    general_->editSaveDir->setEnabled(specified);
    general_->buttonBrowse->setEnabled(specified);
    general_->checkReproduceDir->setEnabled(specified);
    general_->labelSaveDirMissing->hide();
}

void SettingsDialog::showFolder(std::string folder) {
    shownFolder_ = std::move(folder);
    general_->editSaveDir->setText(pathToQString(shownFolder_));
}

std::string SettingsDialog::folderInEdit() const {
    // Text holds no bytes that are not UTF-8: a name the user did not touch
    // keeps the bytes it was shown from.
    const QString text = general_->editSaveDir->text();
    return text == pathToQString(shownFolder_) ? shownFolder_ : qStringToPath(text);
}

void SettingsDialog::showLevels() {
    howToSave_->pngLevelValue->setText(QString::number(howToSave_->sliderPngLevel->value()));
    howToSave_->xyzLevelValue->setText(QString::number(howToSave_->sliderXyzLevel->value()));
}

void SettingsDialog::browseFolder() {
    const std::optional<std::string> chosen =
        chooseFolder_(this, tr("Choose the output folder"), folderInEdit());
    if (chosen && !chosen->empty()) {
        showFolder(stripTrailingSeparator(*chosen));
    }
}

void SettingsDialog::applyGeneral() {
    const Ui::SettingsGeneralPage& ui = *general_;
    // Disabled controls count like enabled ones.
    settings_.SaveDirFlag = ui.radioSameFolder->isChecked() ? 0 : 1;
    settings_.UnKnownFlag = ui.radioSkipUnknown->isChecked() ? 0 : 1;
    settings_.ReproduceDir = ui.checkReproduceDir->isChecked();
    settings_.DelSuccessItem = ui.checkDelSuccessItem->isChecked();
    settings_.TopMost = ui.checkTopMost->isChecked();
    settings_.AutoConvert1 = ui.checkAutoDrop->isChecked();
    settings_.AutoConvert2 = ui.checkAutoCommandLine->isChecked();
    settings_.AutoConvert3 = ui.checkAutoOpenFile->isChecked();
    // An emptied box, left while beside the originals is chosen, keeps the
    // folder: an empty one would mean the root.
    if (std::string folder = folderInEdit(); !folder.empty()) {
        settings_.SaveDir = std::move(folder);
    }
}

void SettingsDialog::applyHowToSave() {
    settings_.PngCompLv = howToSave_->sliderPngLevel->value();
    settings_.XyzCompLv = howToSave_->sliderXyzLevel->value();
    if (filters_->checkedId() >= 0) {
        settings_.Filter = filters_->checkedId();
    }
    if (existing_->checkedId() >= 0) {
        settings_.Existing = existing_->checkedId();
    }
    settings_.ExpandLowDepth = howToSave_->checkExpandLowDepth->isChecked();
}

void SettingsDialog::accept() {
    if (shown_[General] && general_->radioSpecifiedFolder->isChecked() && folderInEdit().empty()) {
        tabs_->setCurrentIndex(General);
        general_->labelSaveDirMissing->show();
        general_->editSaveDir->setFocus();
        return;  // stays open: nothing applied
    }
    // Only pages that were shown hold the settings; the others keep theirs.
    if (shown_[General]) {
        applyGeneral();
        applied_ = true;
    }
    if (shown_[HowToSave]) {
        applyHowToSave();
        applied_ = true;
    }
    QDialog::accept();
}

bool showSettingsSheet(QWidget* owner, const QString& caption, Settings& settings) {
    SettingsDialog dialog(settings, owner, caption);
    dialog.exec();
    return dialog.applied();
}

}  // namespace kelvara
