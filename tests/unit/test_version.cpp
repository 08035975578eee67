// The packed version word in both layouts, and the library's own version.
#include <gtest/gtest.h>

#include <string>

#include "aVersion.h"

TEST(Version, PackChoosesTheLayout) {
    EXPECT_EQ(aVersion_Pack(2, 14, 7), 0x2E000007u);
    EXPECT_EQ(aVersion_Pack(2, 15, 7), 0x2F020F07u);
    EXPECT_EQ(aVersion_Pack(3, 0, 1), 0x2F030001u);
    EXPECT_EQ(aVersion_Pack(1, 2, 3), 0x12000003u);
}

TEST(Version, ParseBothLayouts) {
    struct Case {
        uint32_t word;
        bool legacy;
        uint32_t major, minor, patch;
        const char* text;
    };
    const Case cases[] = {
        {0x2E000007, true, 2, 14, 7, "2.14.7"},
        {0x1A012345, true, 1, 10, 74565, "1.10.74565"},
        {0x2F020F07, false, 2, 15, 7, "2.15.7"},
        {0x2F030001, false, 3, 0, 1, "3.0.1"},
        {0xFFFFFFFF, false, 255, 255, 255, "255.255.255"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy) << std::hex << c.word;
        EXPECT_EQ(aVersion_ParseMajor(c.word), c.major) << std::hex << c.word;
        EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor) << std::hex << c.word;
        EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch) << std::hex << c.word;
        char text[32];
        EXPECT_EQ(aVersion_ParseString(c.word, text, sizeof text), std::string(c.text).size());
        EXPECT_STREQ(text, c.text);
    }
    char small[4];
    EXPECT_EQ(aVersion_ParseString(0x2E000007, small, sizeof small), 6u);
    EXPECT_STREQ(small, "2.1");
}

TEST(Version, Comparison) {
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 5));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 6));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 200, 200));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 0, 0, 1, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(200, 1, 1, 100, 1, 1));  // unsigned, not signed
}

TEST(Version, OwnVersionAndFeatures) {
    EXPECT_STREQ(aVersion_GetString(), "2.12.5");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}
