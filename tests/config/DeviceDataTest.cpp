// Configuration blobs through InitDevice into device properties and channels.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Blob.h"
#include "Dev.h"
#include "DevBas.h"
#include "DevVocabulary.h"
#include "MemoryRtdb.h"
#include "qdevctrl.h"

namespace {

struct Device {
    MemoryRtdb rtdb;
    CDevCtrl ctrl{"dev", &rtdb};

    int Init(const std::vector<uint8_t>& blob) { return ctrl.InitDevice(blob.data(), static_cast<int>(blob.size())); }
    DEV_DATA& Data() { return *ctrl.GetDevData().pDevData; }
    int Rows() { return Data().pTable->GetRowCount(); }
};

std::vector<TestRow> ThreeRows() {
    return {TestRow{2, 14, 100, 0, 83, 0, 0, "读写DWUB0100"}, TestRow{0, 0, 5, 0, 20, 0, 0, "只读M0005"},
            TestRow{2, 14, 200, 10, 131, 0, 0, "读写DSTR0200_10"}};
}

}  // namespace

TEST(DeviceData, CurrentAndOldFormBlobsGiveTheSameDevice) {
    std::vector<int32_t> props = {3, 250, 1, 2, 3, 1, 0, 1, 4, 7};
    Device current, old;
    EXPECT_EQ(current.Init(MakeBlob(props, ThreeRows(), true)), 0);
    EXPECT_EQ(old.Init(MakeBlob(props, ThreeRows(), false)), 0);
    for (Device* d : {&current, &old}) {
        ASSERT_EQ(d->Data().arProperty.GetSize(), 10);
        for (int i = 0; i < 10; ++i) EXPECT_EQ(d->Data().arProperty[i], props[i]);
        ASSERT_EQ(d->Rows(), 3);
        CDevRow& s = d->Data().pTable->Row(2);
        EXPECT_EQ(s.GetdwValue(DEVROW_STR_CHLDATATYPE), 131u);
        EXPECT_EQ(s.GetdwValue(DEVROW_STR_CHLBIT), 10u);
        EXPECT_STREQ(s.GetstrValue(DEVROW_STR_CHLNAME), "读写DSTR0200_10");
        EXPECT_EQ(d->Data().nReadRank, -1);
        EXPECT_EQ(d->Data().nRankCount, 0);
    }
}

