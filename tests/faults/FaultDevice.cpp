#include "FaultDevice.h"

#include <cmath>
#include <cstdio>

#include "Dev.h"
#include "DevVocabulary.h"

FaultDevice::FaultDevice(ICommunication* port, int waitMs) : m_device("dev1", &m_rtdb, port), m_refs(kChannels, 1) {
    std::vector<int32_t> props = DefaultProperties();
    props[1] = waitMs;
    m_device.Configure(props, {MakeRow(14, 0, 83), MakeRow(14, 1, 84), MakeRow(0, 0, 20), MakeRow(14, 1000, 83)});
    for (int c = 0; c < kChannels; ++c) m_rtdb.DeclareChannel(c, DATATYPE_DOUBLE);
    m_device.RefChange(m_refs);
}

FaultDevice::~FaultDevice() = default;

void FaultDevice::SetValues(plcsim::Plc& plc, uint16_t d0, int16_t d1, uint16_t m0, uint16_t d1000) {
    plc.Set("D", 0, d0);
    plc.Set("D", 1, static_cast<uint16_t>(d1));
    plc.Set("M", 0, m0);
    plc.Set("D", 1000, d1000);
}

int FaultDevice::RankCount() { return m_device.Dev().nRankCount; }
int FaultDevice::Cursor() { return m_device.Dev().nReadRank; }

std::string FaultDevice::TableAndPlan() {
    DEV_DATA& dev = m_device.Dev();
    std::string text;
    char line[128];
    for (int r = 0; r < dev.pTable->GetRowCount(); ++r) {
        for (int p = 0; p + 1 < DEVROW_PROPERTY_COUNT; ++p)
            text += std::to_string(dev.pTable->Row(r).GetdwValue(DEVROW_STR_PROPERTYNAME[p])) + " ";
        text += "\n";
    }
    for (int b = 0; b < dev.arBlock.GetSize(); ++b) {
        const DynBlock& k = dev.arBlock[b];
        std::snprintf(line, sizeof line, "block %d-%d type %d len %d rank %d state %d\n", k.nStartRow, k.nEndRow,
                      k.nChlType, k.nLength, k.nRank, k.nState);
        text += line;
    }
    return text + "ranks " + std::to_string(dev.nRankCount);
}

std::vector<double> FaultDevice::Stored() {
    std::vector<double> values;
    for (int c = 0; c < kChannels; ++c) {
        bool stored = false;
        for (int s : m_rtdb.Stores()) stored = stored || s == c;
        values.push_back(stored ? m_rtdb.Channel(c).d : kNeverStored);
    }
    return values;
}

std::vector<double> FaultDevice::Held(plcsim::Plc& plc) {
    return {static_cast<double>(plc.Get("D", 0)), static_cast<double>(static_cast<int16_t>(plc.Get("D", 1))),
            static_cast<double>(plc.Get("M", 0)), static_cast<double>(plc.Get("D", 1000))};
}
