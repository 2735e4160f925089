// devgate built without libmosquitto: the MQTT face refuses to start.
#include <stdexcept>

#include "gateway/MqttFace.h"

namespace gateway {

struct MqttFace::Impl {};

MqttFace::MqttFace(Gateway&, MqttOptions) {
    throw std::runtime_error("mqtt: this devgate was built without libmosquitto");
}
MqttFace::~MqttFace() = default;
void MqttFace::Start() {}
void MqttFace::Stop() {}
bool MqttFace::Connected() const { return false; }
bool MqttFace::AwaitConnected(bool state, std::chrono::milliseconds) { return !state; }
std::string MqttFace::Describe() const { return std::string(); }

}  // namespace gateway
