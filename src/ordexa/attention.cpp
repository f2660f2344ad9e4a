#include "ordexa/attention.h"

#include <algorithm>
#include <map>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/payment/gateway_requests.h"
#include "platform/automation/text.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;
using vendalo::OrderLineStatus;
using vendalo::OrderStatus;

const char* const kMarkedHandled = "marked handled";

Variant Status(OrderStatus s) { return StatusValue(s); }
Variant MinutesAgo(double minutes) { return Variant(ole::Date{Sls_EventTimeNow().serial - minutes / 1440.0}); }

// The order's (or line's) last event that is no mark, and no mark of the
// operator after it: an order marked handled stays off the list until it moves.
const std::string kNotHandled =
    " AND NOT EXISTS (SELECT 1 FROM ORDEREVENT m WHERE m.ORDERID = e.ORDERID AND m.WHAT = ? AND m.SEQ > e.SEQ)";

// "a: b", or the one that is there.
std::string Joined(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + ": " + b;
}

// The first row's text of a column, "" when there is no row.
std::string FirstText(const ado::RecordsetPtr& rs, int column) {
    return rs && !rs->Eof() ? ole::TrimBlanks(rs->Fields(column).Value().Text()) : "";
}

// "https://broker.example.com" of an acknowledgement URL: its path and query may carry a token.
std::string HostPart(const std::string& url) {
    size_t scheme = url.find("://");
    size_t end = url.find_first_of("/?#", scheme == std::string::npos ? 0 : scheme + 3);
    return url.substr(0, end);
}

class AttentionQuery {
public:
    AttentionQuery(const AttentionLimits& limits) : limits_(limits), c_(Sls_GetOpenConnection(Sls_ConnectionString())) {}

    std::vector<AttentionItem> Items() {
        std::vector<AttentionItem> items;
        Orders(items);
        Lines(items);
        std::stable_sort(items.begin(), items.end(),
                         [](const AttentionItem& a, const AttentionItem& b) { return a.since.serial < b.since.serial; });
        if (items.size() > kAttentionLimit) items.resize(kAttentionLimit);
        return items;
    }

private:
    // Orders held in their status: by the header's last event.
    void Orders(std::vector<AttentionItem>& items) {
        auto rs = c_->Execute(
            "SELECT h.ORDERID, h.ORDERSTATUS, h.BISID, h.ACKNOWLEDGEMENTURL, e.EVENTTIME FROM ORDERHEADER h "
            "JOIN ORDEREVENT e ON e.ORDERID = h.ORDERID AND e.SEQ = (SELECT MAX(x.SEQ) FROM ORDEREVENT x WHERE "
            "x.ORDERID = h.ORDERID AND x.LINENR IS NULL AND x.WHAT <> ?) WHERE ((h.ORDERSTATUS = ? AND e.EVENTTIME < ?) "
            "OR (h.ORDERSTATUS = ? AND e.EVENTTIME < ?) OR (h.ORDERSTATUS = ? AND e.EVENTTIME < ?) OR h.ORDERSTATUS IN "
            "(?, ?))" + kNotHandled + " ORDER BY e.EVENTTIME, h.ORDERID LIMIT ?",
            nullptr, -1,
            {Variant(kMarkedHandled), Status(OrderStatus::ToBeProcessed), MinutesAgo(limits_.exportMinutes),
             Status(OrderStatus::Processed), MinutesAgo(limits_.confirmMinutes),
             Status(OrderStatus::ReqlinkToBeAcknowledged), MinutesAgo(limits_.acknowledgeMinutes),
             Status(OrderStatus::OrderAuthorizationIssue), Status(OrderStatus::OrderBillingIssue),
             Variant(kMarkedHandled), Variant(static_cast<int32_t>(kAttentionLimit))});
        for (; !rs->Eof(); rs->MoveNext()) {
            AttentionItem item;
            item.orderId = rs->Fields(0).Value().Text();
            item.status = rs->Fields(1).Value().ToLong();
            item.since = rs->Fields(4).Value().ToDate();
            Explain(item, rs->Fields(2).Value(), rs->Fields(3).Value().Text());
            items.push_back(std::move(item));
        }
    }

