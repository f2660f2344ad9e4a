#include "ordexa/payment/cc_order_status.h"

#include <optional>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/backend/backend_instances.h"
#include "ordexa/batch_progress.h"
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
    void UpdateOrderStatusBOI() {
        ado::ConnectionPtr lines, updates;
        int32_t billed = 0;
        Line line;
        try {
            lines = Sls_GetOpenConnection(ConnectionString());
            auto rows = std::make_shared<ado::Recordset>();
            rows->CursorLocation = ado::adUseClient;
            rows->Open(
                "SELECT b.ORDERID, b.LINENR, a.BISID, a.SALESORDERNR "
                "FROM ORDERHEADER a JOIN ORDERLINE b ON a.ORDERID = b.ORDERID "
                "WHERE b.LINESTATUS = ? AND a.ORDERSTATUS = ? ORDER BY b.ORDERID, b.LINENR",
                lines, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdText,
                {StatusValue(vendalo::OrderLineStatus::CCBilled),
                 StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled)});
            if (rows->Eof()) return;
            std::string step = ole::TrimBlanks(Parameter("BackendSalesOrderType BillingStepNumber"));
            if (step.empty()) {
                Sls_LogError("Vendalo parameter 'BackendSalesOrderType BillingStepNumber' is not filled, backend Sales "
                             "Order Line Status cannot be updated.");
                return;
            }
            stepNumber_ = Variant(step).ToInt();
            updates = Sls_GetOpenConnection(ConnectionString());
            std::string skippedOrder;
            for (; !rows->Eof(); rows->MoveNext()) {
                line = Line{};
                line.orderId = rows->Fields("ORDERID").Value().Text();
                if (line.orderId == skippedOrder) continue;
                line.salesOrderNr = ole::TrimBlanks(rows->Fields("SALESORDERNR").Value().Text());
                line.bisid = rows->Fields("BISID").Value();
                line.lineNr = rows->Fields("LINENR").Value().ToLong();
                try {
                    if (line.bisid.IsNull())
                        ole::Raise(kOrderStatusError, "The order has no BIS Instance", "Ordexa.CCOrderStatus");
                    std::optional<Answer> answer = Ask(line);
                    if (!answer) {
                        skippedOrder = line.orderId;  // logged; the order's lines wait for the next run
                        continue;
                    }
                    if (!answer->failure.empty()) {
                        Sls_LogNotice("UpdateOrderStatusBOI", answer->failure + line.Reference());
                        continue;
                    }
                    if (answer->success == 1 || answer->reasonCode == 10) {
                        auto changed = Sls_ExecuteWithOrderEvents(
                            updates,
                            {{"UPDATE ORDERLINE SET LINESTATUS = ? WHERE ORDERID = ? AND LINENR = ? AND " +
                                  StatusGuard(vendalo::OrderLineStatus::CCBilled),
                              {StatusValue(vendalo::OrderLineStatus::BackendBilled), Variant(line.orderId),
                               Variant(line.lineNr)}}},
                            {{line.orderId, line.lineNr, static_cast<int32_t>(vendalo::OrderLineStatus::CCBilled),
                              static_cast<int32_t>(vendalo::OrderLineStatus::BackendBilled), "billing reported", "",
                              "business objects of BIS " + line.bisid.Text(), ""}});
                        billed += std::max(changed.front().affected, 0);
                        continue;
                    }
                    std::string reason = OrderStatusReasonText(answer->reasonCode, stepNumber_);
                    if (reason.empty()) reason = "Unknown reason code " + std::to_string(answer->reasonCode) + ",";
                    Sls_LogNotice("UpdateOrderStatusBOI", reason + line.Reference());
                } catch (...) {
                    // a lost connection fails every line after this one: the run stops with one entry
                    if (!ConnectionSilence(updates).empty()) throw;
                    Sls_LogError("UpdateOrderStatusBOI('" + line.orderId + "', '" + std::to_string(line.lineNr) +
                                 ") on BIS '" + line.bisid.Text() + "': " + "Backend returned error: '" +
                                 ole::CurrentDescription() + "'");
                    skippedOrder = line.orderId;
                }
            }
            rows->Close();
        } catch (...) {
            Sls_LogError("UpdateOrderStatusBOI('" + line.orderId + "', '" + std::to_string(line.lineNr) + ") on BIS '" +
                         line.bisid.Text() + "': " + "Backend returned error: '" + ole::CurrentDescription() + "'");
            StopBatchPart("line status", ole::ReasonOf(ole::CurrentError()));
        }
        if (auto progress = CurrentBatchProgress()) progress->LinesBilled(billed);
    }

    std::optional<Answer> Ask(const Line& line) {
        const BackendInstance& bis = instances_.Of(line.bisid.ToLong());
        if (bis.path == "bc" || bis.path == "gr") return AskByBoi(bis, line);
        if (bis.path == "ow") {
            std::string componentId = bis.ComponentId();
            if (componentId.empty()) {
                Sls_LogError("Property value 'componentid' not set for BIS Instance '" + line.bisid.Text() + "'");
                return std::nullopt;
            }
            auto order = Sls_GetComponent<qx::IBackendOrder>("VendaloBackendIntegration.Order");
            int32_t status = 0;
            order->InitializeAction(ole::LowerCase(bis.instance->BackendType()), componentId, status);
            Answer answer;
            if (status != 0) {
                answer.failure = "InitializeAction of component '" + componentId + "' returned status " +
                                 std::to_string(status) + ", Backend Sales Order Line Status cannot be updated,";
                return answer;
            }
            order->UpdateOrderStatus(line.salesOrderNr, line.lineNr, stepNumber_, FreightFlag(), answer.success,
                                     answer.reasonCode);
            order->CloseAction();
            return answer;
        }
        Sls_LogError("UpdateOrderStatusBOI", "No Valid BIS for SalesOrderNr.: " + line.salesOrderNr +
                                                 ", LineNr.: " + std::to_string(line.lineNr) + " on BIS: " + line.bisid.Text());
        return std::nullopt;
    }

    // "bc" and "gr": the "OrderStatus BOI". A reply without Success or ReasonCode is no answer.
    std::optional<Answer> AskByBoi(const BackendInstance& bis, const Line& line) {
        auto boi = bis.instance->CreateBOI(instances_.ConfigurationHandle(), "OrderStatus BOI");
        boi->SetParameter("SalesOrder", 0, Variant(line.salesOrderNr));
        boi->SetParameter("SOPositionNumber", 0, Variant(line.lineNr));
        boi->SetParameter("StepNumber", 0, Variant(stepNumber_));
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

    BackendInstances instances_;
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
