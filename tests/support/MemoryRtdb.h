// The tests' in-memory real-time database: the tools kit's database, as strict
// as a host (undeclared channels and variables are not found, values of
// another type are refused), with a log of the store calls for the tests to
// inspect (the kit's database keeps none: a host runs around the clock).
#pragma once

#include <string>
#include <vector>

#include "toolkit/Database.h"

class MemoryRtdb : public toolkit::Database {
public:
    using toolkit::Database::Database;

    // Channels stored, in order of the store calls.
    const std::vector<int>& Stores() const { return m_stores; }
    void ClearStores() { m_stores.clear(); }

    int SetValueByChannel(int channel, int value) override {
        return Log(channel, Database::SetValueByChannel(channel, value));
    }
    int SetValueByChannel(int channel, double value) override {
        return Log(channel, Database::SetValueByChannel(channel, value));
    }
    int SetValueByChannel(int channel, std::string& value) override {
        return Log(channel, Database::SetValueByChannel(channel, value));
    }

private:
    int Log(int channel, int rc) {
        if (rc == 0) m_stores.push_back(channel);
        return rc;
    }

    std::vector<int> m_stores;
};
