#include <gtest/gtest.h>

#include <QMimeData>
#include <QUrl>
#include <filesystem>

#include "platform/drop_paths.h"
#include "platform/help.h"
#include "platform/update_check.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

std::string text(const std::string& path) {
    const test::Bytes bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(UpdateCheck, RecordsSevenValuesOnlyWhenTheCheckersFolderExists) {
    test::TempDir root;
    UpdateCheckIdentity identity{"kelvara", "Kelvaraイメージコンバータ", 102, "/opt/a/kelvara"};
    EXPECT_TRUE(registerWithUpdateChecker(root.path(), identity));
    EXPECT_TRUE(test::listDir(root.path()).empty());

    std::filesystem::create_directory(root.file("Upcheck"));
    ASSERT_TRUE(registerWithUpdateChecker(root.path(), identity));
    const std::string author = root.file("Upcheck/kelvara@kelvara.example.org");
    EXPECT_EQ(test::listDir(root.file("Upcheck")),
              std::vector<std::string>{"kelvara@kelvara.example.org"});
    EXPECT_EQ(test::listDir(author), (std::vector<std::string>{"kelvara", "values.ini"}));
    EXPECT_EQ(text(author + "/values.ini"),
              "[Values]\nAuthor=kelvara\nInfoURL=https://kelvara.example.org/update/kelvara.txt\n"
              "DisplayHost=kelvara.example.org\n");
    const std::string program =
        "[Values]\nBuild=102\nDistinctName=kelvara\nDisplayName=Kelvaraイメージコンバータ\n";
    EXPECT_EQ(text(author + "/kelvara/values.ini"), program + "FilePath=/opt/a/kelvara\n");

    // The next start rewrites the values in place.
    identity.executablePath = "/usr/local/bin/kelvara";
    ASSERT_TRUE(registerWithUpdateChecker(root.path(), identity));
    EXPECT_EQ(text(author + "/kelvara/values.ini"), program + "FilePath=/usr/local/bin/kelvara\n");

    // A file where the author's key belongs is reported.
    test::TempDir blocked;
    std::filesystem::create_directory(blocked.file("Upcheck"));
    test::writeFile(blocked.file("Upcheck/kelvara@kelvara.example.org"), std::string("x"));
    EXPECT_FALSE(registerWithUpdateChecker(blocked.path(), identity));
}

TEST(UpdateCheck, RootFollowsXdgConfigHome) {
    EXPECT_EQ(updateCheckRoot("/xdg", "/home/u"), "/xdg");
    EXPECT_EQ(updateCheckRoot("relative/xdg", "/home/u"), "/home/u/.config");
    EXPECT_EQ(updateCheckRoot("", "/home/u"), "/home/u/.config");
    EXPECT_EQ(updateCheckRoot("", ""), "");
}

TEST(DropPaths, KeepsLocalPathsOnlyWithTheirExactBytes) {
    QMimeData remote, mixed, text;
    remote.setUrls({QUrl("https://example.org/a.bmp")});
    mixed.setUrls({QUrl("https://example.org/a.bmp"), QUrl::fromLocalFile("/tmp/x y/日本.bmp/"),
                   QUrl::fromLocalFile("/")});
    text.setText("/tmp/a.bmp");
    EXPECT_FALSE(offersLocalPaths(remote));
    EXPECT_FALSE(offersLocalPaths(text));
    EXPECT_TRUE(offersLocalPaths(mixed));
    EXPECT_EQ(localPathsFromMime(mixed), (std::vector<std::string>{"/tmp/x y/日本.bmp", "/"}));

    // The list as a file manager sends it; Shift-JIS names are no UTF-8.
    for (const auto& [list, paths] : std::vector<std::pair<const char*, std::vector<std::string>>>{
             {"file:///old/%82%A0%8A%BF.bmp\r\nFILE://localhost/a%2/\r\n",
              {"/old/\x82\xA0\x8A\xBF.bmp", "/a%2"}},
             {"  file:/b/c%3F?q#f \n", {"/b/c?"}},
             {"# comment\r\nfile://host/x\r\nfile:///n%00ul\nfile:rel", {}},
         }) {
        QMimeData raw;
        raw.setData("text/uri-list", list);
        EXPECT_EQ(localPathsFromMime(raw), paths) << list;
        EXPECT_EQ(offersLocalPaths(raw), !paths.empty()) << list;
    }
}

TEST(Help, ManualBesideTheProgramOrWhereItIsInstalled) {
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("bin"));
    std::filesystem::create_directories(dir.file("share/doc/kelvara"));
    test::writeFile(dir.file("manual.html"), std::string("x"));  // never taken from elsewhere
    EXPECT_EQ(findManual(dir.file("bin")), "");
    test::writeFile(dir.file("share/doc/kelvara/manual.html"), std::string("x"));
    EXPECT_EQ(findManual(dir.file("bin")), dir.file("bin/../share/doc/kelvara/manual.html"));
    test::writeFile(dir.file("bin/manual.html"), std::string("x"));
    EXPECT_EQ(findManual(dir.file("bin")), dir.file("bin/manual.html"));
}

}  // namespace
}  // namespace kelvara
