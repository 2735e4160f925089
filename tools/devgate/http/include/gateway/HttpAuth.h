// The HTTP face's checks of who may ask: the Host a request names and the
// bearer token it carries, both taken exactly as sent.
#pragma once

#include <string>

namespace gateway {

// True when a Host header names this machine's loopback exactly: "localhost",
// a dotted quad 127.x.y.z or "[::1]", each with an optional ":PORT". Any other
// name (127.0.0.1.evil.example, 127.evil.example) is not, however it starts:
// a foreign page renamed to this address must not read.
bool LoopbackHost(const std::string& host);

// True when an Authorization header is "Bearer " and the secret, compared byte
// for byte with no decoding, in a time that depends on the secret's length
// only. An empty secret matches nothing.
bool BearerMatches(const std::string& header, const std::string& secret);

// What an Authorization header carries after "Bearer " (the scheme's case
// aside), as sent; "" for another scheme.
std::string BearerOf(const std::string& header);

// Equal to the secret (not empty), in a time that depends on its length only.
bool SameSecret(const std::string& given, const std::string& secret);

}  // namespace gateway
