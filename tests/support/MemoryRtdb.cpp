#include "MemoryRtdb.h"

namespace {
const int kNotFound = -1;
const int kWrongType = -2;
}  // namespace

MemoryRtdb::Value* MemoryRtdb::Find(std::map<std::string, Value>& map, const char* name) {
    if (name == nullptr) return nullptr;
    auto it = map.find(name);
    return it == map.end() ? nullptr : &it->second;
}

MemoryRtdb::Value* MemoryRtdb::FindChannel(int channel) {
    auto it = m_channels.find(channel);
    return it == m_channels.end() ? nullptr : &it->second;
}

int MemoryRtdb::GetValueTypeByName(const char* name, DATATYPE& type) {
    Value* v = Find(m_vars, name);
    if (v == nullptr) return kNotFound;
    type = v->type;
    return 0;
}

int MemoryRtdb::GetValueByName(const char* name, int& value) {
    Value* v = Find(m_vars, name);
    if (v == nullptr) return kNotFound;
    if (v->type != DATATYPE_INT) return kWrongType;
    value = v->i;
    return 0;
}

int MemoryRtdb::GetValueByName(const char* name, double& value) {
    Value* v = Find(m_vars, name);
    if (v == nullptr) return kNotFound;
    if (v->type != DATATYPE_DOUBLE) return kWrongType;
    value = v->d;
    return 0;
}

int MemoryRtdb::GetValueByName(const char* name, std::string& value) {
    Value* v = Find(m_vars, name);
    if (v == nullptr) return kNotFound;
    if (v->type != DATATYPE_STRING) return kWrongType;
    value = v->s;
    return 0;
}

int MemoryRtdb::SetValueByName(const char* name, int value) {
    Value* v = Find(m_vars, name);
    if (v == nullptr) return kNotFound;
    if (v->type != DATATYPE_INT) return kWrongType;
    v->i = value;
    return 0;
}

int MemoryRtdb::SetValueByName(const char* name, double value) {
    Value* v = Find(m_vars, name);
    if (v == nullptr) return kNotFound;
    if (v->type != DATATYPE_DOUBLE) return kWrongType;
    v->d = value;
    return 0;
}

int MemoryRtdb::SetValueByName(const char* name, std::string& value) {
    Value* v = Find(m_vars, name);
    if (v == nullptr) return kNotFound;
    if (v->type != DATATYPE_STRING) return kWrongType;
    v->s = value;
    return 0;
}

int MemoryRtdb::GetValueTypeByChannel(int channel, DATATYPE& type) {
    Value* v = FindChannel(channel);
    if (v == nullptr) return kNotFound;
    type = v->type;
    return 0;
}

int MemoryRtdb::GetValueByChannel(int channel, int& value) {
    Value* v = FindChannel(channel);
    if (v == nullptr) return kNotFound;
    value = v->i;
    return 0;
}

int MemoryRtdb::GetValueByChannel(int channel, double& value) {
    Value* v = FindChannel(channel);
    if (v == nullptr) return kNotFound;
    value = v->d;
    return 0;
}

int MemoryRtdb::GetValueByChannel(int channel, std::string& value) {
    Value* v = FindChannel(channel);
    if (v == nullptr) return kNotFound;
    value = v->s;
    return 0;
}

int MemoryRtdb::SetValueByChannel(int channel, int value) {
    Value* v = FindChannel(channel);
    if (v == nullptr) return kNotFound;
    v->i = value;
    m_stores.push_back(channel);
    return 0;
}

int MemoryRtdb::SetValueByChannel(int channel, double value) {
    Value* v = FindChannel(channel);
    if (v == nullptr) return kNotFound;
    v->d = value;
    m_stores.push_back(channel);
    return 0;
}

int MemoryRtdb::SetValueByChannel(int channel, std::string& value) {
    Value* v = FindChannel(channel);
    if (v == nullptr) return kNotFound;
    v->s = value;
    m_stores.push_back(channel);
    return 0;
}

int MemoryRtdb::GetValueIDByChannel(int channel, int& id) {
    id = channel;
    return FindChannel(channel) != nullptr ? 0 : kNotFound;
}

int MemoryRtdb::SetCollectFlagSuc(int) {
    ++m_collectFlagCalls;
    return 0;
}
