#include <curl/curl.h>

#include <memory>

#include "ordexa/reqlink/reqlink.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"

namespace ordexa {

std::set<std::string> BrokerList(const std::string& setting) {
    std::set<std::string> items;
    std::string item;
    auto flush = [&] {
        if (!item.empty()) items.insert(item);
        item.clear();
    };
    for (char c : setting) {
        if (c == ',' || c == ' ' || c == '\t' || c == ';') flush();
        else item += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    flush();
    return items;
}

std::set<int32_t> BrokerPartnerIds(const std::string& setting) {
    std::set<int32_t> ids;
    for (const std::string& id : BrokerList(setting)) {
        char* end = nullptr;
        long n = std::strtol(id.c_str(), &end, 10);
        if (end && *end == '\0' && n > 0 && n <= INT32_MAX) ids.insert(static_cast<int32_t>(n));
    }
    return ids;
}

BrokerPermissions BrokerPermissionsOfInstallation() {
    auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
    auto installations = config->GetInstallations("Vendalo");
    if (installations.empty())
        ole::Raise(qx::config_err::NotLoaded, "No installation of Vendalo is set up (VENDALO_HOME is not set)",
                   "Qxcore.Configuration");
    config->LoadFile(installations.front().ConfigFolder + "/SiteConfiguration.xml");
    auto value = [&](const char* name) -> std::string {
        try {
            return config->GetValue("API", name).Text();
        } catch (const ole::AutomationError& e) {
            if (e.Number() == qx::config_err::SettingNotFound) return "";  // no broker set up: nothing allowed
            throw;
        }
    };
    BrokerPermissions p;
    p.partners = BrokerPartnerIds(value(kBrokerPartners));
    p.acknowledgementHosts = BrokerList(value(kBrokerAcknowledgementHosts));
    p.clientAddresses = BrokerList(value(kBrokerClientAddresses));
    return p;
}

bool AllowedAcknowledgementUrl(const std::string& url, const std::set<std::string>& hosts) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    auto part = [&](CURLUPart which) -> std::string {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), which, &text, 0) != CURLUE_OK || !text) return "";
        std::string out(text);
        curl_free(text);
        return out;
    };
    std::string scheme = part(CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https") return false;
    if (!part(CURLUPART_USER).empty()) return false;  // no credentials in a URL
    auto host = BrokerList(part(CURLUPART_HOST));
    return host.size() == 1 && hosts.count(*host.begin()) > 0;
}

}  // namespace ordexa
