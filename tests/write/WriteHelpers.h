// Shared pieces of the write tests: the PLC's answers to write and read
// requests, and a device record for driving the engine's block writes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Blob.h"
#include "DevBas.h"
#include "DevVocabulary.h"
#include "DeviceRecord.h"
#include "ScriptedPort.h"

// A channel row of a configuration blob, its fields in the blob's order.
inline TestRow Row(uint32_t rwFlag, uint32_t chlType, uint32_t address, uint32_t bit, uint32_t dataType) {
    return MakeRow(chlType, address, dataType, bit, rwFlag);
}

// The PLC's answer to a write request: its first 8 bytes (station, function,
// area, address, count) and a CRC, 10 bytes.
inline std::vector<Bytes> EchoWrite(const Bytes& request) {
    if (request.size() < 8) return {};
    return {WithCrc(Bytes(request.begin(), request.begin() + 8))};
}

// A device record with its own table, for writing planned blocks the way text
// commands do: every row wanted, planned for writing, one request per block.
class BlockDevice : public DeviceRecord {
public:
    BlockDevice() {
        Prop(DEVPROP_STATION) = 1;
        Prop(DEVPROP_WAITTIME) = 100;
    }

    // A read-write row with the value (or text) it is to write.
    void AddRow(unsigned int chlType, unsigned int address, unsigned int code, double value,
                const std::string& text = "", unsigned int bit = 0) {
        AppendRow(chlType, address, code, bit);
        m_values.push_back(value);
        m_texts.push_back(text);
    }

    // Plans the rows as a block write command does and returns the blocks.
    int Plan() {
        int rows = Table().GetRowCount();
        flags.SetSize(rows + 1);
        values.SetSize(rows + 1);
        strings.SetSize(rows + 1);
        for (int i = 0; i < rows; ++i) {
            flags[i + 1] = 1;
            values[i + 1] = m_values[static_cast<size_t>(i)];
            strings[i + 1] = m_texts[static_cast<size_t>(i)].c_str();
        }
        CDevBas::mfMakeBlockDynamic(data, flags, PLAN_CMDWRITE, IOCTRL_WRITEBLOCK);
        return data.pDevData->arBlock.GetSize();
    }
    // Writes one planned block: the reply length (10) or a negative code.
    int WriteBlock(int block) { return CDevBas::mfWriteBlockToDev(data, flags, values, strings, block, 1); }

    CArray<int, int> flags;
    CArray<double, double> values;
    CStringArray strings;

private:
    std::vector<double> m_values;
    std::vector<std::string> m_texts;
};
