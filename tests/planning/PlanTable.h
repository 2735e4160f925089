// Builds channel tables for planning tests and shows planned blocks as text.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "DevBas.h"
#include "DevVocabulary.h"
#include "DeviceRecord.h"

// Channel types and data-type codes used by the tests.
const unsigned int M = CHL_TYPE_M;    // bit area "M"
const unsigned int X = CHL_TYPE_X;    // bit area "X"
const unsigned int D = CHL_TYPE_D;    // word area "D"
const unsigned int ID = CHL_TYPE_ID;  // word area "ID"
const unsigned int BIT = 20;
const unsigned int WB = 84;  // 16-bit
const unsigned int DB = 87;  // 32-bit
const unsigned int LB = 91;  // 64-bit
const unsigned int STR = 131;

// A row as the planning tests write it in braces, {type, address, code};
// made into a table row by the one row builder.
struct RowDef {
    unsigned int type;
    unsigned int address;
    unsigned int code;
    unsigned int bit = 0;  // string length in bytes for strings
    unsigned int rwFlag = 2;

    operator TestRow() const { return MakeRow(type, address, code, bit, rwFlag); }
};

inline RowDef Word(unsigned int address, unsigned int type = D) { return RowDef{type, address, WB}; }
inline RowDef Dword(unsigned int address) { return RowDef{D, address, DB}; }
inline RowDef Qword(unsigned int address) { return RowDef{D, address, LB}; }
inline RowDef Bit(unsigned int address, unsigned int type = M) { return RowDef{type, address, BIT}; }
inline RowDef Text(unsigned int address, unsigned int bytes) { return RowDef{D, address, STR, bytes}; }
inline RowDef WriteOnly(RowDef row) {
    row.rwFlag = 1;
    return row;
}

class PlanTable : public DeviceRecord {
public:
    void Add(const std::vector<RowDef>& defs) {
        AppendRows(std::vector<TestRow>(defs.begin(), defs.end()));
        WantAll();
    }

    // Every row wanted (the default after Add), or only the listed rows.
    void WantAll() {
        wanted.SetSize(Table().GetRowCount() + 1);
        wanted[0] = 0;
        for (int i = 1; i < wanted.GetSize(); ++i) wanted[i] = 1;
    }
    void WantOnly(std::initializer_list<int> rows) {
        wanted.SetSize(Table().GetRowCount() + 1);
        for (int i = 0; i < wanted.GetSize(); ++i) wanted[i] = 0;
        for (int row : rows) wanted[row + 1] = 1;
    }
    void Unwant(std::initializer_list<int> rows) {
        for (int row : rows) wanted[row + 1] = 0;
    }

    int Plan() { return CDevBas::mfMakeBlock(data, wanted, 1); }
    int Plan(int planType, int rowMode = -1) { return CDevBas::mfMakeBlockDynamic(data, wanted, planType, rowMode); }
    int Runs(int rowMode = -1) { return CDevBas::mfBuildDynBlock(data, wanted, 0, rowMode); }

    // The blocks as "first-last:length@rank/state", separated by spaces.
    std::string Blocks() {
        std::string text;
        CArray<DynBlock, DynBlock&>& blocks = Dev().arBlock;
        for (int b = 0; b < blocks.GetSize(); ++b) {
            const DynBlock& block = blocks[b];
            if (!text.empty()) text += ' ';
            text += std::to_string(block.nStartRow) + "-" + std::to_string(block.nEndRow) + ":" +
                    std::to_string(block.nLength) + "@" + std::to_string(block.nRank) + "/" +
                    std::to_string(block.nState);
        }
        return text;
    }

    // Replaces the plan by blocks given as (first row, last row, rank).
    void SetBlocks(const std::vector<std::vector<int>>& blocks) {
        Dev().arBlock.SetSize(static_cast<int>(blocks.size()));
        for (size_t b = 0; b < blocks.size(); ++b) {
            DynBlock& block = Dev().arBlock[static_cast<int>(b)];
            block.nStartRow = blocks[b][0];
            block.nEndRow = blocks[b][1];
            block.nChlType = static_cast<int>(D);
            block.nLength = 0;
            block.nRank = blocks[b][2];
            block.nState = BLOCK_CLOSED;
        }
    }

    CArray<int, int> wanted;
};

// Rows at consecutive addresses from address on.
inline std::vector<RowDef> Consecutive(int count, unsigned int address, RowDef (*make)(unsigned int, unsigned int),
                                       unsigned int type) {
    std::vector<RowDef> rows;
    for (int i = 0; i < count; ++i) rows.push_back(make(address + static_cast<unsigned int>(i), type));
    return rows;
}

inline std::vector<RowDef> operator+(std::vector<RowDef> a, const std::vector<RowDef>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
