#include "ordexa/payment/cc_order_status.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/backend/backend_targets.h"
#include "ordexa/backend/boi_calls.h"
#include "ordexa/batch_progress.h"
#include "ordexa/outside_calls.h"
#include "ordexa/stage_settings.h"
#include "platform/automation/text.h"
#include "platform/backend/business_objects.h"
#include "platform/xml/dom.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

constexpr int32_t kOrderStatusError = static_cast<int32_t>(0x80040521u);

// The back end's answer for one line; nothing when it gave none (the reason is logged).
struct Answer {
    int32_t success = 0, reasonCode = 0;
    std::string failure;  // set when the back end was not asked: why (the line is left at 2)
};

struct Line {
    std::string orderId, salesOrderNr;
    Variant bisid;
    int32_t lineNr = 0;
    std::string Reference() const {
        return " for SalesOrderNr.: " + salesOrderNr + ", LineNr.: " + std::to_string(lineNr) + " on BIS: " + bisid.Text();
    }
};

// A reply's field under //RECORD; nothing when the reply has none or it is not a number.
std::optional<int32_t> ReplyField(const qx::XmlDocument& doc, const char* name) {
    auto node = doc.doc.select_node(("//RECORD/FIELD[@NAME=\"" + std::string(name) + "\"]").c_str()).node();
    if (!node) return std::nullopt;
    try {
        return Variant(std::string(node.text().get())).ToLong();
    } catch (...) {
        return std::nullopt;
    }
}

class CCOrderStatus : public IBatchStage {
public:
    void Run() override { UpdateOrderStatusBOI(); }

private:
    // A back-end instance as the run found it, once.
    using Target = BackendTarget<qx::IBackendOrder>;

    // What the orders of one run share; they are reported side by side.
    struct Pass {
        std::string connectionString;
        std::atomic<int32_t> billed{0};
        StageStop stop;
    };

    // A line the back end answered for.
    struct Answered {
        const Line* line;
        bool accepted;
        std::string outcome, detail;  // of its call
    };

    // The log text of a failure: the prefix, then the error's description and "'".
    static std::string FailurePrefix(const Line& line) {
        return "UpdateOrderStatusBOI('" + line.orderId + "', '" + std::to_string(line.lineNr) + ") on BIS '" +
               line.bisid.Text() + "': " + "Backend returned error: '";
    }
    static std::string Failure(const Line& line, const std::string& description) {
        return FailurePrefix(line) + description + "'";
    }

    void UpdateOrderStatusBOI() {
        Pass run;
        Line none;
        try {
            run.connectionString = ConnectionString();
            std::vector<std::vector<Line>> orders = LinesToReport(run.connectionString);
            if (orders.empty()) return;
            std::string step = ole::TrimBlanks(Parameter("BackendSalesOrderType BillingStepNumber"));
            if (step.empty()) {
                Sls_LogError("Vendalo parameter 'BackendSalesOrderType BillingStepNumber' is not filled, backend Sales "
                             "Order Line Status cannot be updated.");
                return;
            }
            stepNumber_ = Variant(step).ToInt();
            FreightFlag();  // read once, before the orders go side by side
            {
                auto c = Sls_GetOpenConnection(run.connectionString);
                CloseAbandonedBoiCalls(c);
            }
            OutsideCallSettings settings = OutsideCallSettingsOfInstallation();
            std::vector<std::function<void()>> jobs;
            size_t perPage = BoiCallPageSize(orders.size(), settings.atOnce);
            for (size_t first = 0; first < orders.size(); first += perPage) {
                size_t end = std::min(orders.size(), first + perPage);
                jobs.push_back([this, &run, &orders, first, end] { ReportPage(run, orders, first, end); });
            }
            RunAtOnce(static_cast<size_t>(settings.atOnce), jobs);
            CloseActions();
            try {
                CloseQueuedBoiCalls(Sls_GetOpenConnection(run.connectionString));
            } catch (...) {
                // the next run closes them
            }
            std::string label, description;
            if (run.stop.Report("line status", label, description)) Sls_LogError(label + description + "'");
        } catch (...) {
            Sls_LogError(Failure(none, ole::CurrentDescription()));
            StopBatchPart("line status", ole::ReasonOf(ole::CurrentError()));
            CloseActions();
        }
        if (auto progress = CurrentBatchProgress()) progress->LinesBilled(run.billed);
    }

