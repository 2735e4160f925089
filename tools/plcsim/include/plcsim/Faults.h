// Faults that the simulated PLC injects into its answers, chosen per request
// by request number, by function code, or at a seeded rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plcsim {

enum class FaultKind : uint8_t {
    NoAnswer,       // the request stays unanswered
    BadCrc,         // the answer's last CRC byte is inverted
    WrongFunction,  // the answer carries another function code (with a matching CRC)
    ShortAnswer,    // only the first bytes of the answer are sent
    Split,          // the answer goes out in chunks with pauses between them
    Delay,          // a pause before the answer
    Byte5B,         // 0x5B is inserted as the second answer byte (CRC over the result)
    // Faults of the line rather than of one answer; the request is not
    // carried out.
    Stream,  // instead of answering, the PLC sends kStreamByte without end
    Reset,   // a device server resets the connection (on a serial line: no answer)
};
constexpr int kFaultKindCount = 9;

// What a streaming PLC sends.
constexpr uint8_t kStreamByte = 0xAA;

// Name used on the command line and in traces: "noanswer", "badcrc",
// "function", "short", "split", "delay", "5b", "stream", "reset".
const char* FaultName(FaultKind kind);

struct FaultRule {
    FaultKind kind = FaultKind::NoAnswer;
    // Which requests: numbers count the requests addressed to this PLC with a
    // valid CRC, from 1. 0 leaves that end of the range open.
    uint64_t firstRequest = 0;
    uint64_t lastRequest = 0;
    int function = -1;  // request function code; -1: any
    double rate = 1.0;  // chance that a matching request is hit
    // Parameters.
    int code = -1;         // WrongFunction: the code sent; -1: the request's code with bit 0 flipped
    size_t length = 0;     // ShortAnswer: bytes kept; 0: half the answer
    size_t chunk = 3;      // Split: bytes per chunk
    unsigned gapMs = 20;   // Split: pause between chunks
    unsigned delayMs = 0;  // Delay: pause before the answer

    bool Matches(uint64_t request, uint8_t requestFunction) const {
        return (firstRequest == 0 || request >= firstRequest) && (lastRequest == 0 || request <= lastRequest) &&
               (function < 0 || function == requestFunction);
    }
};

// Parses "KIND[:key=value,...]", keys: req=N, req=N-M, req=N- (request
// numbers), fn=CODE, rate=P, code=CODE, len=N, chunk=N, gap=MS, ms=MS.
// Numbers may be written in hexadecimal with 0x. Examples: "noanswer:req=3",
// "split:fn=0x20,chunk=4,gap=15", "badcrc:rate=0.1", "delay:ms=300".
std::optional<FaultRule> ParseFault(std::string_view text, std::string* error);

}  // namespace plcsim
