#include "shared/order_events.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>
#include <utility>

#include "platform/data/transaction.h"
#include "platform/log/log.h"

namespace {

std::mutex gRunMutex;
std::string gRun;  // the run of this process ("" none)

// At most `limit` bytes, never half a UTF-8 character.
std::string Cut(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
    return text.substr(0, limit);
}

}  // namespace

ole::Date Sls_EventTimeNow() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    return ole::Date::FromParts(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                                utc.tm_sec + static_cast<double>(ms) / 1000.0);
}

namespace {

ole::Variant Optional(const std::optional<int32_t>& value) {
    return value ? ole::Variant(*value) : ole::Variant::Null();
}

ole::Variant Text(const std::string& text, size_t limit) {
    return text.empty() ? ole::Variant::Null() : ole::Variant(Cut(text, limit));
}

}  // namespace

std::string Sls_OrderEventActor() {
    std::string request = qx::CurrentLogRequest();
    if (!request.empty()) return Cut("request " + request, 100);
    std::lock_guard lock(gRunMutex);
    return gRun;
}

std::string Sls_OperatorActor(const std::string& operatorName) {
    std::string actor = operatorName == "operator key" ? operatorName : "operator " + operatorName;
    std::string request = qx::CurrentLogRequest();
    if (!request.empty()) actor += " (request " + request + ")";
    return Cut(actor, 100);
}

OrderEventRun::OrderEventRun(std::string actor) {
    std::lock_guard lock(gRunMutex);
    outer_ = std::exchange(gRun, std::move(actor));
}

OrderEventRun::~OrderEventRun() {
    std::lock_guard lock(gRunMutex);
    gRun = std::move(outer_);
}

namespace {

// An event with a status before is appended only when the change happened:
// the row now holds the status after, and the timeline's last event of the
// row the status before (a guarded change that found another status made no
// change, and so writes no event).
const std::string& EventSql(bool line, bool guarded) {
    static const std::string insert =
        "INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, LINENR, STATUSBEFORE, STATUSAFTER, WHAT, ACTOR, REFERENCE, "
        "DETAIL) SELECT ?, (SELECT COALESCE(MAX(SEQ), 0) + 1 FROM ORDEREVENT WHERE ORDERID = ?), ?, ?, ?, ?, ?, ?, ?, ?";
    static const std::string sql[4] = {
        insert,
        insert + " WHERE EXISTS (SELECT 1 FROM ORDERHEADER WHERE ORDERID = ? AND ORDERSTATUS = ?) AND (SELECT "
                 "STATUSAFTER FROM ORDEREVENT WHERE ORDERID = ? AND LINENR IS NULL ORDER BY SEQ DESC LIMIT 1) = ?",
        insert,
        insert + " WHERE EXISTS (SELECT 1 FROM ORDERLINE WHERE ORDERID = ? AND LINENR = ? AND LINESTATUS = ?) AND "
                 "(SELECT STATUSAFTER FROM ORDEREVENT WHERE ORDERID = ? AND LINENR = ? ORDER BY SEQ DESC LIMIT 1) = ?"};
    return sql[(line ? 2 : 0) + (guarded ? 1 : 0)];
}

}  // namespace

std::vector<ado::BatchStatement> OrderEventStatements(const std::vector<OrderEvent>& events,
                                                      const std::optional<ole::Date>& at) {
    std::vector<ado::BatchStatement> statements;
    statements.reserve(events.size());
    ole::Date now = at ? *at : Sls_EventTimeNow();
    std::string actor;
    bool actorRead = false;
    auto status = [](int32_t value) { return ole::Variant(static_cast<int16_t>(value)); };
    for (const auto& e : events) {
        if (e.actor.empty() && !actorRead) {
            actor = Sls_OrderEventActor();
            actorRead = true;
        }
        ole::Variant id(e.orderId);
        std::vector<ole::Variant> params{id,
                                         id,
                                         ole::Variant(now),
                                         Optional(e.lineNr),
                                         e.before ? status(*e.before) : ole::Variant::Null(),
                                         status(e.after),
                                         ole::Variant(Cut(e.what, 30)),
                                         Text(e.actor.empty() ? actor : e.actor, 100),
                                         Text(e.reference, 500),
                                         Text(e.detail, 500)};
        if (e.before) {
            params.push_back(id);
            if (e.lineNr) params.push_back(ole::Variant(*e.lineNr));
            params.push_back(status(e.after));
            params.push_back(id);
            if (e.lineNr) params.push_back(ole::Variant(*e.lineNr));
            params.push_back(status(*e.before));
        }
        statements.push_back({EventSql(e.lineNr.has_value(), e.before.has_value()), std::move(params)});
    }
    return statements;
}

