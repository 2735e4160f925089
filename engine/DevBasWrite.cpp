// Placeholder bodies until this concern is implemented.
#include "DevBas.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevBas::mfDevIOWriteChannel(ZEVO_DATA& data, int channel, DATATYPE type, void* value) { return {}; }
int CDevBas::mfWriteBlockToDev(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                               CStringArray& strings, int index, int mode) {
    return {};
}
int CDevBas::mfFormWriteOrder(ZEVO_DATA& data, CArray<double, double>& values, CStringArray& strings, CString& request,
                              int index, int mode, int& flag) {
    return {};
}
