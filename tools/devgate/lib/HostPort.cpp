#include "gateway/HostPort.h"

#include "toolkit/Output.h"

namespace gateway {

bool ParseHostPort(const std::string& text, std::string& host, int& port, int lowestPort) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string::npos) {
        return false;
    }
    long long p = 0;
    if (!toolkit::ParseInteger(text.substr(colon + 1), lowestPort, 65535, p)) return false;
    host = h;
    port = static_cast<int>(p);
    return true;
}

}  // namespace gateway
