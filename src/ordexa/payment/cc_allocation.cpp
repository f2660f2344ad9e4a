#include "ordexa/payment/cc_allocation.h"

#include <map>
#include <optional>
#include <vector>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/backend/backend_instances.h"
#include "ordexa/batch_progress.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/order_payment_lock.h"
#include "ordexa/stage_settings.h"
#include "platform/automation/text.h"
#include "platform/backend/backend_selector.h"
#include "platform/backend/business_objects.h"
#include "platform/data/transaction.h"
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
    // What one run of the stage keeps while it walks the lines.
    struct Pass {
        ado::ConnectionPtr updates;
        int16_t reallocation = 0, hardExpire = 0;  // hours
        std::string checkedOrder, skippedOrder;
        // The answers of an order's lines are written together, in one short
        // transaction after its calls: the back end is never waited for inside one.
        std::vector<std::pair<Line, bool>> answered;
        int32_t allocated = 0, notAllocated = 0;
    };

    void Allocation() {
        ado::ConnectionPtr lines;
        Pass run;
        Line line;
        try {
            run.reallocation = Variant(getParamater("Reallocation")).ToInt();
            run.hardExpire = Variant(getParamater("Authorization Hard Expiration")).ToInt();
            lines = Sls_GetOpenConnection(ConnectionString());
            auto rows = std::make_shared<ado::Recordset>();
            rows->CursorLocation = ado::adUseClient;
            rows->Open(
                "SELECT b.ALLOCATIONDATE, b.ORDERID, b.LINENR, a.SALESORDERNR, a.BISID "
                "FROM ORDERHEADER a JOIN ORDERLINE b ON a.ORDERID = b.ORDERID "
                "WHERE a.SALESORDERNR IS NOT NULL AND b.LINESTATUS = ? AND a.ORDERSTATUS = ? "
                "ORDER BY b.ORDERID, b.LINENR",
                lines, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdText,
                {StatusValue(vendalo::OrderLineStatus::NotAllocated),
                 StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled)});
            if (rows->Eof()) return;
            run.updates = Sls_GetOpenConnection(ConnectionString());
            for (; !rows->Eof(); rows->MoveNext()) {
                line = Line{};
                line.orderId = ole::TrimBlanks(rows->Fields("ORDERID").Value().Text());
                if (line.orderId == run.skippedOrder) continue;
                line.salesOrderNr = ole::TrimBlanks(rows->Fields("SALESORDERNR").Value().Text());
                line.bisid = rows->Fields("BISID").Value();
                if (line.bisid.IsNull()) continue;
                line.allocationDate = rows->Fields("ALLOCATIONDATE").Value();
                line.lineNr = rows->Fields("LINENR").Value().ToLong();
                CheckLine(run, line);
            }
            Flush(run);
            rows->Close();
            Finish(run.allocated, run.notAllocated);
        } catch (...) {
            Sls_LogError("Ordexa.CCAllocation.Allocation " + line.Label(), ole::CurrentDescription());
            StopBatchPart("allocation", ole::ReasonOf(ole::CurrentError()));
            Finish(run.allocated, run.notAllocated);
        }
    }

    // One line: its order's authorisation first (once per order), then the
    // back end's answer when the line is due. A failure leaves the line and the
    // rest of its order for the next batch; a lost connection ends the run.
    void CheckLine(Pass& run, const Line& line) {
        try {
            if (line.orderId != run.checkedOrder) {
                Flush(run);
                run.checkedOrder = line.orderId;
                if (!OrderHasValidAuthorization(line.orderId, run.hardExpire, run.updates) &&
                    !ReAuthorizeOrder(line.orderId, run.updates))
                    run.skippedOrder = line.orderId;  // this line is still checked, the order's others are not
            }
            bool due = line.allocationDate.IsNull() || HoursSince(line.allocationDate) >= run.reallocation;
            if (!due) return;
            if (ExportTypeOf(line.bisid.ToLong()) == "1") {
                run.answered.emplace_back(line, false);  // the XML instances' lines are only dated
                return;
            }
            std::optional<LineOutcome> outcome = Check(line);
            if (!outcome) {
                // the back end's instance is not set up for the check: logged, the order is left for later
                run.skippedOrder = line.orderId;
                return;
            }
            if (!outcome->allocated) {
                ++run.notAllocated;
                if (!outcome->message.empty())
                    Sls_LogError("Ordexa.CCAllocation.Allocation :" + line.Label() + " " +
                                 "Backend returned error: '" + outcome->message + "'");
            }
            run.answered.emplace_back(line, outcome->allocated);
        } catch (...) {
            if (!ConnectionSilence(run.updates).empty()) throw;
            // nothing is marked for this line; the order's other lines wait for the next batch
            Sls_LogError("Ordexa.CCAllocation.Allocation " + line.Label(), ole::CurrentDescription());
            run.skippedOrder = line.orderId;
        }
    }

    // Writes the answers kept so far in one transaction. A failed write is not
    // tried again: those lines are checked next batch.
    void Flush(Pass& run) {
        if (run.answered.empty()) return;
        auto batch = std::move(run.answered);
        run.answered.clear();
        ado::Transaction tx(*run.updates);
        for (const auto& [l, yes] : batch)
            if (MarkChecked(run.updates, l, yes) && yes) ++run.allocated;
        tx.Commit();
    }

    void Finish(int32_t allocated, int32_t notAllocated) {
        if (allocated > 0 || notAllocated > 0)
            Sls_LogNotice("Ordexa.CCAllocation", std::to_string(allocated) + " order-Item(s) allocated and " +
                                                     std::to_string(notAllocated) + " order-Item(s) NOT allocated.");
        if (auto progress = CurrentBatchProgress()) progress->LinesAllocated(allocated, notAllocated);
    }

    // The back end's answer for one line; nothing when the instance cannot be asked (logged here).
    std::optional<LineOutcome> Check(const Line& line) {
        const BackendInstance& bis = instances_.Of(line.bisid.ToLong());
        if (bis.path == "bc" || bis.path == "gr") return CheckByBoi(bis, line);
        if (bis.path == "ow") {
            std::string componentId = bis.ComponentId();
            if (componentId.empty()) {
                Sls_LogError("Ordexa.CCAllocation: Property value 'componentid' not set for BIS Instance '" +
                             line.bisid.Text() + "'");
                return std::nullopt;
            }
            auto allocate = Sls_GetComponent<qx::IBackendAllocate>("VendaloBackendIntegration.Allocate");
            int32_t status = 0;
            allocate->InitializeAction(ole::LowerCase(bis.instance->BackendType()), componentId, status);
            if (status != 0)
                return LineOutcome{false, "InitializeAction of component '" + componentId + "' returned status " +
                                              std::to_string(status)};
            int32_t errorNumber = 0;
            allocate->Allocate(line.salesOrderNr, line.lineNr, errorNumber);
            allocate->CloseAction();
            if (errorNumber == 0) return LineOutcome{true, ""};
            std::string message = AllocationErrorMessage(errorNumber);
            return LineOutcome{false, message.empty() ? "Unknown error number " + std::to_string(errorNumber) : message};
        }
        return LineOutcome{false, "No valid back-end type '" + bis.instance->BackendType() + "' for BIS " +
                                      line.bisid.Text()};
    }

    LineOutcome CheckByBoi(const BackendInstance& bis, const Line& line);

    const std::string& ExportTypeOf(int32_t bisid) {
        auto it = exportTypes_.find(bisid);
        if (it == exportTypes_.end()) it = exportTypes_.emplace(bisid, OrderExportType(bisid)).first;
        return it->second;
    }

    // Allocated: status 1 and the date of the check, only for a line still at 0; otherwise the date alone.
    static bool MarkChecked(const ado::ConnectionPtr& c, const Line& line, bool allocated) {
        static const std::string guard = " AND " + StatusGuard(vendalo::OrderLineStatus::NotAllocated);
        int32_t affected = 0;
        if (allocated) {
            affected = Sls_ExecuteWithOrderEvents(
                           c,
                           {{"UPDATE ORDERLINE SET LINESTATUS = ?, ALLOCATIONDATE = ? WHERE ORDERID = ? AND LINENR = ?" +
                                 guard,
                             {StatusValue(vendalo::OrderLineStatus::Allocated), Variant(ole::Date::Now()),
                              Variant(line.orderId), Variant(line.lineNr)}}},
                           {{line.orderId, line.lineNr, static_cast<int32_t>(vendalo::OrderLineStatus::NotAllocated),
                             static_cast<int32_t>(vendalo::OrderLineStatus::Allocated), "allocated", "",
                             "business objects of BIS " + line.bisid.Text(), ""}})
                           .front()
                           .affected;
        } else
            c->Execute("UPDATE ORDERLINE SET ALLOCATIONDATE = ? WHERE ORDERID = ? AND LINENR = ?" + guard, &affected, -1,
                       {Variant(ole::Date::Now()), Variant(line.orderId), Variant(line.lineNr)});
        return affected > 0;
    }

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

    BackendInstances instances_;
    std::map<int32_t, std::string> exportTypes_;
};

// "bc" and "gr": the "Allocation BOI". A reply without RECORD allocates nothing;
// one that is no reply document raises (the line is left unmarked).
LineOutcome CCAllocation::CheckByBoi(const BackendInstance& bis, const Line& line) {
    auto boi = bis.instance->CreateBOI(instances_.ConfigurationHandle(), "Allocation BOI");
    boi->SetParameter(bis.path == "bc" ? "OrderNumber" : "SalesOrder", 0, Variant(line.salesOrderNr));
    boi->SetParameter("PositionNumber", 0, Variant(line.lineNr));
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
