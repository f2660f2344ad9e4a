#include "ordexa/payment/cc_payment.h"

#include <cmath>
#include <functional>
#include <optional>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/payment/card_checks.h"
#include "ordexa/payment/card_vault.h"
#include "ordexa/payment/gateway_requests.h"
#include "ordexa/payment/order_payment_lock.h"
#include "ordexa/payment/payment_logs.h"
#include "ordexa/stage_settings.h"
#include "platform/automation/decimal.h"
#include "platform/automation/text.h"
#include "platform/data/transaction.h"
#include "platform/masterdata/currency.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Decimal;
using ole::Variant;
using Client = std::shared_ptr<qx::IGatewayClient>;

// Failures of the payment class that carry no number of their own.
constexpr int32_t kPaymentError = static_cast<int32_t>(0x80040504u);

const char* const kReplyFields[] = {"auth_rcode", "auth_rmsg",  "auth_rflag",       "auth_auth_code",
                                    "auth_auth_time", "ics_rcode", "ics_rflag", "ics_rmsg",
                                    "auth_auth_amount", "request_id", "auth_auth_avs"};

// Whether a row set has a column (names without regard to case): callers of doAuthorize choose their columns.
bool HasField(const ado::RecordsetPtr& rs, const std::string& name) {
    for (int i = 0; i < rs->FieldCount(); ++i)
        if (ole::EqualsNoCase(rs->Fields(i).Name(), name)) return true;
    return false;
}
Variant Col(const ado::RecordsetPtr& rs, const std::string& name) { return rs->Fields(name).Value(); }
std::string ColText(const ado::RecordsetPtr& rs, const std::string& name) { return Col(rs, name).Text(); }

// An amount as it travels: rounded to the currency's decimals, "." as the
// decimal separator whatever the locale, no trailing zeros ("114.95", "90").
std::string WireAmount(const Decimal& amount, int decimals) { return amount.Round(decimals).ToString(); }

// The offers of a row set: per line the net amount (AMOUNT - ORDERDISCOUNT)
// rounded to the currency, plus its tax, freight and freight tax; and the sums.
struct Offers {
    std::vector<std::string> amounts;
    Decimal total;  // of the offers as sent
    Decimal tax, freight, freightTax;
    std::vector<Variant> lines;

    // "1,2,5"
    std::string LineList() const {
        std::string list;
        for (const Variant& line : lines) list += (list.empty() ? "" : ",") + line.Text();
        return list;
    }
};

Offers BuildOffers(const ado::RecordsetPtr& rows, int decimals) {
    Offers offers;
    for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext()) {
        if (offers.amounts.size() >= 32767) ole::Raise(ole::err::Overflow);
        Decimal net = (Decimal::FromVariant(Col(rows, "AMOUNT")) - Decimal::FromVariant(Col(rows, "ORDERDISCOUNT")))
                          .Round(decimals);
        Decimal amount = net + Decimal::FromVariant(Col(rows, "LINETAX")) +
                         Decimal::FromVariant(Col(rows, "LINEFREIGHT")) +
                         Decimal::FromVariant(Col(rows, "LINEFREIGHTTAX"));
        offers.amounts.push_back(WireAmount(amount, decimals));
        offers.total += amount.Round(decimals);
        offers.tax += Decimal::FromVariant(Col(rows, "LINETAX"), true);
        offers.freight += Decimal::FromVariant(Col(rows, "LINEFREIGHT"), true);
        offers.freightTax += Decimal::FromVariant(Col(rows, "LINEFREIGHTTAX"), true);
        offers.lines.push_back(Variant(Col(rows, "LINENR").ToLong()));
    }
    rows->MoveFirst();
    if (offers.lines.empty()) ole::Raise(ole::err::InvalidProcedureCall, "The order has no line to send", "CCPayment");
    return offers;
}

void SetOffers(qx::IGatewayClient& client, const Offers& offers) {
    for (size_t i = 0; i < offers.amounts.size(); ++i) {
        client.SetOfferValue(static_cast<int16_t>(i), "quantity", "1");
        client.SetOfferValue(static_cast<int16_t>(i), "amount", offers.amounts[i]);
    }
}

// The success rule: "ics_rcode" reads as the number 1. Nothing when it is no number.
std::optional<bool> ReadSuccess(const qx::IGatewayClient& client) {
    double code = 0;
    if (!ole::ParseNumber(ole::TrimBlanks(client.GetReplyValue("ics_rcode")), code)) return std::nullopt;
    return code == 1;
}

// A request recorded in GATEWAYREQUEST and sent. `unknown` says why its outcome
// is unknown (no readable reply, or an ics_rcode that is no number): its row
// then stays open. Otherwise `success` is the success rule and `request`
// completes the row in the transaction that stores the reply.
struct SentRequest {
    RecordedGatewayRequest request;
    std::optional<bool> success;
    std::string unknown;
};

SentRequest SendRecorded(qx::IGatewayClient& client, const ado::ConnectionPtr& connection,
                         const GatewayRequestSubject& subject) {
    SentRequest sent;
    try {
        sent.request = RecordedGatewayRequest::Send(client, connection, subject);
    } catch (const ole::AutomationError& e) {
        if (e.Number() != qx::gateway_err::OutcomeUnknown) throw;
        sent.unknown = e.Description();
        return sent;
    }
    sent.success = ReadSuccess(client);
    if (!sent.success) sent.unknown = "the reply's ics_rcode '" + client.GetReplyValue("ics_rcode") + "' is no number";
    return sent;
}

// An order whose request has an unknown outcome waits in OrderBillingIssue for `backoffice pay resolve`.
// `reference`: the client request id of the request whose outcome is unknown.
void HoldForResolution(const ado::ConnectionPtr& connection, const std::string& orderId, const std::string& reference) {
    static const std::string sql = "UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND " +
                                   vendalo::StatusGuard(vendalo::OrderStatus::CCPaymentToBeFulfilled);
    std::vector<ado::BatchStatement> statements{
        {sql, {StatusValue(vendalo::OrderStatus::OrderBillingIssue), Variant(orderId)}}};
    auto events = OrderEventStatements({{orderId, std::nullopt,
                                         static_cast<int32_t>(vendalo::OrderStatus::CCPaymentToBeFulfilled),
                                         static_cast<int32_t>(vendalo::OrderStatus::OrderBillingIssue), "billing issue",
                                         "", reference, "a gateway request has an unknown outcome"}});
    statements.insert(statements.end(), events.begin(), events.end());
    connection->ExecuteBatch(statements);
}

// What a change of an order's status by a payment is called in its timeline.
const char* PaymentEventOf(vendalo::OrderStatus status) {
    switch (status) {
        case vendalo::OrderStatus::OrderBillingIssue: return "billing issue";
        case vendalo::OrderStatus::OrderAuthorizationIssue: return "authorization issue";
        case vendalo::OrderStatus::Paid: return "paid";
        default: return "payment";
    }
}

