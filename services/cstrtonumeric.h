// Numeric text parsing by printf-style format: one entry point that looks the
// format up in a fixed table and calls the matching parser.
#pragma once

#include "HostString.h"

typedef int (*PFN_CSTRTONUMERIC)(CString text, void* target, bool positive);

struct CONVERT_ENTRY {
    const char* format;
    PFN_CSTRTONUMERIC parser;
    const char* description;
};

const int CONVERT_TABLE_SIZE = 10;
extern const CONVERT_ENTRY CONVERT_TABLE[CONVERT_TABLE_SIZE];

// Targets: "%d" int32_t, "%u" uint32_t, "%ld" int32_t (32-bit long on every
// target), "%x" and "%o" int32_t, "%f" float, "%lf" double, "%lld" int64_t,
// "%llu" and "%llx" uint64_t. Returns 1 for an unknown format (the target is
// untouched), else the parser's result.
int cstringToNumeric(CString text, CString format, void* target);

int cstringToInt(CString text, void* target, bool positive);
int cstringToUInt(CString text, void* target, bool positive);
int cstringToLong(CString text, void* target, bool positive);
int cstringToHex(CString text, void* target, bool positive);
int cstringToOct(CString text, void* target, bool positive);
int cstringToFloat(CString text, void* target, bool positive);
int cstringToDouble(CString text, void* target, bool positive);
int cstringToLongLong(CString text, void* target, bool positive);
int cstringToULongLong(CString text, void* target, bool positive);
int cstringToLLHex(CString text, void* target, bool positive);
