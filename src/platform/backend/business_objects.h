// The back end's business objects, reached over HTTP: every instance that has
// the property "boiurl" answers at that URL. A call is one POST of a request
// document, answered by a reply document (docs/exchange-formats.md, "The
// business-object protocol"):
//
//   <BOIREQUEST OBJECT="Allocation BOI" BACKENDTYPE="bc" COMPONENTID="">
//     <PARAMETER NAME="OrderNumber">SO0000001</PARAMETER> ...
//   </BOIREQUEST>
//
//   <BOIREPLY><RECORD><FIELD NAME="ErrorNumber">0</FIELD></RECORD></BOIREPLY>
//
// The "bc" and "gr" back ends are called through the BOI objects that
// IBackendInstance::CreateBOI gives ("Allocation BOI", "OrderStatus BOI"); the
// "ow" back ends through the integration objects "VendaloBackendIntegration.
// Allocate" and "VendaloBackendIntegration.Order", which find their instance by
// its "componentid" property and send the objects "Allocate" and
// "UpdateOrderStatus".
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation/variant.h"
#include "platform/backend/backend_selector.h"
#include "platform/xml/dom.h"

namespace qx {

namespace backend_err {
// The endpoint could not be reached, did not answer in time, or answered with an HTTP error.
constexpr int32_t BoiNoReply = static_cast<int32_t>(0x80040214u);
// An integration object used before a successful InitializeAction.
constexpr int32_t ActionNotInitialized = static_cast<int32_t>(0x80040215u);
}  // namespace backend_err

// Where an instance's business objects answer, and how long a call may take.
struct BoiEndpoint {
    std::string url;                                    // BISPROPERTY "boiurl"
    std::chrono::milliseconds timeout{30000};           // BISPROPERTY "boitimeout" (seconds)
    std::chrono::milliseconds connectTimeout{5000};
};

// The endpoint of an instance from its properties; nothing when "boiurl" is empty.
std::optional<BoiEndpoint> BoiEndpointOf(const ole::Dictionary& properties);

using BoiParameters = std::vector<std::pair<std::string, ole::Variant>>;

// The request document of a call (parameter values XML-escaped).
std::string BoiRequestDocument(const std::string& object, const std::string& backendType,
                               const std::string& componentId, const BoiParameters& parameters);

// Posts a request document and returns the reply's text; raises BoiNoReply when
// no reply came (the text of the reply is not looked at here).
std::string PostBoiRequest(const BoiEndpoint& endpoint, const std::string& document);

// Loads a reply text: true only for a well-formed document whose one root
// element is BOIREPLY, with nothing but comments and processing instructions
// beside it. Anything else is no answer; `why` then says what it was.
bool LoadBoiReply(XmlDocument& doc, const std::string& reply, std::string& why);

// A business object that calls the endpoint: SetParameter collects, Execute posts.
BusinessObjectPtr NewHttpBusinessObject(BoiEndpoint endpoint, std::string object, std::string backendType);

// Time this process spent waiting for business-object replies, and the number of calls.
std::chrono::nanoseconds BoiWaitTime();
int64_t BoiRequestCount();

// The "ow" integration objects (late-bound in the legacy system; here their interfaces).
class IBackendIntegrationAction : public ole::Object {
public:
    // status: 0 when the action can go on; 1 when no instance has the component
    // id, 2 when that instance has no "boiurl".
    virtual void InitializeAction(const std::string& backendType, const std::string& componentId, int32_t& status) = 0;
    virtual void CloseAction() = 0;
};

class IBackendAllocate : public IBackendIntegrationAction {
public:
    // errorNumber: 0 when the line is allocated, else the back end's error number.
    virtual void Allocate(const std::string& salesOrderNumber, int32_t lineNumber, int32_t& errorNumber) = 0;
};

class IBackendOrder : public IBackendIntegrationAction {
public:
    virtual void UpdateOrderStatus(const std::string& salesOrderNumber, int32_t lineNumber, int16_t stepNumber,
                                   int16_t freight, int32_t& success, int32_t& reasonCode) = 0;
};

// "VendaloBackendIntegration.Allocate" and "VendaloBackendIntegration.Order".
void RegisterBackendIntegration();

}  // namespace qx
