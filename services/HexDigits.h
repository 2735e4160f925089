// Hexadecimal digits of frames and values: the one place that turns digit
// characters into values and values into upper-case digits. Reads at a
// position of a text check the position against the text's length.
//
// Every collection step reads each answer digit through here (CRC, values,
// string lengths), so a digit's value is one lookup in a table built at
// compile time.
#pragma once

#include <cstdint>

// Values of the 256 characters: 0-15 for the digits, -1 for the rest.
struct HexDigitTable {
    signed char value[256];
    constexpr HexDigitTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = -1;
        for (int d = 0; d < 10; ++d) value['0' + d] = static_cast<signed char>(d);
        for (int d = 0; d < 6; ++d) {
            value['A' + d] = static_cast<signed char>(10 + d);
            value['a' + d] = static_cast<signed char>(10 + d);
        }
    }
};
inline constexpr HexDigitTable kHexDigitTable{};

class HexDigits {
public:
    // Value of a hexadecimal digit (0-9, A-F, a-f); -1 for any other character.
    static int Value(char c) { return kHexDigitTable.value[static_cast<unsigned char>(c)]; }

    // The same, with any other character counting as 0.
    static int ValueOrZero(char c) {
        int v = Value(c);
        return v < 0 ? 0 : v;
    }

    // The count digits (at most 8) at position at of a text of length
    // characters, most significant first, other characters counting as 0;
    // 0 when the digits do not all lie inside the text.
    static uint32_t At(const char* text, int length, int at, int count) {
        if (at < 0 || count < 0 || count > 8 || at > length - count) return 0;
        uint32_t v = 0;
        for (int i = 0; i < count; ++i) v = v << 4 | static_cast<uint32_t>(ValueOrZero(text[at + i]));
        return v;
    }

    // Two digits (a byte) or four digits (a 16-bit word) at position at.
    static uint32_t ByteAt(const char* text, int length, int at) { return At(text, length, at, 2); }
    static uint32_t WordAt(const char* text, int length, int at) { return At(text, length, at, 4); }

    // The upper-case digit of the low four bits of value.
    static char UpperDigit(unsigned int value) { return "0123456789ABCDEF"[value & 0x0Fu]; }
};
