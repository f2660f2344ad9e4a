// The timeline of every order (table ORDEREVENT): each change of an order's or
// a line's status appends one event in the transaction that makes the change,
// so that the last event of an order (of a line) always names its status.
// Events are never changed or removed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/data/ado.h"

// One change of status. Statuses are the numbers of ORDERSTATUS and
// LINESTATUS (vendalo/order_status.h); no `before` for a new order or line.
struct OrderEvent {
    std::string orderId;
    std::optional<int32_t> lineNr;  // none: the order's header
    std::optional<int32_t> before;
    int32_t after = 0;
    std::string what;       // "submitted", "exported", "confirmed", ...
    std::string actor;      // "" : Sls_OrderEventActor()
    std::string reference;  // the file, entry, gateway request or post behind the change
    std::string detail;
};

// Who makes changes on this thread: "request <id>" while it serves a request,
// else the run set for the process ("batch <id>", "payment run <id>"), else "".
std::string Sls_OrderEventActor();

// The actor of an operator's action: "operator <name>" for a person, "operator
// key" for the shared key; the host's request id follows in parentheses while
// it serves a request, so the event leads to the request's log entries.
std::string Sls_OperatorActor(const std::string& operatorName);

// The time events are stamped with: now, in UTC (EVENTTIME).
ole::Date Sls_EventTimeNow();

// Names the run of this process for the events written while the object lives.
class OrderEventRun {
public:
    explicit OrderEventRun(std::string actor);
    ~OrderEventRun();
    OrderEventRun(const OrderEventRun&) = delete;
    OrderEventRun& operator=(const OrderEventRun&) = delete;

private:
    std::string outer_;
};

// The statements that append the events in order, every value bound, for a
// caller that batches its own statements (ExecuteBatch), placed after the
// statements that change the statuses. An event with a status before is
// written only when its row went from that status (the timeline's last) to
// the status after, so a guarded change that found the row elsewhere writes
// none. Each event takes the next sequence number of its order; writers of
// one order are serialised by the row they change and by the run locks.
// `at` (UTC) is the events' time when it is given, else now.
std::vector<ado::BatchStatement> OrderEventStatements(const std::vector<OrderEvent>& events,
                                                      const std::optional<ole::Date>& at = std::nullopt);

// The card authorisation the checkout page obtained for a basket, as the first
// event of the order the basket becomes: "authorised at checkout", status 0, at
// the time it was requested, its reference the gateway request's client request
// id, its detail the masked card ("**** 1111") and the amount. The latest
// approved authorisation of the basket; none when it has none.
struct CheckoutAuthorizationEvent {
    OrderEvent event;
    ole::Date at;  // UTC
};
// Read in a batch of the caller's: the statement, then the event from its rows.
ado::BatchStatement Sls_CheckoutAuthorizationRead(const std::string& basketId);
std::optional<CheckoutAuthorizationEvent> Sls_CheckoutAuthorizationEvent(const ado::RecordsetPtr& rows,
                                                                         const std::string& basketId);

// A local time of this machine (the payment logs' REQUEST_DATETIME) in UTC.
ole::Date Sls_LocalToUtc(const ole::Date& local);

// The masked form of a card number as the payment logs keep it ("1111",
// "************1111"): "**** 1111"; "" when it holds no digit.
std::string Sls_MaskedCard(const std::string& kept);

// Appends the events on the connection, inside the caller's transaction, in
// one round trip.
void Sls_AppendOrderEvents(const ado::ConnectionPtr& connection, const std::vector<OrderEvent>& events);

// Gives every order and line without an event one event "recorded at upgrade"
// with its current status, in one transaction, so that the timeline of an
// installation older than it holds every status; the number of events written.
int32_t Sls_RecordStatusesWithoutEvents(const ado::ConnectionPtr& connection);

// Runs the statements, then appends the events, in one transaction: the
// caller's when it has one open, else one of its own. The statements' results.
std::vector<ado::BatchResult> Sls_ExecuteWithOrderEvents(const ado::ConnectionPtr& connection,
                                                         std::vector<ado::BatchStatement> statements,
                                                         const std::vector<OrderEvent>& events);
