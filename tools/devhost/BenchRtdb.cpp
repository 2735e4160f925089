#include "BenchRtdb.h"

#include <cstdio>

namespace devhost {

namespace {
const int kNotFound = -1;
const int kWrongType = -2;
}  // namespace

std::string Value::Text() const {
    char buf[64];
    switch (type) {
        case DATATYPE_INT:
            return std::to_string(i);
        case DATATYPE_DOUBLE:
            std::snprintf(buf, sizeof buf, "%.10g", d);
            return buf;
        case DATATYPE_STRING:
            return s;
        default:
            return "";
    }
}

BenchRtdb::BenchRtdb(const std::vector<DATATYPE>& channelTypes) : m_channels(channelTypes.size()) {
    for (size_t c = 0; c < channelTypes.size(); ++c) m_channels[c].value.type = channelTypes[c];
}

BenchRtdb::Channel* BenchRtdb::Find(int channel) {
    if (channel < 0 || static_cast<size_t>(channel) >= m_channels.size()) return nullptr;
    return &m_channels[static_cast<size_t>(channel)];
}

Value* BenchRtdb::Variable(const char* name, DATATYPE type) {
    if (name == nullptr) return nullptr;
    auto it = m_vars.find(name);
    if (it == m_vars.end() || it->second.type != type) return nullptr;
    return &it->second;
}

int BenchRtdb::GetValueTypeByName(const char* name, DATATYPE& type) {
    if (name == nullptr) return kNotFound;
    auto it = m_vars.find(name);
    if (it == m_vars.end()) return kNotFound;
    type = it->second.type;
    return 0;
}

int BenchRtdb::GetValueByName(const char* name, int& value) {
    Value* v = Variable(name, DATATYPE_INT);
    if (v == nullptr) return kWrongType;
    value = v->i;
    return 0;
}

int BenchRtdb::GetValueByName(const char* name, double& value) {
    Value* v = Variable(name, DATATYPE_DOUBLE);
    if (v == nullptr) return kWrongType;
    value = v->d;
    return 0;
}

int BenchRtdb::GetValueByName(const char* name, std::string& value) {
    Value* v = Variable(name, DATATYPE_STRING);
    if (v == nullptr) return kWrongType;
    value = v->s;
    return 0;
}

int BenchRtdb::SetValueByName(const char* name, int value) {
    Value* v = Variable(name, DATATYPE_INT);
    if (v == nullptr) return kWrongType;
    v->i = value;
    return 0;
}

int BenchRtdb::SetValueByName(const char* name, double value) {
    Value* v = Variable(name, DATATYPE_DOUBLE);
    if (v == nullptr) return kWrongType;
    v->d = value;
    return 0;
}

int BenchRtdb::SetValueByName(const char* name, std::string& value) {
    Value* v = Variable(name, DATATYPE_STRING);
    if (v == nullptr) return kWrongType;
    v->s = value;
    return 0;
}

int BenchRtdb::GetValueTypeByChannel(int channel, DATATYPE& type) {
    Channel* c = Find(channel);
    if (c == nullptr) return kNotFound;
    type = c->value.type;
    return 0;
}

int BenchRtdb::GetValueByChannel(int channel, int& value) {
    Channel* c = Find(channel);
    if (c == nullptr) return kNotFound;
    value = c->value.i;
    return 0;
}

int BenchRtdb::GetValueByChannel(int channel, double& value) {
    Channel* c = Find(channel);
    if (c == nullptr) return kNotFound;
    value = c->value.d;
    return 0;
}

int BenchRtdb::GetValueByChannel(int channel, std::string& value) {
    Channel* c = Find(channel);
    if (c == nullptr) return kNotFound;
    value = c->value.s;
    return 0;
}

int BenchRtdb::Store(int channel, DATATYPE type, const std::function<void(Value&)>& set) {
    Channel* c = Find(channel);
    if (c == nullptr) return kNotFound;
    if (c->value.type != type) return kWrongType;
    set(c->value);
    c->stored = true;
    c->at = Clock::now();
    ++c->stores;
    if (m_listener) m_listener(channel, *c);
    return 0;
}

int BenchRtdb::SetValueByChannel(int channel, int value) {
    return Store(channel, DATATYPE_INT, [&](Value& v) { v.i = value; });
}

int BenchRtdb::SetValueByChannel(int channel, double value) {
    return Store(channel, DATATYPE_DOUBLE, [&](Value& v) { v.d = value; });
}

int BenchRtdb::SetValueByChannel(int channel, std::string& value) {
    return Store(channel, DATATYPE_STRING, [&](Value& v) { v.s = value; });
}

int BenchRtdb::GetValueIDByChannel(int channel, int& id) {
    if (Find(channel) == nullptr) return kNotFound;
    id = channel;
    return 0;
}

int BenchRtdb::SetCollectFlagSuc(int channel) { return Find(channel) == nullptr ? kNotFound : 0; }

}  // namespace devhost
