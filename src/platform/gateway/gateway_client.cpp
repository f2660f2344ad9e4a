#include "gateway/gateway_client.h"

#include <curl/curl.h>
#include <openssl/rand.h>

#include <atomic>
#include <map>
#include <mutex>

#include "automation/component.h"
#include "automation/text.h"
#include "config/configuration.h"
#include "gateway/gateway_wire.h"

namespace qx {
namespace {

const char* kSource = "Gateway client";
const char* kClientLibVersion = "backoffice-gateway-1.0";

std::atomic<int64_t> gWaitNanoseconds{0};
std::atomic<int64_t> gRequests{0};

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One easy handle per thread, reused by every client on it: libcurl keeps its
// connections open between transfers (curl_easy_reset leaves them), so the
// requests of one payment run share one TLS connection to the gateway.
class ThreadHandle {
public:
    ~ThreadHandle() {
        if (handle_) curl_easy_cleanup(handle_);
    }
    CURL* Get() {
        if (!handle_) {
            GlobalInit();
            handle_ = curl_easy_init();
            if (!handle_) ole::Raise(gateway_err::NotSent, "The gateway client cannot start (out of memory)", kSource);
        } else {
            curl_easy_reset(handle_);
        }
        return handle_;
    }

private:
    CURL* handle_ = nullptr;
};
thread_local ThreadHandle tHandle;

size_t CollectBody(char* data, size_t size, size_t count, void* target) {
    auto* body = static_cast<std::string*>(target);
    // a reply is a few hundred bytes; anything past a megabyte is no reply of the gateway
    if (body->size() + size * count > (1u << 20)) return 0;
    body->append(data, size * count);
    return size * count;
}

std::string NewClientRequestId() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        ole::Raise(gateway_err::NotSent, "No random bytes for the request id", kSource);
    static const char* kHex = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 15];
    }
    return id;
}

using Fields = gateway_wire::Fields;

// Finds a field by name without regard to case.
Fields::iterator FindField(Fields& fields, const std::string& name) {
    for (auto it = fields.begin(); it != fields.end(); ++it)
        if (ole::EqualsNoCase(it->first, name)) return it;
    return fields.end();
}

std::string FieldValue(const Fields& fields, const std::string& name) {
    for (const auto& [n, v] : fields)
        if (ole::EqualsNoCase(n, name)) return v;
    return "";
}

void SetField(Fields& fields, const std::string& name, const std::string& value) {
    auto it = FindField(fields, name);
    if (it == fields.end())
        fields.emplace_back(name, value);
    else
        it->second = value;
}

class GatewayClient : public IGatewayClient {
public:
    std::string ServerHost() const override { return host_; }
    void SetServerHost(const std::string& host) override { host_ = host; }
    void SetMerchantId(const std::string& merchantId) override { merchantId_ = merchantId; }

    void SetValue(const std::string& name, const std::string& value) override {
        StartRequestIfSent();
        SetField(fields_, name, value);
    }

    void SetOfferValue(int16_t index, const std::string& name, const std::string& value) override {
        StartRequestIfSent();
        if (index < 0) ole::Raise(ole::err::SubscriptOutOfRange);
        SetField(offers_[index], name, value);
    }

    void Send() override {
        StartRequestIfSent();
        sent_ = true;
        SetField(fields_, "merchant_id", merchantId_);
        SetField(fields_, "client_lib_version", kClientLibVersion);
        SetField(fields_, "client_request_id", NewClientRequestId());
        std::string url = gateway_wire::GatewayUrl(host_);
        std::vector<std::pair<int, Fields>> offers(offers_.begin(), offers_.end());
        std::string body = gateway_wire::EncodeRequest(fields_, offers);
        std::string reply = Exchange(url, body);
        auto parsed = gateway_wire::ParseReply(reply);
        if (!parsed)
            ole::Raise(gateway_err::OutcomeUnknown,
                       "The gateway's reply to request " + FieldValue(fields_, "client_request_id") +
                           " cannot be read (" + std::to_string(reply.size()) + " bytes that are no reply lines)",
                       kSource);
        reply_ = std::move(*parsed);
    }

