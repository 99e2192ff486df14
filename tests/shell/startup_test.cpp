#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QHeaderView>

#include "settings/ini_file.h"
#include "shell/application.h"
#include "shell/command_ids.h"
#include "shell/file_list_view.h"
#include "shell/main_window.h"
#include "shell_test_support.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

class StartupTest : public testing::Test {
protected:
    StartupConfig config() const {
        StartupConfig c;
        c.settingsPath = dir.file("kelvara.ini");
        c.programDir = dir.path();
        c.updateCheckRoot = dir.file("config");
        c.executablePath = dir.file("kelvara");
        c.currentDirectory = dir.file("work");
        return c;
    }
    std::string ini() const {
        const test::Bytes bytes = test::readFile(dir.file("kelvara.ini"));
        return std::string(bytes.begin(), bytes.end());
    }

    test::TempDir dir;
    test::FakeServices services;
};

TEST_F(StartupTest, WindowPlaceWidthsAndChoicesSurviveARestart) {
    test::writeFile(dir.file("kelvara.ini"),
                    std::string("[MainWnd]\nLeft=40\nTop=30\nColumn1=111\nColumn2=-5\n"
                                "Column3=133\nColumn4=144\nTopMost=1\n[Convert]\nSaveMode=1\n"));
    {
        Application app(config(), &services);
        app.start();
        MainWindow* window = app.window();
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->pos(), QPoint(40, 30));
        EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        const QHeaderView* header = window->listView()->horizontalHeader();
        EXPECT_EQ(header->sectionSize(0), 111);
        EXPECT_EQ(header->sectionSize(2), 133);
        EXPECT_EQ(header->sectionSize(3), 144);
        EXPECT_TRUE(window->button(ids::kSaveAsPng)->isChecked());

        window->move(60, 70);
        window->listView()->setColumnWidth(0, 222);
        window->button(ids::kSaveAsXyz)->click();
        const std::string before = ini();
        ASSERT_TRUE(window->close());
        EXPECT_EQ(ini(), before);  // nothing is written until the program ends
    }
    IniFile saved(ini());
    EXPECT_EQ(saved.readInt("MainWnd", "Left", -1), 60);
    EXPECT_EQ(saved.readInt("MainWnd", "Top", -1), 70);
    EXPECT_EQ(saved.readInt("MainWnd", "Column1", -1), 222);
    EXPECT_EQ(saved.readInt("MainWnd", "Column3", -1), 133);
    EXPECT_EQ(saved.readInt("MainWnd", "TopMost", -1), 1);
    EXPECT_EQ(saved.readInt("Convert", "SaveMode", -1), 2);
    EXPECT_EQ(saved.readText("Convert", "SaveDir", 512, "?"), dir.path());

    Application again(config(), &services);
    again.start();
    EXPECT_EQ(again.window()->pos(), QPoint(60, 70));
    EXPECT_EQ(again.window()->listView()->columnWidth(0), 222);
    EXPECT_TRUE(again.window()->button(ids::kSaveAsXyz)->isChecked());
    again.window()->close();
}

TEST_F(StartupTest, PositionOffTheDesktopFallsBackToTheCorner) {
    test::writeFile(dir.file("kelvara.ini"), std::string("[MainWnd]\nLeft=-20\nTop=99999\n"));
    Application app(config(), &services);
    app.start();
    EXPECT_EQ(app.window()->pos(), QPoint(0, 0));
    EXPECT_FALSE(app.window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    app.window()->close();
}

TEST_F(StartupTest, CommandLineIsGatheredAgainstTheWorkingFolderAndConverted) {
    test::writeFile(dir.file("kelvara.ini"), std::string("[Convert]\nAutoConvert2=1\nDelSuccessItem=0\n"));
    ::mkdir(dir.file("work").c_str(), 0777);
    test::writeSampleBmp(dir.file("work/a.bmp"));
    test::writeSampleBmp(dir.file("elsewhere.bmp"));
    StartupConfig c = config();
    c.arguments = {"a.bmp", dir.file("elsewhere.bmp"), "no-such-file.bmp"};
    Application app(c, &services);
    app.start();

    ASSERT_EQ(app.list().rowCount(), 2);
    EXPECT_EQ(app.list().cellText(0, kColumnFullPath), dir.file("work/a.bmp"));
    EXPECT_EQ(app.list().cellText(0, kColumnBaseDirectory), dir.file("work"));
    ASSERT_TRUE(test::processEventsUntil([&] { return !app.window()->job().busy(); }));
    EXPECT_EQ(app.list().cellText(1, kColumnStatus), "正常終了");
    EXPECT_TRUE(test::exists(dir.file("work/a.bmp")));
    // Without the update checker's folder, start-up records nothing.
    EXPECT_FALSE(test::exists(dir.file("config")));
    app.window()->close();
}

}  // namespace
}  // namespace kelvara