// The reference of a payment's events: the client request id that names its GATEWAYREQUEST row.
std::string RequestOf(const qx::IGatewayClient& client) { return client.GetRequestValue("client_request_id"); }

// A payment that leaves the order's status as it is (an authorisation, a
// refund) still appears in its timeline: an event from the status to itself.
// `actor` "" : the thread's run or request; an operator's `note` follows the amount.
void AppendPaymentNote(const ado::ConnectionPtr& connection, const std::string& orderId, const std::string& what,
                       const std::string& reference, const Decimal& amount, const std::string& currency,
                       const std::string& actor = "", const std::string& note = "") {
    auto rs = connection->Execute("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1,
                                  {Variant(orderId)});
    if (!rs || rs->Eof()) return;  // a basket's authorisation: its order takes it over at submission
    int32_t status = rs->Fields(0).Value().ToLong();
    std::string detail = amount.ToString() + " " + ole::TrimBlanks(currency);
    if (!note.empty()) detail += ": " + note;
    Sls_AppendOrderEvents(connection, {{orderId, std::nullopt, status, status, what, actor, reference, detail}});
}

// Runs the writes in one transaction, or in the caller's when it has one open.
void InOneTransaction(const ado::ConnectionPtr& connection, const std::function<void()>& writes) {
    if (connection->InTransaction()) {
        writes();
        return;
    }
    ado::Transaction tx(*connection);
    writes();
    tx.Commit();
}

std::string GatewayText(const qx::IGatewayClient& c) {
    return c.GetReplyValue("ics_rflag") + ": " + c.GetReplyValue("ics_rmsg") + " ID:" + c.GetReplyValue("request_id");
}

// The order form's header: a recordset, or a dictionary keyed by upper-case names.
class FormHeader {
public:
    explicit FormHeader(const Variant& header) {
        rs_ = header.As<ado::Recordset>();
        dictionary_ = header.As<ole::Dictionary>();
        if (!rs_ && !dictionary_) ole::Raise(ole::err::ObjectRequired);
    }
    Variant Get(const std::string& name) const {
        if (rs_) return HasField(rs_, name) ? rs_->Fields(name).Value() : Variant();
        return dictionary_->Item(ole::UpperCase(name));
    }
    std::string Text(const std::string& name) const { return Get(name).Text(); }

private:
    ado::RecordsetPtr rs_;
    ole::DictionaryPtr dictionary_;
};

class CCPayment : public ICCPayment {
public:
    bool doInitAuthorize(const ole::DictionaryPtr& iOrderform) override {
        ado::ConnectionPtr connection;
        try {
            if (!iOrderform) ole::Raise(ole::err::ObjectRequired);
            FormHeader header(iOrderform->Item("header"));
            std::string basketId = header.Text("BASKETID");
            std::string number = NormalizedCardNumber(header.Text("CCNUMBER"));
            std::string refusal = CheckoutRefusal(number, header.Text("CCEXPIRYMONTH"), header.Text("CCEXPIRYYEAR"),
                                                  header.Get("TOTAL"));
            if (!refusal.empty()) ole::Raise(kCardDataRefused, refusal, "CCPayment");
            auto lock = OrderPaymentLock::TryAcquire(ConnectionString(), basketId);
            if (!lock)
                ole::Raise(kPaymentError, "Another authorisation of basket " + basketId + " is in progress", "CCPayment");
            connection = Sls_GetOpenConnection(ConnectionString());
            auto open = OpenGatewayRequests(connection, basketId);
            if (!open.empty()) ole::Raise(kOutcomeUnknownPending, OutcomeUnknownText(open.front()), "CCPayment");
            std::string currency = header.Text("CURRENCYCODE");
            auto decimals = CurrencyDecimals(currency);
            if (!decimals) ole::Raise(kPaymentError, "Currency " + currency + " not found", "CCPayment");
            Decimal total = Decimal::FromVariant(header.Get("TOTAL")).Round(*decimals);
            if (AnswerExistingAuthorization(connection, basketId, number, header, total, *iOrderform)) return true;
            auto client = Sls_GetComponent<qx::IGatewayClient>(qx::kGatewayClientProgId);
            client->SetMerchantId(getMerchantId(currency, connection));
            if (client->ServerHost().empty()) client->SetServerHost(getParamater("CyberSource Serverhost"));
            client->SetValue("ics_applications", "ics_auth");
            client->SetValue("merchant_ref_number", basketId);
            client->SetValue("currency", currency);
            client->SetValue("customer_firstname", header.Text("CCFIRSTNAME"));
            client->SetValue("customer_lastname", header.Text("CCLASTNAME"));
            client->SetValue("customer_email", header.Text("CCEMAIL"));
            client->SetValue("customer_phone", header.Text("CCPHONE"));
            client->SetValue("bill_address1", header.Text("CCSTREET"));
            client->SetValue("bill_city", header.Text("CCCITY"));
            if (!header.Text("CCSTATE").empty()) client->SetValue("bill_state", header.Text("CCSTATE"));
            client->SetValue("bill_zip", header.Text("CCZIP"));
            client->SetValue("bill_country", header.Text("CCCOUNTRY"));
            client->SetValue("customer_cc_number", number);
            client->SetValue("customer_cc_expmo", header.Text("CCEXPIRYMONTH"));
            client->SetValue("customer_cc_expyr", header.Text("CCEXPIRYYEAR"));
            client->SetValue("customer_cc_type", header.Text("CCTYPE"));
            client->SetValue("tax_total", OptionalAmount(header.Get("TAXTOTAL"), *decimals));
            client->SetValue("shipping_total", OptionalAmount(header.Get("FREIGHTTOTAL"), *decimals));
            client->SetValue("freighttax", OptionalAmount(header.Get("FREIGHTTAXTOTAL"), *decimals));
            client->SetOfferValue(0, "quantity", "1");
            client->SetOfferValue(0, "amount", WireAmount(total, *decimals));
            // sealed before sending: once the gateway has authorised, the log row must not fail on the key
            std::string sealed = SealCardNumber(number);
            SentRequest sent = SendRecorded(*client, connection,
                                            {basketId, gateway_operation::CheckoutAuthorization, "",
                                             WireAmount(total, *decimals), currency, ""});
            std::string offers = PrepareOfferForLog(client->RequestLines());
            if (!sent.success) {
                GatewayExchange exchange(*client, "Outcome unknown: " + sent.unknown);
                InOneTransaction(connection, [&] { writeAuthLog(offers, connection, exchange, sealed); });
                RaiseOutcomeUnknown(*client, "checkout authorisation", "basket " + basketId, sent.unknown);
            }
            bool success = *sent.success;
            InOneTransaction(connection, [&] {
                writeAuthLog(offers, connection, GatewayExchange(*client), sealed);
                sent.request.Complete(connection, *client);
            });
            for (const char* name : kReplyFields) iOrderform->Set(Variant(name), Variant(client->GetReplyValue(name)));
            lastRequest_ = client->GetReplyValue("request_id");
            if (!success)
                Sls_LogError("ccPayment.doInitAuthorize", "Flag: " + client->GetReplyValue("ics_rflag") + " Msg: " +
                                                              client->GetReplyValue("ics_rmsg") + " Request ID:" +
                                                              client->GetReplyValue("request_id"));
            return success;
        } catch (...) {
            Sls_RaiseError("CCPayment.doInitAuthorize");
        }
    }

