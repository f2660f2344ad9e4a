// Ordexa.Reqlink: the link to the requisition broker. Inbound, the broker's
// requisition documents become web orders (ProcessRequisition); outbound, the
// batch acknowledges those orders to the broker (Run, AcknowledgeReqlinkOrders)
// and a web page sends a basket to the broker as an order request
// (SendOrderRequest). Every document travels as an HTTP form post whose one
// field XMLINPUT holds the URL-encoded document.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ordexa/exchange/batch_stage.h"
#include "ordexa/exchange/exchange_record.h"
#include "platform/automation/error.h"
#include "platform/automation/variant.h"
#include "platform/masterdata/membership.h"

namespace ordexa {

// reqlinkErrorConstants
namespace reqlink_err {
constexpr int32_t reqlinkUnknownError = static_cast<int32_t>(0x80040001u);
constexpr int32_t reqlinkInetHttpFormPostFailure = static_cast<int32_t>(0x80040002u);
constexpr int32_t reqlinkOrderNotFound = static_cast<int32_t>(0x80040003u);
constexpr int32_t reqlinkNoRequisitionsFound = static_cast<int32_t>(0x80040004u);
constexpr int32_t reqlinkXMLDomFailure = static_cast<int32_t>(0x80040005u);
constexpr int32_t reqlinkProcessOrderRequisitionFailure = static_cast<int32_t>(0x80040006u);
constexpr int32_t reqlinkInValidRequisitioner = static_cast<int32_t>(0x80040007u);
constexpr int32_t reqlinkInvalidSupplierPartNumber = static_cast<int32_t>(0x80040008u);
constexpr int32_t reqlinkCreateBillingAddressFailure = static_cast<int32_t>(0x80040009u);
constexpr int32_t reqlinkCreateDeliveryAddressFailure = static_cast<int32_t>(0x8004000Au);
constexpr int32_t reqlinkCreateShippingAddressFailure = static_cast<int32_t>(0x8004000Bu);
constexpr int32_t reqlinkPricingTagNotFound = static_cast<int32_t>(0x8004000Cu);
constexpr int32_t reqlinkUnknownUser = static_cast<int32_t>(0x8004000Du);
constexpr int32_t reqlinkUnknownProduct = static_cast<int32_t>(0x8004000Eu);
constexpr int32_t reqlinkRequisitionError = static_cast<int32_t>(0x8004000Fu);
}  // namespace reqlink_err

// What the broker's key allows: the partners it may order for and the hosts its
// acknowledgement URLs may name. Kept in SiteConfiguration.xml, section API.
struct BrokerPermissions {
    std::set<int32_t> partners;
    std::set<std::string> acknowledgementHosts;  // lower case
    std::set<std::string> clientAddresses;       // empty: any
};

inline const char* const kBrokerApiKey = "BrokerApiKey";
inline const char* const kBrokerPartners = "BrokerPartners";                      // "2,3"
inline const char* const kBrokerAcknowledgementHosts = "BrokerAcknowledgementHosts";  // "127.0.0.1"
inline const char* const kBrokerClientAddresses = "BrokerClientAddresses";        // "" (any)

// The comma- or blank-separated items of a setting, trimmed and lower-cased.
std::set<std::string> BrokerList(const std::string& setting);
// The partner ids of a setting ("2,3"); items that are no positive number are left out.
std::set<int32_t> BrokerPartnerIds(const std::string& setting);
// The permissions of the current installation (VENDALO_HOME).
BrokerPermissions BrokerPermissionsOfInstallation();
// True for an http or https URL whose host is on the list; the only URLs stored and posted to.
bool AllowedAcknowledgementUrl(const std::string& url, const std::set<std::string>& hosts);

// Every byte but the unreserved characters (letters, digits, "-", ".", "_", "~")
// as "%XX": a form field arrives as it was sent.
std::string UrlEncode(const std::string& text);

// What became of one requisition of a document.
struct RequisitionOutcome {
    std::string requisitionId;
    std::string orderId;                       // empty when it failed
    bool existing = false;                     // a repeated requisition: the order it made before
    std::optional<ole::SlsErrorInfo> error;    // why it failed
};

class IReqlink : public IBatchStage {
public:
    // The batch stage: acknowledges the waiting broker orders; a failure is logged, never raised.
    void Run() override = 0;
    // Posts one AcknowledgementList per acknowledgement URL; the number of orders acknowledged.
    virtual int32_t AcknowledgeReqlinkOrders() = 0;
    // Turns every requisition of the document into an order, each on its own: a
    // failed one leaves nothing behind and does not stop the others. A document
    // that does not parse or holds no requisition raises.
    virtual std::vector<RequisitionOutcome> ProcessRequisition(const std::string& iXmlString,
                                                               const BrokerPermissions& permissions) = 0;
    // Posts the basket to its partner's order request URL.
    virtual void SendOrderRequest(const ole::Variant& iBasket, const qx::MembershipUserPtr& iUserObject,
                                  int32_t iSecondsTimeOut) = 0;
    // One order's acknowledgement, posted to the order's own URL (the operator's
    // "send the acknowledgement now"). The post is on record ("sent") before it
    // goes; a failed post completes that record and raises. An accepted one
    // returns the record with its answer, for the caller to complete with
    // CompleteExchangeStatement in the transaction of the status it sets.
    virtual ExchangeRecord SendAcknowledgement(const std::string& orderId, const std::string& url,
                                               int32_t secondsTimeOut) = 0;
};

void RegisterReqlink();  // "Ordexa.Reqlink"

}  // namespace ordexa
