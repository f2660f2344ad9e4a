#include "ordexa/payment/payment_resolution.h"

#include <chrono>
#include <map>

#include "interfaces/vendalo/order_status.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "ordexa/payment/gateway_requests.h"
#include "ordexa/payment/order_payment_lock.h"
#include "ordexa/payment/payment_logs.h"
#include "ordexa/stage_settings.h"
#include "platform/automation/text.h"
#include "platform/data/transaction.h"
#include "platform/gateway/gateway_client.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

const char* kSource = "Ordexa.PaymentResolution";

struct GatewayAnswer {
    bool known = false;  // the gateway told what happened
    bool seen = false;   // it had the request
    std::map<std::string, std::string> original;  // the original reply's fields, by lower-case name
    std::string message;

    std::string Original(const std::string& name) const {
        auto it = original.find(name);
        return it == original.end() ? "" : it->second;
    }
    // What the request did, by the result code of its application.
    bool Done(const std::string& operation) const {
        const char* code = IsCaptureOperation(operation) ? "bill_rcode"
                           : operation == gateway_operation::Credit ? "credit_rcode"
                                                                    : "auth_rcode";
        return ole::TrimBlanks(Original(code)) == "1";
    }
};

// Asks the gateway about a request by the client's id. A gateway that does not
// answer such queries (no "query_rcode" in its reply) tells nothing.
GatewayAnswer AskGateway(const std::string& merchantId, const std::string& clientRequestId) {
    GatewayAnswer answer;
    auto client = Sls_GetComponent<qx::IGatewayClient>(qx::kGatewayClientProgId);
    client->SetMerchantId(merchantId);
    client->SetServerHost(
        Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter")->GetParameterValue("CyberSource Serverhost"));
    client->SetValue("ics_applications", "ics_query");
    client->SetValue("query_client_request_id", clientRequestId);
    try {
        client->Send();
    } catch (const ole::AutomationError& e) {
        answer.message = e.Description();
        return answer;
    }
    std::string found = ole::TrimBlanks(client->GetReplyValue("query_rcode"));
    if (found == "0") {
        answer.known = true;
        answer.message = "the gateway has no record of the request";
    } else if (found == "1") {
        answer.known = answer.seen = true;
        // cut to the log columns they go to, whatever the gateway sent
        const std::pair<const char*, size_t> fields[] = {
            {"request_id", 50},       {"ics_rcode", 10},        {"auth_rcode", 10},    {"auth_auth_amount", 30},
            {"auth_auth_code", 50},   {"auth_auth_time", 30},   {"auth_auth_avs", 20}, {"bill_rcode", 10},
            {"bill_bill_amount", 30}, {"bill_bill_request_time", 30}, {"credit_rcode", 10}, {"credit_credit_amount", 30}};
        for (const auto& [name, width] : fields)
            answer.original[name] = client->GetReplyValue(std::string("original_") + name).substr(0, width);
        answer.message = "the gateway had the request";
    } else {
        answer.message = "the gateway does not answer queries about requests";
    }
    return answer;
}

[[noreturn]] void Refuse(int32_t number, const std::string& text) { ole::Raise(number, text, kSource); }

std::string MerchantIdOf(const ado::ConnectionPtr& connection, const std::string& currency) {
    auto id = MerchantIdOfCurrency(connection, ole::TrimBlanks(currency));
    if (!id) Refuse(kResolutionNeeded, "There is no valid MerchantId for Currency: " + currency);
    return *id;
}

Variant TextOrNull(const std::string& text) { return text.empty() ? ole::Null : Variant(text); }

std::vector<Variant> LineNumbers(const std::string& list) {
    std::vector<Variant> lines;
    for (size_t at = 0; at < list.size();) {
        size_t comma = list.find(',', at);
        std::string item = ole::TrimBlanks(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (!item.empty()) lines.push_back(Variant(Variant(item).ToLong()));
        at = comma == std::string::npos ? list.size() : comma + 1;
    }
    return lines;
}

// The columns of an authorisation row that a resolved one takes from the request's
// own row (written when its reply was lost) or, for an order, from the
// authorisation it was built from: card (sealed), customer and totals.
const char* const kCardColumns[] = {"CUSTOMER_CC_NUMBER", "CUSTOMER_CC_SEALED", "CUSTOMER_CC_EXPMO", "CUSTOMER_CC_EXPYR",
                                    "CUSTOMER_CC_TYPE",   "BILL_CITY",          "BILL_STATE",        "BILL_ZIP",
                                    "BILL_COUNTRY",       "CUSTOMER_FIRSTNAME", "CUSTOMER_LASTNAME", "CUSTOMER_EMAIL",
                                    "CUSTOMER_PHONE",     "BILL_ADDRESS1",      "TAX_TOTAL",         "SHIPPING_TOTAL",
                                    "FREIGHTTAX",         "OFFERS",             "CLIENT_LIB_VERSION"};

ado::RecordsetPtr AuthorizationSource(const ado::ConnectionPtr& c, const GatewayRequestRow& row) {
    std::string columns;
    for (const char* name : kCardColumns) columns += std::string(columns.empty() ? "" : ", ") + name;
    auto own = c->Execute("SELECT " + columns + " FROM AUTHORIZATIONLOG WHERE CLIENT_REQUEST_ID = ? ORDER BY LOGSEQ DESC LIMIT 1",
                          nullptr, -1, {Variant(row.clientRequestId)});
    if (own && !own->Eof()) return own;
    return c->Execute("SELECT " + columns +
                          " FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1 "
                          "ORDER BY REQUEST_DATETIME DESC, LOGSEQ DESC LIMIT 1",
                      nullptr, -1, {Variant(row.subject.reference)});
}

void WriteAuthorization(const ado::ConnectionPtr& c, const GatewayRequestRow& row, const GatewayAnswer& answer,
                        bool approved, const std::string& requestId, const std::string& note) {
    std::vector<std::string> columns = {"MERCHANT_REF_NUMBER", "AUTH_RCODE",      "ICS_RCODE",      "ICS_RFLAG",
                                        "ICS_RMSG",            "AUTH_RFLAG",      "AUTH_RMSG",      "AUTH_REQUEST_ID",
                                        "AUTH_AUTH_AMOUNT",    "AUTH_AUTH_CODE",  "AUTH_AUTH_TIME", "AUTH_AUTH_AVS",
                                        "CURRENCY",            "ICS_APPLICATIONS", "REQUEST_DATETIME", "LOGSEQ",
                                        "CLIENT_REQUEST_ID"};
    std::string amount = answer.Original("auth_auth_amount");
    std::vector<Variant> values = {Variant(row.subject.reference),
                                   Variant(approved ? 1 : 0),
                                   Variant(approved ? "1" : "0"),
                                   Variant(approved ? "SOK" : "DRESOLVED"),
                                   Variant(note),
                                   Variant(approved ? "SOK" : "DRESOLVED"),
                                   Variant(note),
                                   TextOrNull(requestId),
                                   Variant(amount.empty() && approved ? row.subject.amount : amount),
                                   Variant(answer.Original("auth_auth_code")),
                                   Variant(answer.Original("auth_auth_time")),
                                   Variant(answer.Original("auth_auth_avs")),
                                   Variant(row.subject.currency),
                                   Variant("ics_auth"),
                                   row.sent,  // the authorisation's age counts from when it was sent
                                   Variant(NextPaymentLogSequence(c)),
                                   Variant(row.clientRequestId)};
    auto source = AuthorizationSource(c, row);
    if (source && !source->Eof())
        for (const char* name : kCardColumns) {
            columns.push_back(name);
            values.push_back(source->Fields(name).Value());
        }
    std::string sql = "INSERT INTO AUTHORIZATIONLOG (", markers;
    for (size_t i = 0; i < columns.size(); ++i) {
        sql += (i ? ", " : "") + columns[i];
        markers += i ? ", ?" : "?";
    }
    c->Execute(sql + ") VALUES (" + markers + ")", nullptr, -1, values);
}

// The numbers of the order's lines at 1 (Allocated), read before they move on:
// each gets its event after the change.
std::vector<int32_t> AllocatedLines(const ado::ConnectionPtr& c, const std::string& orderId) {
    std::vector<int32_t> numbers;
    auto rs = c->Execute("SELECT LINENR FROM ORDERLINE WHERE ORDERID = ? AND LINESTATUS = ? ORDER BY LINENR", nullptr, -1,
                         {Variant(orderId), StatusValue(vendalo::OrderLineStatus::Allocated)});
    for (; !rs->Eof(); rs->MoveNext()) numbers.push_back(rs->Fields(0).Value().ToLong());
    return numbers;
}

// `actor`: the operator who resolved ("" : the thread's run or request).
void AppendCapturedEvents(const ado::ConnectionPtr& c, const std::string& orderId, const std::vector<int32_t>& lines,
                          const std::string& reference, const std::string& actor) {
    std::vector<OrderEvent> events;
    for (int32_t line : lines)
        events.push_back({orderId, line, static_cast<int32_t>(vendalo::OrderLineStatus::Allocated),
                          static_cast<int32_t>(vendalo::OrderLineStatus::CCBilled), "captured", actor, reference,
                          "outcome resolved"});
    Sls_AppendOrderEvents(c, events);
}

// Who resolves: the operator's name and note for the order's event.
struct Resolver {
    std::string actor, note;
    std::string Detail() const { return note.empty() ? "outcome resolved" : "outcome resolved: " + note; }
};

// `request`: the client request id of the request whose outcome was settled ("" none).
void AppendReleasedEvent(const ado::ConnectionPtr& c, const std::string& orderId, vendalo::OrderStatus status,
                         const Resolver& by, const std::string& request) {
    Sls_AppendOrderEvents(c, {{orderId, std::nullopt, static_cast<int32_t>(vendalo::OrderStatus::OrderBillingIssue),
                               static_cast<int32_t>(status), "resolved", by.actor, request, by.Detail()}});
}

// The lines of a capture set to 2 when it was taken; otherwise those still at 1, counted.
int32_t SettleCaptureLines(const ado::ConnectionPtr& c, const GatewayRequestRow& row, bool taken,
                           const std::string& actor) {
    std::vector<Variant> lines = LineNumbers(row.subject.lineNrs);
    std::string markers;
    for (size_t i = 0; i < lines.size(); ++i) markers += i ? ", ?" : "?";
    std::string which = lines.empty() ? "" : " AND LINENR IN (" + markers + ")";
    std::vector<Variant> params{Variant(row.subject.reference)};
    if (taken) {
        params.insert(params.begin(), StatusValue(vendalo::OrderLineStatus::CCBilled));
        params.insert(params.end(), lines.begin(), lines.end());
        std::vector<int32_t> numbers;
        for (const auto& line : lines) numbers.push_back(line.ToLong());
        if (numbers.empty()) numbers = AllocatedLines(c, row.subject.reference);
        int32_t affected = 0;
        c->Execute("UPDATE ORDERLINE SET LINESTATUS = ? WHERE ORDERID = ? AND " +
                       StatusGuard(vendalo::OrderLineStatus::Allocated) + which,
                   &affected, -1, params);
        AppendCapturedEvents(c, row.subject.reference, numbers, row.clientRequestId, actor);
        return affected;
    }
    params.push_back(StatusValue(vendalo::OrderLineStatus::Allocated));
    params.insert(params.end(), lines.begin(), lines.end());
    return c->Execute("SELECT COUNT(*) FROM ORDERLINE WHERE ORDERID = ? AND LINESTATUS = ?" + which, nullptr, -1, params)
        ->Fields(0)
        .Value()
        .ToLong();
}

void WriteCapture(const ado::ConnectionPtr& c, const GatewayRequestRow& row, const GatewayAnswer& answer, bool taken,
                  const std::string& requestId, const std::string& note) {
    auto own = c->Execute("SELECT OFFERS, CLIENT_LIB_VERSION FROM BILLINGLOG WHERE CLIENT_REQUEST_ID = ? ORDER BY LOGSEQ DESC LIMIT 1",
                          nullptr, -1, {Variant(row.clientRequestId)});
    bool combined = row.subject.operation == gateway_operation::AuthorizationAndCapture;
    std::string amount = answer.Original("bill_bill_amount");
    // a combined request's own id is the id of the authorisation it captured against
    std::string authRequestId = combined ? requestId : row.subject.priorRequestId;
    c->Execute(
        "INSERT INTO BILLINGLOG (ICS_RMSG, BILL_BILL_AMOUNT, ICS_RFLAG, BILL_RFLAG, BILL_RMSG, ICS_RCODE, BILL_RCODE, "
        "BILL_BILL_REQUEST_TIME, BILL_REQUEST_ID, MERCHANT_REF_NUMBER, CURRENCY, OFFERS, AUTH_REQUEST_ID, "
        "ICS_APPLICATIONS, CLIENT_LIB_VERSION, REQUEST_DATETIME, LOGSEQ, CLIENT_REQUEST_ID) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        nullptr, -1,
        {Variant(note), Variant(amount.empty() && taken ? row.subject.amount : amount),
         Variant(taken ? "SOK" : "DRESOLVED"), Variant(taken ? "SOK" : "DRESOLVED"), Variant(note),
         Variant(taken ? "1" : "0"), Variant(taken ? "1" : "0"), Variant(answer.Original("bill_bill_request_time")),
         TextOrNull(requestId), Variant(row.subject.reference), Variant(row.subject.currency),
         own && !own->Eof() ? own->Fields(0).Value() : Variant(""), TextOrNull(authRequestId),
         Variant(combined ? "ics_auth, ics_bill" : "ics_bill"),
         own && !own->Eof() ? own->Fields(1).Value() : Variant(""), Variant(ole::Date::Now()),
         Variant(NextPaymentLogSequence(c)), Variant(row.clientRequestId)});
}

void WriteCredit(const ado::ConnectionPtr& c, const GatewayRequestRow& row, const GatewayAnswer& answer, bool credited,
                 const std::string& requestId, const std::string& note) {
    std::string amount = answer.Original("credit_credit_amount");
    c->Execute(
        "INSERT INTO REFUNDLOG (ICS_RMSG, Credit_Credit_AMOUNT, ICS_RFLAG, Credit_RFLAG, Credit_RMSG, ICS_RCODE, "
        "Credit_RCODE, BILL_REQUEST_ID, MERCHANT_REF_NUMBER, CURRENCY, OFFERS, REQUEST_ID, ICS_APPLICATIONS, "
        "REQUEST_DATETIME, LOGSEQ, CLIENT_REQUEST_ID) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        nullptr, -1,
        {Variant(note), Variant(amount.empty() && credited ? row.subject.amount : amount),
         Variant(credited ? "SOK" : "DRESOLVED"), Variant(credited ? "SOK" : "DRESOLVED"), Variant(note),
         Variant(credited ? "1" : "0"), Variant(credited ? "1" : "0"), Variant(row.subject.priorRequestId),
         Variant(row.subject.reference), Variant(row.subject.currency), Variant("0=amount:" + row.subject.amount),
         TextOrNull(requestId), Variant("ics_credit"), Variant(ole::Date::Now()), Variant(NextPaymentLogSequence(c)),
         Variant(row.clientRequestId)});
}

// An order held in OrderBillingIssue goes to `status` once nothing of it is
// open; one with a refused capture (a line in LineBillingIssue) stays.
// An operator who resolved without moving the order still stands in its
// timeline: an event that keeps its status.
void ReleaseOrder(const ado::ConnectionPtr& c, const std::string& orderId, vendalo::OrderStatus status,
                  bool release, const Resolver& by, const std::string& request) {
    static const std::string sql =
        "UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND " +
        vendalo::StatusGuard(vendalo::OrderStatus::OrderBillingIssue) +
        " AND NOT EXISTS (SELECT 1 FROM ORDERLINE l WHERE l.ORDERID = ORDERHEADER.ORDERID AND l.LINESTATUS = ?)";
    int32_t affected = 0;
    if (release)
        c->Execute(sql, &affected, -1,
                   {StatusValue(status), Variant(orderId), StatusValue(vendalo::OrderLineStatus::LineBillingIssue)});
    if (affected > 0) {
        AppendReleasedEvent(c, orderId, status, by, request);
    } else if (!by.actor.empty()) {
        auto held = c->Execute("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1, {Variant(orderId)});
        if (held && !held->Eof()) {
            int32_t current = held->Fields(0).Value().ToLong();
            Sls_AppendOrderEvents(c, {{orderId, std::nullopt, current, current, "resolved", by.actor, request, by.Detail()}});
        }
    }
}

Resolution ResolveOpenRequest(const ado::ConnectionPtr& connection, const GatewayRequestRow& row, size_t open,
                              std::optional<bool> operatorSays, const std::string& operatorRequestId,
                              const Resolver& by) {
    const std::string& op = row.subject.operation;
    const std::string& reference = row.subject.reference;
    Resolution resolution;
    resolution.operation = op;
    resolution.clientRequestId = row.clientRequestId;
    resolution.stillOpen = open - 1;
    GatewayAnswer answer = AskGateway(MerchantIdOf(connection, row.subject.currency), row.clientRequestId);
    std::string about = op + " request " + row.clientRequestId + " of " + reference;
    if (answer.known && !answer.seen) {
        // A request sent moments ago may still be on its way to the gateway; only
        // one older than the client's time-out can no longer arrive from us.
        double age = (ole::Date::Now().serial - row.sent.ToDate().serial) * 86400.0;
        double timeout = std::chrono::duration<double>(qx::GatewaySettingsOfInstallation().requestTimeout).count();
        if (age < timeout + 1)
            Refuse(kResolutionNeeded, "The gateway has no record of " + about + " yet, but it was sent " +
                                          std::to_string(static_cast<int>(age)) +
                                          " s ago and may still be under way: try again in " +
                                          std::to_string(static_cast<int>(timeout + 2 - age)) + " s");
    }
    if (answer.known) {
        bool done = answer.seen && answer.Done(op);
        if (operatorSays && *operatorSays != done)
            Refuse(kResolutionNeeded, about + ": " + answer.message + (done ? " and did it" : " and did not do it") +
                                          ", which contradicts the operator's statement; nothing changed");
        resolution.done = done;
        resolution.gatewayAnswered = true;
        resolution.requestId = answer.Original("request_id");
    } else {
        if (!operatorSays)
            Refuse(kResolutionNeeded, "The gateway cannot tell what became of " + about + " (" + answer.message +
                                          "): state what the gateway did (--captured, --authorized, --credited, or "
                                          "--not-captured, --not-authorized, --not-credited)");
        resolution.done = *operatorSays;
        resolution.requestId = operatorRequestId;
        if (resolution.done && IsAuthorizationOperation(op) && operatorRequestId.empty())
            Refuse(kResolutionNeeded, about + ": an authorisation stated as done needs its request id (--request-id)");
    }
    std::string note = resolution.gatewayAnswered ? "Resolved with the gateway: " + answer.message
                                                  : std::string("Resolved by the operator: ") +
                                                        (resolution.done ? "done" : "not done");
    bool declined = IsAuthorizationOperation(op) && answer.seen && !resolution.done;
    ado::Transaction tx(*connection);
    if (IsCaptureOperation(op)) {
        WriteCapture(connection, row, answer, resolution.done, resolution.requestId, note);
        resolution.lines = SettleCaptureLines(connection, row, resolution.done, by.actor);
    } else if (op == gateway_operation::Credit) {
        WriteCredit(connection, row, answer, resolution.done, resolution.requestId, note);
    } else if (resolution.done || declined) {
        WriteAuthorization(connection, row, answer, resolution.done, resolution.requestId, note);
    }
    if (!CompleteGatewayRequest(connection, row.sequence, "RESOLVED", resolution.requestId,
                                resolution.done ? "1" : (answer.seen ? answer.Original("ics_rcode") : "")))
        Refuse(kNothingToResolve, about + " was resolved meanwhile; nothing changed");
    ReleaseOrder(connection, reference,
                 declined ? vendalo::OrderStatus::OrderAuthorizationIssue : vendalo::OrderStatus::CCPaymentToBeFulfilled,
                 resolution.stillOpen == 0, by, row.clientRequestId);
    tx.Commit();
    return resolution;
}

// An older version's capture of unknown outcome: the order in 8, its latest BILLINGLOG row without ICS_RCODE.
Resolution ResolveLoggedCapture(const ado::ConnectionPtr& connection, const std::string& orderId,
                                std::optional<bool> operatorSays, const std::string& billRequestId,
                                const Resolver& by) {
    auto order = connection->Execute("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1,
                                     {Variant(orderId)});
    if (!order || order->Eof()) Refuse(kNothingToResolve, "There is no order " + orderId + " and no open request of it");
    if (static_cast<vendalo::OrderStatus>(order->Fields(0).Value().ToLong()) != vendalo::OrderStatus::OrderBillingIssue)
        Refuse(kNothingToResolve, "Order " + orderId + " is not in status 8 and has no open request: nothing to resolve");
    auto last = connection->Execute(
        "SELECT ICS_RCODE, CLIENT_REQUEST_ID, AUTH_REQUEST_ID, CURRENCY, OFFERS, ICS_APPLICATIONS, "
        "CLIENT_LIB_VERSION FROM BILLINGLOG WHERE MERCHANT_REF_NUMBER = ? ORDER BY LOGSEQ DESC LIMIT 1",
        nullptr, -1, {Variant(orderId)});
    if (!last || last->Eof() || !last->Fields("ICS_RCODE").Value().IsNull() ||
        last->Fields("CLIENT_REQUEST_ID").Value().IsNull()) {
        auto refused = connection->Execute("SELECT COUNT(*) FROM ORDERLINE WHERE ORDERID = ? AND LINESTATUS = ?", nullptr,
                                           -1, {Variant(orderId), StatusValue(vendalo::OrderLineStatus::LineBillingIssue)});
        if (refused->Fields(0).Value().ToLong() > 0)
            Refuse(kNothingToResolve, "Order " + orderId +
                                          " has no request of unknown outcome: the gateway refused its capture. "
                                          "`backoffice pay capture-again --order " + orderId +
                                          " --note TEXT` takes a fresh authorisation and captures");
        Refuse(kNothingToResolve, "Order " + orderId + " has no request of unknown outcome: nothing to resolve");
    }
    Resolution resolution;
    resolution.operation = gateway_operation::Capture;
    resolution.clientRequestId = last->Fields("CLIENT_REQUEST_ID").Value().Text();
    std::string currency = last->Fields("CURRENCY").Value().Text();
    GatewayAnswer answer = AskGateway(MerchantIdOf(connection, currency), resolution.clientRequestId);
    if (answer.known) {
        bool captured = answer.seen && answer.Done(gateway_operation::Capture);
        if (operatorSays && *operatorSays != captured)
            Refuse(kResolutionNeeded, "Request " + resolution.clientRequestId + " of order " + orderId + ": " +
                                          answer.message + ", which contradicts the operator's statement; nothing changed");
        resolution.done = captured;
        resolution.gatewayAnswered = true;
        resolution.requestId = answer.Original("request_id");
    } else {
        if (!operatorSays)
            Refuse(kResolutionNeeded, "The gateway cannot tell what became of request " + resolution.clientRequestId +
                                          " of order " + orderId + " (" + answer.message +
                                          "): state --captured or --not-captured");
        resolution.done = *operatorSays;
        resolution.requestId = billRequestId;
    }
    std::string note = resolution.gatewayAnswered ? "Resolved with the gateway: " + answer.message
                                                  : std::string("Resolved by the operator: ") +
                                                        (resolution.done ? "captured" : "not captured");
    int32_t affected = 0;
    ado::Transaction tx(*connection);
    connection->Execute(
        "INSERT INTO BILLINGLOG (ICS_RMSG, BILL_BILL_AMOUNT, ICS_RFLAG, BILL_RFLAG, BILL_RMSG, ICS_RCODE, BILL_RCODE, "
        "BILL_BILL_REQUEST_TIME, BILL_REQUEST_ID, MERCHANT_REF_NUMBER, CURRENCY, OFFERS, AUTH_REQUEST_ID, "
        "ICS_APPLICATIONS, CLIENT_LIB_VERSION, REQUEST_DATETIME, LOGSEQ, CLIENT_REQUEST_ID) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, '', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        nullptr, -1,
        {Variant(note), Variant(answer.Original("bill_bill_amount")), Variant(resolution.done ? "SOK" : "DRESOLVED"),
         Variant(resolution.done ? "SOK" : "DRESOLVED"), Variant(note), Variant(resolution.done ? "1" : "0"),
         Variant(resolution.done ? "1" : "0"), TextOrNull(resolution.requestId), Variant(orderId), Variant(currency),
         last->Fields("OFFERS").Value(), last->Fields("AUTH_REQUEST_ID").Value(),
         last->Fields("ICS_APPLICATIONS").Value(), last->Fields("CLIENT_LIB_VERSION").Value(), Variant(ole::Date::Now()),
         Variant(NextPaymentLogSequence(connection)), Variant(resolution.clientRequestId)});
    if (resolution.done) {
        auto numbers = AllocatedLines(connection, orderId);
        connection->Execute("UPDATE ORDERLINE SET LINESTATUS = ? WHERE ORDERID = ? AND " +
                                StatusGuard(vendalo::OrderLineStatus::Allocated),
                            &affected, -1, {StatusValue(vendalo::OrderLineStatus::CCBilled), Variant(orderId)});
        AppendCapturedEvents(connection, orderId, numbers, resolution.clientRequestId, by.actor);
    } else {
        auto rs = connection->Execute("SELECT COUNT(*) FROM ORDERLINE WHERE ORDERID = ? AND LINESTATUS = ?", nullptr, -1,
                                      {Variant(orderId), StatusValue(vendalo::OrderLineStatus::Allocated)});
        affected = rs->Fields(0).Value().ToLong();
    }
    resolution.lines = affected;
    connection->Execute("UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND " +
                            StatusGuard(vendalo::OrderStatus::OrderBillingIssue),
                        nullptr, -1, {StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled), Variant(orderId)});
    AppendReleasedEvent(connection, orderId, vendalo::OrderStatus::CCPaymentToBeFulfilled, by,
                        resolution.clientRequestId);
    tx.Commit();
    return resolution;
}

}  // namespace

Resolution ResolveUnknownOutcome(const std::string& reference, std::optional<bool> operatorSays,
                                 const std::string& requestId, const std::string& actor, const std::string& note) {
    Resolver by{actor, note};
    ado::ConnectionPtr connection;
    try {
        std::string connectionString = Sls_ConnectionString();
        auto lock = OrderPaymentLock::TryAcquire(connectionString, reference);
        if (!lock) Refuse(kResolutionNeeded, "A payment of " + reference + " is in progress; try again later");
        connection = Sls_GetOpenConnection(connectionString);
        auto open = OpenGatewayRequests(connection, reference);
        Resolution resolution = open.empty()
                                    ? ResolveLoggedCapture(connection, reference, operatorSays, requestId, by)
                                    : ResolveOpenRequest(connection, open.front(), open.size(), operatorSays, requestId, by);
        Sls_LogNotice(kSource, resolution.operation + " request " + resolution.clientRequestId + " of " + reference +
                                   ": " + (resolution.done ? "done" : "not done") +
                                   (resolution.gatewayAnswered ? ", as the gateway says" : ", as the operator states"));
        return resolution;
    } catch (...) {
        Sls_RaiseError("Ordexa.PaymentResolution.ResolveUnknownOutcome", "Reference : " + reference);
    }
}

}  // namespace ordexa