    void Explain(AttentionItem& item, const Variant& bisid, const std::string& acknowledgementUrl) {
        switch (static_cast<OrderStatus>(item.status)) {
            case OrderStatus::ToBeProcessed:
                item.reason = "not exported after " + std::to_string(limits_.exportMinutes) + " minutes";
                item.detail = WhyNotExported(bisid);
                item.actions = {"mark-handled"};
                break;
            case OrderStatus::Processed:
                item.reason = "not confirmed after " + std::to_string(limits_.confirmMinutes) + " minutes";
                item.detail = ExportGroup(item.orderId);
                item.actions = {"export-again", "mark-handled"};
                break;
            case OrderStatus::ReqlinkToBeAcknowledged:
                item.reason = "acknowledgement not accepted after " + std::to_string(limits_.acknowledgeMinutes) +
                              " minutes";
                item.detail = "the broker at " + HostPart(acknowledgementUrl) + " has not accepted the acknowledgement; " +
                              LastBrokerPost(item);
                item.actions = {"send-acknowledgement", "mark-handled"};
                break;
            case OrderStatus::OrderAuthorizationIssue: {
                item.reason = "authorisation declined";
                auto rs = c_->Execute(
                    "SELECT AUTH_RFLAG, AUTH_RMSG, ICS_RFLAG, ICS_RMSG FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? "
                    "AND (AUTH_RCODE IS NULL OR AUTH_RCODE <> 1) ORDER BY LOGSEQ DESC LIMIT 1",
                    nullptr, -1, {Variant(item.orderId)});
                item.detail = Joined(FirstText(rs, 0), FirstText(rs, 1));
                if (item.detail.empty()) item.detail = Joined(FirstText(rs, 2), FirstText(rs, 3));
                item.actions = {"authorize-again", "mark-handled"};
                break;
            }
            case OrderStatus::OrderBillingIssue: ExplainBillingIssue(item); break;
            default: break;
        }
    }

    // The last post of the order's acknowledgement: its attempt and the HTTP
    // status it got. One recorded "sent" and never answered has an unknown outcome.
    std::string LastBrokerPost(AttentionItem& item) {
        auto rs = c_->Execute(
            "SELECT e.OUTCOME, e.HTTPSTATUS, e.ATTEMPT FROM EXCHANGE e JOIN EXCHANGEORDER o ON o.EXCHANGEID = "
            "e.EXCHANGEID WHERE o.ORDERID = ? AND e.KIND = ? ORDER BY e.EXCHANGETIME DESC, e.EXCHANGEID DESC LIMIT 1",
            nullptr, -1, {Variant(item.orderId), Variant(exchange_kind::kBrokerPost)});
        if (rs->Eof()) return "no post of it is recorded";
        std::string outcome = FirstText(rs, 0), status = FirstText(rs, 1), attempt = FirstText(rs, 2);
        std::string post = "the last post" + (attempt.empty() ? "" : " (attempt " + attempt + ")");
        if (outcome == kSentOutcome) {
            item.reason = "acknowledgement post of unknown outcome";
            return post + " was sent and no answer is recorded: " + kOutcomeUnknown;
        }
        return post + (status.empty() ? " got no HTTP answer" : " got HTTP status " + status) + " (" + outcome + ")";
    }

    std::string WhyNotExported(const Variant& bisid) {
        if (!bisid.IsNull()) {
            auto rs = c_->Execute("SELECT COUNT(*) FROM ORDEREXPORTFILE WHERE BISID = ?", nullptr, -1, {bisid});
            if (rs->Fields(0).Value().ToLong() == 0)
                return "back-end instance " + bisid.Text() + " has no row in the export registry";
            return "back-end instance " + bisid.Text() + " has not exported it: see the batch's log";
        }
        auto rs = c_->Execute("SELECT COUNT(*) FROM ORDEREXPORTFILE", nullptr, -1, {});
        if (rs->Fields(0).Value().ToLong() == 0) return "no back-end instance in the export registry";
        return "no back-end instance has exported it: see the batch's log";
    }

    std::string ExportGroup(const std::string& orderId) {
        auto rs = c_->Execute(
            "SELECT REFERENCE, DETAIL FROM ORDEREVENT WHERE ORDERID = ? AND WHAT = ? ORDER BY SEQ DESC LIMIT 1", nullptr,
            -1, {Variant(orderId), Variant("exported")});
        std::string group = Joined(FirstText(rs, 0), FirstText(rs, 1));
        return group.empty() ? "no export of it is recorded" : "exported in " + group;
    }