    bool doAuthorize(const ado::RecordsetPtr& iRsAuthLog, const Client& iIcs, const ado::ConnectionPtr& iConn) override {
        return Authorize(iRsAuthLog, iIcs, iConn, gateway_operation::Authorization);
    }

    bool Run(const std::string& iOrderid) override {
        outcome_ = PaymentOutcome::Nothing;
        try {
            auto lock = OrderPaymentLock::TryAcquire(ConnectionString(), iOrderid);
            if (!lock) {
                outcome_ = PaymentOutcome::Busy;
                return false;
            }
            return Pay(Sls_GetOpenConnection(ConnectionString()), iOrderid, false);
        } catch (...) {
            if (outcome_ != PaymentOutcome::Captured && outcome_ != PaymentOutcome::OutcomeUnknown)
                outcome_ = PaymentOutcome::Failed;
            Sls_LogError("CCPayment.Run", "Orderid : " + iOrderid);
            return false;
        }
    }

    bool CaptureAgain(const std::string& iOrderid, const std::string& actor, const std::string& note) override {
        outcome_ = PaymentOutcome::Nothing;
        try {
            auto lock = LockForAction(iOrderid);
            auto connection = Sls_GetOpenConnection(ConnectionString());
            RefuseWhileOutcomeUnknown(connection, iOrderid);
            std::vector<Variant> refused;
            auto rs = connection->Execute("SELECT LINENR FROM ORDERLINE WHERE ORDERID = ? AND LINESTATUS = ? ORDER BY LINENR",
                                          nullptr, -1,
                                          {Variant(iOrderid), StatusValue(vendalo::OrderLineStatus::LineBillingIssue)});
            for (; !rs->Eof(); rs->MoveNext()) refused.push_back(Variant(rs->Fields(0).Value().ToLong()));
            if (refused.empty())
                ole::Raise(kActionNoLongerApplies, "Order " + iOrderid + " has no line whose capture was refused",
                           "CCPayment");
            {
                ado::Transaction tx(*connection);
                if (!UpdateOrderLinesStatus(connection, iOrderid, refused, vendalo::OrderLineStatus::Allocated,
                                            vendalo::OrderLineStatus::LineBillingIssue, true, "", actor) ||
                    !OperatorChange(connection, iOrderid, vendalo::OrderStatus::OrderBillingIssue,
                                    vendalo::OrderStatus::CCPaymentToBeFulfilled, "capture again", actor, note))
                    ole::Raise(kActionNoLongerApplies, "Order " + iOrderid + " is no longer in status 8", "CCPayment");
                tx.Commit();
            }
            return Pay(connection, iOrderid, true);
        } catch (...) {
            Sls_RaiseError("CCPayment.CaptureAgain", "Orderid : " + iOrderid);
        }
    }

    bool AuthorizeAgain(const std::string& iOrderid, const std::string& actor, const std::string& note) override {
        outcome_ = PaymentOutcome::Nothing;
        try {
            auto lock = LockForAction(iOrderid);
            auto connection = Sls_GetOpenConnection(ConnectionString());
            RefuseWhileOutcomeUnknown(connection, iOrderid);
            {
                ado::Transaction tx(*connection);
                if (!OperatorChange(connection, iOrderid, vendalo::OrderStatus::OrderAuthorizationIssue,
                                    vendalo::OrderStatus::CCPaymentToBeFulfilled, "authorize again", actor, note))
                    ole::Raise(kActionNoLongerApplies, "Order " + iOrderid + " is no longer in status 7", "CCPayment");
                tx.Commit();
            }
            try {
                auto rows = AuthorizationRows(connection, iOrderid, LinesToPay::Unbilled);
                if (rows->Eof()) return true;  // every line is captured: nothing to hold
                auto client = NewClient(ColText(rows, "CURRENCY"), connection);
                return doAuthorize(rows, client, connection);
            } catch (...) {
                // not sent, or refused before sending: the order waits in 7 as it did
                if (outcome_ != PaymentOutcome::OutcomeUnknown)
                    UpdateOrderHeaderStatus(connection, iOrderid, vendalo::OrderStatus::OrderAuthorizationIssue,
                                            vendalo::OrderStatus::CCPaymentToBeFulfilled, false, "");
                throw;
            }
        } catch (...) {
            Sls_RaiseError("CCPayment.AuthorizeAgain", "Orderid : " + iOrderid);
        }
    }

    // The payment of one order under its payment lock: capture, or authorise
    // anew first when the authorisation is too old or `fresh` asks for it.
    bool Pay(const ado::ConnectionPtr& connection, const std::string& iOrderid, bool fresh) {
        auto open = OpenGatewayRequests(connection, iOrderid);
        if (!open.empty()) {
            // never "not yet sent": the request may have been acted on
            InOneTransaction(connection, [&] { HoldForResolution(connection, iOrderid, open.front().clientRequestId); });
            outcome_ = PaymentOutcome::OutcomeUnknown;
            Sls_LogError("CCPayment.Run", OutcomeUnknownText(open.front()) + ". The order waits in status 8.");
            return false;
        }
        auto rows = AuthorizationRows(connection, iOrderid, LinesToPay::Allocated);
        if (rows->Eof()) return false;
        Variant currency = Col(rows, "CURRENCY");
        if (currency.IsNull())
            ole::Raise(kPaymentError, "There is no valid currency for order: " + iOrderid, "CCPayment.Run");
        auto decimals = CurrencyDecimals(currency.Text());
        if (!decimals)
            ole::Raise(kPaymentError, "Currency " + currency.Text() + " used in order " + iOrderid + " not found",
                       "CCPayment.Run");
        decimals_ = static_cast<int16_t>(*decimals);
        auto client = NewClient(currency.Text(), connection);
        int64_t hours = HoursSince(Col(rows, "REQUEST_DATETIME"));
        int16_t hard = Variant(getParamater("Authorization Hard Expiration")).ToInt();
        int16_t soft = Variant(getParamater("Authorization Soft Expiration")).ToInt();
        bool result = false;
        if (fresh || hours >= hard) {
            // the expired authorisation is replaced: the capture goes against the new one
            if (doAuthorize(rows, client, connection))
                result = Capture(rows, client, connection, false, lastRequest_);
            else
                outcome_ = PaymentOutcome::Refused;
        } else if (hours >= soft) {
            result = Capture(rows, client, connection, true, "");
        } else {
            result = Capture(rows, client, connection, false, ColText(rows, "AUTH_REQUEST_ID"));
        }
        return result;
    }

