// The tests' in-memory real-time database: the tools kit's database, as strict
// as a host (undeclared channels and variables are not found, values of
// another type are refused), with its log of the store calls.
#pragma once

#include "toolkit/Database.h"

class MemoryRtdb : public toolkit::Database {
public:
    using toolkit::Database::Database;
};