    std::vector<std::string> RequestLines() const override {
        std::vector<std::string> lines;
        for (const auto& [name, value] : fields_)
            lines.push_back(name + "=" + (ole::EqualsNoCase(name, "customer_cc_number") ? MaskCardNumber(value) : value));
        for (const auto& [index, offer] : offers_) lines.push_back("offer" + std::to_string(index) + "=" + gateway_wire::OfferText(offer));
        return lines;
    }

    std::string GetRequestValue(const std::string& name) const override { return FieldValue(fields_, name); }
    std::string GetReplyValue(const std::string& name) const override { return FieldValue(reply_, name); }
    void SetTrace(bool, const std::string&, int32_t) override {}

private:
    void StartRequestIfSent() {
        if (!sent_) return;
        fields_.clear();
        offers_.clear();
        reply_.clear();
        sent_ = false;
    }

    // Posts the body; the reply body on HTTP 200, else raises the error that says what the gateway may have done.
    std::string Exchange(const std::string& url, const std::string& body) {
        if (!settingsRead_) {
            settings_ = GatewaySettingsOfInstallation();
            settingsRead_ = true;
        }
        std::string requestId = FieldValue(fields_, "client_request_id");
        CURL* curl = tHandle.Get();
        std::string reply;
        char errorText[CURL_ERROR_SIZE] = {0};
        struct curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!settings_.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.caFile.c_str());
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.connectTimeout.count()));
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(settings_.requestTimeout.count()));
        curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);

        auto started = std::chrono::steady_clock::now();
        CURLcode result = curl_easy_perform(curl);
        gWaitNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count();
        ++gRequests;
        curl_slist_free_all(headers);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        long requestSize = 0;
        curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &requestSize);
        std::string where = " (gateway " + url + ", request " + requestId + ")";
        if (result != CURLE_OK) {
            std::string why = errorText[0] ? errorText : curl_easy_strerror(result);
            // Once any byte of the request went out, the gateway may have acted on it.
            if (requestSize > 0 || status != 0)
                ole::Raise(gateway_err::OutcomeUnknown, "No reply from the payment gateway: " + why + where, kSource);
            ole::Raise(gateway_err::NotSent, "The payment gateway cannot be reached: " + why + where, kSource);
        }
        if (status >= 400 && status < 500 && status != 408)
            ole::Raise(gateway_err::Rejected, "The payment gateway refused the request with HTTP " + std::to_string(status) + where, kSource);
        if (status != 200)
            ole::Raise(gateway_err::OutcomeUnknown, "The payment gateway answered HTTP " + std::to_string(status) + where, kSource);
        return reply;
    }

    std::string host_, merchantId_;
    Fields fields_;
    std::map<int, Fields> offers_;
    Fields reply_;
    bool sent_ = false;
    GatewaySettings settings_;
    bool settingsRead_ = false;
};

}  // namespace

GatewaySettings GatewaySettingsOfInstallation() {
    GatewaySettings settings;
    auto installations = InstallationsFromEnvironment();
    if (installations.empty()) return settings;
    auto config = NewConfiguration();
    try {
        config->LoadFile(installations.front().ConfigFolder + "/VendaloConfiguration.xml");
    } catch (...) {
        return settings;  // the caller fails on the unreadable file first; here the defaults stand
    }
    try {
        settings.caFile = ole::TrimBlanks(config->GetValue("PAYMENT_GATEWAY", "CAFile").Text());
    } catch (...) {
    }
    auto seconds = [&](const char* name, std::chrono::milliseconds& target) {
        try {
            int32_t value = config->GetValue("PAYMENT_GATEWAY", name).ToLong();
            if (value > 0) target = std::chrono::seconds(value);
        } catch (...) {
            // not set: the default stands
        }
    };
    seconds("ConnectTimeout", settings.connectTimeout);
    seconds("RequestTimeout", settings.requestTimeout);
    return settings;
}

std::chrono::nanoseconds GatewayWaitTime() { return std::chrono::nanoseconds(gWaitNanoseconds.load()); }
int64_t GatewayRequestCount() { return gRequests.load(); }

std::string MaskCardNumber(const std::string& number) {
    std::string digits;
    for (char c : number)
        if (c >= '0' && c <= '9') digits += c;
    if (digits.size() <= 4) return std::string(digits.size(), '*');
    return std::string(digits.size() - 4, '*') + digits.substr(digits.size() - 4);
}

void RegisterGatewayClient() { ole::RegisterClass<GatewayClient>(kGatewayClientProgId); }

}  // namespace qx