ole::Date Sls_LocalToUtc(const ole::Date& local) {
    ole::CalendarTime t = local.ToCalendar();
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;  // the zone's rules say whether summer time applied
    std::time_t seconds = std::mktime(&tm);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    return ole::Date::FromParts(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                                utc.tm_sec + t.millisecond / 1000.0);
}

std::string Sls_MaskedCard(const std::string& kept) {
    std::string digits;
    for (char c : kept)
        if (c >= '0' && c <= '9') digits += c;
    if (digits.empty()) return "";
    return "**** " + digits.substr(digits.size() > 4 ? digits.size() - 4 : 0);
}

ado::BatchStatement Sls_CheckoutAuthorizationRead(const std::string& basketId) {
    return {"SELECT REQUEST_DATETIME, CLIENT_REQUEST_ID, AUTH_REQUEST_ID, CUSTOMER_CC_NUMBER, AUTH_AUTH_AMOUNT, CURRENCY "
            "FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1 "
            "ORDER BY REQUEST_DATETIME DESC, LOGSEQ DESC LIMIT 1",
            {ole::Variant(basketId)}};
}

std::optional<CheckoutAuthorizationEvent> Sls_CheckoutAuthorizationEvent(const ado::RecordsetPtr& rs,
                                                                         const std::string& basketId) {
    if (!rs || rs->Eof()) return std::nullopt;
    auto text = [&](int i) { return rs->Fields(i).Value().IsNull() ? std::string() : rs->Fields(i).Value().Text(); };
    ole::Variant requested = rs->Fields(0).Value();
    // a row written before requests had client ids names the gateway's id
    std::string reference = text(1).empty() ? text(2) : text(1);
    std::string detail = Sls_MaskedCard(text(3));
    std::string amount = text(4).empty() ? "" : text(4) + " " + text(5);
    if (!amount.empty()) detail += (detail.empty() ? "" : ", ") + amount;
    CheckoutAuthorizationEvent result{
        {basketId, std::nullopt, std::nullopt, 0 /* ToBeProcessed: what the submission sets */, "authorised at checkout", "checkout", reference, detail},
        requested.IsNull() ? Sls_EventTimeNow() : Sls_LocalToUtc(requested.ToDate())};
    return result;
}

void Sls_AppendOrderEvents(const ado::ConnectionPtr& connection, const std::vector<OrderEvent>& events) {
    if (events.empty()) return;
    connection->ExecuteBatch(OrderEventStatements(events));
}

int32_t Sls_RecordStatusesWithoutEvents(const ado::ConnectionPtr& connection) {
    ole::Variant now(Sls_EventTimeNow());
    auto results = connection->ExecuteBatch(
        {{"INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, LINENR, STATUSBEFORE, STATUSAFTER, WHAT, ACTOR) "
          "SELECT h.ORDERID, 1, ?, NULL, NULL, h.ORDERSTATUS, 'recorded at upgrade', 'upgrade' FROM ORDERHEADER h "
          "WHERE NOT EXISTS (SELECT 1 FROM ORDEREVENT e WHERE e.ORDERID = h.ORDERID)",
          {now}},
         // each line of an order after the order's last event, in the order of its number
         {"INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, LINENR, STATUSBEFORE, STATUSAFTER, WHAT, ACTOR) "
          "SELECT l.ORDERID, COALESCE((SELECT MAX(e.SEQ) FROM ORDEREVENT e WHERE e.ORDERID = l.ORDERID), 0) + "
          "(SELECT COUNT(*) FROM ORDERLINE o WHERE o.ORDERID = l.ORDERID AND o.LINENR <= l.LINENR), ?, l.LINENR, "
          "NULL, l.LINESTATUS, 'recorded at upgrade', 'upgrade' FROM ORDERLINE l "
          "WHERE NOT EXISTS (SELECT 1 FROM ORDEREVENT e WHERE e.ORDERID = l.ORDERID AND e.LINENR = l.LINENR)",
          {now}}});
    return std::max(results[0].affected, 0) + std::max(results[1].affected, 0);
}

std::vector<ado::BatchResult> Sls_ExecuteWithOrderEvents(const ado::ConnectionPtr& connection,
                                                         std::vector<ado::BatchStatement> statements,
                                                         const std::vector<OrderEvent>& events) {
    size_t count = statements.size();
    auto appended = OrderEventStatements(events);
    statements.insert(statements.end(), appended.begin(), appended.end());
    std::optional<ado::Transaction> own;
    if (!connection->InTransaction()) own.emplace(*connection);
    auto results = connection->ExecuteBatch(statements);
    if (own) own->Commit();
    results.resize(count);
    return results;
}
