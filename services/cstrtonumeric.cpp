// Placeholder bodies until this concern is implemented.
#include "cstrtonumeric.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

const CONVERT_ENTRY CONVERT_TABLE[CONVERT_TABLE_SIZE] = {};
int cstringToNumeric(CString text, CString format, void* target) { return 1; }
