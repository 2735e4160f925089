// What a channel can hold, by its PLC data type: the one rule every tool and
// face that writes to a PLC applies before anything is sent.
//
//   WUB 0..65535, WB -32768..32767, WD 0..9999 (BCD), DUB 0..4294967295,
//   DB the 32-bit range, DD 0..99999999 (BCD), DF a finite number within the
//   float range, LUB 0..2^53, LB -2^53..2^53, LD 0..2^53 (within its BCD
//   range), LF a finite number, a bit 0 or 1, a string no longer than the
//   channel's bytes once encoded in its device's encoding (GB18030 or
//   UTF-16LE). Integer types take whole numbers only. The 64-bit integer types
//   stop at 2^53: the host's database carries doubles, which hold no larger
//   integer exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceDescription.h"
#include "toolkit/Database.h"

namespace toolkit {

// A value as a client asked for it: a number or a text.
struct Asked {
    bool isText = false;
    double number = 0.0;
    bool exact = true;  // false: a whole number that no double carries exactly
    std::string text;   // the text, or the number as written

    static Asked Number(double number);
    // A whole number of 64 bits, exact or not as a double.
    static Asked Whole(bool negative, uint64_t magnitude);
    static Asked Text(std::string text);
};

// The text as a number: decimal or 0x hexadecimal integers (read exactly,
// up to 64 bits), or a decimal number with a point or exponent. No blanks, no
// trailing characters. False when the text is no number.
bool ParseNumber(const std::string& text, Asked& number);

// A channel as the rule sees it.
struct ChannelKind {
    uint32_t code = 0;         // the row's data-type code
    bool bit = false;          // a bit of a bit area or of a word
    uint32_t stringBytes = 0;  // a string: bytes the PLC takes
    bool utf16 = false;        // the device encodes strings in UTF-16LE, not GB18030
    DATATYPE type = DATATYPE_NONE;
    std::string label;  // "Level (D100, WUB)"
};

// The channel of a row of a device with these properties.
ChannelKind KindOf(const devdesc::Row& row, const std::vector<int32_t>& properties);
// A row of a command's table (type, address, data-type code and string
// length) of a device with these properties.
ChannelKind KindOf(uint32_t chlType, uint32_t address, uint32_t code, uint32_t stringLength,
                   const std::vector<int32_t>& properties);

// Applies the rule: true with the database value the plug-in takes for the
// channel (int, double or string), or false with why, naming the channel,
// the value and what the channel holds. A text for a channel that is no
// string channel is read as a number (ParseNumber).
bool Admit(const ChannelKind& channel, const Asked& asked, Value& value, std::string& why);

}  // namespace toolkit
