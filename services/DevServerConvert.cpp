// Placeholder bodies until this concern is implemented.
#include "DevServer.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevServer::SvrStr2Byte(CString& text, CByteArray& bytes) { return {}; }
int CDevServer::SvrByte2Str(CByteArray& bytes, CString& text) { return {}; }
int CDevServer::SvrHStr2HByte(CString& hex, CByteArray& bytes) { return {}; }
int CDevServer::SvrHByte2HStr(CByteArray& bytes, CString& hex) { return {}; }
int CDevServer::SvrChangeStrIncode(CByteArray& bytes, int order) { return {}; }
double CDevServer::SvrStr2Double(CString text, int code, int group, int length) { return {}; }
CString CDevServer::SvrDouble2Str(double value, int code, int group, int length) { return {}; }
int CDevServer::Double2Int(double& value) { return {}; }
int CDevServer::ConvertCode(const char* from, const char* to, char* in, int inLength, char* out, int& outRoom) {
    return {};
}
int CDevServer::SvrStr2ASCII(CString& text, CByteArray& bytes) { return {}; }
int CDevServer::SvrASCII2Str(CByteArray& bytes, CString& text) { return {}; }
int CDevServer::SvrStr2Unicode(CString& text, CByteArray& bytes) { return {}; }
int CDevServer::SvrUnicode2Str(CByteArray& bytes, CString& text) { return {}; }
