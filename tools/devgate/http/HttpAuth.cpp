#include "gateway/HttpAuth.h"

#include <cctype>

namespace gateway {

namespace {

bool Digits(const std::string& s, size_t from, size_t to, size_t most) {
    if (to <= from || to - from > most) return false;
    for (size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// "127.x.y.z", each part a number to 255.
bool LoopbackQuad(const std::string& s) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = part < 3 ? s.find('.', at) : s.size();
        if (end == std::string::npos || !Digits(s, at, end, 3) || std::stoi(s.substr(at, end - at)) > 255) return false;
        if (part == 0 && s.substr(at, end - at) != "127") return false;
        at = end + 1;
    }
    return true;
}

bool SameLetters(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return i == a.size() && b[i] == '\0';
}

}  // namespace

bool LoopbackHost(const std::string& host) {
    std::string name = host;
    size_t colon = host.rfind(':');
    if (host.size() > 0 && host.front() == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(0, close + 1);
        colon = close + 1 < host.size() ? close + 1 : std::string::npos;
        if (colon != std::string::npos && host[colon] != ':') return false;
    } else if (colon != std::string::npos) {
        name = host.substr(0, colon);
    }
    if (colon != std::string::npos && !Digits(host, colon + 1, host.size(), 5)) return false;
    return SameLetters(name, "localhost") || name == "[::1]" || LoopbackQuad(name);
}

bool SameSecret(const std::string& given, const std::string& secret) {
    unsigned diff = given.size() == secret.size() ? 0u : 1u;
    for (size_t i = 0; i < secret.size(); ++i)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^
                                      static_cast<unsigned char>(secret[i]));
    return diff == 0 && !secret.empty();
}

std::string BearerOf(const std::string& header) {
    const size_t scheme = 7;  // "Bearer "
    if (header.size() <= scheme || !SameLetters(header.substr(0, 6), "bearer") || header[6] != ' ') return "";
    return header.substr(scheme);
}

bool BearerMatches(const std::string& header, const std::string& secret) {
    return SameSecret(BearerOf(header), secret);
}

}  // namespace gateway
