// The back-end selector (ProgID "QxBackend.Selector"): which back-end
// integration instance (BIS) serves a business partner, and what that instance
// is. Instances live in the tables BISINSTANCE and BISPROPERTY; a partner's
// instance is BUSINESSPARTNER.BISID.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/automation/variant.h"

namespace qx {

// Error numbers of the selector.
namespace backend_err {
constexpr int32_t InstanceNotFound = static_cast<int32_t>(0x80040210u);      // no BISINSTANCE row
constexpr int32_t PartnerWithoutInstance = static_cast<int32_t>(0x80040211u);  // partner unknown or without BIS
constexpr int32_t UnknownRule = static_cast<int32_t>(0x80040212u);           // a rule other than "BusinessPartner"
constexpr int32_t BoiNotAvailable = static_cast<int32_t>(0x80040213u);       // no BOI answers for this instance
}  // namespace backend_err

// A business object of the back end: parameters are set by name, then Execute
// answers with the reply as XML text ("//RECORD" elements with "FIELD" children
// named by their NAME attribute).
class IBusinessObject : public ole::Object {
public:
    virtual void SetParameter(const std::string& name, int32_t flags, const ole::Variant& value) = 0;
    virtual ole::Variant Execute() = 0;
};
using BusinessObjectPtr = std::shared_ptr<IBusinessObject>;

// One back-end integration instance.
class IBackendInstance : public ole::Object {
public:
    virtual int32_t BISID() = 0;
    // The back end's type, e.g. "ow4", "ow5", "bc", "gr" (callers read its first characters).
    virtual std::string BackendType() = 0;
    // The instance's properties by lower-case name ("componentid", "alignment",
    // "itemsegmentationmask", ...); values are text.
    virtual ole::DictionaryPtr BackendProperties() = 0;
    // A business object by name ("Allocation BOI", "OrderStatus BOI") for the
    // configuration loaded under the handle.
    virtual BusinessObjectPtr CreateBOI(int32_t configurationHandle, const std::string& boiName,
                                        const ole::Variant& options = ole::Variant()) = 0;
};
using BackendInstancePtr = std::shared_ptr<IBackendInstance>;

class IBackendSelector : public ole::Object {
public:
    // The instance of a BIS; an unknown BISID raises InstanceNotFound.
    virtual BackendInstancePtr SelectBackend(int32_t bisid) = 0;
    // The instance chosen by a rule: "BusinessPartner" with the parameter "BPID"
    // (the partner id, number or text) gives the partner's instance.
    virtual BackendInstancePtr SelectBackendByRule(const std::string& rule, const ole::Dictionary& parameters) = 0;
};

void RegisterBackendSelector();  // "QxBackend.Selector"

}  // namespace qx
