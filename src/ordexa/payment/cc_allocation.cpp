#include "ordexa/payment/cc_allocation.h"

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
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/order_payment_lock.h"
#include "ordexa/stage_settings.h"
#include "platform/automation/text.h"
#include "platform/backend/backend_selector.h"
#include "platform/backend/business_objects.h"
#include "platform/gateway/gateway_client.h"
#include "platform/xml/dom.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

// Failures of the allocation stage that carry no number of their own.
constexpr int32_t kAllocationError = static_cast<int32_t>(0x80040520u);

// What the back end said about one line.
struct LineOutcome {
    bool allocated = false;
    std::string message;  // why not, for the log ("" when allocated)
};

// One line to check, read from the row set.
struct Line {
    std::string orderId, salesOrderNr;
    int32_t lineNr = 0;
    Variant bisid, allocationDate;
    std::string Label() const {
        return "[backendorderid=" + salesOrderNr + " lineid=" + std::to_string(lineNr) + " bisid=" + bisid.Text() + "]";
    }
};

class CCAllocation : public ICCAllocation {
public:
    void Run() override { Allocation(); }

    bool OrderHasValidAuthorization(const std::string& orderId, int16_t iHardExpire,
                                    const ado::ConnectionPtr& connection) override {
        try {
            auto rs = connection->Execute(
                "SELECT MAX(REQUEST_DATETIME) AS MAX_REQUEST_DATETIME FROM AUTHORIZATIONLOG "
                "WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1",
                nullptr, -1, {Variant(orderId)});
            Variant latest = rs->Eof() ? Variant::Null() : rs->Fields(0).Value();
            if (latest.IsNull())
                ole::Raise(kAllocationError, "Order " + orderId + " holds no successful authorisation",
                           "Ordexa.CCAllocation");
            return HoursSince(latest) < iHardExpire;
        } catch (...) {
            Sls_RaiseError("CCAllocation.OrderHasValidAuthorization");
        }
    }

    std::string OrderExportType(int32_t lBisID) override {
        try {
            auto rs = Sls_GetDisconnectedRecordset("SELECT EXPORTMESSAGETYPE FROM ORDEREXPORTFILE WHERE BISID = ?",
                                                   ConnectionString(), {Variant(lBisID)});
            if (rs->Eof())
                ole::Raise(kAllocationError, "BIS Instance " + std::to_string(lBisID) + " has no export registry row",
                           "Ordexa.CCAllocation");
            return ole::TrimBlanks(rs->Fields(0).Value().Text());
        } catch (...) {
            Sls_RaiseError("Ordexa.CCAllocation.OrderExportType");
        }
    }

private:
    // A back-end instance as the run found it, once: its export type, its
    // path, and for "ow" the integration object initialised for its component.
    using Target = BackendTarget<qx::IBackendAllocate>;

    // What the orders of one run share; they are checked side by side.
    struct Pass {
        std::string connectionString;
        int16_t reallocation = 0, hardExpire = 0;  // hours
        std::atomic<int32_t> allocated{0}, notAllocated{0};
        StageStop stop;
    };

    // An answer to write: the line, whether it is allocated.
    struct Answer {
        const Line* line;
        bool allocated;
    };

    void Allocation() {
        Pass run;
        std::string label;
        try {
            run.reallocation = Variant(getParamater("Reallocation")).ToInt();
            run.hardExpire = Variant(getParamater("Authorization Hard Expiration")).ToInt();
            run.connectionString = ConnectionString();
            std::vector<std::vector<Line>> orders = LinesToCheck(run.connectionString);
            if (orders.empty()) return;
            {
                auto c = Sls_GetOpenConnection(run.connectionString);
                CloseAbandonedBoiCalls(c);
            }
            OutsideCallSettings settings = OutsideCallSettingsOfInstallation();
            std::vector<std::function<void()>> jobs;
            size_t perPage = BoiCallPageSize(orders.size(), settings.atOnce);
            for (size_t first = 0; first < orders.size(); first += perPage) {
                size_t end = std::min(orders.size(), first + perPage);
                jobs.push_back([this, &run, &orders, first, end] { CheckPage(run, orders, first, end); });
            }
            RunAtOnce(static_cast<size_t>(settings.atOnce), jobs);
            CloseActions();
            try {
                CloseQueuedBoiCalls(Sls_GetOpenConnection(run.connectionString));
            } catch (...) {
                // the next run closes them
            }
            std::string description;
            if (run.stop.Report("allocation", label, description))
                Sls_LogError("Ordexa.CCAllocation.Allocation " + label, description);
            Finish(run.allocated, run.notAllocated);
        } catch (...) {
            Sls_LogError("Ordexa.CCAllocation.Allocation " + label, ole::CurrentDescription());
            StopBatchPart("allocation", ole::ReasonOf(ole::CurrentError()));
            CloseActions();
            Finish(run.allocated, run.notAllocated);
        }
    }