    bool manualAuthorize(const std::string& iRequestID) override {
        ado::ConnectionPtr connection;
        try {
            connection = Sls_GetOpenConnection(ConnectionString());
            auto rows = std::make_shared<ado::Recordset>();
            rows->CursorLocation = ado::adUseClient;
            rows->Open("SELECT a.*, c.* FROM AUTHORIZATIONLOG a, ORDERLINE c WHERE a.MERCHANT_REF_NUMBER = c.ORDERID "
                       "AND a.LOGSEQ = (SELECT MAX(x.LOGSEQ) FROM AUTHORIZATIONLOG x WHERE x.AUTH_REQUEST_ID = ?) "
                       "ORDER BY c.LINENR",
                       connection, ado::adOpenStatic, ado::adLockReadOnly, -1, {Variant(iRequestID)});
            if (rows->Eof()) ole::Raise(kPaymentError, "There were no valid lineitems", "CCPayment.ManualAuthorize");
            if (Col(rows, "CURRENCY").IsNull())
                ole::Raise(kPaymentError, "There is no valid Currency for request: " + iRequestID,
                           "CCPayment.ManualAuthorize");
            std::string orderId = ColText(rows, "ORDERID");
            auto lock = OrderPaymentLock::TryAcquire(ConnectionString(), orderId);
            if (!lock) ole::Raise(kPaymentError, "Another payment of order " + orderId + " is in progress", "CCPayment");
            auto client = NewClient(ColText(rows, "CURRENCY"), connection);
            bool result = doAuthorize(rows, client, connection);
            return result;
        } catch (...) {
            Sls_RaiseError("CCPayment.manualAuthorize", "RequestID: " + iRequestID);
        }
    }

    bool manualRefund(const std::string& iRequestID, const Variant& iAmount) override {
        try {
            return Credit(iRequestID, iAmount, "", "");
        } catch (...) {
            Sls_RaiseError("CCPayment.manualRefund", "RequestID : " + iRequestID + " Amount : " + iAmount.Text());
        }
    }

    bool RefundOrder(const std::string& iOrderid, const Variant& iAmount, const std::string& actor,
                     const std::string& note) override {
        try {
            auto connection = Sls_GetOpenConnection(ConnectionString());
            // the latest approved capture with something left to credit
            auto captures = connection->Execute(
                "SELECT BILL_REQUEST_ID, BILL_BILL_AMOUNT FROM BILLINGLOG WHERE MERCHANT_REF_NUMBER = ? AND "
                "ICS_RCODE = '1' AND BILL_REQUEST_ID IS NOT NULL ORDER BY LOGSEQ DESC",
                nullptr, -1, {Variant(iOrderid)});
            for (; captures && !captures->Eof(); captures->MoveNext()) {
                std::string request = captures->Fields(0).Value().Text();
                Decimal left = RefundableAmount(connection, request, captures->Fields(1).Value().Text());
                if (left.Sign() <= 0) continue;
                connection.reset();
                return Credit(request, iAmount.IsEmpty() ? Variant(left.ToString()) : iAmount, actor, note);
            }
            ole::Raise(kActionNoLongerApplies, "Order " + iOrderid + " has no capture left to refund", "CCPayment");
        } catch (...) {
            Sls_RaiseError("CCPayment.RefundOrder", "Orderid : " + iOrderid + " Amount : " + iAmount.Text());
        }
    }

    std::string getLastRequest() override { return lastRequest_; }

    std::string ConnectionString() override {
        if (connectionString_.empty()) connectionString_ = InstallationConnectionString("CCPayment.ConnectionString");
        return connectionString_;
    }

    PaymentOutcome LastOutcome() const override { return outcome_; }

private:
    // A credit against capture `iRequestID`, its event naming `actor` (""
    // the thread's run or request) with the operator's `note`.
    bool Credit(const std::string& iRequestID, const Variant& iAmount, const std::string& actor,
                const std::string& note) {
        std::optional<Decimal> amount;
        try {
            amount = Decimal::FromVariant(iAmount);
        } catch (...) {
        }
        if (!amount || amount->Sign() <= 0)
            ole::Raise(kRefundAmountRefused, "The refund amount '" + iAmount.Text() + "' is not a positive number",
                       "CCPayment");
        auto connection = Sls_GetOpenConnection(ConnectionString());
        auto row = std::make_shared<ado::Recordset>();
        row->CursorLocation = ado::adUseClient;
        row->Open("SELECT BILL_REQUEST_ID, MERCHANT_REF_NUMBER, CURRENCY, BILL_BILL_AMOUNT FROM BILLINGLOG "
                  "WHERE BILL_REQUEST_ID = ? AND ICS_RCODE = '1' ORDER BY LOGSEQ DESC LIMIT 1",
                  connection, ado::adOpenStatic, ado::adLockReadOnly, -1, {Variant(iRequestID)});
        if (row->Eof()) ole::Raise(kPaymentError, "There were no valid lineitems", "CCPayment.ManualRefund");
        if (Col(row, "CURRENCY").IsNull())
            ole::Raise(kPaymentError, "There is no valid Currency for Request: " + iRequestID, "CCPayment.ManualRefund");
        std::string orderId = ColText(row, "MERCHANT_REF_NUMBER");
        auto lock = OrderPaymentLock::TryAcquire(ConnectionString(), orderId);
        if (!lock) ole::Raise(kPaymentError, "Another payment of order " + orderId + " is in progress", "CCPayment");
        auto open = OpenGatewayRequests(connection, orderId);
        if (!open.empty()) ole::Raise(kOutcomeUnknownPending, OutcomeUnknownText(open.front()), "CCPayment");
        std::string currency = ColText(row, "CURRENCY");
        auto decimals = CurrencyDecimals(currency);
        if (!decimals) ole::Raise(kPaymentError, "Currency " + currency + " not found", "CCPayment");
        if (amount->Round(*decimals) != *amount)
            ole::Raise(kRefundAmountRefused,
                       "The refund amount " + amount->ToString() + " has more decimals than " + currency, "CCPayment");
        Decimal left = RefundableAmount(connection, iRequestID, ColText(row, "BILL_BILL_AMOUNT"));
        if (*amount > left)
            ole::Raise(kRefundAmountRefused,
                       "The refund amount " + amount->ToString() + " exceeds what capture " + iRequestID +
                           " took less earlier credits (" + left.ToString() + ")",
                       "CCPayment");
        auto client = NewClient(currency, connection);
        return doRefund(*amount, *decimals, row, client, connection, actor, note);
    }

    std::unique_ptr<OrderPaymentLock> LockForAction(const std::string& orderId) {
        auto lock = OrderPaymentLock::TryAcquire(ConnectionString(), orderId);
        if (!lock) ole::Raise(kActionNoLongerApplies, "A payment of order " + orderId + " is in progress", "CCPayment");
        return lock;
    }

    static void RefuseWhileOutcomeUnknown(const ado::ConnectionPtr& connection, const std::string& orderId) {
        auto open = OpenGatewayRequests(connection, orderId);
        if (!open.empty()) ole::Raise(kActionNoLongerApplies, OutcomeUnknownText(open.front()), "CCPayment");
    }

