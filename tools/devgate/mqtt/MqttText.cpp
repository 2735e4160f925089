// The parts of the MQTT face that need no broker: the command line's values,
// the auth file and the memory of recent incoming messages.
#include <fstream>
#include <functional>
#include <stdexcept>

#include "gateway/MqttFace.h"
#include "toolkit/Output.h"

namespace gateway {

std::string PrefixFault(const std::string& prefix) {
    if (prefix.empty()) return "the prefix is empty";
    if (prefix.find_first_of("+#") != std::string::npos) return "the prefix holds '+' or '#'";
    if (prefix.front() == '/' || prefix.back() == '/') return "the prefix begins or ends with '/'";
    if (prefix.find('\0') != std::string::npos) return "the prefix holds a NUL";
    return std::string();
}

void ReadMqttAuth(const std::string& path, std::string& user, std::string& password) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) throw std::runtime_error("mqtt auth file " + path + " cannot be read");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        throw std::runtime_error("mqtt auth file " + path + ": the first line is not user:password");
    user = line.substr(0, colon);
    password = line.substr(colon + 1);
}

bool RecentMessages::Seen(int mid, const std::string& topic, const std::string& payload, Clock::time_point now) {
    while (!m_order.empty() && (now - m_order.front().at > m_window || m_order.size() >= m_capacity)) {
        auto it = m_seen.find(m_order.front().key);
        if (it != m_seen.end() && it->second == m_order.front().at) m_seen.erase(it);
        m_order.pop_front();
    }
    std::string key = std::to_string(mid) + '\n' + std::to_string(std::hash<std::string>{}(payload)) + '\n' + topic;
    auto it = m_seen.find(key);
    if (it != m_seen.end()) return true;
    m_seen[key] = now;
    m_order.push_back({now, key});
    return false;
}

void RecentMessages::Clear() {
    m_order.clear();
    m_seen.clear();
}

}  // namespace gateway
