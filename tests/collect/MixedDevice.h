// A device of several hundred channels of every kind (bits of bit areas, bits
// of words, 16/32/64-bit unsigned, signed and BCD values, floats, doubles,
// strings in both encodings) spread over several areas with holes of all
// sizes, the simulated PLC's memory filled for it, and the value each channel
// must read under the device's decode orders, worked out here from the PLC's
// memory alone (not with the driver's decoders). Shared with the test that
// collects the same device through a real serial port.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Blob.h"
#include "DevBas.h"
#include "IDevRtdbCtrl.h"
#include "plcsim/Plc.h"

namespace mixed {

// Decode orders and text settings of the device (properties 2 to 9).
struct Orders {
    int order16, order32, orderFloat, order64, orderDouble, encoding, stringOrder;
    bool crcHighFirst;
};

inline void PrintTo(const Orders& o, std::ostream* os) {
    *os << "orders " << o.order16 << "/" << o.order32 << "/" << o.orderFloat << "/" << o.order64 << "/" << o.orderDouble
        << ", encoding " << o.encoding << ", string order " << o.stringOrder << ", CRC "
        << (o.crcHighFirst ? "high" : "low") << " first";
}

// Which received byte (1-based) each value byte is, most significant first.
const char* const kOrder32[4] = {"1234", "2143", "3412", "4321"};
const char* const kOrder64[8] = {"12345678", "21436587", "34127856", "43218765",
                                 "56781234", "65872143", "78563412", "87654321"};

// Characters the strings are made of, with their bytes in both encodings.
struct Glyph {
    const char* utf8;
    const char* gb18030;
    uint16_t utf16;
};
const Glyph kGlyphs[] = {{"A", "A", 'A'},
                         {"z", "z", 'z'},
                         {"7", "7", '7'},
                         {" ", " ", ' '},
                         {"-", "-", '-'},
                         {"\xE4\xB8\xAD", "\xD6\xD0", 0x4E2D},
                         {"\xE6\x96\x87", "\xCE\xC4", 0x6587}};
const int kGlyphCount = sizeof kGlyphs / sizeof kGlyphs[0];

enum : uint32_t { kBitArea = 20, kWub = 83, kWb = 84, kWd = 85, kDub = 86, kDb = 87, kDd = 88, kDf = 89 };
enum : uint32_t { kLub = 90, kLb = 91, kLd = 92, kLf = 93, kStr = 131 };

class Device {
public:
    std::vector<TestRow> rows;
    std::vector<DATATYPE> types;  // database type of each channel

    // The table: channels of three bit areas (M, X, HSC) and three word areas
    // (D, HD, FS), in rising addresses per area, with holes of 0 to 60
    // elements (read along up to 30, else apart).
    Device(const Orders& orders, uint32_t seed) : m_orders(orders), m_random(seed) {
        const uint32_t bitAreas[] = {0, 1, 13};
        for (uint32_t type : bitAreas) {
            uint32_t address = Next(50);
            for (int i = 0; i < 45; ++i) {
                Add(type, address, kBitArea, 0, DATATYPE_INT);
                address += 1 + (Next(10) == 0 ? Next(60) : Next(3));
            }
        }
        const uint32_t wordAreas[] = {14, 21, 28};
        const uint32_t codes[] = {0, 7, 15, kWub, kWb, kWd, kDub, kDb, kDd, kDf, kLub, kLb, kLd, kLf, kStr};
        for (uint32_t type : wordAreas) {
            uint32_t address = Next(100);
            for (int i = 0; i < 95; ++i) {
                uint32_t code = codes[Next(sizeof codes / sizeof codes[0])];
                uint32_t length = code == kStr ? 1 + Next(40) : 0;
                uint32_t width = Width(code, length);
                DATATYPE db = DATATYPE_DOUBLE;
                if (code <= 15 || code == kWb || code == kWd || code == kDd) db = DATATYPE_INT;
                if (code == kStr) db = DATATYPE_STRING;
                Add(type, address, code, length, db);
                // Further bits of the same word now and then.
                if (code <= 15 && Next(2) == 0) {
                    Add(type, address, Next(16), 0, DATATYPE_INT);
                    Add(type, address, Next(16), 0, DATATYPE_DOUBLE);
                }
                address += width + (Next(6) == 0 ? Next(60) : 0);
            }
        }
    }

    std::vector<int32_t> Properties(int32_t waitMs) const {
        const Orders& o = m_orders;
        return {1,
                waitMs,
                o.order16,
                o.order32,
                o.orderFloat,
                o.encoding,
                o.stringOrder,
                o.crcHighFirst ? 1 : 0,
                o.order64,
                o.orderDouble};
    }

