// Ordexa.CCPayment: card payments through the gateway. The checkout
// authorisation of a basket (doInitAuthorize), a new authorisation of a stored
// order (doAuthorize), the payment run of one order (Run: capture, capture
// with a fresh authorisation, or a new authorisation first, by the age of the
// order's last one), manual authorisations and refunds. Every exchange with
// the gateway is written to AUTHORIZATIONLOG, BILLINGLOG or REFUNDLOG.
//
// What callers may rely on:
// - The order's authorisation is exactly one row: its latest successful
//   AUTHORIZATIONLOG row (REQUEST_DATETIME, ties broken by LOGSEQ). Select it
//   with AuthorizationRows.
// - A capture holds the order's payment lock (OrderPaymentLock) for its whole
//   run, and its log row and status updates are written in one transaction,
//   guarded by the statuses they expect (lines at 1, order at 4).
// - Every request is recorded in GATEWAYREQUEST before it is sent and
//   completed in the transaction that stores its reply (gateway_requests.h).
//   An order or basket with a request whose outcome is unknown (a crash, no
//   readable reply) gets nothing more sent: the order goes from 4 to 8 and
//   waits for `backoffice pay resolve`; the checkout raises
//   kOutcomeUnknownPending. A capture of unknown outcome leaves its lines at 1.
// - Card numbers: the logs hold the masked number and the sealed one
//   (card_vault.h); doAuthorize unseals CUSTOMER_CC_SEALED of its first row.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/data/ado.h"
#include "platform/gateway/gateway_client.h"

namespace ordexa {

// What the last Run of a CCPayment object came to (for the host's summary).
enum class PaymentOutcome {
    Nothing,          // no line due, or no successful authorisation: nothing sent
    Captured,         // a capture succeeded
    Refused,          // the gateway refused the authorisation or the capture
    OutcomeUnknown,   // a capture was sent but its outcome is unknown: order 8, to resolve
    Failed,           // an error ended the run (logged)
    Busy,             // another process holds the order's payment lock: nothing sent
};

// Raised when a checkout authorisation is refused before anything is sent
// (a card number failing the Luhn check, an expiry in the past, a total of 0).
constexpr int32_t kCardDataRefused = static_cast<int32_t>(0x80040502u);
// Raised by manualRefund for an amount that is not positive or exceeds what the capture took less earlier credits.
constexpr int32_t kRefundAmountRefused = static_cast<int32_t>(0x80040503u);
// Raised by an operator's action that finds the order elsewhere than where it
// applies (it moved on meanwhile): nothing was changed or sent.
constexpr int32_t kActionNoLongerApplies = static_cast<int32_t>(0x8004050Au);

class ICCPayment : public virtual ole::Object {
public:
    // The checkout authorisation. iOrderform is a dictionary whose "header" is
    // the form header: a recordset or a dictionary keyed by upper-case column
    // names (BASKETID, CURRENCYCODE, TOTAL, TAXTOTAL, FREIGHTTOTAL,
    // FREIGHTTAXTOTAL, CCFIRSTNAME, CCLASTNAME, CCEMAIL, CCPHONE, CCSTREET,
    // CCCITY, CCSTATE, CCZIP, CCCOUNTRY, CCNUMBER, CCEXPIRYMONTH, CCEXPIRYYEAR,
    // CCTYPE). The reply fields "auth_rcode", "auth_rmsg", "auth_rflag",
    // "auth_auth_code", "auth_auth_time", "ics_rcode", "ics_rflag", "ics_rmsg",
    // "auth_auth_amount", "request_id" and "auth_auth_avs" are added to
    // iOrderform. A basket that holds a successful authorisation of the same
    // card covering its total gets no second one: that authorisation is
    // answered, and iOrderform gets "authorization_repeated" = True.
    virtual bool doInitAuthorize(const ole::DictionaryPtr& iOrderform) = 0;

