#include "plcsim/Faults.h"

#include <cerrno>
#include <cstdlib>

namespace plcsim {

namespace {

constexpr const char* kNames[kFaultKindCount] = {"noanswer", "badcrc", "function", "short", "split",
                                                 "delay",    "5b",     "stream",   "reset"};

bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t& out) {
    if (text.empty()) return false;
    std::string s(text);
    if (s[0] == '-' || s[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

bool ApplyKey(FaultRule& rule, std::string_view key, std::string_view value, std::string* error) {
    uint64_t n = 0;
    if (key == "req") {
        size_t dash = value.find('-');
        if (dash == std::string_view::npos) {
            if (!ParseUnsigned(value, UINT64_MAX, n) || n == 0) return Fail(error, "bad request number");
            rule.firstRequest = rule.lastRequest = n;
            return true;
        }
        if (!ParseUnsigned(value.substr(0, dash), UINT64_MAX, n) || n == 0) return Fail(error, "bad request range");
        rule.firstRequest = n;
        rule.lastRequest = 0;
        if (dash + 1 < value.size()) {
            if (!ParseUnsigned(value.substr(dash + 1), UINT64_MAX, n) || n < rule.firstRequest)
                return Fail(error, "bad request range");
            rule.lastRequest = n;
        }
        return true;
    }
    if (key == "rate") {
        std::string s(value);
        char* end = nullptr;
        double r = std::strtod(s.c_str(), &end);
        if (s.empty() || *end != '\0' || !(r >= 0.0 && r <= 1.0)) return Fail(error, "rate must lie in 0..1");
        rule.rate = r;
        return true;
    }
    if (key == "fn" || key == "code") {
        if (!ParseUnsigned(value, 0xFF, n)) return Fail(error, "function codes are 0..0xFF");
        (key == "fn" ? rule.function : rule.code) = static_cast<int>(n);
        return true;
    }
    if (key == "len" || key == "chunk") {
        if (!ParseUnsigned(value, 0xFFFF, n) || (key == "chunk" && n == 0)) return Fail(error, "bad byte count");
        (key == "len" ? rule.length : rule.chunk) = static_cast<size_t>(n);
        return true;
    }
    if (key == "gap" || key == "ms") {
        if (!ParseUnsigned(value, 600000, n)) return Fail(error, "times are 0..600000 ms");
        (key == "gap" ? rule.gapMs : rule.delayMs) = static_cast<unsigned>(n);
        return true;
    }
    return Fail(error, "unknown key '" + std::string(key) + "'");
}

}  // namespace

const char* FaultName(FaultKind kind) { return kNames[static_cast<int>(kind)]; }

std::optional<FaultRule> ParseFault(std::string_view text, std::string* error) {
    size_t colon = text.find(':');
    std::string_view name = text.substr(0, colon);
    FaultRule rule;
    bool known = false;
    for (int i = 0; i < kFaultKindCount; ++i) {
        if (name == kNames[i]) {
            rule.kind = static_cast<FaultKind>(i);
            known = true;
        }
    }
    if (!known) {
        Fail(error, "unknown fault '" + std::string(name) + "'");
        return std::nullopt;
    }
    if (rule.kind == FaultKind::Delay) rule.delayMs = 100;
    std::string_view rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            Fail(error, "expected key=value in '" + std::string(item) + "'");
            return std::nullopt;
        }
        if (!ApplyKey(rule, item.substr(0, eq), item.substr(eq + 1), error)) return std::nullopt;
    }
    return rule;
}

}  // namespace plcsim
