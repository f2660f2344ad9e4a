#include "ordexa/payment/payment_run.h"

#include "interfaces/vendalo/order_status.h"
#include "ordexa/payment/card_data_retention.h"
#include "ordexa/payment/cc_payment.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"

namespace ordexa {

std::vector<std::string> DueOrders() {
    auto rs = Sls_GetDisconnectedRecordset(
        "SELECT h.ORDERID FROM ORDERHEADER h WHERE h.ORDERSTATUS = ? AND (EXISTS "
        "(SELECT 1 FROM ORDERLINE l WHERE l.ORDERID = h.ORDERID AND l.LINESTATUS = ?) OR EXISTS "
        "(SELECT 1 FROM GATEWAYREQUEST g WHERE g.MERCHANT_REF_NUMBER = h.ORDERID AND g.STATE = 'SENT')) "
        "ORDER BY h.ORDERID",
        Sls_ConnectionString(),
        {StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled), StatusValue(vendalo::OrderLineStatus::Allocated)});
    std::vector<std::string> orders;
    for (; !rs->Eof(); rs->MoveNext()) orders.push_back(rs->Fields(0).Value().Text());
    return orders;
}

PaymentRunSummary PayOrders(const std::vector<std::string>& orders, const std::function<void(size_t)>& paid) {
    PaymentRunSummary summary;
    auto payment = Sls_GetComponent<ICCPayment>("Ordexa.CCPayment");
    for (size_t i = 0; i < orders.size(); ++i) {
        {
            qx::LogContext order(qx::LogField::Order, orders[i]);
            payment->Run(orders[i]);
        }
        switch (payment->LastOutcome()) {
            case PaymentOutcome::Captured: ++summary.captured; break;
            case PaymentOutcome::Refused: ++summary.refused; break;
            case PaymentOutcome::OutcomeUnknown: ++summary.failed, ++summary.unknown; break;
            case PaymentOutcome::Failed: ++summary.failed; break;
            case PaymentOutcome::Busy: ++summary.busy; break;
            case PaymentOutcome::Nothing: ++summary.nothing; break;
        }
        if (paid) paid(i + 1);
    }
    ado::ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        summary.erased = EraseCardDataNoLongerNeeded(connection, UnsubmittedCheckoutDays());
    } catch (...) {
        Sls_LogError("backoffice pay", "The card numbers no longer needed could not be erased");
    }
    return summary;
}

}  // namespace ordexa
