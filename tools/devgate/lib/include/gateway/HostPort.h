// The address of a face's server or of the broker on devgate's command line.
#pragma once

#include <string>

namespace gateway {

// Splits "127.0.0.1:8080", "localhost:1883" or "[::1]:502" (an IPv6 address
// goes in brackets) into host and port, the port within lowestPort..65535
// (0 lets a server bind any free port); false when the text is none.
bool ParseHostPort(const std::string& text, std::string& host, int& port, int lowestPort = 1);

}  // namespace gateway
