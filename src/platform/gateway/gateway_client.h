// The payment gateway's client (ProgID kGatewayClientProgId): one request at a
// time to the card gateway and its reply, read field by field.
//
// A caller sets the server host and merchant id once, then for each request
// sets request fields and per-line offer fields, calls Send, and reads the
// request back (for its logs) and the reply. The first Set* call after a Send
// starts a new request: the fields, offers and reply of the previous one are
// dropped, the host and merchant id stay. Field names are matched without
// regard to case, on reads and writes alike.
//
// On the wire (docs/exchange-formats.md, "The payment gateway"): an HTTPS POST of
// application/x-www-form-urlencoded pairs, one per request field and one per
// offer ("offer0=quantity:1^amount:114.95"), answered by "name=value" lines.
// Every request carries two fields the client adds itself: "client_lib_version"
// and "client_request_id", which names the request before the gateway has given
// it a request_id (an operator resolving a request whose reply was lost asks the
// gateway by it). A caller that records the request before sending it sets
// "client_request_id" itself (NewClientRequestId); otherwise Send makes one.
//
// The client keeps no card number anywhere but in the request it is building:
// RequestLines shows only the last four digits of "customer_cc_number", and
// the reply's fields are read with every card number in them masked
// (MaskCardNumbersInText), whatever the gateway put there.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace qx {

inline const std::string kGatewayClientProgId = "ICSCOMLib.ICSClient";

// Errors that Send raises. Which one tells the caller what the gateway may have done.
namespace gateway_err {
// The request never reached the gateway (no host, name not resolved, no
// connection, certificate refused): nothing happened there.
constexpr int32_t NotSent = static_cast<int32_t>(0x80040401u);
// The request was sent, but no readable reply came back (time-out, connection
// lost, a garbled reply, a server failure): the gateway may have acted on it.
constexpr int32_t OutcomeUnknown = static_cast<int32_t>(0x80040402u);
// The gateway refused the request unread (HTTP 4xx): nothing happened there.
constexpr int32_t Rejected = static_cast<int32_t>(0x80040403u);
}  // namespace gateway_err

// How the client reaches the gateway. Read from the installation's
// VendaloConfiguration.xml, section "PAYMENT_GATEWAY": "CAFile" (a file of CA
// certificates; empty: the system's CAs), "ConnectTimeout" and "RequestTimeout"
// (seconds; missing or not positive: the defaults).
struct GatewaySettings {
    std::string caFile;
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds requestTimeout{60000};
};
GatewaySettings GatewaySettingsOfInstallation();

class IGatewayClient : public ole::Object {
public:
    // The gateway: a URL ("https://host:port/path"; "http://" only to a loopback
    // address) or a host with an optional port, which means "https://host[:port]/".
    virtual std::string ServerHost() const = 0;
    virtual void SetServerHost(const std::string& host) = 0;
    virtual void SetMerchantId(const std::string& merchantId) = 0;

    virtual void SetValue(const std::string& name, const std::string& value) = 0;
    virtual void SetOfferValue(int16_t index, const std::string& name, const std::string& value) = 0;

    // Performs the exchange; raises one of gateway_err (with a description that
    // holds no request value) when no readable reply came.
    virtual void Send() = 0;

    // The request as "name=value" lines in the order set, offers last ("offer0=...").
    virtual std::vector<std::string> RequestLines() const = 0;
    // A request field ("" when not set), after Send including the fields the client added.
    virtual std::string GetRequestValue(const std::string& name) const = 0;
    // A reply field ("" when the reply has none).
    virtual std::string GetReplyValue(const std::string& name) const = 0;

    // The settings of a request trace written to a folder. Accepted for the
    // callers that set them, and ignored: a trace would hold card numbers.
    virtual void SetTrace(bool on, const std::string& folder, int32_t level) = 0;
};

// Time this process spent in Send, waiting for the gateway, and the number of sends.
std::chrono::nanoseconds GatewayWaitTime();
int64_t GatewayRequestCount();

// A fresh random request id (32 hexadecimal digits) for "client_request_id".
std::string NewClientRequestId();

// The card number as it may be shown: its last four digits after asterisks ("************1111").
std::string MaskCardNumber(const std::string& number);

// True for 12 to 19 digits whose check digit is right (the Luhn check).
bool LuhnValid(const std::string& digits);

// The text with every whole run of 13 to 19 digits that passes the Luhn check
// masked as MaskCardNumber does; everything else stays as it is.
std::string MaskCardNumbersInText(const std::string& text);

// Whether a reply field is free text that may carry a card number: every field
// but the request ids, the merchant reference and the amounts.
bool IsFreeTextReplyField(const std::string& name);

// The client that talks to the gateway (what kGatewayClientProgId makes).
std::shared_ptr<IGatewayClient> NewGatewayClient();
void RegisterGatewayClient();  // kGatewayClientProgId

}  // namespace qx
