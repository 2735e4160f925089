#include "toolkit/CodeTexts.h"

#include <cstdio>

#include "DevResultCodes.h"

namespace toolkit {

std::string Meaning(int code) { return DevResultText(code); }

std::string CodeText(int code) {
    char buf[32];
    if (code < -100)
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    else
        std::snprintf(buf, sizeof buf, "%d", code);
    return std::string(buf) + " (" + Meaning(code) + ")";
}

}  // namespace toolkit
