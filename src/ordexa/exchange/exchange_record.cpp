#include "ordexa/exchange/exchange_record.h"

#include <optional>
#include <set>

#include "platform/config/configuration.h"
#include "platform/data/transaction.h"
#include "platform/format/text_encoding.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

// At most `limit` bytes, never half a UTF-8 character.
std::string Cut(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
    return text.substr(0, limit);
}

// Texts come from files and peers: a NUL or bytes that are no UTF-8 (which
// PostgreSQL refuses, failing the work the row records) are shown as \xNN.
std::string Clean(const std::string& text) { return qx::IsCleanUtf8(text) ? text : qx::ShowBytes(text); }

Variant Text(const std::string& text, size_t limit) {
    return text.empty() ? Variant::Null() : Variant(Cut(Clean(text), limit));
}

template <typename T>
Variant Optional(const std::optional<T>& value) {
    return value ? Variant(*value) : Variant::Null();
}

const std::string kInsert =
    "INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, FILEOFFSET, FILELENGTH, "
    "ORDERCOUNT, REFERENCE, SHA256, ARCHIVE, DURATIONMS, DETAIL, ENTRYTEXT, HTTPSTATUS, ATTEMPT) VALUES (?, ?, ?, ?, ?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
const std::string kInsertOrder = "INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) VALUES (?, ?)";

}  // namespace

ExchangeRecord LocalPlacement(std::optional<int32_t> bisid, const std::string& file, int64_t offset, int64_t length) {
    ExchangeRecord placed;
    placed.kind = exchange_kind::kFilePlaced;
    placed.outcome = "placed";
    placed.bisid = bisid;
    placed.file = file;
    placed.offset = offset;
    placed.length = length;
    placed.reference = "local";
    return placed;
}

std::vector<ado::BatchStatement> ExchangeStatements(const std::vector<ExchangeRecord>& records) {
    std::vector<ado::BatchStatement> statements;
    Variant now(Sls_EventTimeNow());
    for (const auto& r : records) {
        std::string id = r.id.empty() ? Sls_CreateGUID() : r.id;
        std::optional<int32_t> count;
        if (!r.orderIds.empty()) count = static_cast<int32_t>(r.orderIds.size());
        std::optional<int32_t> duration;
        if (r.durationMs) duration = static_cast<int32_t>(std::min<int64_t>(*r.durationMs, INT32_MAX));
        statements.push_back({kInsert,
                              {Variant(id), now, Variant(r.kind), Variant(Cut(Clean(r.outcome), 30)), Optional(r.bisid),
                               Text(r.file, 500), Optional(r.offset), Optional(r.length), Optional(count),
                               Text(r.reference, 500), Text(r.sha256, 64), Text(r.archive, 500), Optional(duration),
                               Text(r.detail, 2000), Text(r.entryText, 1 << 20), Optional(r.httpStatus),
                               Optional(r.attempt)}});
        std::set<std::string> listed;  // an order once per exchange (the key)
        for (const auto& orderId : r.orderIds)
            if (!orderId.empty() && orderId.size() <= 32 && qx::IsCleanUtf8(orderId) && listed.insert(orderId).second)
                statements.push_back({kInsertOrder, {Variant(orderId), Variant(id)}});
    }
    return statements;
}

ado::BatchStatement CompleteExchangeStatement(const ExchangeRecord& r) {
    std::optional<int32_t> duration;
    if (r.durationMs) duration = static_cast<int32_t>(std::min<int64_t>(*r.durationMs, INT32_MAX));
    return {"UPDATE EXCHANGE SET OUTCOME = ?, HTTPSTATUS = ?, DURATIONMS = ?, DETAIL = ? WHERE EXCHANGEID = ? AND "
            "OUTCOME = ?",
            {Variant(Cut(Clean(r.outcome), 30)), Optional(r.httpStatus), Optional(duration), Text(r.detail, 2000),
             Variant(r.id), Variant(kSentOutcome)}};
}