    // A refused capture (its lines at 4) and an outcome unknown (an open
    // request, or an older version's capture logged without a result) differ
    // in what comes next.
    void ExplainBillingIssue(AttentionItem& item) {
        auto open = OpenGatewayRequests(c_, item.orderId);
        if (!open.empty()) {
            item.reason = "gateway request of unknown outcome";
            item.detail = OutcomeUnknownText(open.front());
            item.actions = {"resolve", "mark-handled"};
            return;
        }
        auto rs = c_->Execute(
            "SELECT ICS_RCODE, ICS_RFLAG, BILL_RMSG, ICS_RMSG, CLIENT_REQUEST_ID FROM BILLINGLOG "
            "WHERE MERCHANT_REF_NUMBER = ? ORDER BY LOGSEQ DESC LIMIT 1",
            nullptr, -1, {Variant(item.orderId)});
        if (rs && !rs->Eof() && rs->Fields(0).Value().IsNull()) {
            item.reason = "gateway request of unknown outcome";
            item.detail = "capture request " + FirstText(rs, 4) + " has no result";
            item.actions = {"resolve", "mark-handled"};
            return;
        }
        item.reason = "capture refused";
        std::string message = FirstText(rs, 2).empty() ? FirstText(rs, 3) : FirstText(rs, 2);
        item.detail = Joined(FirstText(rs, 1), message);
        item.actions = {"capture-again", "mark-handled"};
    }

    // Lines of card orders in 4 that wait: allocated but not captured, or not
    // allocated although the back end was asked. One item per order and kind.
    void Lines(std::vector<AttentionItem>& items) {
        struct Waiting {
            ole::Date since;
            std::string lines;
        };
        auto waiting = [&](OrderLineStatus status, double minutes, bool asked) {
            std::map<std::string, Waiting> orders;
            auto rs = c_->Execute(
                "SELECT l.ORDERID, l.LINENR, e.EVENTTIME FROM ORDERLINE l JOIN ORDERHEADER h ON h.ORDERID = l.ORDERID "
                "JOIN ORDEREVENT e ON e.ORDERID = l.ORDERID AND e.SEQ = (SELECT MAX(x.SEQ) FROM ORDEREVENT x WHERE "
                "x.ORDERID = l.ORDERID AND x.LINENR = l.LINENR) WHERE h.ORDERSTATUS = ? AND l.LINESTATUS = ? AND "
                "e.EVENTTIME < ?" + std::string(asked ? " AND l.ALLOCATIONDATE IS NOT NULL" : "") + kNotHandled +
                    " ORDER BY e.EVENTTIME, l.ORDERID, l.LINENR LIMIT ?",
                nullptr, -1,
                {Status(OrderStatus::CCPaymentToBeFulfilled), StatusValue(status), MinutesAgo(minutes),
                 Variant(kMarkedHandled), Variant(static_cast<int32_t>(kAttentionLimit))});
            for (; !rs->Eof(); rs->MoveNext()) {
                auto [it, added] = orders.try_emplace(rs->Fields(0).Value().Text());
                if (added) it->second.since = rs->Fields(2).Value().ToDate();
                it->second.lines += (it->second.lines.empty() ? "" : ", ") + rs->Fields(1).Value().Text();
            }
            return orders;
        };
        for (auto& [orderId, w] : waiting(OrderLineStatus::Allocated, limits_.captureMinutes, false)) {
            auto rs = c_->Execute(
                "SELECT OPERATION, STATE, ICS_RCODE, CLIENT_REQUEST_ID FROM GATEWAYREQUEST WHERE MERCHANT_REF_NUMBER = ? "
                "ORDER BY REQUESTSEQ DESC LIMIT 1",
                nullptr, -1, {Variant(orderId)});
            std::string last = rs->Eof() ? "no gateway request was made for it (see the payment run's log)"
                                         : "the last gateway request, " + FirstText(rs, 0) + " " + FirstText(rs, 3) +
                                               ", is " + FirstText(rs, 1) + " with result '" + FirstText(rs, 2) + "'";
            items.push_back({orderId, static_cast<int32_t>(OrderStatus::CCPaymentToBeFulfilled),
                             "capture due but not taken after " + std::to_string(limits_.captureMinutes) + " minutes",
                             w.since, "lines " + w.lines + "; " + last, {"mark-handled"}});
        }
        for (auto& [orderId, w] : waiting(OrderLineStatus::NotAllocated, limits_.allocationHours * 60.0, true))
            items.push_back({orderId, static_cast<int32_t>(OrderStatus::CCPaymentToBeFulfilled),
                             "lines not allocated after " + std::to_string(limits_.allocationHours) + " hours",
                             w.since, "lines " + w.lines + ": the back end was asked and has not allocated them",
                             {"mark-handled"}});
    }

    AttentionLimits limits_;
    ado::ConnectionPtr c_;
};

}  // namespace

std::vector<AttentionItem> OrdersNeedingAttention(const AttentionLimits& limits) {
    try {
        return AttentionQuery(limits).Items();
    } catch (...) {
        Sls_RaiseError("Ordexa.Attention.OrdersNeedingAttention");
    }
}

}  // namespace ordexa
