// Answers shorter than their request, or announcing another byte count than
// the request asked for or than they carry: a wrong answer, of which nothing
// is decoded or stored. A string answered with its own length is the one
// answer that may carry less.
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

// Whatever an answer lacks or adds, with a valid CRC or without, nothing of
// it is stored: the request failed with 7 and is asked for again. The request
// is for eight words, so the answer must announce and carry 16 data bytes.
TEST_F(ShortAnswer, AnswersThatDoNotCarryTheWordsAskedForStoreNothing) {
    const struct {
        const char* what;
        Bytes answer;
    } cases[] = {
        {"announces and carries 2 bytes", WithCrc(HexBytes("01 20 02 FF F6"))},
        {"announces 16 bytes, carries 5", WithCrc(HexBytes("01 20 10 00 05 00 06 00"))},
        {"announces 2 bytes, carries 16",
         WithCrc(HexBytes("01 20 02 00 01 00 02 FF FF FF FE 3F F0 00 00 00 00 00 00"))},
        {"announces 18 bytes, carries 16",
         WithCrc(HexBytes("01 20 12 00 01 00 02 FF FF FF FE 3F F0 00 00 00 00 00 00"))},
        {"header and CRC only", WithCrc(HexBytes("01 20 00"))},
        {"shorter than a header and CRC", HexBytes("01 20 00 01")},
    };
    // 01 20 10, then D0 = 1, D1 = 2, D2-D3 = -2, D4-D7 = 1.0 (3FF0 0000 0000 0000).
    const Bytes whole = WithCrc(HexBytes("01 20 10 00 01 00 02 FF FF FF FE 3F F0 00 00 00 00 00 00"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        script.QueueChunk(c.answer);
        EXPECT_EQ(Collect(), DEVCTRL_BADANSWER);
        EXPECT_TRUE(Stored().empty());
        // The same request again, and a whole answer is decoded as usual.
        script.QueueChunk(whole);
        EXPECT_EQ(Collect(), 0);
        EXPECT_EQ(LastRequestAddress(), 0);
        EXPECT_EQ(Stored(), (std::vector<int>{0, 1, 2, 3}));
        EXPECT_EQ(Value(0), 1.0);
        EXPECT_EQ(Value(3), 1.0);
    }
}

// Ten bits are two data bytes: one byte, or three cut to the expected seven
// bytes, is a wrong answer.
TEST_F(CollectTest, BitAnswersThatDoNotCarryTheBytesAskedForStoreNothing) {
    useScript = true;
    Start({Row(kM, 0, 20), Row(kM, 9, 20)});
    const std::vector<Bytes> answers = {
        WithCrc(HexBytes("01 1E 01 01")),        // one byte announced and carried
        WithCrc(HexBytes("01 1E 03 01 02 03")),  // three: cut after 7 bytes
        WithCrc(HexBytes("01 1E 03 01 02")),     // announces three, carries two
        WithCrc(HexBytes("01 1E 02 01 02")),     // M0 = 1, M9 = bit 1 of 02
    };
    size_t next = 0;
    script.SetResponder([&](const Bytes&) { return std::vector<Bytes>{answers[next++]}; });
    for (size_t i = 0; i + 1 < answers.size(); ++i) {
        EXPECT_EQ(Collect(), DEVCTRL_BADANSWER) << BytesHex(answers[i]);
        EXPECT_TRUE(Stored().empty());
    }
    EXPECT_EQ(Collect(), 0);
    EXPECT_EQ(Value(0), 1.0);
    EXPECT_EQ(Value(1), 1.0);
}

// A block opened by a string may be answered with the string's own length:
// the text takes what came, at most the row's 10 bytes. Every other row of
// the block must lie within the bytes that came, or nothing is stored.
TEST_F(CollectTest, StringBlocksTakeAnAnswerOfTheirOwnLengthWhenNoOtherRowLiesBeyondIt) {
    useScript = true;
    std::vector<int32_t> properties = DefaultProperties();
    properties[6] = 1;  // bytes as received
    // D0-D4: 5 words, 15 answer bytes asked for.
    const std::vector<TestRow> alone = {Row(kD, 0, kStr, 10)};
    // D0-D5: 6 words; the WUB is data bytes 10-11.
    const std::vector<TestRow> wub = {Row(kD, 0, kStr, 10), Row(kD, 5, kWub)};
    // D0-D9: 10 words; the WUBs are data bytes 10-11 and 18-19.
    const std::vector<TestRow> wubs = {Row(kD, 0, kStr, 10), Row(kD, 5, kWub), Row(kD, 9, kWub)};
    const std::string text = "41 42 43 44 45 46 47 48 49 4A";  // ABCDEFGHIJ
    const struct {
        const char* what;
        const std::vector<TestRow>& rows;
        Bytes answer;
        const char* stored;  // the text, or nullptr for a wrong answer (7)
    } cases[] = {
        {"6 bytes", alone, WithCrc(HexBytes("01 20 06 41 42 43 44 45 46")), "ABCDEF"},
        {"10 bytes", alone, WithCrc(HexBytes("01 20 0A " + text)), "ABCDEFGHIJ"},
        {"20 bytes, cut at the 15 asked for: no CRC to match", alone,
         WithCrc(HexBytes("01 20 14 " + text + " " + text)), nullptr},
        {"announces 6 bytes, carries 2", alone, WithCrc(HexBytes("01 20 06 41 42")), nullptr},
        {"no data byte", alone, WithCrc(HexBytes("01 20 00")), nullptr},
        {"6 bytes, CRC does not match", alone, HexBytes("01 20 06 41 42 43 44 45 46 00 00"), nullptr},
        {"12 bytes: the text and the WUB = 7", wub, WithCrc(HexBytes("01 20 0C " + text + " 00 07")), "ABCDEFGHIJ"},
        {"10 bytes: the WUB beyond them", wub, WithCrc(HexBytes("01 20 0A " + text)), nullptr},
        {"11 bytes: half the WUB", wub, WithCrc(HexBytes("01 20 0B " + text + " 00")), nullptr},
        {"12 bytes: the second WUB beyond them", wubs, WithCrc(HexBytes("01 20 0C " + text + " 00 07")), nullptr},
        // The text, D5 = 7, D6-D8 (KLMNOP, no row), D9 = 7.
        {"20 bytes: all asked for, the text of 10", wubs,
         WithCrc(HexBytes("01 20 14 " + text + " 00 07 4B 4C 4D 4E 4F 50 00 07")), "ABCDEFGHIJ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.rows, properties, DATATYPE_STRING);
        for (size_t i = 1; i < c.rows.size(); ++i) Db().DeclareChannel(static_cast<int>(i), DATATYPE_DOUBLE);
        script.QueueChunk(c.answer);
        if (c.stored == nullptr) {
            EXPECT_EQ(Collect(), DEVCTRL_BADANSWER);
            EXPECT_TRUE(Stored().empty());
            continue;
        }
        EXPECT_EQ(Collect(), 0);
        EXPECT_EQ(Stored().size(), c.rows.size());
        EXPECT_EQ(Db().Channel(0).s, c.stored);
        for (size_t i = 1; i < c.rows.size(); ++i) EXPECT_EQ(Value(static_cast<int>(i)), 7.0);
    }
}
