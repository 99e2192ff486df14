#include "settings/ini_file.h"

#include <climits>

#include <gtest/gtest.h>

namespace kelvara {
namespace {

TEST(IniFile, ParsesLeadingSignedDigits) {
    for (const auto& [text, expected] : {std::pair{"7x", 7},
                                         {"abc", 0},
                                         {"", 0},
                                         {"-20", -20},
                                         {"+5", 5},
                                         {"- 5", 0},
                                         {"0012", 12},
                                         {"-2147483648", INT_MIN},
                                         {"99999999999", INT_MAX},
                                         {"-99999999999", INT_MIN}}) {
        EXPECT_EQ(parseLeadingInt(text), expected) << text;
    }
}

}  // namespace
}  // namespace kelvara