    // The order's status changed by an operator, guarded by the status it left,
    // with the event that names the operator and the note; false when the order
    // was elsewhere (nothing written).
    static bool OperatorChange(const ado::ConnectionPtr& connection, const std::string& orderId,
                               vendalo::OrderStatus from, vendalo::OrderStatus to, const std::string& what,
                               const std::string& actor, const std::string& note) {
        std::vector<ado::BatchStatement> statements{
            {"UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND " + vendalo::StatusGuard(from),
             {StatusValue(to), Variant(orderId)}}};
        auto events = OrderEventStatements(
            {{orderId, std::nullopt, static_cast<int32_t>(from), static_cast<int32_t>(to), what, actor, "", note}});
        statements.insert(statements.end(), events.begin(), events.end());
        return connection->ExecuteBatch(statements).front().affected > 0;
    }

    // The capture request of the rows' lines in the client; with the
    // authorisation, the card too, and its number sealed for the log.
    Offers PrepareCapture(const ado::RecordsetPtr& rows, qx::IGatewayClient& client, bool withAuthorization,
                          const std::string& authRequestId, const std::string& orderId, std::string& sealed) {
        if (withAuthorization) {
            client.SetValue("ics_applications", "ics_auth, ics_bill");
            std::string number = CardNumberOf(rows, orderId);
            SetCardAndCustomer(client, rows, number);
            sealed = SealCardNumber(number);
        } else {
            client.SetValue("ics_applications", "ics_bill");
            client.SetValue("auth_request_id", authRequestId);
            client.SetValue("merchant_ref_number", ColText(rows, "MERCHANT_REF_NUMBER"));
            client.SetValue("currency", ColText(rows, "CURRENCY"));
        }
        Offers offers = BuildOffers(rows, decimals_);
        SetOffers(client, offers);
        client.SetValue("tax_total", WireAmount(offers.tax, decimals_));
        client.SetValue("shipping_total", WireAmount(offers.freight, decimals_));
        client.SetValue("freighttax", WireAmount(offers.freightTax, decimals_));
        return offers;
    }

    // Capture against an authorisation (doBill), or authorisation and capture
    // in one request (doAuthorizeAndBill).
    bool Capture(const ado::RecordsetPtr& rows, const Client& client, const ado::ConnectionPtr& connection,
                 bool withAuthorization, const std::string& authRequestId) {
        const char* label = withAuthorization ? "CCPayment.doAuthorizeAndBill" : "CCPayment.doBill";
        try {
            rows->MoveFirst();
            std::string orderId = OrderIdOf(rows);
            std::string sealed;
            Offers offers = PrepareCapture(rows, *client, withAuthorization, authRequestId, orderId, sealed);

            SentRequest sent = SendRecorded(
                *client, connection,
                {orderId, withAuthorization ? gateway_operation::AuthorizationAndCapture : gateway_operation::Capture,
                 offers.LineList(), WireAmount(offers.total, decimals_), ColText(rows, "CURRENCY"), authRequestId});
            std::string offersText = PrepareOfferForLog(client->RequestLines());
            const std::string& unknown = sent.unknown;
            if (!sent.success) {
                // Never sent again by itself: the order waits in 8 for an operator.
                GatewayExchange exchange(*client, "Outcome unknown: " + unknown);
                InOneTransaction(connection, [&] {
                    if (withAuthorization) writeAuthLog(offersText, connection, exchange, sealed);
                    writeBillLog(offersText, connection, exchange, authRequestId);
                    UpdateOrderHeaderStatus(connection, orderId, vendalo::OrderStatus::OrderBillingIssue, vendalo::OrderStatus::CCPaymentToBeFulfilled, true, RequestOf(*client));
                });
                outcome_ = PaymentOutcome::OutcomeUnknown;
                Sls_LogError(std::string("cc") + (label + 2),
                             "The outcome of capture request " + client->GetRequestValue("client_request_id") +
                                 " of order " + orderId + " is unknown (" + unknown +
                                 "). The order is set to 8 and nothing more is sent for it until an operator resolves "
                                 "it with `backoffice pay resolve --order " + orderId + "`");
                return false;
            }
            std::string billAuthId = withAuthorization ? client->GetReplyValue("request_id") : authRequestId;
            GatewayExchange exchange(*client);
            if (*sent.success) {
                bool updated = false;
                InOneTransaction(connection, [&] {
                    if (withAuthorization) writeAuthLog(offersText, connection, exchange, sealed);
                    writeBillLog(offersText, connection, exchange, billAuthId);
                    updated = UpdateOrderLinesStatus(connection, orderId, offers.lines, vendalo::OrderLineStatus::CCBilled, vendalo::OrderLineStatus::Allocated, true, RequestOf(*client));
                    sent.request.Complete(connection, *client);
                });
                outcome_ = PaymentOutcome::Captured;
                if (!updated) return false;
                return renewAuthorization(ColText(rows, "MERCHANT_REF_NUMBER"), client, connection);
            }
            InOneTransaction(connection, [&] {
                if (withAuthorization) writeAuthLog(offersText, connection, exchange, sealed);
                writeBillLog(offersText, connection, exchange, billAuthId);
                UpdateOrderLinesStatus(connection, orderId, offers.lines, vendalo::OrderLineStatus::LineBillingIssue, vendalo::OrderLineStatus::Allocated, true, RequestOf(*client));
                UpdateOrderHeaderStatus(connection, orderId, vendalo::OrderStatus::OrderBillingIssue, vendalo::OrderStatus::CCPaymentToBeFulfilled, true, RequestOf(*client));
                sent.request.Complete(connection, *client);
            });
            outcome_ = PaymentOutcome::Refused;
            if (withAuthorization)
                Sls_LogError("ccPayment.doAuthorizeAndBill", "ics_rflag: " + client->GetReplyValue("ics_rflag") +
                                                                 ": ics_rmsg: " + client->GetReplyValue("ics_rmsg") +
                                                                 " ID:" + client->GetReplyValue("request_id"));
            else
                Sls_LogError("ccPayment.doBill", GatewayText(*client));
            return false;
        } catch (...) {
            Sls_RaiseError(label);
        }
    }

