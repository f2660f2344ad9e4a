#include "payment/payment_resolution.h"

#include "automation/text.h"
#include "data/transaction.h"
#include "gateway/gateway_client.h"
#include "lib_sales.h"
#include "payment/order_payment_lock.h"
#include "payment/payment_logs.h"
#include "vendalo/sales_parameter.h"

namespace ordexa {
namespace {

using ole::Variant;

const char* kSource = "Ordexa.PaymentResolution";

struct GatewayAnswer {
    bool known = false;  // the gateway told what happened
    bool captured = false;
    std::string billRequestId, amount, message;
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
        answer.known = true;  // the gateway never saw the request
        answer.message = "the gateway has no record of the request";
    } else if (found == "1") {
        answer.known = true;
        answer.captured = ole::TrimBlanks(client->GetReplyValue("original_bill_rcode")) == "1";
        answer.billRequestId = client->GetReplyValue("original_request_id");
        answer.amount = client->GetReplyValue("original_bill_bill_amount");
        answer.message = answer.captured ? "the gateway captured it" : "the gateway did not capture it";
    } else {
        answer.message = "the gateway does not answer queries about requests";
    }
    return answer;
}

[[noreturn]] void Refuse(int32_t number, const std::string& text) { ole::Raise(number, text, kSource); }

}  // namespace

Resolution ResolveUnknownCapture(const std::string& orderId, std::optional<bool> operatorSays,
                                 const std::string& billRequestId) {
    ado::ConnectionPtr connection;
    try {
        std::string connectionString = Sls_ConnectionString();
        auto lock = OrderPaymentLock::TryAcquire(connectionString, orderId);
        if (!lock) Refuse(kResolutionNeeded, "A payment of order " + orderId + " is in progress; try again later");
        connection = Sls_GetOpenConnection(connectionString);
        auto order = connection->Execute("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1,
                                         {Variant(orderId)});
        if (!order || order->Eof()) Refuse(kNothingToResolve, "There is no order " + orderId);
        if (order->Fields(0).Value().ToLong() != 8)
            Refuse(kNothingToResolve, "Order " + orderId + " is not in status 8: nothing to resolve");
        auto last = connection->Execute(
            "SELECT ICS_RCODE, CLIENT_REQUEST_ID, AUTH_REQUEST_ID, CURRENCY, OFFERS, ICS_APPLICATIONS, "
            "CLIENT_LIB_VERSION FROM BILLINGLOG WHERE MERCHANT_REF_NUMBER = ? ORDER BY LOGSEQ DESC LIMIT 1",
            nullptr, -1, {Variant(orderId)});
        if (!last || last->Eof() || !last->Fields("ICS_RCODE").Value().IsNull() ||
            last->Fields("CLIENT_REQUEST_ID").Value().IsNull())
            Refuse(kNothingToResolve, "Order " + orderId + " has no capture of unknown outcome: nothing to resolve");
        Resolution resolution;
        resolution.clientRequestId = last->Fields("CLIENT_REQUEST_ID").Value().Text();
        std::string currency = last->Fields("CURRENCY").Value().Text();
        auto merchant = connection->Execute("SELECT MERCHANTID FROM MERCHANTIDBYCURRENCY WHERE CURRENCYCODE = ?", nullptr,
                                            -1, {Variant(ole::TrimBlanks(currency))});
        if (!merchant || merchant->Eof()) Refuse(kResolutionNeeded, "There is no valid MerchantId for Currency: " + currency);
        GatewayAnswer answer = AskGateway(merchant->Fields(0).Value().Text(), resolution.clientRequestId);
        if (answer.known) {
            if (operatorSays && *operatorSays != answer.captured)
                Refuse(kResolutionNeeded, "Request " + resolution.clientRequestId + " of order " + orderId + ": " +
                                              answer.message + ", which contradicts the operator's statement; nothing changed");
            resolution.captured = answer.captured;
            resolution.gatewayAnswered = true;
            resolution.billRequestId = answer.billRequestId;
        } else {
            if (!operatorSays)
                Refuse(kResolutionNeeded, "The gateway cannot tell what became of request " + resolution.clientRequestId +
                                              " of order " + orderId + " (" + answer.message +
                                              "): state --captured or --not-captured");
            resolution.captured = *operatorSays;
            resolution.billRequestId = billRequestId;
        }
        std::string note = resolution.gatewayAnswered ? "Resolved with the gateway: " + answer.message
                                                      : std::string("Resolved by the operator: ") +
                                                            (resolution.captured ? "captured" : "not captured");
        int32_t affected = 0;
        ado::Transaction tx(*connection);
        connection->Execute(
            "INSERT INTO BILLINGLOG (ICS_RMSG, BILL_BILL_AMOUNT, ICS_RFLAG, BILL_RFLAG, BILL_RMSG, ICS_RCODE, BILL_RCODE, "
            "BILL_BILL_REQUEST_TIME, BILL_REQUEST_ID, MERCHANT_REF_NUMBER, CURRENCY, OFFERS, AUTH_REQUEST_ID, "
            "ICS_APPLICATIONS, CLIENT_LIB_VERSION, REQUEST_DATETIME, LOGSEQ, CLIENT_REQUEST_ID) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, '', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            nullptr, -1,
            {Variant(note), Variant(answer.amount), Variant(resolution.captured ? "SOK" : "DRESOLVED"),
             Variant(resolution.captured ? "SOK" : "DRESOLVED"), Variant(note), Variant(resolution.captured ? "1" : "0"),
             Variant(resolution.captured ? "1" : "0"),
             resolution.billRequestId.empty() ? ole::Null : Variant(resolution.billRequestId), Variant(orderId),
             Variant(currency), last->Fields("OFFERS").Value(), last->Fields("AUTH_REQUEST_ID").Value(),
             last->Fields("ICS_APPLICATIONS").Value(), last->Fields("CLIENT_LIB_VERSION").Value(),
             Variant(ole::Date::Now()), Variant(NextPaymentLogSequence(connection)),
             Variant(resolution.clientRequestId)});
        if (resolution.captured) {
            connection->Execute("UPDATE ORDERLINE SET LINESTATUS = 2 WHERE ORDERID = ? AND LINESTATUS + 0 = 1", &affected, -1,
                                {Variant(orderId)});
        } else {
            auto rs = connection->Execute("SELECT COUNT(*) FROM ORDERLINE WHERE ORDERID = ? AND LINESTATUS = 1", nullptr,
                                          -1, {Variant(orderId)});
            affected = rs->Fields(0).Value().ToLong();
        }
        resolution.lines = affected;
        connection->Execute("UPDATE ORDERHEADER SET ORDERSTATUS = 4 WHERE ORDERID = ? AND ORDERSTATUS + 0 = 8", nullptr, -1,
                            {Variant(orderId)});
        tx.Commit();
        Sls_CloseConnection(connection);
        Sls_LogNotice(kSource, "Order " + orderId + ", capture request " + resolution.clientRequestId + ": " + note);
        return resolution;
    } catch (...) {
        Sls_CloseConnection(connection);
        Sls_RaiseError("Ordexa.PaymentResolution.ResolveUnknownCapture", "Orderid : " + orderId);
    }
}

}  // namespace ordexa
