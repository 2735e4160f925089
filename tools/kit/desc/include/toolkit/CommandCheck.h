// A text command of a client checked before it runs: the driver's plug-in
// carries out what it can of any text (a keyword it does not know does
// nothing and answers 0, a name that is no variable is read as a literal), so
// a host that takes commands from clients checks them first.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "toolkit/Database.h"

namespace toolkit {

using Variables = std::vector<std::pair<std::string, Value>>;

// True when every keyword of the text is one of the driver's command
// keywords, and every value a write command takes is a variable of these or a
// number, of the kind the command reads for its row (a number, or for
// WRITE32/WRITE64 and string rows a text), and a value the row can hold
// (Admit). Items are read by the driver's own parser with these variables and
// the device's properties. False with why, naming what is refused. A command
// whose items the driver cannot read passes: the driver answers it with an
// error code.
bool CheckCommand(const std::string& text, const Variables& variables, const std::vector<int32_t>& properties,
                  std::string& why);

// The driver's command keywords, ", "-separated.
std::string CommandKeywords();

}  // namespace toolkit
