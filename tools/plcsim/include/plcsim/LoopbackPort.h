// An in-process port to a simulated PLC, for driving the driver without a
// pseudo-terminal: every WriteBytes call is one request frame, handed straight
// to the PLC; reads deliver the answer bytes as the reply's timing (delay,
// chunks with gaps, pacing at a baud rate) lets them arrive. Time is the host
// layer's clock (Zevo_GetTickCount, Zevo_Sleep), so under a fake clock the
// waits cost nothing and a silent PLC still costs the read timeout. A
// streaming PLC fills every read; a reset leaves the request unanswered.
#pragma once

#include <cstdint>

#include "plcsim/Plc.h"
#include "plcsim/QueuePort.h"

namespace plcsim {

class LoopbackPort : public QueuePort {
public:
    explicit LoopbackPort(Plc& plc, unsigned baud = 0);

    uint64_t WriteCount() const { return m_writes; }
    // Answer bytes not read yet (arrived or still on their way).
    size_t Pending() const { return Queued(); }

protected:
    void Written(const uint8_t* data, size_t size) override;
    void BeforeRead(int max) override;

private:
    uint64_t ByteUs() const { return m_baud > 0 ? 10000000u / m_baud : 0; }

    Plc& m_plc;
    unsigned m_baud;
    Reply m_reply;
    uint64_t m_writes = 0;
    uint64_t m_streamUs = 0;  // when the stream's next byte arrives (paced)
};

}  // namespace plcsim
