// Placeholder bodies until this concern is implemented.
#include "DevBas.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevBas::mfFormReadOrder(ZEVO_DATA& data, CString& order, CDevTable& table, int station, int count, int rowIndex) {
    return {};
}
int CDevBas::mfFormReadOrderMix(ZEVO_DATA& data, CString& order, int unused) { return {}; }
int CDevBas::mfAddSum(ZEVO_DATA& data, int mode, CString& frame) { return {}; }
int CDevBas::mfWriteAndRead(ZEVO_DATA& data, CString& order, unsigned int expectedLength, DEV_RWTYPE kind,
                            int attempts) {
    return {};
}
unsigned short CDevBas::mfCrc16(const unsigned char* bytes, int count) { return {}; }
