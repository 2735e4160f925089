// Answers shorter than their request, or announcing another byte count than
// they carry: each row's digits are taken by their position in the answer
// text (its CRC digits included), never from beyond its end; a row whose
// digits are missing reads 0.
#include "CollectFixture.h"

using namespace collect;

namespace {

class ShortAnswer : public CollectTest {
protected:
    // D0 signed 16-bit, D1 unsigned 16-bit, D2-D3 signed 32-bit, D4-D7
    // 64-bit float: one request of eight words (21 answer bytes).
    void SetUp() override {
        useScript = true;
        Start({Row(kD, 0, kWb), Row(kD, 1, kWub), Row(kD, 2, kDb), Row(kD, 4, kLf)});
        for (int c = 0; c < 4; ++c) Db().DeclareChannel(c, DATATYPE_DOUBLE);
    }
    void Answer(const std::string& hexWithoutCrc) { script.QueueChunk(WithCrc(HexBytes(hexWithoutCrc))); }
};

}  // namespace

// The answer announces and carries two data bytes: D0 has its word; D1's
// four digits are the CRC's; D2 would need eight digits where only the CRC's
// four are left; D4 lies beyond the end.
TEST_F(ShortAnswer, AnAnswerCompleteByItsOwnCountDecodesWhatItCarries) {
    Bytes answer = WithCrc(HexBytes("01 20 02 FF F6"));
    script.QueueChunk(answer);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(0), -10.0);
    EXPECT_EQ(Value(1), static_cast<double>((answer[5] << 8) | answer[6]));
    EXPECT_EQ(Value(2), 0.0);
    EXPECT_EQ(Value(3), 0.0);
    EXPECT_EQ(Stored(), (std::vector<int>{0, 1, 2, 3}));
}

// An answer that announces all sixteen data bytes but brings only five is
// gathered until the wait time is over and decoded by position as well.
TEST_F(ShortAnswer, AnAnswerShorterThanItsCountDecodesByPositionOnly) {
    Answer("01 20 10 00 05 00 06 00");
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(0), 5.0);
    EXPECT_EQ(Value(1), 6.0);
    EXPECT_EQ(Value(2), 0.0);  // 00 and the CRC: six digits of eight
    EXPECT_EQ(Value(3), 0.0);
}

// An answer that announces fewer bytes than it carries is still taken by
// position: all rows decode from the digits that are there.
TEST_F(ShortAnswer, AByteCountSmallerThanTheDataIsNotBelieved) {
    Answer("01 20 02 00 01 00 02 FF FF FF FE 3F F0 00 00 00 00 00 00");
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(0), 1.0);
    EXPECT_EQ(Value(1), 2.0);
    EXPECT_EQ(Value(2), -2.0);
    EXPECT_EQ(Value(3), 1.0);
}

// The smallest answer the transaction hands on (5 bytes, nothing but the
// header and the CRC) leaves only the CRC's digits for the first row; under
// that minimum it is a wrong answer and nothing is stored.
TEST_F(ShortAnswer, HeaderOnlyAnswersReadTheCrcAtMostAndShorterOnesFail) {
    Bytes answer = WithCrc(HexBytes("01 20 00"));
    script.QueueChunk(answer);
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(0), static_cast<double>(static_cast<int16_t>((answer[3] << 8) | answer[4])));
    for (int c = 1; c < 4; ++c) EXPECT_EQ(Value(c), 0.0) << c;
    Stored();
    script.QueueChunk(HexBytes("01 20 00 01"));
    EXPECT_EQ(Collect(), 7);
    EXPECT_TRUE(Stored().empty());
}

// Strings: the text has the smaller of the row's length and the announced
// byte count, and never more than the answer carries. The string of 10 bytes
// starts a request of ten words (D0 to D9).
TEST_F(CollectTest, StringsTakeNoMoreThanTheAnswerAnnouncesOrCarries) {
    useScript = true;
    std::vector<int32_t> properties = DefaultProperties();
    properties[6] = 1;  // bytes as received
    Start({Row(kD, 0, kStr, 10), Row(kD, 5, kWub), Row(kD, 9, kWub)}, properties, DATATYPE_STRING);
    script.QueueChunk(WithCrc(HexBytes("01 20 06 41 42 43 44 45 46")));
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Db().Channel(0).s, "ABCDEF");
    script.QueueChunk(WithCrc(HexBytes("01 20 14 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54")));
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Db().Channel(0).s, "ABCDEFGHIJ");
    // Announces ten bytes, carries two and the CRC: at most those four bytes.
    Bytes lying = WithCrc(HexBytes("01 20 0A 61 62"));
    script.QueueChunk(lying);
    EXPECT_EQ(Collect(), 0);
    const std::string& text = Db().Channel(0).s;
    EXPECT_EQ(text.substr(0, 2), "ab");
    EXPECT_LE(text.size(), 2u + 2u * 3u);  // two more bytes at most, at most three UTF-8 bytes each
}
