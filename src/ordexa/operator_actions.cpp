#include "ordexa/operator_actions.h"

#include "interfaces/vendalo/order_status.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/outside_calls.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/payment_resolution.h"
#include "ordexa/reqlink/reqlink.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;
using vendalo::OrderStatus;

const char* kSource = "Ordexa.OperatorActions";

[[noreturn]] void MovedOn(const std::string& text) { ole::Raise(kActionNoLongerApplies, text, kSource); }

// The order's status; raises OrderNotFound.
OrderStatus StatusOf(const ado::ConnectionPtr& c, const std::string& orderId) {
    auto rs = c->Execute("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1, {Variant(orderId)});
    if (rs->Eof()) ole::Raise(vendalo::OrderNotFound, "There is no order " + orderId, kSource);
    return static_cast<OrderStatus>(rs->Fields(0).Value().ToLong());
}

void Expect(OrderStatus status, OrderStatus expected, const std::string& orderId, const char* what) {
    if (status != expected)
        MovedOn("Order " + orderId + " is in status " + std::to_string(static_cast<int32_t>(status)) + " (" +
                vendalo::StatusName(status) + "); " + what + " applies to status " +
                std::to_string(static_cast<int32_t>(expected)));
}

// The order from one status to another with the operator's event, in one
// transaction, guarded by the status it leaves (and `condition`). The
// statements `also` run in that transaction, and are kept when the order moved on.
void Change(const OperatorAction& a, OrderStatus from, OrderStatus to, const std::string& what,
            const std::string& condition = "", const std::vector<ado::BatchStatement>& also = {}) {
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    ado::Transaction tx(*c);
    std::vector<ado::BatchStatement> statements{
        {"UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND " + vendalo::StatusGuard(from) + condition,
         {StatusValue(to), Variant(a.orderId)}}};
    statements.insert(statements.end(), also.begin(), also.end());
    auto results = Sls_ExecuteWithOrderEvents(
        c, statements,
        {{a.orderId, std::nullopt, static_cast<int32_t>(from), static_cast<int32_t>(to), what, a.actor, "", a.note}});
    if (results.front().affected <= 0) {
        if (!also.empty()) tx.Commit();  // the guarded change and its event wrote nothing
        OrderStatus now = StatusOf(c, a.orderId);
        if (now == from) MovedOn("Order " + a.orderId + " has its sales order number: the back end confirmed it");
        Expect(now, from, a.orderId, what.c_str());
    }
    tx.Commit();
}

template <class F>
void Guarded(const char* label, const OperatorAction& a, F&& action) {
    try {
        action();
    } catch (...) {
        Sls_RaiseError(std::string(kSource) + "." + label, "Order : " + a.orderId);
    }
}

}  // namespace

void MarkHandled(const OperatorAction& a) {
    Guarded("MarkHandled", a, [&] {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        auto status = static_cast<int32_t>(StatusOf(c, a.orderId));
        // written only while the order holds the status read, and its timeline's last event says so
        ado::Transaction tx(*c);
        auto results = c->ExecuteBatch(
            OrderEventStatements({{a.orderId, std::nullopt, status, status, "marked handled", a.actor, "", a.note}}));
        if (results.front().affected <= 0) MovedOn("Order " + a.orderId + " changed status meanwhile; nothing changed");
        tx.Commit();
    });
}

void ExportAgain(const OperatorAction& a) {
    Guarded("ExportAgain", a, [&] {
        Change(a, OrderStatus::Processed, OrderStatus::ToBeProcessed, "export again",
               " AND (SALESORDERNR IS NULL OR SALESORDERNR = '')");
    });
}

