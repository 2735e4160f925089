// The archive's byte format, version header and switching rules.
#include <gtest/gtest.h>

#include <vector>

#include "OwnerArchive.h"

namespace {

std::vector<uint8_t> Stored(COwnerArchive& ar) {
    return std::vector<uint8_t>(ar.SvrGetBuffer(), ar.SvrGetBuffer() + ar.SvrGetBufferSize());
}

// The sequence InitDevice uses to load a blob.
void LoadBlob(COwnerArchive& ar, const std::vector<uint8_t>& blob) {
    ar.SvrWrite(blob.data(), static_cast<int>(blob.size()));
    ar.SvrSeekToBegin();
    ar.SvrChangeMode(ARCHIVE_LOADING);
}

}  // namespace

TEST(ArchiveStoring, SwitchingAtPositionZeroWritesTheHeaderBeforeTheData) {
    COwnerArchive ar(ARCHIVE_STORING);
    ar.SvrChangeMode(ARCHIVE_STORING);
    ar << 5;
    // 20000 = 0x4E20, little-endian 20 4E; then the int 5.
    EXPECT_EQ(Stored(ar), (std::vector<uint8_t>{0x20, 0x4E, 0x05, 0x00, 0x00, 0x00}));
}

TEST(ArchiveStoring, EveryTypeIsPackedLittleEndianWithoutPadding) {
    COwnerArchive ar(ARCHIVE_STORING);
    ar << 'A' << static_cast<unsigned char>(0xFE) << true << false << static_cast<unsigned short>(0x1234);
    ar << -2 << static_cast<long>(-3) << 0x89ABCDEFu << 1.0f << 1.0 << CString("AB") << CString();
    std::vector<uint8_t> expected = {
        0x41, 0xFE, 0x01, 0x00, 0x34, 0x12,                          // char, byte, true, false, 0x1234
        0xFE, 0xFF, 0xFF, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF,              // int -2, long -3 (4 bytes)
        0xEF, 0xCD, 0xAB, 0x89, 0x00, 0x00, 0x80, 0x3F,              // 0x89ABCDEF, 1.0f = 0x3F800000
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F,              // 1.0 = 0x3FF0000000000000
        0x02, 0x00, 0x00, 0x00, 0x41, 0x42, 0x00, 0x00, 0x00, 0x00,  // "AB", ""
    };
    EXPECT_EQ(Stored(ar), expected);
}

TEST(ArchiveStoring, GrowsBy16534BytesAndIsCutToItsDataWhenSwitched) {
    COwnerArchive ar(ARCHIVE_STORING);
    unsigned char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ar.SvrWrite(ten, 10);
    EXPECT_EQ(ar.SvrGetBufferSize(), 10);
    EXPECT_EQ(ar.SvrGetRealBufferSize(), 16534);
    ar.SvrChangeMode(ARCHIVE_LOADING);
    EXPECT_EQ(ar.SvrGetRealBufferSize(), 10);
    unsigned char first = 0;
    ar >> first;  // 0x0201 is below 20000: old form, data from offset 0
    EXPECT_EQ(first, 1);
}

TEST(ArchiveLoading, HeaderIsConsumedAndVersionIsReadAtAnyPosition) {
    COwnerArchive ar(ARCHIVE_STORING);
    LoadBlob(ar, {0x20, 0x4E, 0x07, 0x00, 0x00, 0x00});
    EXPECT_EQ(ar.SvrGetRealBufferSize(), 16534);  // the padding stays readable
    int v = 0;
    ar >> v;
    EXPECT_EQ(v, 7);
    EXPECT_EQ(ar.GetNowVersion(), 20000);
    EXPECT_EQ(ar.SvrGetBufferSize(), 6);
    ar >> v;  // offset 6 of a 6-byte blob: zero padding
    EXPECT_EQ(v, 0);
}

TEST(ArchiveLoading, OldFormBlobsAreReadFromOffsetZero) {
    COwnerArchive ar(ARCHIVE_STORING);
    LoadBlob(ar, {0x0A, 0x00, 0x00, 0x00});
    int count = 0;
    ar >> count;
    EXPECT_EQ(count, 10);
}

TEST(ArchiveLoading, NewerVersionLeavesThePositionAfterTheHeader) {
    COwnerArchive ar(ARCHIVE_STORING);
    LoadBlob(ar, {0x21, 0x4E, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(ar.GetNowVersion(), 20001);
    EXPECT_EQ(ar.SvrGetBufferSize(), 2);
}

TEST(ArchiveLoading, ReadsPastTheEndLeaveTargetsAsTheyWere) {
    COwnerArchive ar(ARCHIVE_STORING);
    ar << static_cast<unsigned char>(2) << static_cast<unsigned char>(1);
    ar.SvrChangeMode(ARCHIVE_LOADING);  // cut to the two bytes, old form
    bool b = true;
    ar >> b;
    EXPECT_FALSE(b);  // 02 is not 01
    ar >> b;
    EXPECT_TRUE(b);
    EXPECT_TRUE(ar.IsBufferEnd());
    b = true;
    ar >> b;  // no byte left: unchanged
    EXPECT_TRUE(b);
    int i = 42;
    ar >> i;
    EXPECT_EQ(i, 42);
    EXPECT_EQ(ar.SvrGetBufferSize(), 2);
}

TEST(ArchiveLoading, CountedStringsWithImpossibleCountsAreLeftEmpty) {
    for (int32_t count : {-1, 5, 0x7FFFFFFF, static_cast<int32_t>(0x80000000u)}) {
        COwnerArchive ar(ARCHIVE_STORING);
        ar << count << static_cast<unsigned char>('A') << static_cast<unsigned char>('B');
        ar.SvrChangeMode(ARCHIVE_LOADING);
        CString s("previous");
        ar >> s;
        EXPECT_TRUE(s.IsEmpty()) << count;
    }
    COwnerArchive ar(ARCHIVE_STORING);
    ar << 2 << static_cast<unsigned char>('A') << static_cast<unsigned char>(0) << static_cast<unsigned char>('Z');
    ar.SvrChangeMode(ARCHIVE_LOADING);
    CString s;
    ar >> s;
    EXPECT_STREQ(s, "A");  // the text ends at its first NUL byte
    unsigned char z = 0;
    ar >> z;
    EXPECT_EQ(z, 'Z');
}

TEST(ArchiveSwitching, WritingToALoadingArchiveRestartsItAsAFreshStore) {
    COwnerArchive ar(ARCHIVE_STORING);
    LoadBlob(ar, {0x20, 0x4E, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});
    int v = 0;
    ar >> v;  // position 6
    ar << 9;  // switch: cut to 6 bytes, header at 0, data from 2
    EXPECT_EQ(Stored(ar), (std::vector<uint8_t>{0x20, 0x4E, 0x09, 0x00, 0x00, 0x00}));
}
