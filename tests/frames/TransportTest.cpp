// The serial transport over the host's port: writes, the four read modes
// with their timeouts and chunks, and the text modes.
#include "FrameFixture.h"

namespace {

class Transport : public FrameTest {
protected:
    int Read(int mode, unsigned int timeoutMs, unsigned int length = 16, unsigned char stop = 0x0D) {
        return CDevServer::mfReadComm(data, bytes, timeoutMs, mode, length, stop);
    }
    Bytes Got() { return FromArray(bytes); }

    CByteArray bytes;
};

Bytes Filled(size_t count, uint8_t value, uint8_t last) {
    Bytes chunk(count, value);
    chunk.back() = last;
    return chunk;
}

}  // namespace

TEST_F(Transport, WritesGoOutWithTheWaitTimeAndReportThePortsResult) {
    Prop(DEVPROP_WAITTIME) = 250;
    CByteArray out;
    EXPECT_EQ(CDevServer::SvrWriteTcpip(data, out), 0);  // nothing to write
    EXPECT_TRUE(port.Writes().empty());

    out.Add(0x01);
    out.Add(0x20);
    EXPECT_EQ(CDevServer::SvrWriteTcpip(data, out), 2);
    port.SetWriteResult(7);
    EXPECT_EQ(CDevServer::mfWriteComm(data, out), 7);
    ASSERT_EQ(port.Writes().size(), 2u);
    EXPECT_EQ(BytesHex(port.Writes()[0]), "01 20");
    EXPECT_EQ(port.WriteTimeouts()[0], 250u);

    data.pComm = nullptr;
    EXPECT_EQ(CDevServer::SvrWriteTcpip(data, out), 0);
    EXPECT_EQ(CDevServer::SvrClearCommInBuff(data), 0);
}

TEST_F(Transport, ClearingTheInputReportsSuccessAsOne) {
    EXPECT_EQ(CDevServer::SvrClearCommInBuff(data), 1);
    EXPECT_EQ(port.ClearCount(), 1);
}

TEST_F(Transport, ReadModesZeroTwoAndThreeWaitAtLeastAHundredMillisecondsAndModeOneAsToldTo) {
    for (unsigned int timeout : {0u, 50u, 99u, 100u, 150u}) {
        port.ClearLog();
        for (int mode = 0; mode <= 3; ++mode) Read(mode, timeout);
        ASSERT_EQ(port.Reads().size(), 4u);
        unsigned int floored = timeout < 100 ? 100 : timeout;
        EXPECT_EQ(port.Reads()[0].timeoutMs, floored);  // mode 0, ReadUntilChar
        EXPECT_EQ(port.Reads()[1].timeoutMs, timeout);  // mode 1, ReadLength
        EXPECT_EQ(port.Reads()[2].timeoutMs, floored);  // mode 2, ReadAvailable
        EXPECT_EQ(port.Reads()[3].timeoutMs, floored);  // mode 3, ReadUntilChar
        EXPECT_EQ(port.Reads()[0].slot, 13);
        EXPECT_EQ(port.Reads()[1].slot, 12);
        EXPECT_EQ(port.Reads()[2].slot, 11);
        EXPECT_EQ(port.Reads()[3].slot, 13);
    }
}

TEST_F(Transport, ModeZeroReadsAnotherChunkOnlyAfterAFullOneWithoutTheStopCharacter) {
    // 512 bytes ending in the stop character: one call.
    port.QueueChunks({Filled(512, 0x41, 0x0D), HexBytes("99")});
    EXPECT_EQ(Read(0, 100), 512);
    EXPECT_EQ(port.Reads().size(), 1u);
    EXPECT_EQ(port.Pending(), 1u);
    EXPECT_EQ(Read(0, 100), 1);

    // 512 bytes ending in another byte: a second call, both returned.
    port.ClearLog();
    port.QueueChunks({Filled(512, 0x41, 0x42), HexBytes("43 0D")});
    EXPECT_EQ(Read(0, 100), 514);
    EXPECT_EQ(port.Reads().size(), 2u);
    EXPECT_EQ(bytes[511], 0x42);
    EXPECT_EQ(bytes[513], 0x0D);
    EXPECT_EQ(port.Reads()[0].length, 512);

    // A shorter chunk ends the read whatever its last byte.
    port.ClearLog();
    port.QueueChunks({HexBytes("41 42"), HexBytes("43")});
    EXPECT_EQ(Read(0, 100), 2);
    EXPECT_EQ(port.Reads().size(), 1u);
}

TEST_F(Transport, ModeZeroAndModeTwoStopGatheringAtSixtyFourKibibytes) {
    std::vector<Bytes> endless(300, Filled(512, 0x41, 0x42));
    port.QueueChunks(endless);
    EXPECT_EQ(Read(0, 100), 65536);
    port.ClearLog();
    EXPECT_EQ(Read(2, 100), 65536);
}

TEST_F(Transport, ModeOneAsksForTheLengthOnceAndKeepsWhatCame) {
    port.QueueChunk(HexBytes("01 02 03"));
    EXPECT_EQ(Read(1, 100, 8), 3);
    EXPECT_EQ(BytesHex(Got()), "01 02 03");
    ASSERT_EQ(port.Reads().size(), 1u);
    EXPECT_EQ(port.Reads()[0].length, 8);

    EXPECT_EQ(Read(1, 100, 8), 0);  // nothing there
    EXPECT_TRUE(bytes.IsEmpty());

    // Without a port nothing is read and nothing is pretended.
    data.pComm = nullptr;
    EXPECT_EQ(Read(1, 100, 8), -1);
    EXPECT_TRUE(bytes.IsEmpty());
}

