#include "plcsim/Bus.h"

#include <stdexcept>
#include <string>

namespace plcsim {

Plc& Bus::Add(const Plc::Settings& settings) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_byStation[settings.station] != nullptr)
        throw std::invalid_argument("station " + std::to_string(settings.station) + " is already on the bus");
    m_plcs.push_back(std::make_unique<Plc>(settings));
    m_byStation[settings.station] = m_plcs.back().get();
    return *m_plcs.back();
}

Plc& Bus::Add(uint8_t station) {
    Plc::Settings settings;
    settings.station = station;
    return Add(settings);
}

Plc* Bus::Find(uint8_t station) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_byStation[station];
}

Plc& Bus::At(uint8_t station) {
    Plc* plc = Find(station);
    if (plc == nullptr) throw std::out_of_range("station " + std::to_string(station) + " is not on the bus");
    return *plc;
}

std::vector<uint8_t> Bus::Stations() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> stations;
    for (const auto& plc : m_plcs) stations.push_back(plc->Station());
    return stations;
}

size_t Bus::Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plcs.size();
}

void Bus::Handle(const uint8_t* request, size_t size, Reply& reply) {
    Plc* plc = size > 0 ? Find(request[0]) : nullptr;
    if (plc != nullptr) {
        plc->Handle(request, size, reply);
        return;
    }
    reply.Clear();
    reply.drop = size < 4 ? Drop::TooShort : Drop::OtherStation;
}

std::vector<uint8_t> Bus::Handle(const std::vector<uint8_t>& request) {
    Reply reply;
    Handle(request.data(), request.size(), reply);
    return std::move(reply.bytes);
}

}  // namespace plcsim
