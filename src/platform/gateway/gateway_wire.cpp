#include "platform/gateway/gateway_wire.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cctype>
#include <memory>

#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/gateway/gateway_client.h"

namespace qx::gateway_wire {
namespace {

bool IsUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> FormDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

bool IsFieldName(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_') return false;
    return true;
}

// A value of a reply line: printable text (tabs and bytes of UTF-8 sequences allowed).
bool IsReplyValue(const std::string& value) {
    for (unsigned char c : value)
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    return true;
}

[[noreturn]] void BadHost(const std::string& why) { ole::Raise(gateway_err::NotSent, why, "Gateway client"); }

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

std::string UrlPart(CURLU* url, CURLUPart part) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, 0) != CURLUE_OK || !value) return "";
    std::string text(value);
    curl_free(value);
    return text;
}

}  // namespace

std::string FormEncode(const std::string& text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (unsigned char c : text) {
        if (IsUnreserved(c)) {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string OfferText(const Fields& offer) {
    std::string text;
    for (const auto& [name, value] : offer) {
        if (!text.empty()) text += '^';
        text += name + ":" + value;
    }
    return text;
}

std::string EncodeRequest(const Fields& fields, const std::vector<std::pair<int, Fields>>& offers) {
    std::string body;
    auto add = [&](const std::string& name, const std::string& value) {
        if (!body.empty()) body += '&';
        body += FormEncode(name) + "=" + FormEncode(value);
    };
    for (const auto& [name, value] : fields) add(name, value);
    for (const auto& [index, offer] : offers) add("offer" + std::to_string(index), OfferText(offer));
    return body;
}

std::optional<Fields> DecodeForm(const std::string& body) {
    Fields fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        std::string pair = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!pair.empty()) {
            size_t eq = pair.find('=');
            auto name = FormDecode(pair.substr(0, eq));
            auto value = FormDecode(eq == std::string::npos ? "" : pair.substr(eq + 1));
            if (!name || !value || name->empty()) return std::nullopt;
            fields.emplace_back(*name, *value);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return fields;
}

std::optional<Fields> ParseReply(const std::string& body) {
    Fields fields;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        std::string line = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) {
            size_t eq = line.find('=');
            if (eq == std::string::npos) return std::nullopt;
            std::string name = line.substr(0, eq), value = line.substr(eq + 1);
            if (!IsFieldName(name) || !IsReplyValue(value)) return std::nullopt;
            fields.emplace_back(std::move(name), std::move(value));
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (fields.empty()) return std::nullopt;
    return fields;
}

bool IsLoopbackHost(const std::string& host) {
    std::string h = ole::LowerCase(host);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    if (h == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, h.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, h.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

std::string GatewayUrl(const std::string& serverHost) {
    std::string host = ole::TrimBlanks(serverHost);
    if (host.empty()) BadHost("No gateway server host is set");
    std::string text = host.find("://") == std::string::npos ? "https://" + host + "/" : host;
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        BadHost("The gateway server host '" + host + "' is no valid URL or host");
    std::string scheme = ole::LowerCase(UrlPart(url.get(), CURLUPART_SCHEME));
    std::string name = UrlPart(url.get(), CURLUPART_HOST);
    if (scheme != "https" && scheme != "http")
        BadHost("The gateway server host '" + host + "' must use https");
    if (scheme == "http" && !IsLoopbackHost(name))
        BadHost("The gateway server host '" + host + "' uses plain http, which is allowed only to a loopback address");
    if (!UrlPart(url.get(), CURLUPART_USER).empty() || !UrlPart(url.get(), CURLUPART_QUERY).empty())
        BadHost("The gateway server host '" + host + "' must carry neither credentials nor a query");
    return text;
}

}  // namespace qx::gateway_wire
