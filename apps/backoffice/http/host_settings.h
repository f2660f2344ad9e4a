// The settings of `backoffice serve`: section HTTP_PARAMETERS of
// VendaloConfiguration.xml (listening address, workers, keep-alive, time-outs,
// body limit, TLS files) and the API keys of SiteConfiguration.xml (section
// API). A setting missing from an older installation keeps its default;
// `backoffice upgrade` writes the defaults into the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ordexa/attention.h"
#include "platform/config/configuration.h"

namespace backoffice {

inline const char* const kHttpSection = "HTTP_PARAMETERS";
inline const char* const kApiSection = "API";
inline const char* const kShopApiKey = "ShopApiKey";
inline const char* const kOperatorApiKey = "OperatorApiKey";

struct HostSettings {
    std::string listen = "127.0.0.1:8080";
    int workers = 32;                // requests served at once (an idle connection holds none)
    int keepAliveMaxCount = 10000;   // requests per connection before the host closes it
    int keepAliveTimeout = 5;        // seconds an idle kept-alive connection stays open
    int headerTimeout = 10;          // seconds a client may take to send a request's head
    int readTimeout = 10;            // seconds a body may lag behind bodyMinBytesPerSecond
    int writeTimeout = 10;           // seconds an answer may lag behind bodyMinBytesPerSecond
    size_t bodyMinBytesPerSecond = 1024;  // the slowest a body (or an answer) may travel
    int maxConnectionsPerClient = 64;     // open connections per client address (0: no limit, behind a proxy)
    int listenBacklog = 1024;             // connections the kernel queues for the host (capped by somaxconn)
    size_t maxBodyBytes = 1 << 20;   // larger bodies are refused with 413
    size_t brokerMaxBodyBytes = 16 << 20;  // the same for the broker's requisition documents
    int shutdownTimeout = 10;        // seconds requests in flight get to finish after SIGTERM
    int sessionMinutes = 480;        // an operator's session lasts this long
    ordexa::AttentionLimits attention;  // how long an order waits before GET /api/v1/attention lists it
    std::string tlsCertificate, tlsKey;  // PEM files; needed to listen on any other than a loopback address
    std::string shopApiKey, operatorApiKey;
    std::string brokerApiKey;  // with what it allows (SiteConfiguration.xml, section API)
    std::set<int32_t> brokerPartners;
    std::set<std::string> brokerAcknowledgementHosts, brokerClientAddresses;
};

// The defaults as settings lines for VendaloConfiguration.xml.
std::vector<qx::ConfigSetting> HostSettingDefaults();

// The settings of the installation at home; a file that cannot be read raises.
HostSettings ReadHostSettings(const std::filesystem::path& home);

}  // namespace backoffice
