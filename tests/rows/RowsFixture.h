// The device record with an empty channel table whose host variables live in
// an in-memory database, and a compact text form of rows for comparisons.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Dev.h"
#include "DeviceRecord.h"
#include "MemoryRtdb.h"

class RowsTest : public ::testing::Test, protected DeviceRecord {
protected:
    RowsTest() { UseRtdb(&wrapper); }

    // "type address.bit code" of a row, e.g. "14 100.0 83".
    static std::string Row(CDevRow& row) {
        return std::to_string(row.GetdwValue(DEVROW_STR_CHLTYPE)) + " " +
               std::to_string(row.GetdwValue(DEVROW_STR_CHLADDRESS)) + "." +
               std::to_string(row.GetdwValue(DEVROW_STR_CHLBIT)) + " " +
               std::to_string(row.GetdwValue(DEVROW_STR_CHLDATATYPE));
    }
    static std::vector<std::string> Rows(CArray<CDevRow, CDevRow&>& rows) {
        std::vector<std::string> out;
        for (int i = 0; i < rows.GetSize(); ++i) out.push_back(Row(rows[i]));
        return out;
    }
    static std::vector<std::string> RowNames(CArray<CDevRow, CDevRow&>& rows) {
        std::vector<std::string> out;
        for (int i = 0; i < rows.GetSize(); ++i) out.push_back(rows[i].GetstrValue(DEVROW_STR_CHLNAME).c_str());
        return out;
    }
    static std::vector<std::string> Texts(CStringArray& texts) {
        std::vector<std::string> out;
        for (int i = 0; i < texts.GetSize(); ++i) out.push_back(texts[i].c_str());
        return out;
    }

    // One item of a command of the given kind; rows and names land in the members.
    int Item(int kind, const char* text) {
        rows.RemoveAll();
        names.RemoveAll();
        flags.RemoveAll();
        item = text;
        return CDevBas::mfMakeDevRowsFromCmd(data, rows, item, names, flags, kind);
    }

    MemoryRtdb rtdb;
    CDevRtdb wrapper{&rtdb};
    DEV_DATA& dev = Dev();
    CDevTable& table = Table();
    CArray<CDevRow, CDevRow&> rows;
    CStringArray names;
    CArray<int, int> flags;
    CString item;
};

using Strings = std::vector<std::string>;