TEST_F(Transport, ModeTwoGoesOnWhileThePortSaysMoreIsWaiting) {
    // After the first read the port reports the second chunk as waiting.
    port.QueueChunks({HexBytes("01 02"), HexBytes("03")});
    EXPECT_EQ(Read(2, 100), 3);
    EXPECT_EQ(BytesHex(Got()), "01 02 03");
    EXPECT_EQ(port.Reads().size(), 2u);
    EXPECT_EQ(port.Reads()[0].length, 512);

    // A read that brings nothing ends the gathering.
    port.QueueChunks({{}, HexBytes("04")});
    EXPECT_EQ(Read(2, 100), 0);
    EXPECT_EQ(port.Pending(), 1u);
    EXPECT_EQ(CDevServer::SvrReadTcpip(data, bytes), 1);
}

TEST_F(Transport, ModeThreeReadsToTheStopCharacterOrLengthAndNeverReturnsAnError) {
    port.QueueChunk(HexBytes("41 0D 42"));
    EXPECT_EQ(Read(3, 100, 16, 0x0D), 2);
    EXPECT_EQ(BytesHex(Got()), "41 0D");
    EXPECT_EQ(port.Reads()[0].length, 16);

    EXPECT_EQ(Read(3, 100, 2, 0x0D), 1);  // the 42 left over
    EXPECT_EQ(Read(3, 100, 2, 0x0D), 0);
    EXPECT_TRUE(bytes.IsEmpty());
}

TEST_F(Transport, ReadsWithoutAPortOrInAnUnknownModeGiveErrors) {
    port.QueueChunk(HexBytes("01"));
    bytes.Add(0x55);
    EXPECT_EQ(Read(4, 100), -2);
    EXPECT_TRUE(bytes.IsEmpty());
    EXPECT_TRUE(port.Reads().empty());
    data.pComm = nullptr;
    for (int mode = 0; mode <= 3; ++mode) EXPECT_EQ(Read(mode, 100), -1) << "mode " << mode;
}

TEST_F(Transport, HexTextReadsComeBackInUpperCaseTwoDigitsPerByte) {
    port.QueueChunk(HexBytes("01 0A FF"));
    CString text = "old";
    EXPECT_EQ(CDevServer::SvrReadComm(data, COMM_TEXT_HEX, text, 100, COMM_READ_INPUTLEN, 3, 0), 3);
    EXPECT_STREQ(text, "010AFF");
}

TEST_F(Transport, PlainTextReadsEndAtTheFirstZeroByte) {
    port.QueueChunk(HexBytes("41 42 00 43"));
    CString text;
    EXPECT_EQ(CDevServer::SvrReadComm(data, COMM_TEXT_PLAIN, text, 100, COMM_READ_INPUTLEN, 4, 0), 4);
    EXPECT_STREQ(text, "AB");
}

TEST_F(Transport, AnUnknownTextModeStillReadsButLeavesTheText) {
    port.QueueChunk(HexBytes("41"));
    CString text = "keep";
    EXPECT_EQ(CDevServer::SvrReadComm(data, 2, text, 100, COMM_READ_INPUTLEN, 1, 0), -1);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(port.Reads().size(), 1u);
}

TEST_F(Transport, WritingTextConvertsByTheTextMode) {
    CString hex = "012a";
    EXPECT_EQ(CDevServer::SvrWriteComm(data, COMM_TEXT_HEX, hex), 2);
    CString plain = "AB";
    EXPECT_EQ(CDevServer::SvrWriteComm(data, COMM_TEXT_PLAIN, plain), 2);
    ASSERT_EQ(port.Writes().size(), 2u);
    EXPECT_EQ(BytesHex(port.Writes()[0]), "01 2A");
    EXPECT_EQ(BytesHex(port.Writes()[1]), "41 42");

    // Odd or empty hex text, or an unknown mode: nothing is written.
    for (const char* text : {"010", ""}) {
        CString odd = text;
        EXPECT_EQ(CDevServer::SvrWriteComm(data, COMM_TEXT_HEX, odd), 0);
    }
    EXPECT_EQ(CDevServer::SvrWriteComm(data, 3, hex), 0);
    EXPECT_EQ(port.Writes().size(), 2u);
}

TEST_F(Transport, WriteAndReadReplacesTheRequestTextByTheAnswerText) {
    port.SetResponder([](const Bytes& request) -> std::vector<Bytes> {
        Bytes echo = request;
        echo.push_back(0xEE);
        return {echo};
    });
    CString text = "0102";
    EXPECT_EQ(CDevServer::SvrWriteAndReadComm(data, COMM_TEXT_HEX, text, 100, COMM_READ_INPUTLEN, 3, 0), 3);
    EXPECT_STREQ(text, "0102EE");
    EXPECT_EQ(port.ClearCount(), 1);

    data.pComm = nullptr;
    EXPECT_EQ(CDevServer::SvrWriteAndReadComm(data, COMM_TEXT_HEX, text, 100, COMM_READ_INPUTLEN, 3, 0), -1);
}