    // Fills every element up to the last row of each area with fresh data
    // (random, decimal digits for BCD rows, chosen values for floats, texts
    // for strings) and sets the PLC's CRC order.
    void Fill(plcsim::Plc& plc, uint32_t seed) {
        m_random = seed;
        plc.SetCrcOrder(m_orders.crcHighFirst ? plcsim::CrcOrder::HighFirst : plcsim::CrcOrder::LowFirst);
        for (size_t i = 0; i < rows.size(); ++i) {
            const TestRow& r = rows[i];
            const char* area = AreaName(r.chlType);
            if (r.chlType <= 13) {
                plc.Set(area, r.address, static_cast<uint16_t>(Next(2)));
                continue;
            }
            uint32_t width = Width(r.dataType, r.bit);
            std::vector<uint8_t> wire(2 * width);
            for (uint8_t& b : wire) b = static_cast<uint8_t>(Next(256));
            if (r.dataType == kWd || r.dataType == kDd || r.dataType == kLd) {
                for (uint8_t& b : wire) b = static_cast<uint8_t>(Next(10) << 4 | Next(10));
            } else if (r.dataType == kDf && m_orders.orderFloat >= 0 && m_orders.orderFloat < 4) {
                float value = static_cast<float>(static_cast<int32_t>(Next(2000001)) - 1000000) / 64.0f;
                uint8_t bytes[4];
                uint32_t bits;
                std::memcpy(&bits, &value, 4);
                for (int k = 0; k < 4; ++k) bytes[k] = static_cast<uint8_t>(bits >> (24 - 8 * k));
                for (int k = 0; k < 4; ++k) wire[kOrder32[m_orders.orderFloat][k] - '1'] = bytes[k];
            } else if (r.dataType == kLf && m_orders.orderDouble >= 0 && m_orders.orderDouble < 8) {
                double value = (static_cast<double>(Next(1u << 24)) - 8388608.0) / 7.0 * 1000.0;
                uint64_t bits;
                std::memcpy(&bits, &value, 8);
                for (int k = 0; k < 8; ++k) wire[kOrder64[m_orders.orderDouble][k] - '1'] = bits >> (56 - 8 * k);
            } else if (r.dataType == kStr) {
                std::vector<uint8_t> text = MakeText(r.bit);
                text.resize(wire.size(), 0);
                if (m_orders.stringOrder == 0)
                    for (size_t k = 0; k + 1 < text.size(); k += 2) std::swap(text[k], text[k + 1]);
                wire = text;
            }
            // A bit of a word shares its word with the bits before it.
            if (r.dataType <= 15 && i > 0 && rows[i - 1].chlType == r.chlType && rows[i - 1].address == r.address)
                continue;
            for (uint32_t w = 0; w < width; ++w)
                plc.Set(area, r.address + w, static_cast<uint16_t>(wire[2 * w] << 8 | wire[2 * w + 1]));
        }
    }

    // The number a channel must read, from the PLC's memory.
    double Expected(const plcsim::Plc& plc, size_t channel) const {
        const TestRow& r = rows[channel];
        const char* area = AreaName(r.chlType);
        if (r.chlType <= 13) return plc.Get(area, r.address);
        std::vector<uint8_t> wire = Wire(plc, r);
        const Orders& o = m_orders;
        uint32_t code = r.dataType;
        if (code <= 15) {
            uint32_t word = o.order16 == 1 ? (wire[1] << 8 | wire[0]) : (wire[0] << 8 | wire[1]);
            return (word >> code) & 1;
        }
        if (code <= kWd) {
            if (o.order16 != 0 && o.order16 != 1) return 0.0;
            uint8_t high = o.order16 == 0 ? wire[0] : wire[1], low = o.order16 == 0 ? wire[1] : wire[0];
            uint16_t u = static_cast<uint16_t>(high << 8 | low);
            if (code == kWub) return u;
            if (code == kWb) return static_cast<int16_t>(u);
            return Decimal(u, 4);
        }
        if (code <= kDf) {
            int order = code == kDf ? o.orderFloat : o.order32;
            if (order < 0 || order > 3) return 0.0;
            uint64_t u = 0;
            for (int k = 0; k < 4; ++k) u = u << 8 | wire[kOrder32[order][k] - '1'];
            if (code == kDub) return static_cast<double>(u);
            if (code == kDb) return static_cast<int32_t>(static_cast<uint32_t>(u));
            if (code == kDd) return Decimal(u, 8);
            float f;
            uint32_t bits = static_cast<uint32_t>(u);
            std::memcpy(&f, &bits, 4);
            return f;
        }
        int order = code == kLf ? o.orderDouble : o.order64;
        if (order < 0 || order > 7) return 0.0;
        uint64_t u = 0;
        for (int k = 0; k < 8; ++k) u = u << 8 | wire[kOrder64[order][k] - '1'];
        if (code == kLub) return static_cast<double>(u);
        if (code == kLb) return static_cast<double>(static_cast<int64_t>(u));
        if (code == kLd) return Decimal(u, 16);
        double d;
        std::memcpy(&d, &u, 8);
        return d;
    }