    // The captured lines of orders in status 4, an order's together in line order.
    static std::vector<std::vector<Line>> LinesToReport(const std::string& connectionString) {
        auto c = Sls_GetOpenConnection(connectionString);
        auto rows = c->Execute(
            "SELECT b.ORDERID, b.LINENR, a.BISID, a.SALESORDERNR "
            "FROM ORDERHEADER a JOIN ORDERLINE b ON a.ORDERID = b.ORDERID "
            "WHERE b.LINESTATUS = ? AND a.ORDERSTATUS = ? ORDER BY b.ORDERID, b.LINENR",
            nullptr, -1,
            {StatusValue(vendalo::OrderLineStatus::CCBilled), StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled)});
        std::vector<std::vector<Line>> orders;
        for (; rows && !rows->Eof(); rows->MoveNext()) {
            Line line;
            line.orderId = rows->Fields(0).Value().Text();
            line.salesOrderNr = ole::TrimBlanks(rows->Fields(3).Value().Text());
            line.bisid = rows->Fields(2).Value();
            line.lineNr = rows->Fields(1).Value().ToLong();
            if (orders.empty() || orders.back().front().orderId != line.orderId) orders.emplace_back();
            orders.back().push_back(std::move(line));
        }
        return orders;
    }

    // An order of a page, once its instance is known: one call per line.
    struct Planned : PagedBoiCalls {
        const std::vector<Line>* lines = nullptr;
        const Target* target = nullptr;
        bool boi = false;  // "bc" or "gr" (else "ow")
    };

    // A page of orders, on a thread of the run. Each order's instance is
    // found first; then the calls of the whole page go on record in one
    // transaction, the first order's "sent" and the others' "queued". The
    // orders are reported in turn, and the transaction that writes one order's
    // answers also marks the next order's calls "sent": a call reads "sent" on
    // record before it leaves, and a "queued" call never left. The run closes
    // the calls left queued as "not sent".
    void ReportPage(Pass& run, const std::vector<std::vector<Line>>& orders, size_t first, size_t end) {
        ado::ConnectionPtr c;
        std::vector<Planned> page;
        for (size_t i = first; i < end && !run.stop.Stopped(); ++i)
            if (auto planned = Plan(run, c, orders[i])) page.push_back(std::move(*planned));
        if (page.empty() || run.stop.Stopped()) return;
        std::vector<PagedBoiCalls*> calls;
        for (Planned& planned : page) calls.push_back(&planned);
        try {
            RecordBoiCallPage(c, calls);
        } catch (...) {
            const Line& line = page.front().lines->front();
            if (!ConnectionSilence(c).empty()) run.stop.Stop(FailurePrefix(line));
            else Sls_LogError(Failure(line, ole::CurrentDescription()));
            return;  // no call left: the page waits for the next run
        }
        AskBoiCallPage(calls, run.stop, [&](size_t k, PagedBoiCalls* next) { ReportOrder(run, c, page[k], next); });
    }

    // An order's instance and calls: nothing when the order is left for the
    // next run (logged). A lost connection stops the run.
    std::optional<Planned> Plan(Pass& run, ado::ConnectionPtr& c, const std::vector<Line>& lines) {
        const Line* line = &lines.front();
        try {
            if (!c) c = Sls_GetOpenConnection(run.connectionString);
            if (line->bisid.IsNull()) ole::Raise(kOrderStatusError, "The order has no BIS Instance", "Ordexa.CCOrderStatus");
            const Target& t = TargetOf(line->bisid.ToLong());
            bool boi = t.path == "bc" || t.path == "gr";
            if (!boi && t.path != "ow") {
                Sls_LogError("UpdateOrderStatusBOI", "No Valid BIS for SalesOrderNr.: " + line->salesOrderNr +
                                                         ", LineNr.: " + std::to_string(line->lineNr) +
                                                         " on BIS: " + line->bisid.Text());
                return std::nullopt;  // the order's lines wait for the next run
            }
            if (t.path == "ow" && t.componentId.empty()) {
                Sls_LogError("Property value 'componentid' not set for BIS Instance '" + line->bisid.Text() + "'");
                return std::nullopt;
            }
            if (t.path == "ow" && t.initStatus != 0) {
                for (const Line& l : lines)
                    Sls_LogNotice("UpdateOrderStatusBOI", "InitializeAction of component '" + t.componentId +
                                                              "' returned status " + std::to_string(t.initStatus) +
                                                              ", Backend Sales Order Line Status cannot be updated," +
                                                              l.Reference());
                return std::nullopt;
            }
            Planned planned;
            planned.lines = &lines;
            planned.target = &t;
            planned.boi = boi;
            std::string object = boi ? "OrderStatus BOI" : "UpdateOrderStatus";
            for (const Line& l : lines) planned.calls.emplace_back(line->bisid.ToLong(), object, l.orderId, l.lineNr);
            return planned;
        } catch (...) {
            if (c && !ConnectionSilence(c).empty()) run.stop.Stop(FailurePrefix(*line));
            else Sls_LogError(Failure(*line, ole::CurrentDescription()));
            return std::nullopt;
        }
    }

    // One planned order: its lines reported one after the other, the calls'
    // outcomes and the lines' statuses written in one transaction after the
    // last (which marks the next order's calls "sent"). A line without an
    // answer leaves the rest of its order for the next run; a lost connection
    // ends the run.
    void ReportOrder(Pass& run, const ado::ConnectionPtr& c, Planned& order, PagedBoiCalls* next) {
        const std::vector<Line>& lines = *order.lines;
        const Line* line = &lines.front();
        std::vector<Answered> answered;
        bool written = false;
        try {
            MarkBoiCallsSentNow(c, order);
            for (size_t i = 0; i < lines.size(); ++i) {
                line = &lines[i];
                std::optional<Answer> answer = order.boi ? AskByBoi(*order.target, *line, order.calls[i])
                                                         : AskOw(*order.target, *line, order.calls[i]);
                if (!answer) break;  // logged; the call's outcome is unknown, the order's other lines wait
                if (answer->success == 1 || answer->reasonCode == 10) {
                    answered.push_back({line, true, "billed", ""});
                    continue;
                }
                std::string reason = OrderStatusReasonText(answer->reasonCode, stepNumber_);
                if (reason.empty()) reason = "Unknown reason code " + std::to_string(answer->reasonCode) + ",";
                Sls_LogNotice("UpdateOrderStatusBOI", reason + line->Reference());
                answered.push_back({line, false, "refused", "reason code " + std::to_string(answer->reasonCode)});
            }
            written = true;
            Write(run, c, answered, order.calls, "no answer", next);
        } catch (...) {
            // a lost connection fails every line after this one: the run stops with one entry
            if (!ConnectionSilence(c).empty()) {
                run.stop.Stop(FailurePrefix(*line));
                return;
            }
            std::string why = ole::CurrentDescription();
            Sls_LogError(Failure(*line, why));
            if (written) return;  // the write failed: its calls stay "sent", closed by the next run
            try {
                Write(run, c, answered, order.calls, why, next);
            } catch (...) {
                Sls_LogError(Failure(*line, ole::CurrentDescription()));
            }
        }
    }

    // Writes the accepted lines and completes the calls in one transaction: a
    // call answered gets its outcome; the first without an answer (`why`) is
    // an outcome unknown once it left, the ones after it were not sent. The
    // next order's queued calls are marked "sent" in the same transaction.
    void Write(Pass& run, const ado::ConnectionPtr& c, const std::vector<Answered>& answered,
               const std::vector<BoiCall>& calls, const std::string& why, PagedBoiCalls* next) {
        if (calls.empty()) return;
        std::vector<ado::BatchStatement> statements;
        std::vector<OrderEvent> events;
        std::vector<size_t> updates;
        for (size_t i = 0; i < answered.size(); ++i) {
            const Line& l = *answered[i].line;
            if (!answered[i].accepted) continue;
            updates.push_back(statements.size());
            statements.push_back({"UPDATE ORDERLINE SET LINESTATUS = ? WHERE ORDERID = ? AND LINENR = ? AND " +
                                      StatusGuard(vendalo::OrderLineStatus::CCBilled),
                                  {StatusValue(vendalo::OrderLineStatus::BackendBilled), Variant(l.orderId),
                                   Variant(l.lineNr)}});
            events.push_back({l.orderId, l.lineNr, static_cast<int32_t>(vendalo::OrderLineStatus::CCBilled),
                              static_cast<int32_t>(vendalo::OrderLineStatus::BackendBilled), "billing reported", "",
                              calls[i].ExchangeId(), "business objects of BIS " + l.bisid.Text()});
        }
        for (size_t i = 0; i < calls.size(); ++i) {
            if (i < answered.size())
                statements.push_back(calls[i].Completion(answered[i].outcome, answered[i].detail));
            else if (i == answered.size() && calls[i].Sent())
                statements.push_back(calls[i].Completion(boi_outcome::kOutcomeUnknown, why));
            else
                statements.push_back(calls[i].Completion(boi_outcome::kNotSent));
        }
        bool marking = AddMarkOfNext(statements, next);
        auto results = Sls_ExecuteWithOrderEvents(c, std::move(statements), events);
        if (marking) next->marked = true;
        for (size_t i : updates) run.billed += std::max(results[i].affected, 0);
    }

    // The instance of a BIS, found on first use and kept for the run; raises
    // when it could not be found (each time it is asked for).
    const Target& TargetOf(int32_t bisid) { return targets_.Of(bisid); }
    void CloseActions() { targets_.CloseAll(); }

    std::optional<Answer> AskOw(const Target& t, const Line& line, BoiCall& call) {
        Answer answer;
        call.Started();
        t.action->UpdateOrderStatus(line.salesOrderNr, line.lineNr, stepNumber_, *freight_, answer.success,
                                   answer.reasonCode);
        return answer;
    }

    // "bc" and "gr": the "OrderStatus BOI". A reply without Success or ReasonCode is no answer.
    std::optional<Answer> AskByBoi(const Target& t, const Line& line, BoiCall& call) {
        qx::BusinessObjectPtr boi;
        {
            std::lock_guard lock(boiMutex_);
            boi = t.instance->CreateBOI(t.configurationHandle, "OrderStatus BOI");
        }
        boi->SetParameter("SalesOrder", 0, Variant(line.salesOrderNr));
        boi->SetParameter("SOPositionNumber", 0, Variant(line.lineNr));
        boi->SetParameter("StepNumber", 0, Variant(stepNumber_));
        call.Started();
        std::string reply = boi->Execute().Text();
        qx::XmlDocument doc;
        std::optional<int32_t> success, reason;
        std::string why = "the reply holds no Success or ReasonCode field";
        if (!qx::LoadBoiReply(doc, reply, why))
            why = "the reply " + why;
        else {
            success = ReplyField(doc, "Success");
            reason = ReplyField(doc, "ReasonCode");
        }
        if (!success || !reason) {
            Sls_LogWarning("Ordexa.UpdateOrderStatusBOI.XMLHandler",
                           "Backend returned no data due to: " + why + line.Reference());
            return std::nullopt;
        }
        Answer answer;
        answer.success = *success;
        answer.reasonCode = *reason;
        return answer;
    }

    int16_t FreightFlag() {
        if (!freight_) {
            freight_ = 0;
            try {
                if (Variant(ole::TrimBlanks(Parameter("EnableFreight"))).ToLong() == 1) freight_ = 1;
            } catch (...) {
                // not a number: freight lines are not handled
            }
        }
        return *freight_;
    }

    std::string Parameter(const std::string& name) { return SalesParameter(name, "CCOrderStatus.getParamater"); }

    std::string ConnectionString() { return InstallationConnectionString("CCAllocation.ConnectionString"); }

    BackendTargets<qx::IBackendOrder> targets_{"VendaloBackendIntegration.Order", kOrderStatusError, "Ordexa.CCOrderStatus"};
    std::mutex boiMutex_;  // the instances' business objects are made one at a time
    int16_t stepNumber_ = 0;
    std::optional<int16_t> freight_;
};

}  // namespace

std::string OrderStatusReasonText(int32_t reasonCode, int16_t stepNumber) {
    switch (reasonCode) {
        case 0: return "Orderline not found in the Backend, Backend sales order line status cannot be updated,";
        case 20:
            return "Backend Sales Order Line not yet acknowledged, Backend Sales Order Line Status cannot be updated,";
        case 30:
            return "The orderstep (Vendalo parameter 'BackendSalesOrderType BillingStepNumber' " +
                   std::to_string(stepNumber) +
                   ") is not part of the ordertype in the Backend, Backend Sales Order Line Status cannot be updated,";
        case 40: return "Update Backend Sales Order Line was unsuccessfull due to an unknown reason,";
        case 50:
            return "Update Backend Sales Order Line of the freight line may not be done yet. Status not yet reached,";
        case 60:
            return "The orderstep is not part of the ordertype. Update Backend Sales Order Line of the freight line may "
                   "not be done at all,";
        case 100: return "Sales-Order Parameter 'Step Size for Sales Order Lines' is not defined in the Backend,";
        default: return "";
    }
}

void RegisterCCOrderStatus() { ole::RegisterClass<CCOrderStatus>("Ordexa.CCOrderStatus"); }

}  // namespace ordexa