    // The lines waiting for allocation, an order's together in line order.
    static std::vector<std::vector<Line>> LinesToCheck(const std::string& connectionString) {
        auto c = Sls_GetOpenConnection(connectionString);
        auto rows = c->Execute(
            "SELECT b.ALLOCATIONDATE, b.ORDERID, b.LINENR, a.SALESORDERNR, a.BISID "
            "FROM ORDERHEADER a JOIN ORDERLINE b ON a.ORDERID = b.ORDERID "
            "WHERE a.SALESORDERNR IS NOT NULL AND b.LINESTATUS = ? AND a.ORDERSTATUS = ? "
            "ORDER BY b.ORDERID, b.LINENR",
            nullptr, -1,
            {StatusValue(vendalo::OrderLineStatus::NotAllocated),
             StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled)});
        std::vector<std::vector<Line>> orders;
        for (; rows && !rows->Eof(); rows->MoveNext()) {
            Line line;
            line.bisid = rows->Fields(4).Value();
            if (line.bisid.IsNull()) continue;
            line.orderId = ole::TrimBlanks(rows->Fields(1).Value().Text());
            line.salesOrderNr = ole::TrimBlanks(rows->Fields(3).Value().Text());
            line.allocationDate = rows->Fields(0).Value();
            line.lineNr = rows->Fields(2).Value().ToLong();
            if (orders.empty() || orders.back().front().orderId != line.orderId) orders.emplace_back();
            orders.back().push_back(std::move(line));
        }
        return orders;
    }

    // An order of a page, once its lines due are known; its calls are one
    // per line due when calling.
    struct Planned : PagedBoiCalls {
        std::vector<const Line*> due;  // in line order
        const Target* target = nullptr;
        bool calling = false;          // its lines are asked (else only dated, or told why not)
    };

    // A page of orders, on a thread of the run. Each order is planned first
    // (its authorisation, its lines due, its instance); then the calls of the
    // whole page go on record in one transaction, the first order's "sent" and
    // the others' "queued". The orders are asked in turn, and the transaction
    // that writes one order's answers also marks the next order's calls "sent":
    // a call reads "sent" on record before it leaves at the cost of no commit
    // of its own, and a "queued" call never left. The run closes the calls
    // left queued as "not sent".
    void CheckPage(Pass& run, const std::vector<std::vector<Line>>& orders, size_t first, size_t end) {
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
            const Line& line = *page.front().due.front();
            if (!ConnectionSilence(c).empty()) run.stop.Stop(line.Label());
            else Sls_LogError("Ordexa.CCAllocation.Allocation " + line.Label(), ole::CurrentDescription());
            return;  // no call left: the page waits for the next batch
        }
        AskBoiCallPage(calls, run.stop, [&](size_t k, PagedBoiCalls* next) { Ask(run, c, page[k], next); });
    }

    // An order's authorisation and lines due: nothing when none is due or the
    // order is left for later (logged). A lost connection stops the run.
    std::optional<Planned> Plan(Pass& run, ado::ConnectionPtr& c, const std::vector<Line>& lines) {
        const Line* line = &lines.front();
        try {
            if (!c) c = Sls_GetOpenConnection(run.connectionString);
            Planned planned;
            size_t count = lines.size();
            if (!OrderHasValidAuthorization(line->orderId, run.hardExpire, c) && !ReAuthorizeOrder(line->orderId, c))
                count = 1;  // this line is still checked, the order's others are not
            for (size_t i = 0; i < count; ++i)
                if (lines[i].allocationDate.IsNull() || HoursSince(lines[i].allocationDate) >= run.reallocation)
                    planned.due.push_back(&lines[i]);
            if (planned.due.empty()) return std::nullopt;
            line = planned.due.front();
            const Target& target = TargetOf(line->bisid.ToLong());
            planned.target = &target;
            if (target.exportType != "1" && target.path == "ow" && target.componentId.empty()) {
                Sls_LogError("Ordexa.CCAllocation: Property value 'componentid' not set for BIS Instance '" +
                             line->bisid.Text() + "'");
                return std::nullopt;  // the order is left for later
            }
            planned.calling = target.exportType != "1" && (target.path == "bc" || target.path == "gr" ||
                                                           (target.path == "ow" && target.initStatus == 0));
            if (planned.calling) {
                std::string object = target.path == "ow" ? "Allocate" : "Allocation BOI";
                for (const Line* l : planned.due) planned.calls.emplace_back(line->bisid.ToLong(), object, l->orderId, l->lineNr);
            }
            return planned;
        } catch (...) {
            if (c && !ConnectionSilence(c).empty()) run.stop.Stop(line->Label());
            else Sls_LogError("Ordexa.CCAllocation.Allocation " + line->Label(), ole::CurrentDescription());
            return std::nullopt;  // the order waits for the next batch
        }
    }

    // One planned order: the back end's answer for each line due, one line
    // after the other, written with the calls' outcomes in one transaction
    // after the last (which marks the next order's calls "sent"). A failure
    // leaves the line and the rest of its order for the next batch; a lost
    // connection ends the run.
    void Ask(Pass& run, const ado::ConnectionPtr& c, Planned& order, PagedBoiCalls* next) {
        const Line* line = order.due.front();
        std::vector<Answer> answered;
        bool written = false;
        try {
            MarkBoiCallsSentNow(c, order);
            if (order.target->exportType == "1") {
                for (const Line* l : order.due) answered.push_back({l, false});  // the XML instances' lines are only dated
            } else {
                for (size_t i = 0; i < order.due.size(); ++i) {
                    line = order.due[i];
                    LineOutcome outcome = Check(*order.target, *line, order.calling ? &order.calls[i] : nullptr);
                    if (!outcome.allocated) {
                        ++run.notAllocated;
                        if (!outcome.message.empty())
                            Sls_LogError("Ordexa.CCAllocation.Allocation :" + line->Label() + " " +
                                         "Backend returned error: '" + outcome.message + "'");
                    }
                    answered.push_back({line, outcome.allocated});
                }
            }
            written = true;
            Write(run, c, answered, order.calls, "", next);
        } catch (...) {
            if (!ConnectionSilence(c).empty()) {
                run.stop.Stop(line->Label());
                return;
            }
            // nothing is marked for this line; the order's other lines wait for the next batch
            std::string why = ole::CurrentDescription();
            Sls_LogError("Ordexa.CCAllocation.Allocation " + line->Label(), why);
            if (written) return;  // the write failed: its calls stay "sent", closed by the next run
            try {
                Write(run, c, answered, order.calls, why, next);
            } catch (...) {
                Sls_LogError("Ordexa.CCAllocation.Allocation " + line->Label(), ole::CurrentDescription());
            }
        }
    }

    // Writes the answers and completes the calls in one transaction: a call
    // answered gets its outcome; the first without an answer (`why`) is an
    // outcome unknown once it left, the ones after it were not sent. A failed
    // write is not tried again: those lines are checked next batch. The next
    // order's queued calls are marked "sent" in the same transaction.
    void Write(Pass& run, const ado::ConnectionPtr& c, const std::vector<Answer>& answered,
               const std::vector<BoiCall>& calls, const std::string& why, PagedBoiCalls* next) {
        if (answered.empty() && calls.empty()) return;
        static const std::string guard = " AND " + StatusGuard(vendalo::OrderLineStatus::NotAllocated);
        std::vector<ado::BatchStatement> statements;
        std::vector<OrderEvent> events;
        std::vector<size_t> allocations;  // the statements that allocate
        Variant now(ole::Date::Now());
        for (size_t i = 0; i < answered.size(); ++i) {
            const Line& l = *answered[i].line;
            if (answered[i].allocated) {
                allocations.push_back(statements.size());
                statements.push_back(
                    {"UPDATE ORDERLINE SET LINESTATUS = ?, ALLOCATIONDATE = ? WHERE ORDERID = ? AND LINENR = ?" + guard,
                     {StatusValue(vendalo::OrderLineStatus::Allocated), now, Variant(l.orderId), Variant(l.lineNr)}});
                events.push_back({l.orderId, l.lineNr, static_cast<int32_t>(vendalo::OrderLineStatus::NotAllocated),
                                  static_cast<int32_t>(vendalo::OrderLineStatus::Allocated), "allocated", "",
                                  i < calls.size() ? calls[i].ExchangeId() : "",
                                  "business objects of BIS " + l.bisid.Text()});
            } else
                statements.push_back({"UPDATE ORDERLINE SET ALLOCATIONDATE = ? WHERE ORDERID = ? AND LINENR = ?" + guard,
                                      {now, Variant(l.orderId), Variant(l.lineNr)}});
        }
        for (size_t i = 0; i < calls.size(); ++i) {
            if (i < answered.size())
                statements.push_back(calls[i].Completion(answered[i].allocated ? "allocated" : "not allocated"));
            else if (i == answered.size() && calls[i].Sent())
                statements.push_back(calls[i].Completion(boi_outcome::kOutcomeUnknown, why));
            else
                statements.push_back(calls[i].Completion(boi_outcome::kNotSent));
        }
        bool marking = AddMarkOfNext(statements, next);
        auto results = Sls_ExecuteWithOrderEvents(c, std::move(statements), events);
        if (marking) next->marked = true;
        for (size_t i : allocations)
            if (results[i].affected > 0) ++run.allocated;
    }

    void Finish(int32_t allocated, int32_t notAllocated) {
        if (allocated > 0 || notAllocated > 0)
            Sls_LogNotice("Ordexa.CCAllocation", std::to_string(allocated) + " order-Item(s) allocated and " +
                                                     std::to_string(notAllocated) + " order-Item(s) NOT allocated.");
        if (auto progress = CurrentBatchProgress()) progress->LinesAllocated(allocated, notAllocated);
    }

    // The instance of a BIS, found on first use and kept for the run; raises
    // when it could not be found (each time it is asked for).
    const Target& TargetOf(int32_t bisid) { return targets_.Of(bisid); }
    void CloseActions() { targets_.CloseAll(); }

    // The back end's answer for one line (call: its record, when one is made).
    LineOutcome Check(const Target& t, const Line& line, BoiCall* call) {
        if (t.path == "bc" || t.path == "gr") return CheckByBoi(t, line, *call);
        if (t.path == "ow") {
            if (t.initStatus != 0)
                return LineOutcome{false, "InitializeAction of component '" + t.componentId + "' returned status " +
                                              std::to_string(t.initStatus)};
            int32_t errorNumber = 0;
            call->Started();
            t.action->Allocate(line.salesOrderNr, line.lineNr, errorNumber);
            if (errorNumber == 0) return LineOutcome{true, ""};
            std::string message = AllocationErrorMessage(errorNumber);
            return LineOutcome{false, message.empty() ? "Unknown error number " + std::to_string(errorNumber) : message};
        }
        return LineOutcome{false, "No valid back-end type '" + t.backendType + "' for BIS " + line.bisid.Text()};
    }

    LineOutcome CheckByBoi(const Target& t, const Line& line, BoiCall& call);

    // Authorises the order anew for its lines not yet captured; false when refused or impossible.
    // It holds the order's payment lock, as every sender of a payment request does.
    bool ReAuthorizeOrder(const std::string& orderId, const ado::ConnectionPtr& connection) {
        try {
            auto lock = OrderPaymentLock::TryAcquire(ConnectionString(), orderId);
            if (!lock)
                ole::Raise(kAllocationError, "The payment of order " + orderId + " is being run; its authorisation is "
                                             "renewed by a later batch", "Ordexa.CCAllocation");
            auto rows = AuthorizationRows(connection, orderId, LinesToPay::Unbilled);
            if (rows->Eof() || rows->Fields("CURRENCY").Value().IsNull()) return false;
            auto client = Sls_GetComponent<qx::IGatewayClient>(qx::kGatewayClientProgId);
            client->SetTrace(true, "C:\\TEMP\\", 10);
            client->SetMerchantId(getMerchantId(ole::TrimBlanks(rows->Fields("CURRENCY").Value().Text()), connection));
            client->SetServerHost(getParamater("CyberSource Serverhost"));
            auto payment = Sls_GetComponent<ICCPayment>("Ordexa.CCPayment");
            return payment->doAuthorize(rows, client, connection);
        } catch (...) {
            Sls_RaiseError("CCAllocation.ReAuthorizeOrder", "OrderId = " + orderId);
        }
    }

    std::string getMerchantId(const std::string& currency, const ado::ConnectionPtr& connection) {
        try {
            if (auto id = MerchantIdOfCurrency(connection, currency)) return *id;
            ole::Raise(kAllocationError, "There is no valid MerchantId for Currency: " + currency,
                       "CCAllocation.getMerchantId");
        } catch (...) {
            Sls_RaiseError("CCAllocation.getMerchantId", "Currency: " + currency);
        }
    }

    std::string getParamater(const std::string& name) { return SalesParameter(name, "CCPayment.getParamater"); }

    std::string ConnectionString() { return InstallationConnectionString("CCAllocation.ConnectionString"); }

    BackendTargets<qx::IBackendAllocate> targets_{"VendaloBackendIntegration.Allocate", kAllocationError, "Ordexa.CCAllocation",
                                                  [this](int32_t bisid, Target& t) {
                                                      t.exportType = OrderExportType(bisid);
                                                      return t.exportType != "1";  // an XML instance's lines are only dated
                                                  }};
    std::mutex boiMutex_;  // the instances' business objects are made one at a time
};

