// The driver's vocabulary: every name, label, area code, format and limit that
// the rest of the driver looks up, indexed mostly by channel type (0-28; 0-13
// bit areas, 14-28 word areas). Built when the plug-in is loaded, never
// changed afterwards. No table checks its index.
#pragma once

#include "DevChannelTypes.h"
#include "HostString.h"

const int DEV_READBLK_COUNT = 39;   // entries of DEV_READBLK_MAXNUM
const int DATATYPE_COUNT = 12;      // entries of DATATYPE_STR_NAME
const int DATATYPE_BIT_COUNT = 16;  // entries of DATATYPE_STR_BITNAME
const int SELECT2_COUNT = 420;      // entries of SELECT2_STR_PROPERTYNAME
const int SELECT2_GROUP_SIZE = 28;  // labels per word-area group
const int DEV_PROPERTY_NAME_COUNT = 9;
const int DEV_PROPERTY_LIST_COUNT = 32;
const int DEVROW_PROPERTY_COUNT = 8;
const int IOCTRL_KIND_COUNT = 14;
const int DEV_PROPERTY_COUNT = 10;  // device properties 0-9 read by the engine

// Per channel type.
extern const CString CHL_STR_NAME[CHL_TYPE_COUNT];
extern const CString CHL_STR_READORDER[CHL_TYPE_COUNT];
extern const CString DEV_STR_ADDRESSFORMAT[CHL_TYPE_COUNT];
extern const CString DEV_STR_BITFORMAT[CHL_TYPE_COUNT];
extern const int DEV_READBLK_MAXNUM[DEV_READBLK_COUNT];
extern const int DEV_WRITEBLK_MAXNUM[CHL_TYPE_COUNT];
extern const int CHLTYPE_DWORD_RWFLAG[CHL_TYPE_COUNT];
extern const int SELECT2_DWORD_PROPERTYNUM[CHL_TYPE_COUNT];

// Data types.
extern const CString DATATYPE_STR_NAME[DATATYPE_COUNT];
extern const CString DATATYPE_STR_SELECT2NAME[DATATYPE_COUNT];
extern const CString DATATYPE_STR_BITNAME[DATATYPE_BIT_COUNT];
extern const CString DATATYPE_STR_SELECT2BITNAME[DATATYPE_BIT_COUNT];
extern const CString SELECT2_STR_PROPERTYNAME[SELECT2_COUNT];

// Read/write flags: 0 read only, 1 write only, 2 read and write.
extern const CString CHLNAME_STR_RWFLAG[3];

// Row properties.
extern const CString DEVROW_STR_CHLRWFLAG;
extern const CString DEVROW_STR_CHLTYPE;
extern const CString DEVROW_STR_CHLADDRESS;
extern const CString DEVROW_STR_CHLBIT;
extern const CString DEVROW_STR_CHLDATATYPE;
extern const CString DEVROW_STR_CHLREADFASTFLAG;
extern const CString DEVROW_STR_CHLREADMAX;
extern const CString DEVROW_STR_CHLNAME;
extern const CString DEVROW_STR_PROPERTYNAME[DEVROW_PROPERTY_COUNT];
extern const int DEVROW_DWORD_PROPERTYTYPE[DEVROW_PROPERTY_COUNT];
extern const int DEVROW_DWORD_PROPERTYTAXIS[DEVROW_PROPERTY_COUNT];

// Device properties and their option labels.
extern const CString DEV_STR_PROPERTYNAME[DEV_PROPERTY_NAME_COUNT];
extern const CString DEV_STR_PROPERTLIST[DEV_PROPERTY_LIST_COUNT];

// Command keywords; the index is the command kind (even reads, odd writes).
extern const CString DEV_STR_READ;
extern const CString DEV_STR_WRITE;
extern const CString DEV_STR_READ32;
extern const CString DEV_STR_WRITE32;
extern const CString DEV_STR_READ64;
extern const CString DEV_STR_WRITE64;
extern const CString DEV_STR_READP;
extern const CString DEV_STR_WRITEP;
extern const CString DEV_STR_READPV;
extern const CString DEV_STR_WRITEPV;
extern const CString DEV_STR_READBLOCK;
extern const CString DEV_STR_WRITEBLOCK;
extern const CString DEV_STR_READMUTIREG;
extern const CString DEV_STR_WRITEMUTIREG;
extern const CString DEV_STR_ZEVOWRITE;
extern const CString IOCTRL_STR_PROPERTYNAME[IOCTRL_KIND_COUNT];

// Command kinds (positions in IOCTRL_STR_PROPERTYNAME).
enum IOCTRL_KIND {
    IOCTRL_READ = 0,
    IOCTRL_WRITE = 1,
    IOCTRL_READ32 = 2,
    IOCTRL_WRITE32 = 3,
    IOCTRL_READ64 = 4,
    IOCTRL_WRITE64 = 5,
    IOCTRL_READP = 6,
    IOCTRL_WRITEP = 7,
    IOCTRL_READPV = 8,
    IOCTRL_WRITEPV = 9,
    IOCTRL_READBLOCK = 10,
    IOCTRL_WRITEBLOCK = 11,
    IOCTRL_READMUTIREG = 12,
    IOCTRL_WRITEMUTIREG = 13,
};

// Data-type codes stored in a row.
const unsigned int DATACODE_BIT_LAST = 15;  // 0-15: bit n of a word
const unsigned int DATACODE_BITAREA = 20;   // a bit of a bit area
const unsigned int DATACODE_WUB = 83;
const unsigned int DATACODE_WB = 84;
const unsigned int DATACODE_WD = 85;
const unsigned int DATACODE_DUB = 86;
const unsigned int DATACODE_DB = 87;
const unsigned int DATACODE_DD = 88;
const unsigned int DATACODE_DF = 89;
const unsigned int DATACODE_LUB = 90;
const unsigned int DATACODE_LB = 91;
const unsigned int DATACODE_LD = 92;
const unsigned int DATACODE_LF = 93;
const unsigned int DATACODE_DECIMAL = 100;  // decimal text (conversions only)
const unsigned int DATACODE_STR = 131;

// Device property indexes.
enum DEV_PROPERTY {
    DEVPROP_STATION = 0,
    DEVPROP_WAITTIME = 1,
    DEVPROP_ORDER16 = 2,
    DEVPROP_ORDER32 = 3,
    DEVPROP_ORDERFLOAT = 4,
    DEVPROP_STRENCODING = 5,
    DEVPROP_STRORDER = 6,
    DEVPROP_CRCORDER = 7,
    DEVPROP_ORDER64 = 8,
    DEVPROP_ORDERDOUBLE = 9,
};
