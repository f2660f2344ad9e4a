#include "platform/backend/backend_selector.h"

#include <algorithm>
#include <cctype>

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/backend/business_objects.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"

namespace qx {
namespace {

const char* kSource = "QxBackend.Selector";


class BackendInstance : public IBackendInstance {
public:
    BackendInstance(int32_t bisid, std::string type, ole::DictionaryPtr properties)
        : bisid_(bisid), type_(std::move(type)), properties_(std::move(properties)) {}

    int32_t BISID() override { return bisid_; }
    std::string BackendType() override { return type_; }
    ole::DictionaryPtr BackendProperties() override { return properties_; }

    // The BOI of an instance answers at its "boiurl"; without one the back end's
    // business objects are not connected, and that is said rather than answered for them.
    BusinessObjectPtr CreateBOI(int32_t, const std::string& boiName, const ole::Variant&) override {
        if (auto endpoint = BoiEndpointOf(*properties_))
            return NewHttpBusinessObject(*endpoint, boiName, ole::LowerCase(ole::TrimBlanks(type_)));
        ole::Raise(backend_err::BoiNotAvailable,
                   "The business object '" + boiName + "' is not available for BIS Instance '" +
                       std::to_string(bisid_) + "' (back-end type '" + type_ + "', no property 'boiurl')",
                   kSource);
    }

private:
    int32_t bisid_;
    std::string type_;
    ole::DictionaryPtr properties_;
};

class BackendSelector : public IBackendSelector {
public:
    BackendInstancePtr SelectBackend(int32_t bisid) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto instance = c->Execute("SELECT BACKENDTYPE FROM BISINSTANCE WHERE BISID = ?", nullptr, -1, {bisid});
        if (instance->Eof()) {
            c->Close();
            ole::Raise(backend_err::InstanceNotFound, "BIS Instance '" + std::to_string(bisid) + "' does not exist",
                       kSource);
        }
        std::string type = instance->Fields(0).Value().Text();
        // Property names are matched without regard to case: callers ask in lower case.
        auto properties = std::make_shared<ole::Dictionary>();
        auto rows = c->Execute("SELECT NAME, VALUE FROM BISPROPERTY WHERE BISID = ? ORDER BY NAME", nullptr, -1, {bisid});
        for (; !rows->Eof(); rows->MoveNext())
            properties->Set(ole::LowerCase(rows->Fields(0).Value().Text()), rows->Fields(1).Value().Text());
        c->Close();
        return std::make_shared<BackendInstance>(bisid, type, properties);
    }

    BackendInstancePtr SelectBackendByRule(const std::string& rule, const ole::Dictionary& parameters) override {
        if (ole::LowerCase(rule) != "businesspartner")
            ole::Raise(backend_err::UnknownRule, "Unknown back-end selection rule '" + rule + "'", kSource);
        if (!parameters.Exists("BPID"))
            ole::Raise(backend_err::PartnerWithoutInstance, "The rule 'BusinessPartner' needs the parameter 'BPID'",
                       kSource);
        ole::Variant bpid = parameters.Item("BPID");
        int32_t partner = 0;
        try {
            partner = bpid.ToLong();
        } catch (const ole::AutomationError&) {
            ole::Raise(backend_err::PartnerWithoutInstance, "BPID '" + bpid.Text() + "' is not a business partner id",
                       kSource);
        }
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT BISID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?", nullptr, -1, {partner});
        bool known = !rs->Eof();
        ole::Variant bisid = known ? rs->Fields(0).Value() : ole::Variant::Null();
        c->Close();
        if (!known)
            ole::Raise(backend_err::PartnerWithoutInstance,
                       "Business partner " + std::to_string(partner) + " does not exist", kSource);
        if (bisid.IsNull())
            ole::Raise(backend_err::PartnerWithoutInstance,
                       "Business partner " + std::to_string(partner) + " has no BIS Instance", kSource);
        return SelectBackend(bisid.ToLong());
    }
};

}  // namespace

void RegisterBackendSelector() {
    ole::RegisterClass<BackendSelector>("QxBackend.Selector");
    RegisterBackendIntegration();
}

}  // namespace qx
