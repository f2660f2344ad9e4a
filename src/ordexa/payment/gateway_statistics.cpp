#include "ordexa/payment/gateway_statistics.h"

#include <vector>

#include "shared/lib_sales.h"

namespace ordexa {

namespace {

// Rows read per query: a first scrape of a long table reads it in steps.
constexpr int32_t kPage = 5000;
// Open rows asked about again per scrape (they are few: each one stops its order).
constexpr size_t kOpenAskedAtOnce = 200;

const char* const kColumns = "SELECT REQUESTSEQ, OPERATION, STATE, ICS_RCODE, SENT_DATETIME, COMPLETED_DATETIME FROM GATEWAYREQUEST ";

}  // namespace

void GatewayTally::Count(const std::string& operation, const std::string& state, const std::string& rcode,
                         double seconds) {
    std::string result = state == "NOTSENT"    ? "not_sent"
                         : state == "RESOLVED" ? "resolved"
                         : rcode == "1"        ? "accepted"
                         : rcode == "0"        ? "declined"
                                               : "error";
    ++outcomes_[{operation, result}];
    if (state != "ANSWERED" || seconds < 0) return;
    Latency& l = latencies_[operation];
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) ++l.buckets[i];
    ++l.count;
    l.sum += seconds;
}

void GatewayTally::Update(const std::string& connectionString) {
    auto take = [&](const ado::RecordsetPtr& rs, bool fresh) {
        for (; !rs->Eof(); rs->MoveNext()) {
            int64_t seq = rs->Fields(0).Value().ToLongLong();
            std::string state = rs->Fields(2).Value().Text();
            if (fresh) readUpTo_ = std::max(readUpTo_, seq);
            if (state == "SENT") {
                open_.insert(seq);
                continue;
            }
            open_.erase(seq);
            ole::Variant sent = rs->Fields(4).Value(), completed = rs->Fields(5).Value();
            double seconds = completed.IsNull() || sent.IsNull()
                                 ? -1
                                 : (completed.ToDate().serial - sent.ToDate().serial) * 86400.0;
            Count(rs->Fields(1).Value().Text(), state, rs->Fields(3).Value().Text(), seconds);
        }
    };
    if (!open_.empty()) {
        std::string sql = std::string(kColumns) + "WHERE STATE <> 'SENT' AND REQUESTSEQ IN (";
        std::vector<ole::Variant> asked;
        for (int64_t seq : open_) {
            if (asked.size() == kOpenAskedAtOnce) break;
            sql += asked.empty() ? "?" : ", ?";
            asked.emplace_back(seq);
        }
        take(Sls_GetDisconnectedRecordset(sql + ")", connectionString, asked), false);
    }
    for (;;) {
        int64_t before = readUpTo_;
        auto rs = Sls_GetDisconnectedRecordset(std::string(kColumns) + "WHERE REQUESTSEQ > ? ORDER BY REQUESTSEQ LIMIT ?",
                                               connectionString, {ole::Variant(readUpTo_), ole::Variant(kPage)});
        int64_t rows = rs->RecordCount();
        take(rs, true);
        if (rows < kPage || readUpTo_ == before) break;
    }
}

}  // namespace ordexa