TEST(DeviceData, NewerVersionGivesTenZeroPropertiesAndNoChannels) {
    Device d;
    std::vector<uint8_t> blob = MakeBlob(DefaultProperties(), ThreeRows(), true);
    blob[0] = 0x21;  // 20001
    EXPECT_EQ(d.Init(blob), 0);
    ASSERT_EQ(d.Data().arProperty.GetSize(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(d.Data().arProperty[i], 0);
    EXPECT_EQ(d.Rows(), 0);
}

TEST(DeviceData, PropertyCountsAboveAndBelowTenAreKeptOrFilledWithZeros) {
    Device twelve;
    std::vector<int32_t> props(12, 9);
    twelve.Init(MakeBlob(props, {}, true));
    EXPECT_EQ(twelve.Data().arProperty.GetSize(), 12);
    Device three;
    three.Init(MakeBlob({5, 6, 7}, ThreeRows(), true));
    ASSERT_EQ(three.Data().arProperty.GetSize(), 10);
    EXPECT_EQ(three.Data().arProperty[2], 7);
    EXPECT_EQ(three.Data().arProperty[3], 0);
    EXPECT_EQ(three.Rows(), 3);
}

TEST(DeviceData, SecondInitDeviceKeepsTheFirstConfiguration) {
    Device d;
    d.Init(MakeBlob(DefaultProperties(), ThreeRows()));
    d.Init(MakeBlob({9, 9, 9, 9, 9, 9, 9, 9, 9, 9}, {TestRow{}}));
    EXPECT_EQ(d.Data().arProperty[0], 1);
    EXPECT_EQ(d.Rows(), 3);
    EXPECT_EQ(d.ctrl.CleanupDevice(), 0);
    EXPECT_EQ(d.ctrl.GetDevData().pDevData, nullptr);
}

TEST(DeviceData, WorkingCopyHasTheSourcesPropertiesAndAnEmptyTable) {
    Device d;
    d.Init(MakeBlob({3, 250, 1, 2, 3, 1, 0, 1, 4, 7}, ThreeRows()));
    ZEVO_DATA copy;
    CDevBas::mfCreateMydata(d.ctrl.GetDevData(), copy);
    ASSERT_NE(copy.pDevData, nullptr);
    EXPECT_EQ(copy.pComm, d.ctrl.GetDevData().pComm);
    EXPECT_STREQ(copy.strDevName, "dev");
    EXPECT_EQ(copy.pDevData->arProperty[9], 7);
    EXPECT_EQ(copy.pDevData->pTable->GetRowCount(), 0);
    EXPECT_EQ(CDevBas::mfDeleteMydata(copy), 1);
    EXPECT_EQ(copy.pDevData, nullptr);
    EXPECT_EQ(CDevBas::mfDeleteMydata(copy), 1);
    EXPECT_EQ(d.Rows(), 3);
}

TEST(DeviceData, AddressTableKeepsTheConfiguredAddresses) {
    Device d;
    d.Init(MakeBlob(DefaultProperties(), ThreeRows()));
    CDevTable& table = *d.Data().pTable;
    EXPECT_EQ(d.ctrl.SetChannelAddress(0, 10), 0);
    EXPECT_EQ(d.ctrl.SetChannelAddress(0, 5), 0);
    EXPECT_EQ(table[0].GetdwValue(DEVROW_STR_CHLADDRESS), 105u);  // offsets do not add up
    EXPECT_EQ(d.ctrl.SetChannelAddress(0, -200), 0);
    EXPECT_EQ(table[0].GetdwValue(DEVROW_STR_CHLADDRESS), 105u);  // negative: unchanged
    EXPECT_EQ(d.ctrl.SetChannelAddress(0, 0), 0);
    EXPECT_EQ(table[0].GetdwValue(DEVROW_STR_CHLADDRESS), 100u);
    EXPECT_EQ(d.ctrl.SetChannelAddress(3, 1), static_cast<int>(0x80000001u));  // beyond the table
}

TEST(DeviceData, TruncatedAndCorruptedBlobsNeverBreakTheController) {
    std::vector<uint8_t> good = MakeBlob({3, 250, 1, 2, 3, 1, 0, 1, 4, 7}, ThreeRows());
    std::mt19937 random(20261208);
#ifdef QUORLAN_EMULATED
    constexpr int kRounds = 600;
#else
    constexpr int kRounds = 3000;
#endif
    for (int round = 0; round < kRounds; ++round) {
        std::vector<uint8_t> blob = good;
        switch (round % 3) {
            case 0:
                blob.resize(1 + random() % blob.size());
                break;
            case 1:
                for (int k = 0; k < 4; ++k) blob[random() % blob.size()] = static_cast<uint8_t>(random());
                break;
            default: {
                // Absurd counts at the property count, the row count and a name count.
                size_t at = (random() % 3 == 0) ? 2 : (random() % 2 ? 46 : 78);
                uint32_t v = (random() % 2) ? 0x7FFFFFFFu : 0x80000000u + random() % 1000;
                for (int b = 0; b < 4 && at + b < blob.size(); ++b) blob[at + b] = static_cast<uint8_t>(v >> (8 * b));
            }
        }
        Device d;
        ASSERT_EQ(d.Init(blob), 0);
        ASSERT_GE(d.Data().arProperty.GetSize(), 10);
        ASSERT_LE(d.Rows(), 65536 + 16534);
        std::vector<int> refs(d.Rows() + 1, 1);
        d.ctrl.ChannelRefChange(refs.data(), static_cast<int>(refs.size()));
    }
}