    bool doRefund(const Decimal& amount, int decimals, const ado::RecordsetPtr& row, const Client& client,
                  const ado::ConnectionPtr& connection, const std::string& actor, const std::string& note) {
        try {
            client->SetValue("ics_applications", "ics_credit");
            client->SetValue("bill_request_id", ColText(row, "BILL_REQUEST_ID"));
            client->SetValue("merchant_ref_number", ColText(row, "MERCHANT_REF_NUMBER"));
            client->SetValue("currency", ColText(row, "CURRENCY"));
            client->SetOfferValue(0, "amount", WireAmount(amount, decimals));
            SentRequest sent = SendRecorded(*client, connection,
                                            {ColText(row, "MERCHANT_REF_NUMBER"), gateway_operation::Credit, "",
                                             WireAmount(amount, decimals), ColText(row, "CURRENCY"),
                                             ColText(row, "BILL_REQUEST_ID")});
            std::string offersText = PrepareOfferForLog(client->RequestLines());
            if (!sent.success) {
                GatewayExchange exchange(*client, "Outcome unknown: " + sent.unknown);
                InOneTransaction(connection, [&] { writeRefundLog(offersText, connection, exchange); });
                RaiseOutcomeUnknown(*client, "credit", "order " + ColText(row, "MERCHANT_REF_NUMBER"), sent.unknown);
            }
            InOneTransaction(connection, [&] {
                writeRefundLog(offersText, connection, GatewayExchange(*client));
                AppendPaymentNote(connection, ColText(row, "MERCHANT_REF_NUMBER"),
                                  *sent.success ? "refunded" : "refund declined", RequestOf(*client), amount,
                                  ColText(row, "CURRENCY"), actor, note);
                sent.request.Complete(connection, *client);
            });
            lastRequest_ = client->GetReplyValue("request_id");
            return *sent.success;
        } catch (...) {
            Sls_RaiseError("CCPayment.doRefund");
        }
    }

    bool renewAuthorization(const std::string& orderId, const Client& client, const ado::ConnectionPtr& connection) {
        try {
            auto rows = AuthorizationRows(connection, orderId, LinesToPay::Unbilled);
            if (rows->Eof()) return true;
            if (Col(rows, "CURRENCY").IsNull())
                ole::Raise(8888, "There is no valid Currency for order: " + orderId, "CCPayment.renewAuthorization");
            client->SetMerchantId(getMerchantId(ole::TrimBlanks(ColText(rows, "CURRENCY")), connection));
            client->SetServerHost(ServerHost());
            return Authorize(rows, client, connection, gateway_operation::Renewal);
        } catch (...) {
            Sls_RaiseError("CCPayment.renewAuthorization");
        }
    }

    std::string getMerchantId(const std::string& currency, const ado::ConnectionPtr& connection) {
        try {
            if (auto id = MerchantIdOfCurrency(connection, currency)) return *id;
            ole::Raise(kPaymentError, "There is no valid MerchantId for Currency: " + currency,
                       "CCPayment.getMerchantId");
        } catch (...) {
            Sls_RaiseError("CCPayment.getMerchantId", "Currency: " + currency);
        }
    }

    std::string getParamater(const std::string& name) { return SalesParameter(name, "CCPayment.getParamater"); }

    std::string ServerHost() {
        std::string host = getParamater("CyberSource Serverhost");
        if (ole::TrimBlanks(host).empty())
            ole::Raise(kPaymentError, "Cybersource server host not filled in Direct Payment parameters", "CCPayment");
        return host;
    }

    // A gateway client for the currency's merchant account and the installation's server host.
    Client NewClient(const std::string& currency, const ado::ConnectionPtr& connection) {
        auto client = Sls_GetComponent<qx::IGatewayClient>(qx::kGatewayClientProgId);
        client->SetMerchantId(getMerchantId(ole::TrimBlanks(currency), connection));
        client->SetServerHost(ServerHost());
        return client;
    }

    // A new authorisation of a stored order (doAuthorize, the renewal after a capture).
    bool Authorize(const ado::RecordsetPtr& rows, const Client& iIcs, const ado::ConnectionPtr& connection,
                   const std::string& operation) {
        try {
            if (!rows || !iIcs || !connection) ole::Raise(ole::err::ObjectRequired);
            if (rows->RecordCount() == 0) ole::Raise(ole::err::InvalidProcedureCall, "There is no line to authorise", "CCPayment");
            rows->MoveFirst();
            std::string orderId = OrderIdOf(rows);
            auto open = OpenGatewayRequests(connection, orderId);
            if (!open.empty()) {
                InOneTransaction(connection, [&] { HoldForResolution(connection, orderId, open.front().clientRequestId); });
                outcome_ = PaymentOutcome::OutcomeUnknown;
                ole::Raise(kOutcomeUnknownPending, OutcomeUnknownText(open.front()), "CCPayment");
            }
            std::string number = CardNumberOf(rows, orderId);
            // the held decimals first: the earlier authorisation's amount is rounded to them
            std::string currency = ColText(rows, "CURRENCY");
            if (decimals_ == 0 || currency != currency_) {
                auto decimals = CurrencyDecimals(currency);
                if (!decimals) ole::Raise(kPaymentError, "Currency " + currency + " not found", "CCPayment");
                decimals_ = static_cast<int16_t>(*decimals);
                currency_ = currency;
            }
            qx::IGatewayClient& client = *iIcs;
            client.SetValue("ics_applications", "ics_auth");
            SetCardAndCustomer(client, rows, number);
            client.SetValue("customer_cc_type", ColText(rows, "CUSTOMER_CC_TYPE"));
            Offers offers = BuildOffers(rows, decimals_);
            SetOffers(client, offers);
            client.SetValue("tax_total", WireAmount(offers.tax + offers.freightTax, decimals_));
            client.SetValue("shipping_total", WireAmount(offers.freight, decimals_));
            client.SetValue("freighttax", WireAmount(offers.freightTax, decimals_));
            std::string sealed = SealCardNumber(number);
            SentRequest sent = SendRecorded(client, connection,
                                            {orderId, operation, offers.LineList(), WireAmount(offers.total, decimals_),
                                             currency, ""});
            std::string offersText = PrepareOfferForLog(client.RequestLines());
            if (!sent.success) {
                GatewayExchange exchange(client, "Outcome unknown: " + sent.unknown);
                InOneTransaction(connection, [&] {
                    writeAuthLog(offersText, connection, exchange, sealed);
                    HoldForResolution(connection, orderId, client.GetRequestValue("client_request_id"));
                });
                outcome_ = PaymentOutcome::OutcomeUnknown;
                RaiseOutcomeUnknown(client, "authorisation", "order " + orderId + " (set to 8)", sent.unknown);
            }
            bool success = *sent.success;
            InOneTransaction(connection, [&] {
                writeAuthLog(offersText, connection, GatewayExchange(client), sealed);
                if (success)
                    AppendPaymentNote(connection, orderId,
                                      operation == gateway_operation::Renewal ? "authorised again" : "authorised",
                                      RequestOf(client), offers.total, currency);
                else
                    UpdateOrderHeaderStatus(connection, orderId, vendalo::OrderStatus::OrderAuthorizationIssue,
                                            vendalo::OrderStatus::CCPaymentToBeFulfilled, true, RequestOf(client));
                sent.request.Complete(connection, client);
            });
            lastRequest_ = client.GetReplyValue("request_id");
            if (!success) {
                outcome_ = PaymentOutcome::Refused;
                Sls_LogError("ccPayment.doAuthorize", GatewayText(client));
            }
            return success;
        } catch (...) {
            Sls_RaiseError("CCPayment.doAuthorize");
        }
    }

