#include "CodeTexts.h"

#include <cstdio>

namespace devhost {

std::string Meaning(int code) {
    switch (static_cast<unsigned>(code)) {
        case 0:
            return "success";
        case 1:
            return "no planned request for the rank";
        case 2:
            return "no answer from the PLC";
        case 4:
            return "write failed: no reply or a wrong reply";
        case 5:
            return "bad command or channel (not understood, beyond the table, or read only)";
        case 6:
            return "nothing handed over (a host variable refused the value)";
        case 7:
            return "short or wrong answer (CRC, station, function or length)";
        case 100:
            return "collection step failed";
        case 0x80000000u:
            return "allocation failed, or no database";
        case 0x80000001u:
            return "bad argument, or a port of unexpected type";
        case 0x80000002u:
            return "database call not offered at this interface version";
        case static_cast<unsigned>(-2):
            return "no port";
        case static_cast<unsigned>(-3):
            return "no device data or database";
        default:
            return "unknown code";
    }
}

std::string CodeText(int code) {
    char buf[32];
    if (code < -100)
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    else
        std::snprintf(buf, sizeof buf, "%d", code);
    return std::string(buf) + " (" + Meaning(code) + ")";
}

}  // namespace devhost
