// Hexadecimal text as the hex exports take it.
#include <gtest/gtest.h>

#include <string>

#include "api/hex_text.h"

TEST(HexText, ValidationRules) {
    EXPECT_TRUE(qv::IsValidHexText("7e 01 30 30 30 30 40 51 52 59 53 59 53 3b 03"));
    EXPECT_TRUE(qv::IsValidHexText("7E0130"));
    EXPECT_TRUE(qv::IsValidHexText(" 7 e "));  // spaces anywhere, even inside a pair
    EXPECT_FALSE(qv::IsValidHexText("7e 0"));  // odd digit count
    EXPECT_FALSE(qv::IsValidHexText("7g"));
    EXPECT_FALSE(qv::IsValidHexText(""));
    EXPECT_FALSE(qv::IsValidHexText("   "));
    EXPECT_FALSE(qv::IsValidHexText("7e\t01"));  // only spaces are allowed
    EXPECT_FALSE(qv::IsValidHexText("0x7e"));
    EXPECT_FALSE(qv::IsValidHexText(nullptr));
    // A length limit stops the scan before an invalid tail.
    EXPECT_TRUE(qv::IsValidHexText("7e01zz", 4));
}

TEST(HexText, DecodingPairsDigitsHighNibbleFirst) {
    auto v = qv::DecodeHexText("7e 01 3B ff 00");
    EXPECT_EQ(std::string(v.begin(), v.end()), std::string("\x7e\x01\x3b\xff\x00", 5));
    v = qv::DecodeHexText("5 1 5 2");
    EXPECT_EQ(std::string(v.begin(), v.end()), "QR");
    v = qv::DecodeHexText("515253", 4);
    EXPECT_EQ(std::string(v.begin(), v.end()), "QR");
}
