// Placeholder bodies until this concern is implemented.
#include "DevBas.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

int CDevBas::mfGetDataTypeListNum(CString& typeName, int chlType) { return {}; }
unsigned int CDevBas::mfGetDataType(int dataTypeIndex, int chlType, unsigned int& width) { return {}; }
int CDevBas::mfFormRowName(CDevRow& row) { return {}; }
int CDevBas::mfMakeDevRowsFromSChlInfo(SChlInfo& def, CArray<CDevRow, CDevRow&>& rows) { return {}; }
int CDevBas::mfGetVarAutoName(CString& name, CString& format, int& number) { return {}; }
int CDevBas::mfGetRWFlag(int kind) { return {}; }
