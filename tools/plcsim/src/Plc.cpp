#include "plcsim/Plc.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace plcsim {

namespace {

// Function codes.
constexpr uint8_t kReadCoils = 0x01;
constexpr uint8_t kReadDiscreteInputs = 0x02;
constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kReadInputRegisters = 0x04;
constexpr uint8_t kWriteCoil = 0x05;
constexpr uint8_t kWriteRegister = 0x06;
constexpr uint8_t kWriteCoils = 0x0F;
constexpr uint8_t kWriteRegisters = 0x10;
constexpr uint8_t kReadBits = 0x1E;
constexpr uint8_t kWriteBits = 0x1F;
constexpr uint8_t kReadWords = 0x20;
constexpr uint8_t kWriteWords = 0x21;

// Areas that the standard functions work on.
constexpr uint8_t kCoilArea = 0x03;     // M
constexpr uint8_t kHoldingArea = 0x80;  // D

// Limits of the standard functions.
constexpr uint32_t kMaxReadCoils = 2000;
constexpr uint32_t kMaxReadRegisters = 125;
constexpr uint32_t kMaxWriteCoils = 1968;
constexpr uint32_t kMaxWriteRegisters = 123;

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t Be24(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

long ParseValue(std::string_view text) {
    std::string s(text);
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || end == s.c_str() || *end != '\0' || errno != 0 || v < -32768 || v > 65535)
        throw std::invalid_argument("bad value '" + s + "' (expected -32768..65535)");
    return v;
}

}  // namespace

size_t RequestLength(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    switch (data[1]) {
        case kReadCoils:
        case kReadDiscreteInputs:
        case kReadHolding:
        case kReadInputRegisters:
        case kWriteCoil:
        case kWriteRegister:
            return 8;
        case kWriteCoils:
        case kWriteRegisters:
            return size < 7 ? 0 : 9 + static_cast<size_t>(data[6]);
        case kReadBits:
        case kReadWords:
            return 10;
        case kWriteBits:
        case kWriteWords:
            return size < 9 ? 0 : 11 + static_cast<size_t>(data[8]);
        default:
            return kUnknownLength;
    }
}

Plc::Plc() : Plc(Settings()) {}

Plc::Plc(const Settings& settings)
    : m_station(settings.station), m_crcOrder(settings.crcOrder), m_random(settings.seed) {}

void Plc::SetStation(uint8_t station) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_station = station;
}

uint8_t Plc::Station() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_station;
}

void Plc::SetCrcOrder(CrcOrder order) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_crcOrder = order;
}

CrcOrder Plc::GetCrcOrder() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_crcOrder;
}

void Plc::SetSeed(uint64_t seed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_random.seed(seed);
}

const Area& Plc::AreaByName(std::string_view name) const {
    const Area* area = FindArea(name);
    if (area == nullptr) throw std::invalid_argument("unknown area '" + std::string(name) + "'");
    return *area;
}

const Area& Plc::AreaByCode(uint8_t code) const {
    const Area* area = FindArea(code);
    if (area == nullptr) throw std::invalid_argument("unknown area code " + std::to_string(code));
    return *area;
}

static void CheckRange(uint32_t address, uint64_t count) {
    if (static_cast<uint64_t>(address) + (count > 0 ? count - 1 : 0) > kMaxAddress)
        throw std::out_of_range("element address beyond 24 bits");
}

void Plc::Set(std::string_view area, uint32_t address, uint16_t value) { SetRange(area, address, {value}); }

void Plc::Set(uint8_t areaCode, uint32_t address, uint16_t value) {
    const Area& a = AreaByCode(areaCode);
    CheckRange(address, 1);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_memory.Set(a, address, value);
}

uint16_t Plc::Get(std::string_view area, uint32_t address) const {
    const Area& a = AreaByName(area);
    CheckRange(address, 1);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_memory.Get(a, address);
}

uint16_t Plc::Get(uint8_t areaCode, uint32_t address) const {
    const Area& a = AreaByCode(areaCode);
    CheckRange(address, 1);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_memory.Get(a, address);
}

void Plc::SetRange(std::string_view area, uint32_t address, const std::vector<uint16_t>& values) {
    const Area& a = AreaByName(area);
    CheckRange(address, values.size());
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < values.size(); ++i) m_memory.Set(a, address + static_cast<uint32_t>(i), values[i]);
}

std::vector<uint16_t> Plc::GetRange(std::string_view area, uint32_t address, uint32_t count) const {
    const Area& a = AreaByName(area);
    CheckRange(address, count);
    std::vector<uint16_t> values;
    values.reserve(count);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_memory.ForEach(a, address, count, [&](uint16_t v) { values.push_back(v); });
    return values;
}

