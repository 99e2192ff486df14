#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>

#include "settings/settings_dialog.h"

namespace kelvara {
namespace {

class SettingsDialogTest : public testing::Test {
protected:
    SettingsDialogTest() {
        settings.SaveDirFlag = 0;
        settings.SaveDir = "/srv/out";
        settings.PngCompLv = 3;
        settings.XyzCompLv = 4;
        settings.Filter = 2;
    }
    template <typename T>
    T* control(const char* name) {
        T* found = dialog->findChild<T*>(name);
        if (found == nullptr) {
            ADD_FAILURE() << "no control " << name;
        }
        return found;
    }
    void open() {
        dialog = std::make_unique<SettingsDialog>(
            settings, nullptr, QStringLiteral("設定"),
            [this](QWidget*, const QString& title, const std::string& start) {
                browsed.push_back(title.toStdString() + "|" + start);
                return folderAnswer;
            });
    }

    Settings settings;
    std::optional<std::string> folderAnswer;
    std::vector<std::string> browsed;
    std::unique_ptr<SettingsDialog> dialog;
};

TEST_F(SettingsDialogTest, OkWithoutTheSecondPageAppliesOnlyGeneral) {
    open();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("設定"));
    ASSERT_EQ(dialog->tabs()->count(), 2);
    EXPECT_EQ(dialog->tabs()->tabText(0), QStringLiteral("General"));
    EXPECT_EQ(dialog->tabs()->tabText(1), QStringLiteral("How to save"));
    EXPECT_FALSE(dialog->pageShown(SettingsDialog::HowToSave));
    EXPECT_EQ(control<QLineEdit>("editSaveDir")->text(), QStringLiteral("/srv/out"));
    control<QCheckBox>("checkAutoDrop")->setChecked(true);
    control<QRadioButton>("radioCopyUnknown")->setChecked(true);
    control<QCheckBox>("checkDelSuccessItem")->setChecked(false);
    // Controls of a page never shown hold nothing that counts.
    control<QSlider>("sliderPngLevel")->setValue(9);
    control<QRadioButton>("radioFilterNone")->setChecked(true);
    dialog->accept();

    EXPECT_TRUE(dialog->applied());
    EXPECT_TRUE(settings.AutoConvert1);
    EXPECT_EQ(settings.UnKnownFlag, 1);
    EXPECT_FALSE(settings.DelSuccessItem);
    EXPECT_EQ(settings.PngCompLv, 3);
    EXPECT_EQ(settings.Filter, 2);
}

TEST_F(SettingsDialogTest, SecondPageShowsLevelsLiveAndAppliesOnOkOnly) {
    open();
    dialog->tabs()->setCurrentIndex(SettingsDialog::HowToSave);
    EXPECT_EQ(control<QLabel>("pngLevelValue")->text(), QStringLiteral("3"));
    EXPECT_EQ(control<QLabel>("xyzLevelValue")->text(), QStringLiteral("4"));
    EXPECT_TRUE(control<QRadioButton>("radioFilterUp")->isChecked());
    EXPECT_EQ(control<QSlider>("sliderPngLevel")->maximum(), 9);

    control<QSlider>("sliderPngLevel")->setValue(9);
    EXPECT_EQ(control<QLabel>("pngLevelValue")->text(), QStringLiteral("9"));
    control<QSlider>("sliderXyzLevel")->setValue(0);
    EXPECT_EQ(control<QLabel>("xyzLevelValue")->text(), QStringLiteral("0"));
    control<QRadioButton>("radioFilterPaeth")->setChecked(true);
    dialog->reject();
    EXPECT_FALSE(dialog->applied());
    EXPECT_EQ(settings.PngCompLv, 3);

    open();
    dialog->tabs()->setCurrentIndex(SettingsDialog::HowToSave);
    control<QSlider>("sliderPngLevel")->setValue(9);
    control<QRadioButton>("radioFilterAll")->setChecked(true);
    dialog->accept();
    EXPECT_EQ(settings.PngCompLv, 9);
    EXPECT_EQ(settings.XyzCompLv, 4);
    EXPECT_EQ(settings.Filter, 5);
}

TEST_F(SettingsDialogTest, FolderControlsFollowTheRadiosAndAreStoredWhenDisabled) {
    open();
    auto* edit = control<QLineEdit>("editSaveDir");
    auto* browse = control<QPushButton>("buttonBrowse");
    auto* reproduce = control<QCheckBox>("checkReproduceDir");
    EXPECT_FALSE(edit->isEnabled() || browse->isEnabled() || reproduce->isEnabled());
    control<QRadioButton>("radioSpecifiedFolder")->click();
    EXPECT_TRUE(edit->isEnabled() && browse->isEnabled() && reproduce->isEnabled());
    control<QRadioButton>("radioSameFolder")->click();
    EXPECT_FALSE(edit->isEnabled());

    edit->setText(QStringLiteral("/srv/新しい"));
    reproduce->setChecked(false);
    dialog->accept();
    EXPECT_EQ(settings.SaveDirFlag, 0);
    EXPECT_EQ(settings.SaveDir, "/srv/新しい");
    EXPECT_FALSE(settings.ReproduceDir);
}

TEST_F(SettingsDialogTest, BrowseStripsTheTrailingSeparatorAndCancelKeepsTheSetting) {
    settings.SaveDirFlag = 1;
    open();
    auto* edit = control<QLineEdit>("editSaveDir");
    folderAnswer = "/data/pictures/";
    dialog->browseFolder();
    EXPECT_EQ(edit->text(), QStringLiteral("/data/pictures"));
    EXPECT_EQ(browsed, std::vector<std::string>{"保存先ディレクトリの選択|/srv/out"});

    folderAnswer = "/";  // the root keeps its only separator
    dialog->browseFolder();
    EXPECT_EQ(edit->text(), QStringLiteral("/"));
    folderAnswer.reset();  // cancelled browser: the edit stays
    dialog->browseFolder();
    EXPECT_EQ(edit->text(), QStringLiteral("/"));

    dialog->reject();
    EXPECT_EQ(settings.SaveDir, "/srv/out");
}

TEST_F(SettingsDialogTest, LongFolderIsCutToTheSettingsCapacity) {
    open();
    control<QLineEdit>("editSaveDir")->setText(QString(600, QChar(u'あ')));
    dialog->accept();
    // 3 bytes per character: 170 whole characters fit into 511 bytes.
    EXPECT_EQ(settings.SaveDir.size(), 510u);
    EXPECT_EQ(QString::fromStdString(settings.SaveDir), QString(170, QChar(u'あ')));
}

}  // namespace
}  // namespace kelvara
