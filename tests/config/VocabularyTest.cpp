// The vocabulary tables that make the driver table-driven.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "DevVocabulary.h"

TEST(Vocabulary, ChannelTypeNamesAreDistinctAndAreaCodesArePlaced) {
    std::set<std::string> names;
    for (int t = 0; t < CHL_TYPE_COUNT; ++t) names.insert(CHL_STR_NAME[t].c_str());
    EXPECT_EQ(names.size(), 29u);
    EXPECT_STREQ(CHL_STR_NAME[14], "D");
    EXPECT_STREQ(CHL_STR_NAME[19], "CD");
    EXPECT_STREQ(CHL_STR_READORDER[0], "03");
    EXPECT_STREQ(CHL_STR_READORDER[8], "12");
    EXPECT_STREQ(CHL_STR_READORDER[14], "80");
    EXPECT_STREQ(CHL_STR_READORDER[28], "91");
}

TEST(Vocabulary, LimitsAndCapabilitiesFollowTheAreaKind) {
    for (int t = 0; t < CHL_TYPE_COUNT; ++t) {
        bool bit = t <= CHL_BITAREA_LAST;
        EXPECT_EQ(DEV_READBLK_MAXNUM[t], bit ? 1024 : 120);
        EXPECT_EQ(DEV_WRITEBLK_MAXNUM[t], bit ? 120 : 48);
        EXPECT_EQ(SELECT2_DWORD_PROPERTYNUM[t], bit ? 0 : 28);
        EXPECT_EQ(CHLTYPE_DWORD_RWFLAG[t], t == 28 ? 1 : 2);
        EXPECT_STREQ(DEV_STR_BITFORMAT[t], bit ? "" : ".%.2d");
    }
    for (int t = 29; t < DEV_READBLK_COUNT; ++t) EXPECT_EQ(DEV_READBLK_MAXNUM[t], 120);
}

TEST(Vocabulary, SelectionGroupsRepeatBitLabelsThenTypeLabels) {
    EXPECT_STREQ(SELECT2_STR_PROPERTYNAME[0], "通道的第00位");
    EXPECT_STREQ(SELECT2_STR_PROPERTYNAME[16], "16位 无符号二进制");
    EXPECT_STREQ(SELECT2_STR_PROPERTYNAME[27], "ASCII字符串");
    EXPECT_STREQ(SELECT2_STR_PROPERTYNAME[392], "通道的第00位");  // group of type 28: 14 x 28
    EXPECT_STREQ(SELECT2_STR_PROPERTYNAME[419], "ASCII字符串");
    for (int i = 0; i < SELECT2_COUNT; ++i)
        EXPECT_STREQ(SELECT2_STR_PROPERTYNAME[i], SELECT2_STR_PROPERTYNAME[i % 28]) << i;
}

TEST(Vocabulary, KeywordsAndRowPropertiesAreTheSystemsOwnTexts) {
    EXPECT_STREQ(IOCTRL_STR_PROPERTYNAME[12], "ReadMutiReg");
    EXPECT_STREQ(IOCTRL_STR_PROPERTYNAME[IOCTRL_WRITEBLOCK], "WRITEBLOCK");
    EXPECT_STREQ(DEV_STR_ZEVOWRITE, "ZEVO_WRITE");
    for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i) EXPECT_FALSE(DEVROW_STR_PROPERTYNAME[i].IsEmpty());
    EXPECT_STREQ(DEVROW_STR_PROPERTYNAME[2], DEVROW_STR_CHLADDRESS);
    EXPECT_STREQ(DEV_STR_PROPERTLIST[15], "1 - HL[高字节,低字节]");
    EXPECT_STREQ(DEV_STR_PROPERTLIST[31], "7 - 8765_4321");
    EXPECT_STREQ(DATATYPE_STR_BITNAME[15], "BT15");
    EXPECT_STREQ(DATATYPE_STR_SELECT2BITNAME[9], "通道的第09位");
}