void Plc::Assign(std::string_view assignment) {
    size_t eq = assignment.find('=');
    if (eq == std::string_view::npos) throw std::invalid_argument("expected ELEMENT=VALUE, e.g. D100=1234");
    std::optional<Element> element = ParseElement(assignment.substr(0, eq));
    if (!element) throw std::invalid_argument("unknown element '" + std::string(assignment.substr(0, eq)) + "'");
    std::vector<uint16_t> values;
    std::string_view rest = assignment.substr(eq + 1);
    while (true) {
        size_t comma = rest.find(',');
        values.push_back(static_cast<uint16_t>(ParseValue(rest.substr(0, comma)) & 0xFFFF));
        if (comma == std::string_view::npos) break;
        rest = rest.substr(comma + 1);
    }
    if (static_cast<uint64_t>(element->address) + values.size() - 1 > kMaxAddress)
        throw std::invalid_argument("values run beyond the last element address");
    SetRange(element->area->name, element->address, values);
}

void Plc::ClearMemory() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_memory.Clear();
}

void Plc::AddFault(const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(rule);
}

void Plc::ClearFaults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
    m_streaming = false;
}

bool Plc::Streaming() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streaming;
}

uint64_t Plc::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void Plc::ResetRequestCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests = 0;
}

std::vector<uint8_t> Plc::Handle(const std::vector<uint8_t>& request) {
    Reply reply;
    Handle(request.data(), request.size(), reply);
    return std::move(reply.bytes);
}

void Plc::Handle(const uint8_t* request, size_t size, Reply& reply) {
    reply.Clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (size < 4) {
        reply.drop = Drop::TooShort;
    } else if (request[0] != m_station) {
        reply.drop = Drop::OtherStation;
    } else if (!HasValidCrc(request, size, m_crcOrder)) {
        reply.drop = Drop::BadCrc;
    } else {
        reply.drop = Drop::None;
        reply.request = ++m_requests;
        if (!m_faults.empty() && LineFault(request[1], reply)) return;
        Answer(request, size - 2, reply.bytes);
        if (!m_faults.empty()) ApplyFaults(request[1], reply);
    }
}

void Plc::Exception(const uint8_t* request, uint8_t code, std::vector<uint8_t>& out) const {
    out.clear();
    out.push_back(request[0]);
    out.push_back(static_cast<uint8_t>(request[1] | 0x80));
    out.push_back(code);
    Seal(out);
}

void Plc::ReadInto(const Area& area, uint32_t address, uint32_t count, std::vector<uint8_t>& out) const {
    if (area.isBit) {
        uint8_t byte = 0;
        unsigned bit = 0;
        m_memory.ForEach(area, address, count, [&](uint16_t v) {
            if (v != 0) byte = static_cast<uint8_t>(byte | (1u << bit));
            if (++bit == 8) {
                out.push_back(byte);
                byte = 0;
                bit = 0;
            }
        });
        if (bit != 0) out.push_back(byte);
    } else {
        m_memory.ForEach(area, address, count, [&](uint16_t v) {
            out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v & 0xFFu));
        });
    }
}

void Plc::WriteFrom(const Area& area, uint32_t address, uint32_t count, const uint8_t* data) {
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t v = area.isBit ? static_cast<uint16_t>((data[i / 8] >> (i % 8)) & 1u)
                                : static_cast<uint16_t>(data[2 * i] << 8 | data[2 * i + 1]);
        m_memory.Set(area, address + i, v);
    }
}