    // A request sent without a readable outcome: its GATEWAYREQUEST row stays open
    // and names it; nothing more is sent for the order or basket until it is resolved.
    [[noreturn]] static void RaiseOutcomeUnknown(const qx::IGatewayClient& client, const std::string& what,
                                                 const std::string& of, const std::string& why) {
        std::string reference = client.GetRequestValue("merchant_ref_number");
        ole::Raise(qx::gateway_err::OutcomeUnknown,
                   "The outcome of " + what + " request " + client.GetRequestValue("client_request_id") + " of " + of +
                       " is unknown (" + why + "); nothing more is sent for it until `backoffice pay resolve --order " +
                       reference + "` settles it",
                   "CCPayment");
    }

    // A checkout amount that may be missing: "" then, else rounded for the wire.
    static std::string OptionalAmount(const Variant& value, int decimals) {
        if (value.IsNull() || value.IsEmpty() || value.Text().empty()) return "";
        return WireAmount(Decimal::FromVariant(value), decimals);
    }

    static std::string OrderIdOf(const ado::RecordsetPtr& rows) {
        if (HasField(rows, "ORDERID")) return ColText(rows, "ORDERID");
        return ColText(rows, "MERCHANT_REF_NUMBER");
    }

    // The card number of an authorisation row: unsealed, never read from the masked column.
    static std::string CardNumberOf(const ado::RecordsetPtr& rows, const std::string& orderId) {
        Variant sealed = HasField(rows, "CUSTOMER_CC_SEALED") ? Col(rows, "CUSTOMER_CC_SEALED") : Variant();
        if (sealed.IsNull() || sealed.IsEmpty() || sealed.Text().empty())
            ole::Raise(kCardKeyError, "The card number of order " + orderId + " is no longer kept", "CCPayment");
        return UnsealCardNumber(sealed.Text(), orderId);
    }

    // The fields of an authorisation of a stored order, from its first row.
    void SetCardAndCustomer(qx::IGatewayClient& client, const ado::RecordsetPtr& rows, const std::string& number) {
        client.SetValue("customer_cc_number", number);
        client.SetValue("customer_cc_expmo", ColText(rows, "CUSTOMER_CC_EXPMO"));
        client.SetValue("customer_cc_expyr", ColText(rows, "CUSTOMER_CC_EXPYR"));
        client.SetValue("merchant_ref_number", ColText(rows, "MERCHANT_REF_NUMBER"));
        std::string earlier = ColText(rows, "AUTH_AUTH_AMOUNT");
        auto parsed = Decimal::Parse(ole::TrimBlanks(earlier));
        client.SetValue("total_amount", parsed ? WireAmount(*parsed, decimals_) : earlier);
        for (const char* name : {"bill_city", "bill_state", "bill_zip", "bill_country", "customer_firstname",
                                 "customer_lastname", "customer_email", "customer_phone", "bill_address1", "currency"})
            client.SetValue(name, ColText(rows, name));
    }

    // A successful authorisation of the basket with the same card that covers the
    // total is answered instead of a second hold on the customer's card.
    bool AnswerExistingAuthorization(const ado::ConnectionPtr& connection, const std::string& basketId,
                                     const std::string& number, const FormHeader& header, const Decimal& total,
                                     ole::Dictionary& orderform) {
        auto rs = connection->Execute(
            "SELECT AUTH_RCODE, AUTH_RMSG, AUTH_RFLAG, AUTH_AUTH_CODE, AUTH_AUTH_TIME, ICS_RCODE, ICS_RFLAG, ICS_RMSG, "
            "AUTH_AUTH_AMOUNT, AUTH_REQUEST_ID, AUTH_AUTH_AVS, CUSTOMER_CC_SEALED, CUSTOMER_CC_EXPMO, CUSTOMER_CC_EXPYR "
            "FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1 "
            "ORDER BY REQUEST_DATETIME DESC, LOGSEQ DESC LIMIT 1",
            nullptr, -1, {Variant(basketId)});
        if (!rs || rs->Eof()) return false;
        Variant sealed = Col(rs, "CUSTOMER_CC_SEALED");
        if (sealed.IsNull() || UnsealCardNumber(sealed.Text(), basketId) != number) return false;
        if (ColText(rs, "CUSTOMER_CC_EXPMO") != header.Text("CCEXPIRYMONTH") ||
            ColText(rs, "CUSTOMER_CC_EXPYR") != header.Text("CCEXPIRYYEAR"))
            return false;
        auto held = Decimal::Parse(ole::TrimBlanks(ColText(rs, "AUTH_AUTH_AMOUNT")));
        if (!held || *held < total) return false;
        for (const char* name : kReplyFields) {
            std::string column = std::string(name) == "request_id" ? "AUTH_REQUEST_ID" : ole::UpperCase(name);
            orderform.Set(Variant(name), Variant(ColText(rs, column)));
        }
        orderform.Set(Variant("authorization_repeated"), Variant(true));
        lastRequest_ = ColText(rs, "AUTH_REQUEST_ID");
        return true;
    }

    // What a capture took less its credits; a credit of unknown outcome stops further refunds.
    static Decimal RefundableAmount(const ado::ConnectionPtr& connection, const std::string& billRequestId,
                                    const std::string& captured) {
        auto took = Decimal::Parse(ole::TrimBlanks(captured));
        if (!took) ole::Raise(kPaymentError, "Capture " + billRequestId + " has no readable amount", "CCPayment");
        Decimal left = *took;
        // a credit of unknown outcome counts once it is resolved: by the row that records the answer
        auto rs = connection->Execute(
            "SELECT r.ICS_RCODE, r.Credit_Credit_AMOUNT, r.CLIENT_REQUEST_ID FROM REFUNDLOG r WHERE r.BILL_REQUEST_ID = ? "
            "AND NOT (r.ICS_RCODE IS NULL AND EXISTS (SELECT 1 FROM REFUNDLOG s WHERE s.CLIENT_REQUEST_ID = "
            "r.CLIENT_REQUEST_ID AND s.ICS_RCODE IS NOT NULL))",
            nullptr, -1, {Variant(billRequestId)});
        for (; rs && !rs->Eof(); rs->MoveNext()) {
            Variant code = rs->Fields(0).Value();
            if (code.IsNull())
                ole::Raise(kRefundAmountRefused,
                           "Credit request " + rs->Fields(2).Value().Text() + " against capture " + billRequestId +
                               " has an unknown outcome: ask the gateway before refunding again",
                           "CCPayment");
            if (ole::TrimBlanks(code.Text()) != "1") continue;
            auto credited = Decimal::Parse(ole::TrimBlanks(rs->Fields(1).Value().Text()));
            if (credited) left -= *credited;
        }
        return left;
    }

