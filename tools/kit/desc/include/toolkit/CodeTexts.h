// What the controller's result codes mean, for people reading a host's
// output (devhost, devgate): "2 (no answer from the PLC)".
#pragma once

#include <string>

namespace toolkit {

// The code's meaning alone; "unknown code" for one the driver does not use.
std::string Meaning(int code);
// The code (in hexadecimal when it is an error flag) and its meaning.
std::string CodeText(int code);

}  // namespace toolkit
