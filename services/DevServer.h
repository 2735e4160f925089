// Static services of the driver: host variables and command tokens, the
// serial transport over the host's port, and value/text conversions.
#pragma once

#include "HostArrays.h"
#include "HostString.h"
#include "ZevoData.h"

// Text modes of SvrWriteComm / SvrReadComm.
enum COMM_TEXTMODE {
    COMM_TEXT_PLAIN = 0,
    COMM_TEXT_HEX = 1,
};

// Read modes of mfReadComm / SvrReadComm.
enum COMM_READMODE {
    COMM_READ_STOPCHAR = 0,
    COMM_READ_INPUTLEN = 1,
    COMM_READ_SLEEP = 2,
    COMM_READ_CHARORLEN = 3,
};

class CDevServer {
public:
    CDevServer() {}
    virtual ~CDevServer() {}

    // ---- host variables and command tokens
    static int SvrGetParaValue(ZEVO_DATA& data, CString name, double& value);
    static int SvrGetParaValue(ZEVO_DATA& data, CString name, CString& value);
    static int SvrSetParaValue(ZEVO_DATA& data, CString name, double& value);
    static int SvrSetParaValue(ZEVO_DATA& data, CString name, CString& value);
    static int SvrGetCmdStr(CString& text, CString& separator, CString& left, CString& rest);

    // ---- serial transport
    static int SvrClearCommInBuff(ZEVO_DATA& data);
    static int SvrWriteTcpip(ZEVO_DATA& data, CByteArray& bytes);
    static int mfWriteComm(ZEVO_DATA& data, CByteArray& bytes);
    static int SvrReadTcpip(ZEVO_DATA& data, CByteArray& bytes);
    static int mfReadComm(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs, int readMode, unsigned int length,
                          unsigned char stopChar);
    static int mfReadCommUseStopChar(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs,
                                     unsigned char stopChar);
    static int mfReadCommUseInputLen(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs, unsigned int length);
    // Read mode 1 into a caller's buffer: one ReadLength call for up to length
    // bytes; the count placed (never more than length), 0 for nothing or an
    // error, -1 without a port.
    static int mfReadCommIntoBuffer(ZEVO_DATA& data, unsigned char* buffer, int length, unsigned int timeoutMs);
    static int mfReadCommUseSleep(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs);
    static int mfReadCommUseCharOrLen(ZEVO_DATA& data, CByteArray& bytes, unsigned char stopChar,
                                      unsigned int timeoutMs, unsigned int length);
    static int SvrWriteComm(ZEVO_DATA& data, int textMode, CString& text);
    static int SvrReadComm(ZEVO_DATA& data, int textMode, CString& text, unsigned int timeoutMs, int readMode,
                           unsigned int length, unsigned char stopChar);
    static int SvrWriteAndReadComm(ZEVO_DATA& data, int textMode, CString& text, unsigned int timeoutMs, int readMode,
                                   unsigned int length, unsigned char stopChar);

    // ---- value and text conversions
    static int SvrStr2Byte(CString& text, CByteArray& bytes);
    static int SvrByte2Str(CByteArray& bytes, CString& text);
    static int SvrHStr2HByte(CString& hex, CByteArray& bytes);
    static int SvrHByte2HStr(CByteArray& bytes, CString& hex);
    static int SvrChangeStrIncode(CByteArray& bytes, int order);
    static double SvrStr2Double(CString text, int code, int group, int length);
    // The same on textLength characters at text (no CString needed).
    static double SvrStr2Double(const char* text, int textLength, int code, int group, int length);
    static CString SvrDouble2Str(double value, int code, int group, int length);
    static int Double2Int(double& value);
    static int ConvertCode(const char* from, const char* to, char* in, int inLength, char* out, int& outRoom);
    static int SvrStr2ASCII(CString& text, CByteArray& bytes);
    static int SvrASCII2Str(CByteArray& bytes, CString& text);
    static int SvrStr2Unicode(CString& text, CByteArray& bytes);
    static int SvrUnicode2Str(CByteArray& bytes, CString& text);
};