    // A new authorisation of a stored order for the rows of iRsAuthLog (the
    // shape AuthorizationRows gives). A refusal puts the order to 7.
    virtual bool doAuthorize(const ado::RecordsetPtr& iRsAuthLog, const std::shared_ptr<qx::IGatewayClient>& iIcs,
                             const ado::ConnectionPtr& iConn) = 0;

    // The payment run of one order; never raises (failures are logged).
    virtual bool Run(const std::string& iOrderid) = 0;
    virtual bool manualAuthorize(const std::string& iRequestID) = 0;
    // iAmount: a number or its text ("12.50"); refused unless positive and within the capture less earlier credits.
    virtual bool manualRefund(const std::string& iRequestID, const ole::Variant& iAmount) = 0;
    // The operator's refund of an order: manualRefund against the order's latest
    // approved capture with something left to credit, iAmount Empty for all that
    // is left; its event names `actor` with `note`. Raises kActionNoLongerApplies
    // when no capture of the order has anything left.
    virtual bool RefundOrder(const std::string& iOrderid, const ole::Variant& iAmount, const std::string& actor,
                             const std::string& note) = 0;

    // The operator's next step for an order in 8 whose capture the gateway
    // refused (lines at 4, no request of unknown outcome): its lines go back to
    // 1 and the order to 4, with an event naming `actor` and `note`, in one
    // transaction; then a fresh authorisation is taken and the lines captured
    // against it, as the payment run does. Raises kActionNoLongerApplies,
    // changing nothing, when the order is not in that state.
    virtual bool CaptureAgain(const std::string& iOrderid, const std::string& actor, const std::string& note) = 0;
    // The same for an order in 7: back to 4 with the operator's event, then a
    // new authorisation of its lines not yet captured (declined: back to 7).
    virtual bool AuthorizeAgain(const std::string& iOrderid, const std::string& actor, const std::string& note) = 0;

    virtual std::string getLastRequest() = 0;
    virtual std::string ConnectionString() = 0;

    virtual PaymentOutcome LastOutcome() const = 0;
};

// Which lines AuthorizationRows joins to the authorisation.
enum class LinesToPay {
    Allocated,  // lines Allocated: due for capture (the payment run)
    Unbilled,   // lines below CCBilled: not yet captured (renewal of the authorisation)
    All,        // every line (re-authorisation of the allocation stage)
};

// The authorisation row set of an order: one row per chosen line, each with
// the columns of the order's latest successful AUTHORIZATIONLOG row
// (REQUEST_DATETIME, CUSTOMER_CC_NUMBER, CUSTOMER_CC_SEALED, CUSTOMER_CC_EXPMO,
// CUSTOMER_CC_EXPYR, BILL_CITY, BILL_STATE, BILL_ZIP, BILL_COUNTRY,
// CUSTOMER_FIRSTNAME, CUSTOMER_LASTNAME, CUSTOMER_EMAIL, CUSTOMER_PHONE,
// BILL_ADDRESS1, CURRENCY, OFFERS, MERCHANT_REF_NUMBER, AUTH_AUTH_TIME,
// AUTH_AUTH_AMOUNT, AUTH_REQUEST_ID, CUSTOMER_CC_TYPE), the order's CARRIERCODE
// and ORDERID and the line's AMOUNT, QUANTITY, LINENR, LINETAX, LINEFREIGHT,
// LINEFREIGHTTAX and ORDERDISCOUNT, in line order. Allocated and Unbilled also
// require the order in CCPaymentToBeFulfilled. The order id is bound.
ado::RecordsetPtr AuthorizationRows(const ado::ConnectionPtr& connection, const std::string& orderId, LinesToPay lines);

// The decimals of a currency (QxCommon.Currency); nothing for an unknown currency.
std::optional<int> CurrencyDecimals(const std::string& code);

// The whole hours from a moment to now, counted as hour boundaries crossed (the
// age of an authorisation, the time since a line's last allocation check).
int64_t HoursSince(const ole::Variant& moment);

void RegisterCCPayment();  // "Ordexa.CCPayment"

}  // namespace ordexa
