// The driver engine: static routines that work on a device record.
//
// Routines by concern (one source file each):
//   DevBasData.cpp     device-data lifecycle
//   DevBasRows.cpp     channel rows from channel definitions
//   DevBasCmd.cpp      command-defined channel tables
//   DevBasPlan.cpp     block planning
//   DevBasFrame.cpp    frames, CRC and transactions
//   DevBasCollect.cpp  block collection and answer decoding
//   DevBasWrite.cpp    channel and block writes
//   DevBasIOCtrl.cpp   text commands
//
// Engine errors are negative: -2 no answer, -7 short or wrong answer, -4 write
// failed, -5 bad command, -6 nothing transferred, -100 a collection step failed.
#pragma once

#include <vector>

#include "CArray.h"
#include "DataType.h"
#include "Dev.h"
#include "DevVocabulary.h"
#include "HostArrays.h"
#include "HostString.h"
#include "ZevoData.h"

// Kind of a transaction; it runs the same way for every value.
enum DEV_RWTYPE {
    DEV_RWTYPE_READ = 0,
    DEV_RWTYPE_WRITE = 3,
};

// Engine result codes.
enum DEV_RESULT {
    DEV_ERR_NOANSWER = -2,
    DEV_ERR_WRITE = -4,
    DEV_ERR_COMMAND = -5,
    DEV_ERR_NOTRANSFER = -6,
    DEV_ERR_ANSWER = -7,
    DEV_ERR_COLLECT = -100,
};

// Plan types of mfMakeBlockDynamic.
enum DEV_PLANTYPE {
    PLAN_CYCLIC = 0,
    PLAN_MIX = 1,
    PLAN_MIX2 = 2,
    PLAN_CMDREAD = 3,
    PLAN_CMDWRITE = 4,
};

// A device property (DEV_PROPERTY) of the device data; 0 when the entry is
// missing, or (second form) when the record has no device data.
inline int Property(const DEV_DATA& dev, int index) {
    return index >= 0 && index < dev.arProperty.GetSize() ? dev.arProperty[index] : 0;
}
inline int Property(const ZEVO_DATA& data, int index) {
    return data.pDevData == nullptr ? 0 : Property(*data.pDevData, index);
}

// One command of a text command: its keyword (trimmed, upper case) and the
// text between its brackets.
struct DevCommandText {
    CString keyword;
    CString args;
};

class CDevBas {
public:
    // ---- device-data lifecycle
    static int mfInitBlockAndRow();
    static void mfCheckDevDataInit(ZEVO_DATA& data);
    static int mfDeserialize(ZEVO_DATA& data);
    static int mfDeserializeFromOld(ZEVO_DATA& data);
    static void mfCreateMydata(ZEVO_DATA& source, ZEVO_DATA& copy);
    static int mfDeleteMydata(ZEVO_DATA& data);

    // ---- channel rows from channel definitions
    static int mfGetDataTypeListNum(CString& typeName, int chlType);
    static unsigned int mfGetDataType(int dataTypeIndex, int chlType, unsigned int& width);
    static int mfFormRowName(CDevRow& row);
    static int mfMakeDevRowsFromSChlInfo(SChlInfo& def, CArray<CDevRow, CDevRow&>& rows);
    static int mfGetVarAutoName(CString& name, CString& format, int& number);
    static int mfGetRWFlag(int kind);

    // ---- text commands
    // The commands of a text, first to last: "KEYWORD(args)" one after
    // another. False when the text holds none, or its first one is broken;
    // whatever follows the last whole command is ignored.
    static bool mfSplitCommands(const CString& text, std::vector<DevCommandText>& commands);
    // The command kind (IOCTRL_KIND) of a keyword, -1 for none.
    static int mfCommandKind(const CString& keyword);
    // The items of a command's argument text, cut at every ';'.
    static void mfSplitItems(const CString& args, CStringArray& items);
    // The value WRITE32 (wide false) or WRITE64 (wide true) reads from the
    // text of a variable for a row of that data-type code.
    static double mfCommandTextValue(const CString& text, unsigned int code, bool wide);
    // Bytes a write puts into a string row of that length: even, at most 240.
    static int mfStringWriteBytes(unsigned int stringLength) {
        return static_cast<int>((stringLength > 240u ? 240u : stringLength) & ~1u);
    }

    // ---- command-defined channel tables
    static int mfBuildDevTableFromCmd(ZEVO_DATA& data, CStringArray& items, CStringArray& names,
                                      CArray<int, int>& lineFlags, CString& resultName, int kind);
    static int mfMakeDevRowsFromCmd(ZEVO_DATA& data, CArray<CDevRow, CDevRow&>& rows, CString& item,
                                    CStringArray& names, CArray<int, int>& lineFlags, int kind);