// size is the frame length without the CRC.
void Plc::Answer(const uint8_t* p, size_t size, std::vector<uint8_t>& out) {
    const uint8_t function = p[1];
    switch (function) {
        case kReadBits:
        case kReadWords: {
            if (size != 8) return Exception(p, kIllegalValue, out);
            const Area* area = FindArea(p[2]);
            if (area == nullptr || area->isBit != (function == kReadBits)) return Exception(p, kIllegalAddress, out);
            uint32_t address = Be24(p + 3), count = Be16(p + 6);
            if (count == 0 || count > area->maxCount) return Exception(p, kIllegalValue, out);
            if (address + count - 1 > kMaxAddress) return Exception(p, kIllegalAddress, out);
            out.push_back(p[0]);
            out.push_back(function);
            out.push_back(static_cast<uint8_t>(area->isBit ? (count + 7) / 8 : count * 2));
            ReadInto(*area, address, count, out);
            return Seal(out);
        }
        case kWriteBits:
        case kWriteWords: {
            if (size < 9 || size != 9 + static_cast<size_t>(p[8])) return Exception(p, kIllegalValue, out);
            const Area* area = FindArea(p[2]);
            if (area == nullptr || area->isBit != (function == kWriteBits)) return Exception(p, kIllegalAddress, out);
            uint32_t address = Be24(p + 3), count = Be16(p + 6);
            if (count == 0 || count > area->maxCount) return Exception(p, kIllegalValue, out);
            if (p[8] != (area->isBit ? (count + 7) / 8 : count * 2)) return Exception(p, kIllegalValue, out);
            if (address + count - 1 > kMaxAddress) return Exception(p, kIllegalAddress, out);
            WriteFrom(*area, address, count, p + 9);
            out.assign(p, p + 8);
            return Seal(out);
        }
        case kReadCoils:
        case kReadHolding: {
            if (size != 6) return Exception(p, kIllegalValue, out);
            const bool coils = function == kReadCoils;
            uint32_t address = Be16(p + 2), count = Be16(p + 4);
            if (count == 0 || count > (coils ? kMaxReadCoils : kMaxReadRegisters))
                return Exception(p, kIllegalValue, out);
            if (address + count > 0x10000) return Exception(p, kIllegalAddress, out);
            const Area& area = *FindArea(coils ? kCoilArea : kHoldingArea);
            out.push_back(p[0]);
            out.push_back(function);
            out.push_back(static_cast<uint8_t>(coils ? (count + 7) / 8 : count * 2));
            ReadInto(area, address, count, out);
            return Seal(out);
        }
        case kWriteCoil: {
            if (size != 6) return Exception(p, kIllegalValue, out);
            uint32_t value = Be16(p + 4);
            if (value != 0xFF00 && value != 0x0000) return Exception(p, kIllegalValue, out);
            m_memory.Set(*FindArea(kCoilArea), Be16(p + 2), value != 0 ? 1 : 0);
            out.assign(p, p + 6);
            return Seal(out);
        }
        case kWriteRegister: {
            if (size != 6) return Exception(p, kIllegalValue, out);
            m_memory.Set(*FindArea(kHoldingArea), Be16(p + 2), static_cast<uint16_t>(Be16(p + 4)));
            out.assign(p, p + 6);
            return Seal(out);
        }
        case kWriteCoils:
        case kWriteRegisters: {
            if (size < 7 || size != 7 + static_cast<size_t>(p[6])) return Exception(p, kIllegalValue, out);
            const bool coils = function == kWriteCoils;
            uint32_t address = Be16(p + 2), count = Be16(p + 4);
            if (count == 0 || count > (coils ? kMaxWriteCoils : kMaxWriteRegisters))
                return Exception(p, kIllegalValue, out);
            if (p[6] != (coils ? (count + 7) / 8 : count * 2)) return Exception(p, kIllegalValue, out);
            if (address + count > 0x10000) return Exception(p, kIllegalAddress, out);
            WriteFrom(*FindArea(coils ? kCoilArea : kHoldingArea), address, count, p + 7);
            out.assign(p, p + 6);
            return Seal(out);
        }
        default:
            return Exception(p, kIllegalFunction, out);
    }
}

bool Plc::Roll(double rate) {
    if (rate >= 1.0) return true;
    if (rate <= 0.0) return false;
    // 53 random bits as a fraction in [0, 1), the same on every platform.
    double x = static_cast<double>(m_random() >> 11) * (1.0 / 9007199254740992.0);
    return x < rate;
}

bool Plc::LineFault(uint8_t function, Reply& reply) {
    // Rolled apart from the answer's faults, so that adding a line fault
    // leaves the random sequence of the others as it was.
    for (const FaultRule& rule : m_faults) {
        if (!IsLineFault(rule.kind) || !rule.Matches(reply.request, function) || !Roll(rule.rate)) continue;
        reply.faults |= 1u << static_cast<unsigned>(rule.kind);
    }
    m_streaming = reply.Has(FaultKind::Stream) && !reply.Has(FaultKind::Reset);
    return reply.faults != 0;
}

void Plc::ApplyFaults(uint8_t function, Reply& reply) {
    const FaultRule* hit[kFaultKindCount] = {};
    for (const FaultRule& rule : m_faults) {
        if (IsLineFault(rule.kind)) continue;
        if (rule.Matches(reply.request, function) && Roll(rule.rate)) {
            hit[static_cast<int>(rule.kind)] = &rule;
            reply.faults |= 1u << static_cast<unsigned>(rule.kind);
        }
    }
    std::vector<uint8_t>& out = reply.bytes;
    if (hit[static_cast<int>(FaultKind::NoAnswer)] != nullptr) {
        out.clear();
        return;
    }
    if (const FaultRule* r = hit[static_cast<int>(FaultKind::WrongFunction)]) {
        out.resize(out.size() - 2);
        out[1] = static_cast<uint8_t>(r->code >= 0 ? r->code : function ^ 0x01);
        Seal(out);
    }
    if (hit[static_cast<int>(FaultKind::Byte5B)] != nullptr) {
        out.resize(out.size() - 2);
        out.insert(out.begin() + 1, uint8_t{0x5B});
        Seal(out);
    }
    if (hit[static_cast<int>(FaultKind::BadCrc)] != nullptr) out.back() = static_cast<uint8_t>(~out.back());
    if (const FaultRule* r = hit[static_cast<int>(FaultKind::ShortAnswer)]) {
        size_t keep = r->length != 0 ? r->length : (out.size() / 2 > 0 ? out.size() / 2 : 1);
        if (keep < out.size()) out.resize(keep);
    }
    if (const FaultRule* r = hit[static_cast<int>(FaultKind::Split)]) {
        reply.chunkSize = r->chunk;
        reply.gapMs = r->gapMs;
    }
    if (const FaultRule* r = hit[static_cast<int>(FaultKind::Delay)]) reply.delayMs = r->delayMs;
}

}  // namespace plcsim
