// Numbers as text that reads back as the same double.
#pragma once

#include <string>

namespace toolkit {

// The shortest text that reads back as the same double: "5", "0.1",
// "12345678901", "2.718281828459045", "1e+300"; "nan", "inf", "-inf".
std::string NumberText(double value);

}  // namespace toolkit