int32_t NextAttempt(const ado::ConnectionPtr& connection, const std::string& kind,
                    const std::vector<std::string>& orderIds) {
    constexpr size_t kIdsPerQuery = 500;
    int32_t highest = 0;
    for (size_t start = 0; start < orderIds.size(); start += kIdsPerQuery) {
        size_t end = std::min(orderIds.size(), start + kIdsPerQuery);
        std::string sql = "SELECT MAX(e.ATTEMPT) FROM EXCHANGE e JOIN EXCHANGEORDER o ON o.EXCHANGEID = e.EXCHANGEID "
                          "WHERE e.KIND = ? AND o.ORDERID IN (";
        std::vector<Variant> params{Variant(kind)};
        for (size_t i = start; i < end; ++i) {
            sql += i == start ? "?" : ", ?";
            params.emplace_back(orderIds[i]);
        }
        auto rs = connection->Execute(sql + ")", nullptr, -1, params);
        if (!rs->Eof() && !rs->Fields(0).Value().IsNull())
            highest = std::max(highest, static_cast<int32_t>(rs->Fields(0).Value().ToLong()));
    }
    return highest + 1;
}

void RecordExchanges(const ado::ConnectionPtr& connection, const std::vector<ExchangeRecord>& records) {
    if (records.empty()) return;
    std::optional<ado::Transaction> own;
    if (!connection->InTransaction()) own.emplace(*connection);
    connection->ExecuteBatch(ExchangeStatements(records));
    if (own) own->Commit();
}

void RecordExchangesApart(const std::vector<ExchangeRecord>& records) noexcept {
    try {
        RecordExchanges(Sls_GetOpenConnection(Sls_ConnectionString()), records);
    } catch (...) {
        try {
            Sls_LogError("Ordexa.ExchangeRecord", "An exchange with the outside could not be recorded: " +
                                                      ole::CurrentDescription());
        } catch (...) {
        }
    }
}

void CompleteExchangeApart(const ExchangeRecord& record) noexcept {
    try {
        Sls_GetOpenConnection(Sls_ConnectionString())->ExecuteBatch({CompleteExchangeStatement(record)});
    } catch (...) {
        try {
            Sls_LogError("Ordexa.ExchangeRecord", "The answer to a call could not be recorded (exchange " + record.id +
                                                      " stays \"sent\"): " + ole::CurrentDescription());
        } catch (...) {
        }
    }
}

int32_t PruneExchanges(const ado::ConnectionPtr& connection, int32_t days, int32_t bound) {
    // a refused entry still waiting for an operator stays whatever its age
    Variant limit(ole::Date{Sls_EventTimeNow().serial - days});
    const std::string oldest =
        "SELECT EXCHANGEID FROM EXCHANGE WHERE EXCHANGETIME < ? AND OUTCOME <> 'waiting' ORDER BY EXCHANGETIME LIMIT ?";
    Variant most(bound);
    ado::Transaction tx(*connection);
    auto results = connection->ExecuteBatch(
        {{"DELETE FROM EXCHANGEORDER WHERE EXCHANGEID IN (" + oldest + ")", {limit, most}},
         {"DELETE FROM EXCHANGE WHERE EXCHANGEID IN (" + oldest + ")", {limit, most}}});
    tx.Commit();
    return std::max(results[1].affected, 0);
}

int32_t EdiDaysSetting(const char* name, int32_t defaultDays) {
    try {
        auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
        auto installations = config->GetInstallations("Vendalo");
        if (installations.empty()) return defaultDays;
        config->LoadFile(installations.front().ConfigFolder + "/VendaloConfiguration.xml");
        int32_t days = config->GetValue("EDI_PARAMETERS", name).ToLong();
        return days > 0 ? days : defaultDays;
    } catch (...) {
        return defaultDays;  // not set, or no readable configuration
    }
}

}  // namespace ordexa
