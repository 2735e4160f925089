// Placeholder bodies until this concern is implemented.
#include "DevServer.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevServer::SvrClearCommInBuff(ZEVO_DATA& data) { return {}; }
int CDevServer::SvrWriteTcpip(ZEVO_DATA& data, CByteArray& bytes) { return {}; }
int CDevServer::mfWriteComm(ZEVO_DATA& data, CByteArray& bytes) { return {}; }
int CDevServer::SvrReadTcpip(ZEVO_DATA& data, CByteArray& bytes) { return {}; }
int CDevServer::mfReadComm(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs, int readMode,
                           unsigned int length, unsigned char stopChar) {
    return {};
}
int CDevServer::mfReadCommUseStopChar(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs,
                                      unsigned char stopChar) {
    return {};
}
int CDevServer::mfReadCommUseInputLen(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs, unsigned int length) {
    return {};
}
int CDevServer::mfReadCommUseSleep(ZEVO_DATA& data, CByteArray& bytes, unsigned int timeoutMs) { return {}; }
int CDevServer::mfReadCommUseCharOrLen(ZEVO_DATA& data, CByteArray& bytes, unsigned char stopChar,
                                       unsigned int timeoutMs, unsigned int length) {
    return {};
}
int CDevServer::SvrWriteComm(ZEVO_DATA& data, int textMode, CString& text) { return {}; }
int CDevServer::SvrReadComm(ZEVO_DATA& data, int textMode, CString& text, unsigned int timeoutMs, int readMode,
                            unsigned int length, unsigned char stopChar) {
    return {};
}
int CDevServer::SvrWriteAndReadComm(ZEVO_DATA& data, int textMode, CString& text, unsigned int timeoutMs, int readMode,
                                    unsigned int length, unsigned char stopChar) {
    return {};
}
