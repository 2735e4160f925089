// The database wrapper: version gating and the "no database" answer.
#include <gtest/gtest.h>

#include "MemoryRtdb.h"
#include "qdevctrl.h"
#include "qdevrtdb.h"

TEST(DatabaseWrapper, VersionBelowOneRefusesEveryCallAndTwoAllowsCollectFlags) {
    MemoryRtdb host;
    host.DeclareChannel(0, DATATYPE_INT);
    CDevRtdb wrapper(&host);
    DATATYPE type = DATATYPE_NONE;
    EXPECT_EQ(wrapper.GetValueTypeByChannel(0, type), 0);
    EXPECT_EQ(type, DATATYPE_INT);
    EXPECT_EQ(wrapper.SetCollectFlagSuc(0), static_cast<int>(0x80000002u));  // version 1
    wrapper.SetIDevRtdbCtrlVersion(0);
    EXPECT_EQ(wrapper.SetValueByChannel(0, 5), static_cast<int>(0x80000002u));
    EXPECT_EQ(wrapper.GetValueTypeByName("x", type), static_cast<int>(0x80000002u));
    EXPECT_TRUE(host.Stores().empty());
    wrapper.SetIDevRtdbCtrlVersion(2);
    EXPECT_EQ(wrapper.SetCollectFlagSuc(0), 0);
    EXPECT_EQ(host.CollectFlagCalls(), 1);
}

TEST(DatabaseWrapper, MissingHostDatabaseAnswersNoDatabase) {
    CDevRtdb wrapper(nullptr);
    int value = 0;
    EXPECT_EQ(wrapper.GetValueByChannel(0, value), static_cast<int>(0x80000000u));
    EXPECT_EQ(wrapper.SetValueByName("x", 1.0), static_cast<int>(0x80000000u));
}

TEST(ParameterAccess, ChecksNameValueAndDatabaseBeforeCallingTheHost) {
    MemoryRtdb host;
    host.SetVariable("Level", 12);
    host.SetVariable("Text", std::string("abc"));
    CDevRtdb wrapper(&host);
    ZEVO_DATA data;
    data.pRtdb = &wrapper;
    int i = 0;
    EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, "", DATATYPE_INT, &i), static_cast<int>(0x80000001u));
    EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, "Level", DATATYPE_INT, nullptr), static_cast<int>(0x80000001u));
    EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, "Level", DATATYPE_NONE, &i), static_cast<int>(0x80000001u));
    EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, "Level", DATATYPE_INT, &i), 0);
    EXPECT_EQ(i, 12);
    CString text("left");
    EXPECT_EQ(CDevCtrl::GetParamValue_Fun(data, "Text", DATATYPE_STRING, &text), 0);
    EXPECT_STREQ(text, "abc");
    CString failed("kept?");
    EXPECT_NE(CDevCtrl::GetParamValue_Fun(data, "Nothing", DATATYPE_STRING, &failed), 0);
    EXPECT_TRUE(failed.IsEmpty());  // the text is assigned also when the call failed
    CString out("xyz");
    EXPECT_EQ(CDevCtrl::SetParamValue_Fun(data, "Text", DATATYPE_STRING, &out), 0);
    EXPECT_EQ(host.Variable("Text").s, "xyz");
    DATATYPE type = DATATYPE_NONE;
    EXPECT_EQ(CDevCtrl::GetParamType_Fun(data, "Level", type), 0);
    EXPECT_EQ(type, DATATYPE_INT);
    data.pRtdb = nullptr;
    EXPECT_EQ(CDevCtrl::GetParamType_Fun(data, "Level", type), static_cast<int>(0x80000000u));
    EXPECT_EQ(CDevCtrl::SetParamValue_Fun(data, "Level", DATATYPE_INT, &i), static_cast<int>(0x80000000u));
}