    // The status updates write on the caller's connection, inside its
    // transaction, and change only rows still in the expected status.
    bool UpdateOrderHeaderStatus(const ado::ConnectionPtr& connection, const std::string& orderId,
                                 vendalo::OrderStatus status, vendalo::OrderStatus expected, bool raise,
                                 const std::string& reference) {
        try {
            std::vector<ado::BatchStatement> statements{
                {"UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND ORDERSTATUS + 0 = ?",
                 {StatusValue(status), Variant(orderId), StatusValue(expected)}}};
            auto events = OrderEventStatements({{orderId, std::nullopt, static_cast<int32_t>(expected),
                                                 static_cast<int32_t>(status), PaymentEventOf(status), "", reference, ""}});
            statements.insert(statements.end(), events.begin(), events.end());
            int32_t affected = connection->ExecuteBatch(statements).front().affected;
            if (affected == 0)
                Sls_LogWarning("CCPayment.UpdateOrderHeaderStatus()",
                               "Order " + orderId + " was no longer in status " +
                                   std::to_string(static_cast<int32_t>(expected)) + "; status " +
                                   std::to_string(static_cast<int32_t>(status)) + " was not set");
            return affected > 0;
        } catch (...) {
            if (raise) Sls_RaiseError("CCPayment.UpdateOrderHeaderStatus()", "Failed to update orderstatus for orderid=" + orderId);
            Sls_LogError("CCPayment.UpdateOrderHeaderStatus()", "Failed to update orderstatus for orderid=" + orderId);
            return false;
        }
    }

    bool UpdateOrderLinesStatus(const ado::ConnectionPtr& connection, const std::string& orderId,
                                const std::vector<Variant>& lines, vendalo::OrderLineStatus status,
                                vendalo::OrderLineStatus expected, bool raise, const std::string& reference,
                                const std::string& actor = "") {
        try {
            std::string markers;
            for (size_t i = 0; i < lines.size(); ++i) markers += i ? ", ?" : "?";
            std::vector<Variant> params{StatusValue(status), Variant(orderId), StatusValue(expected)};
            params.insert(params.end(), lines.begin(), lines.end());
            std::vector<ado::BatchStatement> statements{
                {"UPDATE ORDERLINE SET LINESTATUS = ? WHERE ORDERID = ? AND LINESTATUS + 0 = ? AND LINENR IN (" + markers +
                     ")",
                 params}};
            std::vector<OrderEvent> events;
            for (const auto& line : lines)
                events.push_back({orderId, static_cast<int32_t>(line.ToLong()), static_cast<int32_t>(expected),
                                  static_cast<int32_t>(status),
                                  status == vendalo::OrderLineStatus::CCBilled   ? "captured"
                                  : status == vendalo::OrderLineStatus::Allocated ? "capture again"
                                                                                  : "billing issue",
                                  actor, reference, ""});
            auto eventStatements = OrderEventStatements(events);
            statements.insert(statements.end(), eventStatements.begin(), eventStatements.end());
            int32_t affected = connection->ExecuteBatch(statements).front().affected;
            if (affected != static_cast<int32_t>(lines.size()))
                Sls_LogWarning("CCPayment.UpdateOrderLinesStatus()",
                               "Of the " + std::to_string(lines.size()) + " line(s) of order " + orderId + ", " +
                                   std::to_string(affected) + " were still in status " +
                                   std::to_string(static_cast<int32_t>(expected)) + " and got status " +
                                   std::to_string(static_cast<int32_t>(status)));
            return affected > 0;
        } catch (...) {
            if (raise) Sls_RaiseError("CCPayment.UpdateOrderLinesStatus()", "Failed to update orderline status for orderid=" + orderId);
            Sls_LogError("CCPayment.UpdateOrderLinesStatus()", "Failed to update orderline status for orderid=" + orderId);
            return false;
        }
    }

    std::string connectionString_;
    int16_t decimals_ = 0;
    std::string currency_;
    std::string lastRequest_;
    PaymentOutcome outcome_ = PaymentOutcome::Nothing;
};

}  // namespace

ado::RecordsetPtr AuthorizationRows(const ado::ConnectionPtr& connection, const std::string& orderId, LinesToPay lines) {
    std::vector<Variant> params{Variant(orderId)};
    std::string condition;
    if (lines != LinesToPay::All) {
        // Allocated: the lines due for capture; Unbilled: every line not captured yet
        condition = lines == LinesToPay::Allocated ? " AND b.ORDERSTATUS = ? AND c.LINESTATUS = ?"
                                                   : " AND b.ORDERSTATUS = ? AND c.LINESTATUS < ?";
        params.push_back(StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled));
        params.push_back(StatusValue(lines == LinesToPay::Allocated ? vendalo::OrderLineStatus::Allocated
                                                                    : vendalo::OrderLineStatus::CCBilled));
    }
    params.push_back(Variant(orderId));
    auto rows = std::make_shared<ado::Recordset>();
    rows->CursorLocation = ado::adUseClient;
    rows->Open(
        "SELECT a.REQUEST_DATETIME, a.CUSTOMER_CC_NUMBER, a.CUSTOMER_CC_SEALED, a.CUSTOMER_CC_EXPMO, a.CUSTOMER_CC_EXPYR, "
        "a.BILL_CITY, a.BILL_STATE, a.BILL_ZIP, a.BILL_COUNTRY, a.CUSTOMER_FIRSTNAME, a.CUSTOMER_LASTNAME, "
        "a.CUSTOMER_EMAIL, a.CUSTOMER_PHONE, a.BILL_ADDRESS1, a.CURRENCY, a.OFFERS, a.MERCHANT_REF_NUMBER, "
        "a.AUTH_AUTH_TIME, a.AUTH_AUTH_AMOUNT, a.AUTH_REQUEST_ID, a.CUSTOMER_CC_TYPE, b.CARRIERCODE, b.ORDERID, "
        "c.AMOUNT, c.QUANTITY, c.LINENR, c.LINETAX, c.LINEFREIGHT, c.LINEFREIGHTTAX, c.ORDERDISCOUNT "
        "FROM AUTHORIZATIONLOG a, ORDERHEADER b, ORDERLINE c "
        "WHERE a.MERCHANT_REF_NUMBER = b.ORDERID AND b.ORDERID = c.ORDERID AND c.ORDERID = ?" +
            condition +
            " AND a.LOGSEQ = (SELECT x.LOGSEQ FROM AUTHORIZATIONLOG x WHERE x.MERCHANT_REF_NUMBER = ? "
            "AND x.AUTH_RCODE = 1 ORDER BY x.REQUEST_DATETIME DESC, x.LOGSEQ DESC LIMIT 1) "
            "ORDER BY c.LINENR",
        connection, ado::adOpenStatic, ado::adLockReadOnly, -1, params);
    return rows;
}

std::optional<int> CurrencyDecimals(const std::string& code) {
    auto currency = Sls_GetComponent<qx::ICurrency>("QxCommon.Currency");
    bool found = currency->GetCurrency(code);
    std::optional<int> decimals;
    if (found) decimals = currency->Decimals();
    currency->Release();
    return decimals;
}

int64_t HoursSince(const ole::Variant& moment) {
    double then = moment.ToDate().serial, now = ole::Date::Now().serial;
    return static_cast<int64_t>(std::floor(now * 24.0 + 1e-9)) - static_cast<int64_t>(std::floor(then * 24.0 + 1e-9));
}

void RegisterCCPayment() { ole::RegisterClass<CCPayment>("Ordexa.CCPayment"); }

}  // namespace ordexa
