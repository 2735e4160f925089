// The driver's vocabulary tables (UTF-8 literals).
#include "DevVocabulary.h"

// Device property names and option labels.
extern const CString DEV_STR_PROPERTYNAME[DEV_PROPERTY_NAME_COUNT] = {
    "设备地址",   "通讯等待时间",   "16位整数解码顺序", "32位整数解码顺序",   "32位浮点数解码顺序",
    "字符串编码", "字符串解码顺序", "64位整数解码顺序", "64位浮点数解码顺序",
};

extern const CString DEV_STR_PROPERTLIST[DEV_PROPERTY_LIST_COUNT] = {
    "0 - 12",
    "1 - 21",  // 16-bit order
    "0 - 1234",
    "1 - 2143",
    "2 - 3412",
    "3 - 4321",  // 32-bit integer order
    "0 - 1234",
    "1 - 2143",
    "2 - 3412",
    "3 - 4321",  // 32-bit float order
    "0 - ASCII",
    "1 - UNICODE",  // string encoding
    "0 - 21",
    "1 - 12",  // string byte order
    "0 - LH[低字节,高字节]",
    "1 - HL[高字节,低字节]",  // CRC byte order
    "0 - 1234_5678",
    "1 - 2143_6587",
    "2 - 3412_7856",
    "3 - 4321_8765",  // 64-bit integer order
    "4 - 5678_1234",
    "5 - 6587_2143",
    "6 - 7856_3412",
    "7 - 8765_4321",
    "0 - 1234_5678",
    "1 - 2143_6587",
    "2 - 3412_7856",
    "3 - 4321_8765",  // 64-bit float order
    "4 - 5678_1234",
    "5 - 6587_2143",
    "6 - 7856_3412",
    "7 - 8765_4321",
};

// Row properties.
extern const CString DEVROW_STR_CHLRWFLAG("通道的读写标志");
extern const CString DEVROW_STR_CHLTYPE("通道类型");
extern const CString DEVROW_STR_CHLADDRESS("DEV通道地址");
extern const CString DEVROW_STR_CHLBIT("通道的位");
extern const CString DEVROW_STR_CHLDATATYPE("通道的数据类型");
extern const CString DEVROW_STR_CHLREADFASTFLAG("DEV通道的快读标志");
extern const CString DEVROW_STR_CHLREADMAX("数据块读的最大长度");
extern const CString DEVROW_STR_CHLNAME("通道名称");

extern const CString DEVROW_STR_PROPERTYNAME[DEVROW_PROPERTY_COUNT] = {
    "通道的读写标志", "通道类型",          "DEV通道地址",        "通道的位",
    "通道的数据类型", "DEV通道的快读标志", "数据块读的最大长度", "通道名称",
};
extern const int DEVROW_DWORD_PROPERTYTYPE[DEVROW_PROPERTY_COUNT] = {1, 1, 1, 1, 1, 1, 1, 2};
extern const int DEVROW_DWORD_PROPERTYTAXIS[DEVROW_PROPERTY_COUNT] = {0, 1, 1, 1, 0, 0, 0, 0};

// Data types.
extern const CString DATATYPE_STR_NAME[DATATYPE_COUNT] = {
    "WUB", "WB", "WD", "DUB", "DB", "DD", "DF", "LUB", "LB", "LD", "LF", "STR",
};
extern const CString DATATYPE_STR_SELECT2NAME[DATATYPE_COUNT] = {
    "16位 无符号二进制", "16位 有符号二进制", "16位 4位BCD", "32位 无符号二进制",
    "32位 有符号二进制", "32位 8位BCD",       "32位 浮点数", "64位 无符号二进制",
    "64位 有符号二进制", "64位 16位BCD",      "64位 浮点数", "ASCII字符串",
};
extern const CString DATATYPE_STR_BITNAME[DATATYPE_BIT_COUNT] = {
    "BT00", "BT01", "BT02", "BT03", "BT04", "BT05", "BT06", "BT07",
    "BT08", "BT09", "BT10", "BT11", "BT12", "BT13", "BT14", "BT15",
};
extern const CString DATATYPE_STR_SELECT2BITNAME[DATATYPE_BIT_COUNT] = {
    "通道的第00位", "通道的第01位", "通道的第02位", "通道的第03位", "通道的第04位", "通道的第05位",
    "通道的第06位", "通道的第07位", "通道的第08位", "通道的第09位", "通道的第10位", "通道的第11位",
    "通道的第12位", "通道的第13位", "通道的第14位", "通道的第15位",
};

namespace {

// One group of selection labels: the 16 bit labels, then the 12 type labels.
const CString& Select2Label(int index) {
    int position = index % SELECT2_GROUP_SIZE;
    return position < DATATYPE_BIT_COUNT ? DATATYPE_STR_SELECT2BITNAME[position]
                                         : DATATYPE_STR_SELECT2NAME[position - DATATYPE_BIT_COUNT];
}

}  // namespace

