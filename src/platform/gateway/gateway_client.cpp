#include "platform/gateway/gateway_client.h"


#include <atomic>
#include <map>
#include <mutex>

#include "platform/automation/component.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/gateway/gateway_wire.h"
#include "platform/net/http_post.h"
#include "platform/os/random_bytes.h"

namespace qx {
namespace {

const char* kSource = "Gateway client";
const char* kClientLibVersion = "backoffice-gateway-1.0";

std::atomic<int64_t> gWaitNanoseconds{0};
std::atomic<int64_t> gRequests{0};

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
        if (FieldValue(fields_, "client_request_id").empty()) SetField(fields_, "client_request_id", NewClientRequestId());
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
        for (auto& [name, value] : reply_)
            if (IsFreeTextReplyField(name)) value = MaskCardNumbersInText(value);
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
        net::HttpPost post{url, "application/x-www-form-urlencoded", body, settings_.caFile,
                           settings_.connectTimeout, settings_.requestTimeout,
                           1u << 20};  // a reply is a few hundred bytes; past a megabyte it is no reply of the gateway
        net::HttpReply reply = net::Post(post);
        gWaitNanoseconds += reply.elapsed.count();
        ++gRequests;
        std::string where = " (gateway " + url + ", request " + requestId + ")";
        if (reply.curlCode != 0) {
            // Once any byte of the request went out, the gateway may have acted on it.
            if (reply.requestSent || reply.status != 0)
                ole::Raise(gateway_err::OutcomeUnknown, "No reply from the payment gateway: " + reply.error + where, kSource);
            ole::Raise(gateway_err::NotSent, "The payment gateway cannot be reached: " + reply.error + where, kSource);
        }
        long status = reply.status;
        if (status >= 400 && status < 500 && status != 408)
            ole::Raise(gateway_err::Rejected, "The payment gateway refused the request with HTTP " + std::to_string(status) + where, kSource);
        if (status != 200)
            ole::Raise(gateway_err::OutcomeUnknown, "The payment gateway answered HTTP " + std::to_string(status) + where, kSource);
        return reply.body;
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

std::string NewClientRequestId() {
    unsigned char bytes[16];
    if (!os::FillRandom(bytes, sizeof bytes))
        ole::Raise(gateway_err::NotSent, "No random bytes for the request id", kSource);
    static const char* kHex = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 15];
    }
    return id;
}

std::string MaskCardNumber(const std::string& number) {
    std::string digits;
    for (char c : number)
        if (c >= '0' && c <= '9') digits += c;
    if (digits.size() <= 4) return std::string(digits.size(), '*');
    return std::string(digits.size() - 4, '*') + digits.substr(digits.size() - 4);
}

bool LuhnValid(const std::string& digits) {
    if (digits.size() < 12 || digits.size() > 19) return false;
    int sum = 0;
    bool twice = false;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it < '0' || *it > '9') return false;
        int d = *it - '0';
        if (twice && (d *= 2) > 9) d -= 9;
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

std::string MaskCardNumbersInText(const std::string& text) {
    std::string out = text;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (size_t at = 0; at < out.size();) {
        if (!isDigit(out[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < out.size() && isDigit(out[end])) ++end;
        size_t length = end - at;
        if (length >= 13 && length <= 19 && LuhnValid(out.substr(at, length)))
            out.replace(at, length, MaskCardNumber(out.substr(at, length)));
        at = end;
    }
    return out;
}

bool IsFreeTextReplyField(const std::string& name) {
    std::string lower = ole::LowerCase(name);
    auto endsWith = [&](const std::string& tail) {
        return lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
    };
    return !endsWith("request_id") && !endsWith("_amount") && !endsWith("merchant_ref_number");
}

std::shared_ptr<IGatewayClient> NewGatewayClient() { return std::make_shared<GatewayClient>(); }

void RegisterGatewayClient() {
    ole::RegisterComponent(kGatewayClientProgId, [] { return NewGatewayClient(); });
}

}  // namespace qx
