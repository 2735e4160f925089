// Placeholder bodies until this concern is implemented.
#include "DevBas.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevBas::mfDevIOCtrl(ZEVO_DATA& data, CString& command, CArray<double, double>& values, CStringArray& strings) {
    return {};
}
int CDevBas::mfDevIOWriteAndRead(ZEVO_DATA& data, CString& args, int kind) { return {}; }