#define SELECT2_GROUP(g)                                                                                            \
    Select2Label(g * 28 + 0), Select2Label(g * 28 + 1), Select2Label(g * 28 + 2), Select2Label(g * 28 + 3),         \
        Select2Label(g * 28 + 4), Select2Label(g * 28 + 5), Select2Label(g * 28 + 6), Select2Label(g * 28 + 7),     \
        Select2Label(g * 28 + 8), Select2Label(g * 28 + 9), Select2Label(g * 28 + 10), Select2Label(g * 28 + 11),   \
        Select2Label(g * 28 + 12), Select2Label(g * 28 + 13), Select2Label(g * 28 + 14), Select2Label(g * 28 + 15), \
        Select2Label(g * 28 + 16), Select2Label(g * 28 + 17), Select2Label(g * 28 + 18), Select2Label(g * 28 + 19), \
        Select2Label(g * 28 + 20), Select2Label(g * 28 + 21), Select2Label(g * 28 + 22), Select2Label(g * 28 + 23), \
        Select2Label(g * 28 + 24), Select2Label(g * 28 + 25), Select2Label(g * 28 + 26), Select2Label(g * 28 + 27)

// 15 identical groups, one for each word area 14-28.
extern const CString SELECT2_STR_PROPERTYNAME[SELECT2_COUNT] = {
    SELECT2_GROUP(0),  SELECT2_GROUP(1),  SELECT2_GROUP(2),  SELECT2_GROUP(3),  SELECT2_GROUP(4),
    SELECT2_GROUP(5),  SELECT2_GROUP(6),  SELECT2_GROUP(7),  SELECT2_GROUP(8),  SELECT2_GROUP(9),
    SELECT2_GROUP(10), SELECT2_GROUP(11), SELECT2_GROUP(12), SELECT2_GROUP(13), SELECT2_GROUP(14),
};
#undef SELECT2_GROUP

extern const CString CHLNAME_STR_RWFLAG[3] = {"只读", "只写", "读写"};

// Channel types.
extern const CString CHL_STR_NAME[CHL_TYPE_COUNT] = {
    "M",  "X",  "Y",  "S",  "SM", "T",   "C",  "ET",  "SEM", "HM",  "HS",   "HT", "HC",  "HSC", "D",
    "ID", "QD", "SD", "TD", "CD", "ETD", "HD", "HSD", "HTD", "HCD", "HSCD", "FD", "SFD", "FS",
};
extern const CString DEV_STR_ADDRESSFORMAT[CHL_TYPE_COUNT] = {
    "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d",
    "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d",
    "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d", "%.4d",
};
extern const CString DEV_STR_BITFORMAT[CHL_TYPE_COUNT] = {
    "",      "",      "",      "",      "",      "",      "",      "",      "",      "",
    "",      "",      "",      "",      ".%.2d", ".%.2d", ".%.2d", ".%.2d", ".%.2d", ".%.2d",
    ".%.2d", ".%.2d", ".%.2d", ".%.2d", ".%.2d", ".%.2d", ".%.2d", ".%.2d", ".%.2d",
};
extern const CString CHL_STR_READORDER[CHL_TYPE_COUNT] = {
    "03", "01", "02", "04", "0D", "05", "06", "07", "12", "08", "09", "0A", "0B", "0C", "80",
    "86", "87", "83", "81", "82", "85", "88", "8C", "89", "8A", "8B", "8D", "8E", "91",
};

extern const int DEV_READBLK_MAXNUM[DEV_READBLK_COUNT] = {
    1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 120, 120, 120, 120, 120, 120,
    120,  120,  120,  120,  120,  120,  120,  120,  120,  120,  120,  120,  120,  120,  120, 120, 120, 120, 120,
};
extern const int DEV_WRITEBLK_MAXNUM[CHL_TYPE_COUNT] = {
    120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 120, 48,
    48,  48,  48,  48,  48,  48,  48,  48,  48,  48,  48,  48,  48,  48,
};
extern const int CHLTYPE_DWORD_RWFLAG[CHL_TYPE_COUNT] = {
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1,
};
extern const int SELECT2_DWORD_PROPERTYNUM[CHL_TYPE_COUNT] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28,
};

// Command keywords.
extern const CString DEV_STR_READ("READ");
extern const CString DEV_STR_WRITE("WRITE");
extern const CString DEV_STR_READ32("READ32");
extern const CString DEV_STR_WRITE32("WRITE32");
extern const CString DEV_STR_READ64("READ64");
extern const CString DEV_STR_WRITE64("WRITE64");
extern const CString DEV_STR_READP("READP");
extern const CString DEV_STR_WRITEP("WRITEP");
extern const CString DEV_STR_READPV("READPV");
extern const CString DEV_STR_WRITEPV("WRITEPV");
extern const CString DEV_STR_READBLOCK("READBLOCK");
extern const CString DEV_STR_WRITEBLOCK("WRITEBLOCK");
extern const CString DEV_STR_READMUTIREG("ReadMutiReg");
extern const CString DEV_STR_WRITEMUTIREG("WriteMutiReg");
extern const CString DEV_STR_ZEVOWRITE("ZEVO_WRITE");

extern const CString IOCTRL_STR_PROPERTYNAME[IOCTRL_KIND_COUNT] = {
    "READ",   "WRITE",  "READ32",  "WRITE32",   "READ64",     "WRITE64",     "READP",
    "WRITEP", "READPV", "WRITEPV", "READBLOCK", "WRITEBLOCK", "ReadMutiReg", "WriteMutiReg",
};