// "bc" and "gr": the "Allocation BOI". A reply without RECORD allocates nothing;
// one that is no reply document raises (the line is left unmarked).
LineOutcome CCAllocation::CheckByBoi(const Target& t, const Line& line, BoiCall& call) {
    qx::BusinessObjectPtr boi;
    {
        std::lock_guard lock(boiMutex_);
        boi = t.instance->CreateBOI(t.configurationHandle, "Allocation BOI");
    }
    boi->SetParameter(t.path == "bc" ? "OrderNumber" : "SalesOrder", 0, Variant(line.salesOrderNr));
    boi->SetParameter("PositionNumber", 0, Variant(line.lineNr));
    call.Started();
    std::string reply = boi->Execute().Text();
    qx::XmlDocument doc;
    std::string why;
    if (!qx::LoadBoiReply(doc, reply, why))
        ole::Raise(kAllocationError, "The back end's allocation reply " + why, "Ordexa.CCAllocation");
    auto record = doc.doc.select_node("//RECORD").node();
    if (!record) return LineOutcome{false, "The back end's reply holds no RECORD"};
    auto field = record.select_node("FIELD[@NAME='ErrorNumber']").node();
    if (!field) return LineOutcome{false, "The back end's reply holds no ErrorNumber"};
    std::string number = ole::TrimBlanks(field.text().get());
    if (number == "0") return LineOutcome{true, ""};
    std::string message = "Error number " + number;
    try {
        std::string known = AllocationErrorMessage(Variant(number).ToLong());
        if (!known.empty()) message = known;
    } catch (...) {
        // not a number: the number's text is the message
    }
    return LineOutcome{false, message};
}

}  // namespace

std::string AllocationErrorMessage(int32_t errorNumber) {
    switch (errorNumber) {
        case 1: return "Committed quantity not okay.";
        case 2: return "No order line found";
        case 3: return "No salpar00 parameter data.";
        case 4: return "No invpar00 parameter data.";
        case 5: return "No order line found after committing.";
        default: return "";
    }
}

void RegisterCCAllocation() { ole::RegisterClass<CCAllocation>("Ordexa.CCAllocation"); }

}  // namespace ordexa
