#include "toolkit/Database.h"

#include <cstdio>

namespace toolkit {

Database::Database(const std::vector<DATATYPE>& channelTypes) {
    for (size_t c = 0; c < channelTypes.size(); ++c) DeclareChannel(static_cast<int>(c), channelTypes[c]);
}

const Value& Database::Channel(int channel) const {
    static const Value kNone;
    auto it = m_channels.find(channel);
    return it == m_channels.end() ? kNone : it->second.value;
}

const Value& Database::Variable(const std::string& name) const {
    static const Value kNone;
    auto it = m_vars.find(name);
    return it == m_vars.end() ? kNone : it->second;
}

const Database::ChannelState* Database::State(int channel) const {
    auto it = m_channels.find(channel);
    return it == m_channels.end() ? nullptr : &it->second;
}

int Database::FindVariable(const char* name, DATATYPE type, Value*& found) {
    if (name == nullptr) return kNotFound;
    auto it = m_vars.find(name);
    if (it == m_vars.end()) return kNotFound;
    if (it->second.type != type) return kWrongType;
    found = &it->second;
    return 0;
}

int Database::FindChannel(int channel, DATATYPE type, ChannelState*& found) {
    auto it = m_channels.find(channel);
    if (it == m_channels.end()) return kNotFound;
    if (it->second.value.type != type) return kWrongType;
    found = &it->second;
    return 0;
}

void Database::Stored(int channel, ChannelState& state) {
    state.stored = true;
    state.at = Clock::now();
    ++state.stores;
    if (m_listener) m_listener(channel, state);
}

int Database::GetValueTypeByName(const char* name, DATATYPE& type) {
    if (name == nullptr) return kNotFound;
    auto it = m_vars.find(name);
    if (it == m_vars.end()) return kNotFound;
    type = it->second.type;
    return 0;
}

int Database::GetValueByName(const char* name, int& value) {
    Value* v = nullptr;
    int rc = FindVariable(name, DATATYPE_INT, v);
    if (rc == 0) value = v->i;
    return rc;
}

int Database::GetValueByName(const char* name, double& value) {
    Value* v = nullptr;
    int rc = FindVariable(name, DATATYPE_DOUBLE, v);
    if (rc == 0) value = v->d;
    return rc;
}

int Database::GetValueByName(const char* name, std::string& value) {
    Value* v = nullptr;
    int rc = FindVariable(name, DATATYPE_STRING, v);
    if (rc == 0) value = v->s;
    return rc;
}

int Database::SetValueByName(const char* name, int value) {
    Value* v = nullptr;
    int rc = FindVariable(name, DATATYPE_INT, v);
    if (rc == 0) v->i = value;
    return rc;
}

int Database::SetValueByName(const char* name, double value) {
    Value* v = nullptr;
    int rc = FindVariable(name, DATATYPE_DOUBLE, v);
    if (rc == 0) v->d = value;
    return rc;
}

int Database::SetValueByName(const char* name, std::string& value) {
    Value* v = nullptr;
    int rc = FindVariable(name, DATATYPE_STRING, v);
    if (rc == 0) v->s = value;
    return rc;
}

int Database::GetValueTypeByChannel(int channel, DATATYPE& type) {
    auto it = m_channels.find(channel);
    if (it == m_channels.end()) return kNotFound;
    type = it->second.value.type;
    return 0;
}

int Database::GetValueByChannel(int channel, int& value) {
    ChannelState* c = nullptr;
    int rc = FindChannel(channel, DATATYPE_INT, c);
    if (rc == 0) value = c->value.i;
    return rc;
}

int Database::GetValueByChannel(int channel, double& value) {
    ChannelState* c = nullptr;
    int rc = FindChannel(channel, DATATYPE_DOUBLE, c);
    if (rc == 0) value = c->value.d;
    return rc;
}

int Database::GetValueByChannel(int channel, std::string& value) {
    ChannelState* c = nullptr;
    int rc = FindChannel(channel, DATATYPE_STRING, c);
    if (rc == 0) value = c->value.s;
    return rc;
}

int Database::SetValueByChannel(int channel, int value) {
    ChannelState* c = nullptr;
    int rc = FindChannel(channel, DATATYPE_INT, c);
    if (rc != 0) return rc;
    c->value.i = value;
    Stored(channel, *c);
    return 0;
}

int Database::SetValueByChannel(int channel, double value) {
    ChannelState* c = nullptr;
    int rc = FindChannel(channel, DATATYPE_DOUBLE, c);
    if (rc != 0) return rc;
    c->value.d = value;
    Stored(channel, *c);
    return 0;
}

int Database::SetValueByChannel(int channel, std::string& value) {
    ChannelState* c = nullptr;
    int rc = FindChannel(channel, DATATYPE_STRING, c);
    if (rc != 0) return rc;
    c->value.s = value;
    Stored(channel, *c);
    return 0;
}

int Database::GetValueIDByChannel(int channel, int& id) {
    if (!HasChannel(channel)) return kNotFound;
    id = channel;
    return 0;
}

int Database::SetCollectFlagSuc(int channel) {
    ++m_collectFlagCalls;
    return HasChannel(channel) ? 0 : kNotFound;
}

}  // namespace toolkit