void SendAcknowledgementNow(const OperatorAction& a) {
    Guarded("SendAcknowledgementNow", a, [&] {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        Expect(StatusOf(c, a.orderId), OrderStatus::ReqlinkToBeAcknowledged, a.orderId, "send-acknowledgement");
        std::string shopPage =
            Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter")->GetParameterValue("SubmittedOrderListPage");
        ExchangeRecord post = Sls_GetComponent<IReqlink>("Ordexa.Reqlink")
            ->SendAcknowledgement(a.orderId, shopPage, OutsideCallSettingsOfInstallation().acknowledgementTimeout);
        post.detail = "acknowledgement sent now by " + a.actor;
        // posted: the broker has it; the batch may have acknowledged it meanwhile
        try {
            Change(a, OrderStatus::ReqlinkToBeAcknowledged, OrderStatus::ReqlinkAcknowledged, "acknowledged", "",
                   {CompleteExchangeStatement(post)});
        } catch (...) {
            CompleteExchangeApart(post);  // changes nothing once the transaction completed it
            throw;
        }
    });
}

void CaptureAgain(const OperatorAction& a) {
    Guarded("CaptureAgain", a, [&] {
        Expect(StatusOf(Sls_GetOpenConnection(Sls_ConnectionString()), a.orderId), OrderStatus::OrderBillingIssue,
               a.orderId, "capture-again");
        Sls_GetComponent<ICCPayment>("Ordexa.CCPayment")->CaptureAgain(a.orderId, a.actor, a.note);
    });
}

void AuthorizeAgain(const OperatorAction& a) {
    Guarded("AuthorizeAgain", a, [&] {
        Expect(StatusOf(Sls_GetOpenConnection(Sls_ConnectionString()), a.orderId),
               OrderStatus::OrderAuthorizationIssue, a.orderId, "authorize-again");
        Sls_GetComponent<ICCPayment>("Ordexa.CCPayment")->AuthorizeAgain(a.orderId, a.actor, a.note);
    });
}

void Refund(const OperatorAction& a, const std::optional<std::string>& amount) {
    Guarded("Refund", a, [&] {
        StatusOf(Sls_GetOpenConnection(Sls_ConnectionString()), a.orderId);
        Sls_GetComponent<ICCPayment>("Ordexa.CCPayment")
            ->RefundOrder(a.orderId, amount ? Variant(*amount) : Variant(), a.actor, a.note);
    });
}

ActionOutcome OutcomeOf(const OperatorAction& a) {
    ActionOutcome outcome;
    Guarded("OutcomeOf", a, [&] {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        outcome.status = static_cast<int32_t>(StatusOf(c, a.orderId));
        auto rs = c->Execute(
            "SELECT SEQ, EVENTTIME, LINENR, STATUSBEFORE, STATUSAFTER, WHAT, ACTOR, REFERENCE, DETAIL FROM ORDEREVENT "
            "WHERE ORDERID = ? AND ACTOR = ? ORDER BY SEQ DESC LIMIT 1",
            nullptr, -1, {Variant(a.orderId), Variant(a.actor)});
        if (rs->Eof()) return;
        auto optional = [&](int i) {
            Variant v = rs->Fields(i).Value();
            return v.IsNull() ? std::nullopt : std::optional<int32_t>(v.ToLong());
        };
        auto text = [&](int i) { return rs->Fields(i).Value().Text(); };
        outcome.event = RecordedEvent{rs->Fields(0).Value().ToLong(), rs->Fields(1).Value().ToDate(),
                                      OrderEvent{a.orderId, optional(2), optional(3), rs->Fields(4).Value().ToLong(),
                                                 text(5), text(6), text(7), text(8)}};
    });
    return outcome;
}

void ResolveOutcome(const OperatorAction& a, std::optional<bool> captured) {
    Guarded("ResolveOutcome", a, [&] {
        Expect(StatusOf(Sls_GetOpenConnection(Sls_ConnectionString()), a.orderId), OrderStatus::OrderBillingIssue,
               a.orderId, "resolve");
        ResolveUnknownOutcome(a.orderId, captured, "", a.actor, a.note);
    });
}

}  // namespace ordexa
