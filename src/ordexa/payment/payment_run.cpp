#include "ordexa/payment/payment_run.h"

#include <mutex>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/outside_calls.h"
#include "ordexa/payment/card_data_retention.h"
#include "ordexa/payment/cc_payment.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"

namespace ordexa {

namespace {

void Count(PaymentRunSummary& summary, PaymentOutcome outcome) {
    switch (outcome) {
        case PaymentOutcome::Captured: ++summary.captured; break;
        case PaymentOutcome::Refused: ++summary.refused; break;
        case PaymentOutcome::OutcomeUnknown: ++summary.failed, ++summary.unknown; break;
        case PaymentOutcome::Failed: ++summary.failed; break;
        case PaymentOutcome::Busy: ++summary.busy; break;
        case PaymentOutcome::Nothing: ++summary.nothing; break;
    }
}

}  // namespace

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
    std::mutex mutex;  // guards summary, done and the calls of `paid`
    size_t done = 0;
    const std::string batch = qx::CurrentLogContext(qx::LogField::Batch);
    std::vector<std::function<void()>> jobs;
    jobs.reserve(orders.size());
    // One job per order: its requests go one after the other under its payment
    // lock, on the connections of the job's thread; only the orders run side by side.
    for (const std::string& order : orders)
        jobs.push_back([&, &order = order] {
            PaymentOutcome outcome = PaymentOutcome::Failed;
            {
                qx::LogContext run(qx::LogField::Batch, batch);
                qx::LogContext logged(qx::LogField::Order, order);
                try {
                    auto payment = Sls_GetComponent<ICCPayment>("Ordexa.CCPayment");
                    payment->Run(order);
                    outcome = payment->LastOutcome();
                } catch (...) {
                    Sls_LogError("backoffice pay", "Order " + order + " was not paid: " + ole::CurrentDescription());
                }
            }
            std::lock_guard lock(mutex);
            Count(summary, outcome);
            if (paid) paid(++done);
        });
    RunAtOnce(static_cast<size_t>(OutsideCallSettingsOfInstallation().atOnce), jobs);
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
