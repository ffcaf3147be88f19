#include "support/Text.h"

#include <gtest/gtest.h>

TEST(Text, UpperCaseCoversCodePage1252Letters) {
    const struct {
        char in, out;
    } cases[] = {
        {'a', 'A'},       {'z', 'Z'},       {'A', 'A'},       {'1', '1'},
        {'\xE7', '\xC7'}, {'\xE3', '\xC3'}, {'\xE9', '\xC9'}, {'\xFE', '\xDE'},
        {'\xF7', '\xF7'}, {'\xFF', '\x9F'}, {'\x9A', '\x8A'}, {'\xDF', '\xDF'},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnsiUpperChar(c.in), c.out) << int(static_cast<unsigned char>(c.in));
}

TEST(Text, SameTextAndCompareIgnoreCase) {
    EXPECT_TRUE(SameText("Start.OK", "start.ok"));
    EXPECT_TRUE(SameText("Vers\xE3o", "VERS\xC3O"));
    EXPECT_FALSE(SameText("Start.Ok ", "Start.Ok"));
    EXPECT_FALSE(SameText("a", "b"));
    EXPECT_LT(CompareText("10.0.0.10", "10.0.0.9"), 0);
    EXPECT_LT(CompareText("abc", "ABCD"), 0);
    EXPECT_EQ(CompareText("ABC", "abc"), 0);
}

TEST(Text, TrimRemovesControlCharactersAndSpaces) {
    EXPECT_EQ(Trim(" \t3.1\r\x01 "), "3.1");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("a b"), "a b");
    EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0"); // no-break space is above the space character
}
