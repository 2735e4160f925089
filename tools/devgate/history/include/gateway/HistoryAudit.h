// The audit writer's sink into the history database: its own connection
// (WAL and a busy timeout let it write beside the recorder), the audit table
// created with the others, records pruned by the samples' age.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "gateway/Audit.h"
#include "gateway/HistoryDb.h"

namespace gateway {

class AuditDbSink : public AuditSink {
public:
    AuditDbSink(std::string path, unsigned retentionDays);
    ~AuditDbSink() override;
    // Opens the database at the first batch, and again after a failure.
    void Write(const std::vector<AuditRecord>& records) override;

private:
    std::string m_path;
    unsigned m_retentionDays;
    std::unique_ptr<HistoryDb> m_db;
    std::chrono::steady_clock::time_point m_pruneAt{};
};

}  // namespace gateway
