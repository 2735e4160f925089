#include "gateway/HistoryPrint.h"

#include <cmath>

#include "gateway/HistoryDb.h"
#include "toolkit/Number.h"
#include "toolkit/Output.h"

namespace gateway {

namespace {

std::string Time(int64_t ms) { return toolkit::Iso8601(SystemTime(std::chrono::milliseconds(ms))); }

}  // namespace

const char* const kHistoryCsvHeader = "time,ms,value,status,code\n";

std::string HistoryNumber(double x) { return std::isfinite(x) ? toolkit::NumberText(x) : "null"; }

std::string HistoryCsvLine(const HistorySample& s) {
    return Time(s.ms) + "," + std::to_string(s.ms) + "," + (s.hasValue ? toolkit::CsvField(s.value.Text()) : "") + "," +
           StatusWord(s.status) + "," + std::to_string(s.code) + "\n";
}

int PrintHistory(const HistoryQuery& q, std::ostream& out, std::ostream& err) {
    try {
        HistoryDb db(q.path, HistoryDb::Mode::Read);
        HistoryChannel ch;
        if (!db.Find(q.device, q.channel, ch)) {
            err << "devgate: " << q.path << " has no channel " << q.channel << " of device " << q.device << "\n";
            return 1;
        }
        HistoryRange r;
        if (q.points > 0)
            r = db.Query(ch, q.fromMs, q.toMs, q.points);
        else
            r.gaps = db.Gaps(q.fromMs, q.toMs);
        if (r.reduced) {
            if (!q.jsonl) out << "time,ms,count,failed,min,max\n";
            for (const HistoryBucket& b : r.buckets) {
                bool values = b.count > b.failed;
                if (q.jsonl)
                    out << "{\"time\":\"" << Time(b.fromMs) << "\",\"ms\":" << b.fromMs << ",\"count\":" << b.count
                        << ",\"failed\":" << b.failed << ",\"min\":" << (values ? HistoryNumber(b.min) : "null")
                        << ",\"max\":" << (values ? HistoryNumber(b.max) : "null") << "}\n";
                else
                    out << Time(b.fromMs) << "," << b.fromMs << "," << b.count << "," << b.failed << ","
                        << (values ? HistoryNumber(b.min) : "") << "," << (values ? HistoryNumber(b.max) : "") << "\n";
            }
        } else {
            if (!q.jsonl) out << kHistoryCsvHeader;
            auto print = [&](const HistorySample& s) {
                const char* status = StatusWord(s.status);
                if (q.jsonl)
                    out << "{\"time\":\"" << Time(s.ms) << "\",\"ms\":" << s.ms
                        << ",\"value\":" << (s.hasValue ? toolkit::JsonValue(s.value) : "null") << ",\"status\":\""
                        << status << "\",\"code\":" << s.code << "}\n";
                else
                    out << HistoryCsvLine(s);
            };
            if (q.points > 0)
                for (const HistorySample& s : r.samples) print(s);
            else
                db.Samples(ch.id, q.fromMs, q.toMs, print);  // streamed, however many
        }
        for (const HistoryGap& g : r.gaps) {
            if (q.jsonl)
                out << "{\"gap\":{\"from\":\"" << Time(g.fromMs) << "\",\"to\":\"" << Time(g.toMs)
                    << "\",\"missing\":" << g.missing << "}}\n";
            else
                err << "devgate: gap from " << Time(g.fromMs) << " to " << Time(g.toMs) << ": " << g.missing
                    << " changes not recorded\n";
        }
        out.flush();
        return 0;
    } catch (const HistoryError& e) {
        err << "devgate: history " << e.what() << "\n";
        return 1;
    }
}

}  // namespace gateway
