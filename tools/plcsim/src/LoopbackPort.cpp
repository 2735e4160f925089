#include "plcsim/LoopbackPort.h"

#include <array>

namespace plcsim {

LoopbackPort::LoopbackPort(Plc& plc, unsigned baud) : QueuePort("loopback"), m_plc(plc), m_baud(baud) {
    m_reply.bytes.reserve(512);
}

void LoopbackPort::Written(const uint8_t* data, size_t size) {
    ++m_writes;
    m_plc.Handle(data, size, m_reply);
    const uint64_t byteUs = ByteUs();
    uint64_t start = NowUs() + m_reply.delayMs * 1000ull;
    if (m_baud > 0) start += size * byteUs + byteUs * 7 / 2;
    const size_t n = m_reply.bytes.size();
    const size_t chunk = m_reply.chunkSize > 0 ? m_reply.chunkSize : (n > 0 ? n : 1);
    for (size_t at = 0, c = 0; at < n; at += chunk, ++c) {
        const size_t length = n - at < chunk ? n - at : chunk;
        Arrive(m_reply.bytes.data() + at, length, start + c * m_reply.gapMs * 1000ull + at * byteUs, byteUs);
    }
    m_streamUs = start;
}

void LoopbackPort::BeforeRead(int max) {
    if (!m_plc.Streaming() || Queued() >= static_cast<size_t>(max)) return;
    static const std::array<uint8_t, 64> kStream = [] {
        std::array<uint8_t, 64> bytes;
        bytes.fill(kStreamByte);
        return bytes;
    }();
    // Enough of the stream for this read, arriving from now (or after the
    // stream bytes already on their way) at the baud rate.
    const uint64_t byteUs = ByteUs();
    const uint64_t now = NowUs();
    if (m_streamUs < now) m_streamUs = now;
    size_t need = static_cast<size_t>(max) - Queued();
    while (need > 0) {
        const size_t n = need < kStream.size() ? need : kStream.size();
        Arrive(kStream.data(), n, m_streamUs, byteUs);
        m_streamUs += n * byteUs;
        need -= n;
    }
}

}  // namespace plcsim
