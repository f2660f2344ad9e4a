#include "ordexa/backend/backend_instances.h"

#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"

namespace ordexa {

std::string BackendPath(const std::string& backendType) {
    return ole::LowerCase(ole::TrimBlanks(backendType.substr(0, 2)));
}

std::string BackendInstance::ComponentId() const {
    auto properties = instance->BackendProperties();
    return properties->Exists("componentid") ? ole::TrimBlanks(properties->Item("componentid").Text()) : std::string();
}

const BackendInstance& BackendInstances::Of(int32_t bisid) {
    auto it = instances_.find(bisid);
    if (it != instances_.end()) return it->second;
    if (!selector_) selector_ = Sls_GetComponent<qx::IBackendSelector>("QxBackend.Selector");
    BackendInstance bis;
    bis.instance = selector_->SelectBackend(bisid);
    bis.path = BackendPath(bis.instance->BackendType());
    return instances_.emplace(bisid, std::move(bis)).first->second;
}

int32_t BackendInstances::ConfigurationHandle() {
    if (!configurationHandle_) {
        auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
        config->LoadProduct("Vendalo", 0);
        configurationHandle_ = config->GetHandle();
    }
    return *configurationHandle_;
}

}  // namespace ordexa
