#include "settings/ini_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kelvara {
namespace {

using test::TempDir;

TEST(IniFile, FindsTheFirstSectionAndKeyWhateverTheirCase) {
    const IniFile ini(
        "top=0\n"
        "[ png ]\r\n"
        "; CompLv=1\n"
        "  COMPLV =  7x  \r\n"
        "CompLv=8\n"
        "no equals sign\n"
        "Empty=   \n"
        "\n"
        "[Other]\n"
        "CompLv=3\n"
        "[PNG]\n"
        "Late=4\n");
    EXPECT_EQ(ini.value("Png", "complv"), "7x");
    EXPECT_EQ(ini.value("Png", "Empty"), "");
    EXPECT_EQ(ini.value("other", "CompLv"), "3");
    EXPECT_EQ(ini.value("Png", "Late"), std::nullopt);  // a later duplicate section is not read
    EXPECT_EQ(ini.value("Png", "no equals sign"), std::nullopt);
    EXPECT_EQ(ini.value("Missing", "CompLv"), std::nullopt);
    EXPECT_EQ(ini.lineEnding(), "\n");
}

TEST(IniFile, ParsesLeadingSignedDigits) {
    const std::pair<const char*, int> cases[] = {
        {"7x", 7},
        {"abc", 0},
        {"", 0},
        {"-20", -20},
        {"+5", 5},
        {"- 5", 0},
        {"0012", 12},
        {"-2147483648", INT_MIN},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseLeadingInt(text), expected) << text;
    }
}

TEST(IniFile, TypedReadsApplyDefaultsOnlyWhereTheRulesSay) {
    const IniFile ini(
        "[S]\nlow=0\nhigh=9\nover=10\nneg=-1\nempty=\nword=abc\ntwo=2\nlong=abcdef\n");
    EXPECT_EQ(ini.readInt("S", "missing", 42), 42);
    EXPECT_EQ(ini.readInt("S", "empty", 42), 0);
    EXPECT_EQ(ini.readInt("S", "word", 42), 0);
    EXPECT_EQ(ini.readIntInRange("S", "low", 6, 0, 9), 0);
    EXPECT_EQ(ini.readIntInRange("S", "high", 6, 0, 9), 9);
    EXPECT_EQ(ini.readIntInRange("S", "over", 6, 0, 9), 6);  // the default, not the bound
    EXPECT_EQ(ini.readIntInRange("S", "neg", 6, 0, 9), 6);
    EXPECT_TRUE(ini.readBool("S", "two", false));
    EXPECT_FALSE(ini.readBool("S", "word", true));
    EXPECT_TRUE(ini.readBool("S", "missing", true));
    EXPECT_EQ(ini.readText("S", "long", 4, "def"), "abc");
    EXPECT_EQ(ini.readText("S", "empty", 4, "def"), "");
    EXPECT_EQ(ini.readText("S", "missing", 3, "def"), "de");
}

TEST(IniFile, SetReplacesInPlaceAndAppendsWhatIsMissing) {
    IniFile ini("  [a]\r\n  KEY = old \r\nempty=\r\n; note\r\n\r\n[B]\r\nx=1");
    ASSERT_TRUE(ini.set("A", "key", "new"));
    ASSERT_TRUE(ini.set("A", "Empty", "5"));
    ASSERT_TRUE(ini.set("A", "Added", "v"));
    ASSERT_TRUE(ini.set("b", "y", "2"));
    ASSERT_TRUE(ini.set("C", "z", "line\nbreak"));
    EXPECT_EQ(ini.text(),
              "  [a]\r\n  KEY = new \r\nempty=5\r\n; note\r\nAdded=v\r\n\r\n[B]\r\nx=1\r\ny=2\r\n"
              "[C]\r\nz=line\r\n");

    IniFile bare("junk");
    ASSERT_TRUE(bare.set("S", "k", "v"));
    EXPECT_EQ(bare.text(), "junk\n[S]\nk=v\n");
}

TEST(IniFile, SetRefusesNamesTheFileCannotHold) {
    IniFile ini("[S]\nk=1\n");
    const std::pair<const char*, const char*> names[] = {
        {"S", ""}, {"", "k"}, {"S", "a=b"}, {"S]", "k"}, {"S", "k\n"}, {"S", " k"}, {"S", "[k"}};
    for (const auto& [section, key] : names) {
        EXPECT_FALSE(ini.set(section, key, "2")) << section << '/' << key;
    }
    EXPECT_EQ(ini.text(), "[S]\nk=1\n");
}

TEST(IniFile, LoadsRegularFilesOnly) {
    TempDir dir;
    IniFile ini("[S]\nk=1\n");
    EXPECT_TRUE(ini.load(dir.file("missing.ini")));
    EXPECT_EQ(ini.text(), "");

    const std::string bytes("[S]\r\nk=\x95\x5C\0\xFF\r\n", 13);
    ASSERT_TRUE(IniFile(bytes).save(dir.file("a.ini")));
    ASSERT_TRUE(ini.load(dir.file("a.ini")));
    EXPECT_EQ(ini.text(), bytes);
    EXPECT_EQ(ini.lineEnding(), "\r\n");

    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);  // must not block
    EXPECT_FALSE(ini.load(dir.file("fifo")));
    EXPECT_FALSE(ini.load(dir.path()));
    EXPECT_EQ(ini.text(), "");

    const std::string huge = dir.file("huge.ini");
    test::writeFile(huge, std::string("[S]\nk=1\n"));
    ASSERT_EQ(::truncate(huge.c_str(), IniFile::kMaxFileSize + 1), 0);
    EXPECT_FALSE(ini.load(huge));
}

}  // namespace
}  // namespace kelvara
