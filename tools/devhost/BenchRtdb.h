// The bench host's real-time database, in memory: one value per channel, of
// the type its data type calls for, and named variables for IOCtrl commands.
// Every value the driver stores is time-stamped and reported to a listener.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "IDevRtdbCtrl.h"

namespace devhost {

struct Value {
    DATATYPE type = DATATYPE_NONE;
    int i = 0;
    double d = 0.0;
    std::string s;

    std::string Text() const;  // "5", "1.25", the string itself
};

class BenchRtdb : public IDevRtdbCtrl2 {
public:
    using Clock = std::chrono::steady_clock;
    struct Channel {
        Value value;
        bool stored = false;
        Clock::time_point at{};
        unsigned long stores = 0;
    };
    using Listener = std::function<void(int channel, const Channel&)>;

    explicit BenchRtdb(const std::vector<DATATYPE>& channelTypes);

    void OnStore(Listener listener) { m_listener = std::move(listener); }
    const std::vector<Channel>& Channels() const { return m_channels; }
    void DeclareVariable(const std::string& name, const Value& initial) { m_vars[name] = initial; }
    const std::map<std::string, Value>& Variables() const { return m_vars; }

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
    Channel* Find(int channel);
    Value* Variable(const char* name, DATATYPE type);
    int Store(int channel, DATATYPE type, const std::function<void(Value&)>& set);

    std::vector<Channel> m_channels;
    std::map<std::string, Value> m_vars;
    Listener m_listener;
};

}  // namespace devhost
