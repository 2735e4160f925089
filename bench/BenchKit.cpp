#include "BenchKit.h"

#include <stdexcept>

#include "ScriptedPort.h"
#include "qdevctrl.h"

// ---------------------------------------------------------------- InstantPort

void InstantPort::Written(const uint8_t* data, size_t size) {
    ++m_requests;
    m_lastRequest.assign(data, data + size);
    // A new request drops what is left of the answer before.
    DropAll();
    Arrive(m_answer.data(), m_answer.size(), 0);
}

// ---------------------------------------------------------------- FlatRtdb

int FlatRtdb::GetValueTypeByChannel(int channel, DATATYPE& type) {
    if (!Known(channel)) return -1;
    type = m_types[static_cast<size_t>(channel)];
    return 0;
}

int FlatRtdb::SetValueByChannel(int channel, int value) { return SetValueByChannel(channel, double(value)); }

int FlatRtdb::SetValueByChannel(int channel, double value) {
    if (!Known(channel)) return -1;
    m_values[static_cast<size_t>(channel)] = value;
    ++m_storeCount;
    return 0;
}

int FlatRtdb::SetValueByChannel(int channel, std::string& value) {
    if (!Known(channel)) return -1;
    m_lastText = value;
    ++m_storeCount;
    return 0;
}

// ---------------------------------------------------------------- tables

namespace {

TestRow WordRow(uint32_t address, uint32_t dataType, uint32_t bit = 0) {
    return MakeRow(14, address, dataType, bit);  // D
}

uint32_t Width(uint32_t dataType) {
    if (dataType <= 85) return 1;
    if (dataType <= 89) return 2;
    if (dataType <= 93) return 4;
    return 2;
}

}  // namespace

std::vector<TestRow> MixedRows115() {
    std::vector<TestRow> rows;
    rows.push_back(WordRow(0, 131, 10));  // "STR" of 10 bytes: 5 words
    uint32_t address = 5;
    // WUB WB WD DUB DB DD DF LUB LB LD LF, bit 3 and bit 15 of a word: 29 words.
    const uint32_t pattern[] = {83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 3, 15};
    for (int repeat = 0; repeat < 3; ++repeat) {
        for (uint32_t code : pattern) {
            rows.push_back(WordRow(address, code));
            address += Width(code);
        }
    }
    while (address < 115) rows.push_back(WordRow(address++, 84));
    return rows;
}

ByteVector MixedAnswer115() {
    ByteVector answer = {0x01, 0x20, 230};
    const char text[] = "UPPM0- 1KO";  // "PUMP-01 OK" with each byte pair swapped
    answer.insert(answer.end(), text, text + 10);
    for (int i = 10; i < 230; ++i) answer.push_back(static_cast<uint8_t>((i * 37 + 11) & 0x3F));
    return WithCrc(answer);
}

std::vector<TestRow> LargeRows(int count) {
    std::vector<TestRow> rows;
    int words = count * 7 / 10;
    uint32_t address = 0;
    for (int i = 0; i < words; ++i) {
        uint32_t code = (i % 5 == 4) ? 89 : 83;  // every fifth a float
        if (i % 37 == 36) address += 4;          // a small hole now and then
        rows.push_back(WordRow(address, code));
        address += Width(code);
    }
    address = 0;
    for (int i = words; i < count; ++i) {
        if (i % 50 == 49) address += 3;
        rows.push_back(MakeRow(0, address++, 20));  // M
    }
    return rows;
}

// ---------------------------------------------------------------- Rig

Rig::Rig(const std::vector<TestRow>& rows, const ByteVector& answer, const std::vector<int32_t>& properties)
    : m_rtdb(static_cast<int>(rows.size())), m_device("bench", &m_rtdb, &m_port), m_refs(rows.size(), 1) {
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].dataType == 131) m_rtdb.SetType(static_cast<int>(i), DATATYPE_STRING);
    m_port.SetAnswer(answer);
    if (m_device.Configure(properties, rows) != 0 || m_device.RefChange(m_refs) != 0)
        throw std::runtime_error("the benchmark device could not be set up");
}
