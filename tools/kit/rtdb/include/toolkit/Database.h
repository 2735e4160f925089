// The host's real-time database in memory: one object per controller, as a
// host gives each controller its own. Channels and named variables are
// declared with their data type first, and the database is as strict as a
// host: a name or channel that was never declared is not found (-1), and a
// value of another type than the declared one is refused (-2), whether read
// or stored. Every value stored is time-stamped, counted and reported to a
// listener; nothing is kept per store call, so a database that serves a
// controller around the clock holds its channels and variables only.
//
// Not thread-safe: a host serves each controller's database from the thread
// that drives that controller.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "IDevRtdbCtrl.h"

namespace toolkit {

struct Value {
    DATATYPE type = DATATYPE_NONE;
    int i = 0;
    double d = 0.0;
    std::string s;

    std::string Text() const;  // "5", "1.25", the string itself
};

class Database : public IDevRtdbCtrl2 {
public:
    // Codes of a refused call.
    static constexpr int kNotFound = -1;
    static constexpr int kWrongType = -2;

    using Clock = std::chrono::steady_clock;
    using Value = toolkit::Value;
    struct ChannelState {
        Value value;
        bool stored = false;
        Clock::time_point at{};
        unsigned long stores = 0;
    };
    using Listener = std::function<void(int channel, const ChannelState&)>;

    Database() = default;
    // Channels 0..n-1 of the given types.
    explicit Database(const std::vector<DATATYPE>& channelTypes);

    // Declares a channel or variable with its type (a value already held stays).
    void DeclareChannel(int channel, DATATYPE type) { m_channels[channel].value.type = type; }
    void DeclareVariable(const std::string& name, DATATYPE type) { m_vars[name].type = type; }
    void DeclareVariable(const std::string& name, const Value& initial) { m_vars[name] = initial; }
    void RemoveVariable(const std::string& name) { m_vars.erase(name); }
    // Declares a variable of the value's type with that value.
    void SetVariable(const std::string& name, int v) { m_vars[name] = Value{DATATYPE_INT, v, 0.0, ""}; }
    void SetVariable(const std::string& name, double v) { m_vars[name] = Value{DATATYPE_DOUBLE, 0, v, ""}; }
    void SetVariable(const std::string& name, const std::string& v) {
        m_vars[name] = Value{DATATYPE_STRING, 0, 0.0, v};
    }
    // Forgets every variable.
    void ClearVariables() { m_vars.clear(); }

    bool HasChannel(int channel) const { return m_channels.count(channel) != 0; }
    // The channel's or variable's value; an empty value when not declared.
    const Value& Channel(int channel) const;
    const Value& Variable(const std::string& name) const;
    // nullptr when the channel was not declared.
    const ChannelState* State(int channel) const;
    const std::map<int, ChannelState>& Channels() const { return m_channels; }
    const std::map<std::string, Value>& Variables() const { return m_vars; }

    // Called after every value stored into a channel.
    void OnStore(Listener listener) { m_listener = std::move(listener); }
    // SetCollectFlagSuc calls, declared channel or not.
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
    // The declared variable or channel of that type, or the code why not.
    int FindVariable(const char* name, DATATYPE type, Value*& found);
    int FindChannel(int channel, DATATYPE type, ChannelState*& found);
    // Time-stamps, counts and reports a value just stored.
    void Stored(int channel, ChannelState& state);

    std::map<int, ChannelState> m_channels;
    std::map<std::string, Value> m_vars;
    Listener m_listener;
    int m_collectFlagCalls = 0;
};

}  // namespace toolkit
