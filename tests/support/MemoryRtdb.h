// An in-memory real-time database: per-channel types and values, and named
// variables, with a log of the store calls.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "IDevRtdbCtrl.h"

class MemoryRtdb : public IDevRtdbCtrl2 {
public:
    struct Value {
        DATATYPE type = DATATYPE_NONE;
        int i = 0;
        double d = 0.0;
        std::string s;
    };

    // Channels and variables must be declared with their type first.
    void DeclareChannel(int channel, DATATYPE type) { m_channels[channel].type = type; }
    void DeclareVariable(const std::string& name, DATATYPE type) { m_vars[name].type = type; }
    void SetVariable(const std::string& name, int v) { m_vars[name] = Value{DATATYPE_INT, v, 0.0, ""}; }
    void SetVariable(const std::string& name, double v) { m_vars[name] = Value{DATATYPE_DOUBLE, 0, v, ""}; }
    void SetVariable(const std::string& name, const std::string& v) {
        m_vars[name] = Value{DATATYPE_STRING, 0, 0.0, v};
    }
    bool HasChannel(int channel) const { return m_channels.count(channel) != 0; }
    const Value& Channel(int channel) { return m_channels[channel]; }
    const Value& Variable(const std::string& name) { return m_vars[name]; }
    // Channels stored, in order of the store calls.
    const std::vector<int>& Stores() const { return m_stores; }
    void ClearStores() { m_stores.clear(); }
    int CollectFlagCalls() const { return m_collectFlagCalls; }

    int GetValueTypeByName(const char* name, DATATYPE& type) override;
    int GetValueByName(const char* name, int& value) override;
    int GetValueByName(const char* name, double& value) override;
    int GetValueByName(const char* name, std::string& value) override;
    int SetValueByName(const char* name, int value) override;
    int SetValueByName(const char* name, double value) override;
    int SetValueByName(const char* name, std::string& value) override;
    int GetValueTypeByChannel(int channel, DATATYPE& type) override;
    int GetValueByChannel(int channel, int& value) override;
    int GetValueByChannel(int channel, double& value) override;
    int GetValueByChannel(int channel, std::string& value) override;
    int SetValueByChannel(int channel, int value) override;
    int SetValueByChannel(int channel, double value) override;
    int SetValueByChannel(int channel, std::string& value) override;
    int GetValueIDByChannel(int channel, int& id) override;
    int SetCollectFlagSuc(int channel) override;

private:
    Value* Find(std::map<std::string, Value>& map, const char* name);
    Value* FindChannel(int channel);

    std::map<int, Value> m_channels;
    std::map<std::string, Value> m_vars;
    std::vector<int> m_stores;
    int m_collectFlagCalls = 0;
};
