#include "ordexa/exchange/membership_logon.h"

#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"

namespace ordexa {

std::shared_ptr<qx::IMembership> LogOnToMembership() {
    auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
    auto installations = config->GetInstallations("Vendalo");
    if (installations.empty())
        ole::Raise(qx::config_err::NotLoaded, "No installation of Vendalo is set up (VENDALO_HOME is not set)",
                   "Qxcore.Configuration");
    std::string site = installations.front().ConfigFolder + "/SiteConfiguration.xml";
    config->LoadFile(site);
    std::string user = config->GetValue("MEMBERSHIP", "MemScriptUser").Text();
    std::string code = config->GetValue("MEMBERSHIP", "MemScriptCode").Text();
    std::string root = config->GetValue("MEMBERSHIP", "LDAPRoot").Text();
    std::string account = ole::TrimBlanks(root).empty() ? user : user + "," + root;
    auto members = Sls_GetComponent<qx::IMembership>("qxmembership.members");
    members->Initialize(site);
    members->Logon(account, code);
    return members;
}

}  // namespace ordexa