    // The text a string channel must read: its first length bytes, pairs
    // swapped for string order 0, decoded up to the first NUL.
    std::string ExpectedText(const plcsim::Plc& plc, size_t channel) const {
        const TestRow& r = rows[channel];
        std::vector<uint8_t> bytes = Wire(plc, r);
        bytes.resize(r.bit);
        if (m_orders.stringOrder == 0) {
            if (bytes.size() % 2 != 0) bytes.push_back(0);
            for (size_t k = 0; k + 1 < bytes.size(); k += 2) std::swap(bytes[k], bytes[k + 1]);
        }
        std::string text;
        if (m_orders.encoding == 0) {
            for (size_t k = 0; k < bytes.size() && bytes[k] != 0;) {
                size_t size = bytes[k] < 0x80 ? 1 : 2;
                text += GlyphOf(std::string(bytes.begin() + k, bytes.begin() + std::min(k + size, bytes.size())));
                k += size;
            }
        } else {
            for (size_t k = 0; k + 1 < bytes.size(); k += 2) {
                uint16_t unit = static_cast<uint16_t>(bytes[k] | bytes[k + 1] << 8);
                if (unit == 0) break;
                bool found = false;
                for (const Glyph& g : kGlyphs)
                    if (g.utf16 == unit) text += g.utf8, found = true;
                if (!found) text += "?";
            }
        }
        return text;
    }

    // What an integer channel must hold: truncated toward zero (the
    // generated values all lie within the range of an int).
    static int Truncated(double value) { return static_cast<int>(value); }

    static const char* AreaName(uint32_t chlType) { return plcsim::AreaTable()[chlType].name; }

private:
    uint32_t Next(uint32_t bound) {
        m_random = m_random * 1103515245u + 12345u;
        return (m_random >> 8) % bound;
    }
    static uint32_t Width(uint32_t code, uint32_t length) {
        return static_cast<uint32_t>(CDevBas::mfGetRowWidth(code, length));
    }
    void Add(uint32_t type, uint32_t address, uint32_t code, uint32_t length, DATATYPE db) {
        rows.push_back(MakeRow(type, address, code, length, Next(2) == 0 ? 0 : 2));
        types.push_back(db);
    }
    // A text of whole characters in the device's encoding, at most length - 1
    // bytes (so that it always ends in a NUL within the row, whatever the
    // byte order), sometimes empty.
    std::vector<uint8_t> MakeText(uint32_t length) {
        std::vector<uint8_t> text;
        size_t room = length > 0 ? length - 1 : 0;
        size_t wanted = Next(4) == 0 ? room / 2 : room;
        for (;;) {
            const Glyph& g = kGlyphs[Next(kGlyphCount)];
            std::vector<uint8_t> bytes;
            if (m_orders.encoding == 0)
                bytes.assign(g.gb18030, g.gb18030 + std::strlen(g.gb18030));
            else
                bytes = {static_cast<uint8_t>(g.utf16 & 0xFF), static_cast<uint8_t>(g.utf16 >> 8)};
            if (text.size() + bytes.size() > wanted) break;
            text.insert(text.end(), bytes.begin(), bytes.end());
        }
        return text;
    }
    static std::vector<uint8_t> Wire(const plcsim::Plc& plc, const TestRow& r) {
        std::vector<uint8_t> wire;
        for (uint32_t w = 0; w < Width(r.dataType, r.bit); ++w) {
            uint16_t word = plc.Get(AreaName(r.chlType), r.address + w);
            wire.push_back(static_cast<uint8_t>(word >> 8));
            wire.push_back(static_cast<uint8_t>(word));
        }
        return wire;
    }
    // The hex digits of value read as a decimal number.
    static double Decimal(uint64_t value, int digits) {
        uint64_t result = 0;
        for (int k = digits - 1; k >= 0; --k) result = result * 10 + ((value >> (4 * k)) & 0xF);
        return static_cast<double>(result);
    }
    static std::string GlyphOf(const std::string& gb) {
        for (const Glyph& g : kGlyphs)
            if (gb == g.gb18030) return g.utf8;
        return "?";
    }

    Orders m_orders;
    uint32_t m_random;
};

}  // namespace mixed
