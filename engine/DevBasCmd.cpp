// Placeholder bodies until this concern is implemented.
#include "DevBas.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevBas::mfBuildDevTableFromCmd(ZEVO_DATA& data, CStringArray& items, CStringArray& names,
                                    CArray<int, int>& lineFlags, CString& resultName, int kind) {
    return {};
}
int CDevBas::mfMakeDevRowsFromCmd(ZEVO_DATA& data, CArray<CDevRow, CDevRow&>& rows, CString& item, CStringArray& names,
                                  CArray<int, int>& lineFlags, int kind) {
    return {};
}
