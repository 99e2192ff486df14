#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTabWidget>

#include "settings/settings_dialog.h"

namespace kelvara {
namespace {

class SettingsDialogTest : public testing::Test {
  protected:
    void open(bool showSecondPage) {
        dialog = std::make_unique<SettingsDialog>(
            settings, nullptr, "設定",
            [this](QWidget*, const QString& title, const std::string& start) {
                browsed.push_back(title.toStdString() + "|" + start);
                return folderAnswer;
            });
        if (showSecondPage) {
            dialog->tabs()->setCurrentIndex(SettingsDialog::HowToSave);
        }
    }
    template <typename T = QAbstractButton>
    T* control(const char* name) {
        T* found = dialog->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    Settings settings;
    std::optional<std::string> folderAnswer;
    std::vector<std::string> browsed;
    std::unique_ptr<SettingsDialog> dialog;
};

TEST_F(SettingsDialogTest, OkAppliesTheShownPagesAndCancelNothing) {
    settings.PngCompLv = 3;
    settings.Filter = 2;
    settings.Existing = 1;
    open(false);
    control("checkAutoDrop")->setChecked(true);
    control("radioCopyUnknown")->setChecked(true);
    control("checkDelSuccessItem")->setChecked(false);
    // A page never shown holds nothing that counts.
    control<QSlider>("sliderPngLevel")->setValue(9);
    control("radioFilterNone")->setChecked(true);
    control("radioExistingOverwrite")->setChecked(true);
    dialog->accept();
    EXPECT_TRUE(dialog->applied());
    EXPECT_FALSE(dialog->pageShown(SettingsDialog::HowToSave));
    EXPECT_TRUE(settings.AutoConvert1);
    EXPECT_EQ(settings.UnKnownFlag, 1);
    EXPECT_FALSE(settings.DelSuccessItem);
    EXPECT_EQ(settings.PngCompLv, 3);
    EXPECT_EQ(settings.Filter, 2);
    EXPECT_EQ(settings.Existing, 1);

    for (const bool ok : {false, true}) {
        open(true);
        EXPECT_TRUE(control("radioFilterUp")->isChecked());
        EXPECT_TRUE(control("radioExistingSkip")->isChecked());
        EXPECT_EQ(control<QLabel>("pngLevelValue")->text(), QStringLiteral("3"));
        control<QSlider>("sliderPngLevel")->setValue(9);  // shown live
        control<QSlider>("sliderXyzLevel")->setValue(0);
        EXPECT_EQ(
            control<QLabel>("pngLevelValue")->text() + control<QLabel>("xyzLevelValue")->text(),
            QStringLiteral("90"));
        control("radioFilterAll")->setChecked(true);
        control("radioExistingRename")->click();
        control("checkAutoDrop")->setChecked(false);
        ok ? dialog->accept() : dialog->reject();
        EXPECT_EQ(dialog->applied(), ok);
        EXPECT_EQ(settings.AutoConvert1, !ok);
        EXPECT_EQ(settings.PngCompLv, ok ? 9 : 3);
        EXPECT_EQ(settings.XyzCompLv, ok ? 0 : 6);
        EXPECT_EQ(settings.Filter, ok ? 5 : 2);
        EXPECT_EQ(settings.Existing, ok ? 2 : 1);
    }
}

// Alt plus a letter reaches one control of the visible page; desktop themes
// label the dialog's buttons "&OK" and "&Cancel".
TEST_F(SettingsDialogTest, MnemonicsOfAPageAreUnique) {
    open(true);
    for (const QWidget* page : {dialog->tabs()->widget(0), dialog->tabs()->widget(1)}) {
        std::map<QChar, QString> taken{{u'o', "&OK"}, {u'c', "&Cancel"}};
        for (const QAbstractButton* button : page->findChildren<QAbstractButton*>()) {
            const QString text = QString(button->text()).remove(QStringLiteral("&&"));
            const qsizetype at = text.indexOf(u'&');
            if (at >= 0 && at + 1 < text.size()) {
                const auto [was, added] = taken.emplace(text[at + 1].toLower(), text);
                EXPECT_TRUE(added) << text.toStdString() << " / " << was->second.toStdString();
            }
        }
    }
    for (const char* name :
         {"radioExistingOverwrite", "radioExistingSkip", "radioExistingRename"}) {
        EXPECT_TRUE(control(name)->text().contains(u'&')) << name;
    }
}

TEST_F(SettingsDialogTest, FolderControlsBrowseAndBytes) {
    settings.SaveDir = "/srv/out";
    open(false);
    auto* edit = control<QLineEdit>("editSaveDir");
    QAbstractButton* browse = control("buttonBrowse");
    QAbstractButton* reproduce = control("checkReproduceDir");
    EXPECT_EQ(edit->text(), QStringLiteral("/srv/out"));
    EXPECT_FALSE(edit->isEnabled() || browse->isEnabled() || reproduce->isEnabled());
    control("radioSpecifiedFolder")->click();
    EXPECT_TRUE(edit->isEnabled() && browse->isEnabled() && reproduce->isEnabled());
    // The chosen folder loses its trailing separator, but the root keeps its
    // only one; a cancelled browser leaves the edit.
    for (const auto& [answer, shown] :
         {std::pair{"/data/pictures/", "/data/pictures"}, {"/", "/"}, {"", "/"}}) {
        folderAnswer = *answer ? std::optional<std::string>(answer) : std::nullopt;
        browse->click();
        EXPECT_EQ(edit->text().toStdString(), shown);
    }
    EXPECT_EQ(browsed.front(), "保存先ディレクトリの選択|/srv/out");
    dialog->reject();
    EXPECT_EQ(settings.SaveDir, "/srv/out");

    // Disabled controls count too. A long folder is kept whole; bytes that
    // are no UTF-8 survive unless the box is edited.
    const std::string sjis = "/srv/\x95\x5C\x8E\xA6", fromBrowser = "/mnt/\x83\x5C";
    const QString long600(600, QChar(u'あ'));
    struct Row {
        QString typed;  // null: the box is not edited
        std::optional<std::string> browsed;
        std::string saved;
    };
    for (const Row& row : {Row{long600, {}, long600.toStdString()}, Row{{}, {}, sjis},
                           Row{{}, fromBrowser + "/", fromBrowser}, Row{"/typed", {}, "/typed"}}) {
        settings.SaveDir = sjis;
        open(false);
        if ((folderAnswer = row.browsed)) {
            dialog->browseFolder();
        }
        if (!row.typed.isNull()) {
            control<QLineEdit>("editSaveDir")->setText(row.typed);
        }
        control("checkReproduceDir")->setChecked(false);
        dialog->accept();
        EXPECT_EQ(settings.SaveDirFlag, 0);
        EXPECT_FALSE(settings.ReproduceDir);
        EXPECT_EQ(settings.SaveDir, row.saved);
    }
}

TEST_F(SettingsDialogTest, EmptySpecifiedFolderKeepsTheDialogOpen) {
    settings.SaveDirFlag = 1;
    settings.SaveDir = "/srv/out";
    open(false);
    control<QLineEdit>("editSaveDir")->clear();
    dialog->tabs()->setCurrentIndex(SettingsDialog::HowToSave);
    dialog->accept();
    EXPECT_FALSE(dialog->applied() || dialog->result() == QDialog::Accepted);
    EXPECT_EQ(dialog->tabs()->currentIndex(), SettingsDialog::General);
    EXPECT_FALSE(control<QWidget>("labelSaveDirMissing")->isHidden());
    control("radioSameFolder")->click();  // not needed beside the originals
    dialog->accept();
    EXPECT_TRUE(dialog->applied());
    EXPECT_EQ(std::tuple(settings.SaveDirFlag, settings.SaveDir), std::tuple(0, "/srv/out"));
}

}  // namespace
}  // namespace kelvara
