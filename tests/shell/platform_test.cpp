#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QMimeData>
#include <QUrl>
#include <memory>

#include "platform/drop_paths.h"
#include "platform/help.h"
#include "platform/update_check.h"
#include "settings/ini_file.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

std::string valuesOf(const std::string& folder) {
    const test::Bytes bytes = test::readFile(folder + "/" + kUpdateCheckValuesFile);
    return std::string(bytes.begin(), bytes.end());
}

const UpdateCheckIdentity identity{"kelvara", "Kelvaraイメージコンバータ", 102, "/opt/a/kelvara"};

TEST(UpdateCheck, WritesNothingWithoutTheCheckersFolder) {
    test::TempDir root;
    EXPECT_TRUE(registerWithUpdateChecker(root.path(), identity));
    EXPECT_TRUE(test::listDir(root.path()).empty());
}

TEST(UpdateCheck, RecordsSevenValuesAndRewritesThemOnTheNextStart) {
    test::TempDir root;
    ASSERT_EQ(::mkdir(root.file("Upcheck").c_str(), 0777), 0);
    ASSERT_TRUE(registerWithUpdateChecker(root.path(), identity));

    const std::string author = root.file(std::string("Upcheck/") + kUpdateCheckAuthorKey);
    IniFile authorValues(valuesOf(author));
    EXPECT_EQ(authorValues.readText("Values", "Author", 512, "?"), kUpdateCheckAuthor);
    EXPECT_EQ(authorValues.readText("Values", "InfoURL", 512, "?"), kUpdateCheckInfoUrl);
    EXPECT_EQ(authorValues.readText("Values", "DisplayHost", 512, "?"), kUpdateCheckDisplayHost);
    EXPECT_EQ(test::listDir(author), (std::vector<std::string>{"kelvara", "values.ini"}));

    const std::string program = author + "/kelvara";
    EXPECT_EQ(valuesOf(program),
              "[Values]\nBuild=102\nDistinctName=kelvara\nDisplayName=Kelvaraイメージコンバータ\n"
              "FilePath=/opt/a/kelvara\n");

    UpdateCheckIdentity moved = identity;
    moved.executablePath = "/usr/local/bin/kelvara";
    ASSERT_TRUE(registerWithUpdateChecker(root.path(), moved));
    IniFile again(valuesOf(program));
    EXPECT_EQ(again.readText("Values", "FilePath", 512, "?"), "/usr/local/bin/kelvara");
    EXPECT_EQ(again.readInt("Values", "Build", 0), 102);
}

TEST(UpdateCheck, ReportsAKeyThatCannotBeCreated) {
    test::TempDir root;
    ASSERT_EQ(::mkdir(root.file("Upcheck").c_str(), 0777), 0);
    // A file where the author's key belongs.
    test::writeFile(root.file(std::string("Upcheck/") + kUpdateCheckAuthorKey), std::string("x"));
    EXPECT_FALSE(registerWithUpdateChecker(root.path(), identity));
}

std::unique_ptr<QMimeData> urlMime(const QList<QUrl>& urls) {
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls);
    return mime;
}

TEST(DropPaths, KeepsLocalPathsOnly) {
    const auto remote = urlMime({QUrl("https://example.org/a.bmp")});
    EXPECT_FALSE(offersLocalPaths(*remote));
    const auto mixed = urlMime({QUrl("https://example.org/a.bmp"),
                                              QUrl::fromLocalFile("/tmp/x y/日本.bmp"),
                                              QUrl::fromLocalFile("/")});
    EXPECT_TRUE(offersLocalPaths(*mixed));
    EXPECT_EQ(localPathsFromMime(*mixed), (std::vector<std::string>{"/tmp/x y/日本.bmp", "/"}));
    QMimeData text;
    text.setText("/tmp/a.bmp");
    EXPECT_FALSE(offersLocalPaths(text));
}

TEST(Help, ManualBesideTheProgramOrWhereItIsInstalled) {
    test::TempDir dir;
    ::mkdir(dir.file("bin").c_str(), 0777);
    EXPECT_EQ(findManual(dir.file("bin")), "");
    test::writeFile(dir.file("manual.html"), std::string("x"));  // never from elsewhere
    EXPECT_EQ(findManual(dir.file("bin")), "");
    ::mkdir(dir.file("share").c_str(), 0777);
    ::mkdir(dir.file("share/doc").c_str(), 0777);
    ::mkdir(dir.file("share/doc/kelvara").c_str(), 0777);
    test::writeFile(dir.file("share/doc/kelvara/manual.html"), std::string("x"));
    EXPECT_EQ(findManual(dir.file("bin")), dir.file("bin/../share/doc/kelvara/manual.html"));
    test::writeFile(dir.file("bin/manual.html"), std::string("x"));
    EXPECT_EQ(findManual(dir.file("bin")), dir.file("bin/manual.html"));
}

TEST(UpdateCheck, RootFollowsXdgConfigHome) {
    EXPECT_EQ(updateCheckRoot("/xdg", "/home/u"), "/xdg");
    EXPECT_EQ(updateCheckRoot("relative/xdg", "/home/u"), "/home/u/.config");
    EXPECT_EQ(updateCheckRoot("", "/home/u"), "/home/u/.config");
    EXPECT_EQ(updateCheckRoot("", ""), "");
}

}  // namespace
}  // namespace kelvara
