#include "http/host_settings.h"

#include "ordexa/reqlink/reqlink.h"

namespace backoffice {

std::vector<qx::ConfigSetting> HostSettingDefaults() {
    HostSettings d;
    auto n = [](auto v) { return std::to_string(v); };
    return {{kHttpSection, "Listen", "String", d.listen},
            {kHttpSection, "Workers", "Long", n(d.workers), 1, 4096},
            {kHttpSection, "KeepAliveMaxCount", "Long", n(d.keepAliveMaxCount), 1, INT32_MAX},
            {kHttpSection, "KeepAliveTimeout", "Long", n(d.keepAliveTimeout), 1, 3600},
            {kHttpSection, "HeaderTimeoutSeconds", "Long", n(d.headerTimeout), 1, 3600},
            {kHttpSection, "ReadTimeout", "Long", n(d.readTimeout), 1, 3600},
            {kHttpSection, "WriteTimeout", "Long", n(d.writeTimeout), 1, 3600},
            {kHttpSection, "BodyMinBytesPerSecond", "Long", n(d.bodyMinBytesPerSecond), 1, INT32_MAX},
            {kHttpSection, "MaxConnectionsPerClient", "Long", n(d.maxConnectionsPerClient), 0, 65535},
            {kHttpSection, "ListenBacklog", "Long", n(d.listenBacklog), 1, 65535},
            {kHttpSection, "MaxBodyBytes", "Long", n(d.maxBodyBytes), 1, 1 << 30},
            {kHttpSection, "BrokerMaxBodyBytes", "Long", n(d.brokerMaxBodyBytes), 1, 1 << 30},
            {kHttpSection, "ShutdownTimeout", "Long", n(d.shutdownTimeout), 1, 3600},
            {kHttpSection, "SessionMinutes", "Long", n(d.sessionMinutes), 1, 525600},
            {kHttpSection, "AttentionExportMinutes", "Long", n(d.attention.exportMinutes), 1, 525600},
            {kHttpSection, "AttentionConfirmMinutes", "Long", n(d.attention.confirmMinutes), 1, 525600},
            {kHttpSection, "AttentionAcknowledgeMinutes", "Long", n(d.attention.acknowledgeMinutes), 1, 525600},
            {kHttpSection, "AttentionCaptureMinutes", "Long", n(d.attention.captureMinutes), 1, 525600},
            {kHttpSection, "AttentionAllocationHours", "Long", n(d.attention.allocationHours), 1, 8760},
            {kHttpSection, "TlsCertificate", "String", ""},
            {kHttpSection, "TlsKey", "String", ""}};
}

namespace {

// A setting's text, or "" when the file lacks it.
std::string Value(qx::IConfiguration& config, const char* section, const char* name) {
    try {
        return config.GetValue(section, name).Text();
    } catch (const ole::AutomationError& e) {
        if (e.Number() == qx::config_err::SettingNotFound) return "";
        throw;
    }
}

// A whole number above `least` (0 for "at least 1", -1 where 0 has a meaning); other values keep the default.
template <class T>
void Whole(qx::IConfiguration& config, const char* name, T& target, long long least = 0) {
    std::string text = Value(config, kHttpSection, name);
    if (text.empty()) return;
    long long v = std::stoll(text);
    if (v > least) target = static_cast<T>(v);
}
template <class T>
void Positive(qx::IConfiguration& config, const char* name, T& target) {
    Whole(config, name, target);
}

}  // namespace

HostSettings ReadHostSettings(const std::filesystem::path& home) {
    HostSettings s;
    auto config = qx::NewConfiguration();
    config->LoadFile((home / "config" / "VendaloConfiguration.xml").string());
    if (auto listen = Value(*config, kHttpSection, "Listen"); !listen.empty()) s.listen = listen;
    Positive(*config, "Workers", s.workers);
    Positive(*config, "KeepAliveMaxCount", s.keepAliveMaxCount);
    Positive(*config, "KeepAliveTimeout", s.keepAliveTimeout);
    Positive(*config, "HeaderTimeoutSeconds", s.headerTimeout);
    Positive(*config, "ReadTimeout", s.readTimeout);
    Positive(*config, "WriteTimeout", s.writeTimeout);
    Positive(*config, "BodyMinBytesPerSecond", s.bodyMinBytesPerSecond);
    Whole(*config, "MaxConnectionsPerClient", s.maxConnectionsPerClient, -1);
    Positive(*config, "ListenBacklog", s.listenBacklog);
    Positive(*config, "MaxBodyBytes", s.maxBodyBytes);
    Positive(*config, "BrokerMaxBodyBytes", s.brokerMaxBodyBytes);
    Positive(*config, "ShutdownTimeout", s.shutdownTimeout);
    Positive(*config, "SessionMinutes", s.sessionMinutes);
    Whole(*config, "AttentionExportMinutes", s.attention.exportMinutes, -1);
    Whole(*config, "AttentionConfirmMinutes", s.attention.confirmMinutes, -1);
    Whole(*config, "AttentionAcknowledgeMinutes", s.attention.acknowledgeMinutes, -1);
    Whole(*config, "AttentionCaptureMinutes", s.attention.captureMinutes, -1);
    Whole(*config, "AttentionAllocationHours", s.attention.allocationHours, -1);
    s.tlsCertificate = Value(*config, kHttpSection, "TlsCertificate");
    s.tlsKey = Value(*config, kHttpSection, "TlsKey");
    auto site = qx::NewConfiguration();
    site->LoadFile((home / "config" / "SiteConfiguration.xml").string());
    s.shopApiKey = Value(*site, kApiSection, kShopApiKey);
    s.operatorApiKey = Value(*site, kApiSection, kOperatorApiKey);
    s.brokerApiKey = Value(*site, kApiSection, ordexa::kBrokerApiKey);
    s.brokerPartners = ordexa::BrokerPartnerIds(Value(*site, kApiSection, ordexa::kBrokerPartners));
    s.brokerAcknowledgementHosts = ordexa::BrokerList(Value(*site, kApiSection, ordexa::kBrokerAcknowledgementHosts));
    s.brokerClientAddresses = ordexa::BrokerList(Value(*site, kApiSection, ordexa::kBrokerClientAddresses));
    return s;
}

}  // namespace backoffice
