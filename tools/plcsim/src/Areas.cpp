#include "plcsim/Areas.h"

#include <cctype>

namespace plcsim {

namespace {

constexpr uint16_t kBitLimit = 1024;
constexpr uint16_t kWordLimit = 120;

constexpr std::array<Area, kAreaCount> kAreas = {{
    {"M", 0x03, true, kBitLimit, 0},      {"X", 0x01, true, kBitLimit, 1},       {"Y", 0x02, true, kBitLimit, 2},
    {"S", 0x04, true, kBitLimit, 3},      {"SM", 0x0D, true, kBitLimit, 4},      {"T", 0x05, true, kBitLimit, 5},
    {"C", 0x06, true, kBitLimit, 6},      {"ET", 0x07, true, kBitLimit, 7},      {"SEM", 0x12, true, kBitLimit, 8},
    {"HM", 0x08, true, kBitLimit, 9},     {"HS", 0x09, true, kBitLimit, 10},     {"HT", 0x0A, true, kBitLimit, 11},
    {"HC", 0x0B, true, kBitLimit, 12},    {"HSC", 0x0C, true, kBitLimit, 13},    {"D", 0x80, false, kWordLimit, 14},
    {"ID", 0x86, false, kWordLimit, 15},  {"QD", 0x87, false, kWordLimit, 16},   {"SD", 0x83, false, kWordLimit, 17},
    {"TD", 0x81, false, kWordLimit, 18},  {"CD", 0x82, false, kWordLimit, 19},   {"ETD", 0x85, false, kWordLimit, 20},
    {"HD", 0x88, false, kWordLimit, 21},  {"HSD", 0x8C, false, kWordLimit, 22},  {"HTD", 0x89, false, kWordLimit, 23},
    {"HCD", 0x8A, false, kWordLimit, 24}, {"HSCD", 0x8B, false, kWordLimit, 25}, {"FD", 0x8D, false, kWordLimit, 26},
    {"SFD", 0x8E, false, kWordLimit, 27}, {"FS", 0x91, false, kWordLimit, 28},
}};

// Area index + 1 by code (0: no area), so that a lookup is one load.
constexpr std::array<uint8_t, 256> MakeCodeIndex() {
    std::array<uint8_t, 256> index{};
    for (const Area& a : kAreas) index[a.code] = static_cast<uint8_t>(a.index + 1);
    return index;
}
constexpr std::array<uint8_t, 256> kCodeIndex = MakeCodeIndex();

bool SameName(std::string_view text, const char* name) {
    size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i >= text.size() || std::toupper(static_cast<unsigned char>(text[i])) != name[i]) return false;
    }
    return i == text.size();
}

}  // namespace

const std::array<Area, kAreaCount>& AreaTable() { return kAreas; }

const Area* FindArea(std::string_view name) {
    for (const Area& a : kAreas) {
        if (SameName(name, a.name)) return &a;
    }
    return nullptr;
}

const Area* FindArea(uint8_t code) {
    uint8_t i = kCodeIndex[code];
    return i != 0 ? &kAreas[i - 1] : nullptr;
}

std::optional<Element> ParseElement(std::string_view text) {
    size_t letters = 0;
    while (letters < text.size() && std::isalpha(static_cast<unsigned char>(text[letters]))) ++letters;
    const Area* area = FindArea(text.substr(0, letters));
    if (area == nullptr || letters == text.size()) return std::nullopt;
    uint32_t address = 0;
    for (size_t i = letters; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        address = address * 10 + static_cast<uint32_t>(text[i] - '0');
        if (address > kMaxAddress) return std::nullopt;
    }
    return Element{area, address};
}

}  // namespace plcsim