    // ---- block planning
    static int mfMakeBlock(ZEVO_DATA& data, CArray<int, int>& wanted, int unused);
    static int mfMakeBlockDynamic(ZEVO_DATA& data, CArray<int, int>& wanted, int planType, int rowMode);
    static int mfBuildDynBlock(ZEVO_DATA& data, CArray<int, int>& wanted, int planType, int rowMode);
    static int mfAnalyzeDynBlock(ZEVO_DATA& data, int fromRank, int planType, int countLinks);
    static int mfLinkRankBlock(ZEVO_DATA& data, int fromRank, int planType, int maxLinkState);
    static int mfMakeMixBlockOnly(ZEVO_DATA& data, int mixMode);
    static int mfFetchBlockLen(CDevTable& table, int firstRow, int lastRow);
    static int mfSetCollectFlag(ZEVO_DATA& data, CArray<int, int>& flags, int rank, int flag);
    static int mfCheckAddressOffset(ZEVO_DATA& data, int, int, int);
    // Element width of one row by its data-type code (and string length),
    // at most INT_MAX.
    static int mfGetRowWidth(CDevRow& row);
    // Elements a value of a data-type code occupies: 1 up to DATACODE_WD
    // (single words and the bits of a word), 2 up to DATACODE_DF, 4 up to
    // DATACODE_LF, half the byte length rounded up for a string (the row's bit
    // field holds that length) and 2 for any other code. The one home of this
    // rule for the planner, the collection, the tools and the tests.
    static long long mfGetRowWidth(unsigned int code, unsigned int stringLength) {
        if (code <= DATACODE_WD) return 1;
        if (code <= DATACODE_DF) return 2;
        if (code <= DATACODE_LF) return 4;
        if (code == DATACODE_STR) return (static_cast<long long>(stringLength) + 1) / 2;
        return 2;
    }

    // ---- frames, CRC and transactions
    static int mfFormReadOrder(ZEVO_DATA& data, CString& order, CDevTable& table, int station, int count, int rowIndex);
    static int mfFormReadOrderMix(ZEVO_DATA& data, CString& order, int unused);
    static int mfAddSum(ZEVO_DATA& data, int mode, CString& frame);
    static int mfWriteAndRead(ZEVO_DATA& data, CString& order, unsigned int expectedLength, DEV_RWTYPE kind,
                              int attempts);
    // CRC-16 (initial 0xFFFF, polynomial 0xA001 reflected, no final XOR).
    static unsigned short mfCrc16(const unsigned char* bytes, int count);

    // ---- block collection and answer decoding
    static int mfCollectDevData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                CStringArray& strings);
    static int mfReadBlockFromDev(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                  CStringArray& strings, int rank, int attempts);
    static int mfExplainCommByteData(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                     CStringArray& strings, CString& response, int rank, int unused);
    static double mfGetChlValue(ZEVO_DATA& data, CString& text, int chlType, int code);
    // True when a read answer (hex text, as the transaction leaves it) is as
    // long as the request expected and its byte count announces exactly the
    // data the request asked for: expectedLength - 5 bytes.
    static bool mfAnswerCarriesRequest(const CString& answer, int expectedLength);
    // Puts the first byteCount bytes (2 hex digits each) of digits into a decode
    // order: order k of the option labels ("1 - 2143", "4 - 5678_1234", ...)
    // lists, most significant first, which received byte each value byte is.
    // The same permutation puts a value's bytes on the wire for writes. False
    // (digits unchanged) for an order outside the labels or a short text.
    static bool mfReorderDigits(CString& digits, int byteCount, int order);

    // ---- writes
    static int mfDevIOWriteChannel(ZEVO_DATA& data, int channel, DATATYPE type, void* value);
    static int mfWriteBlockToDev(ZEVO_DATA& data, CArray<int, int>& flags, CArray<double, double>& values,
                                 CStringArray& strings, int index, int mode);
    static int mfFormWriteOrder(ZEVO_DATA& data, CArray<double, double>& values, CStringArray& strings,
                                CString& request, int index, int mode, int& flag);

    // ---- text commands
    static int mfDevIOCtrl(ZEVO_DATA& data, CString& command, CArray<double, double>& values, CStringArray& strings);
    static int mfDevIOWriteAndRead(ZEVO_DATA& data, CString& args, int kind);
};
