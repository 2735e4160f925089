// Placeholder bodies until this concern is implemented.
#include "DevBas.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevBas::mfCollectDevData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                              CStringArray& strings) {
    return {};
}
int CDevBas::mfReadBlockFromDev(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                CStringArray& strings, int rank, int attempts) {
    return {};
}
int CDevBas::mfExplainCommByteData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                   CStringArray& strings, CString& response, int rank, int unused) {
    return {};
}
double CDevBas::mfGetChlValue(ZEVO_DATA& data, CString& text, int chlType, int code) { return {}; }
