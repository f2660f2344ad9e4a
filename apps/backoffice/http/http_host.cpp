#include "http/http_host.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <string_view>

#include "http/basket_guard.h"
#include "http/idempotency_store.h"
#include "http/operators.h"
#include "http/json_codec.h"
#include "interfaces/vendalo/freight_cost.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/checkout_authorization.h"
#include "ordexa/payment/gateway_requests.h"
#include "ordexa/payment/payment_resolution.h"
#include "platform/automation/text.h"
#include "platform/gateway/gateway_client.h"
#include "platform/log/log.h"
#include "platform/masterdata/currency.h"
#include "platform/masterdata/membership.h"
#include "platform/os/random_bytes.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

using Clock = std::chrono::steady_clock;

// Equal texts, compared in time that does not depend on where they differ.
bool SameKey(const std::string& given, const std::string& expected) {
    if (expected.empty() || given.size() != expected.size()) return false;
    return CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

std::string BearerOf(const httplib::Request& request) {
    std::string value = request.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (value.size() <= prefix.size() || value.compare(0, prefix.size(), prefix) != 0) return "";
    return value.substr(prefix.size());
}

// The password of HTTP Basic credentials ("Basic base64(user:password)"), or "".
std::string BasicPasswordOf(const httplib::Request& request) {
    std::string value = request.get_header_value("Authorization");
    const std::string prefix = "Basic ";
    if (value.size() <= prefix.size() || value.compare(0, prefix.size(), prefix) != 0) return "";
    std::string encoded = value.substr(prefix.size());
    if (encoded.size() % 4 != 0 || encoded.size() > 1024) return "";
    std::string decoded(encoded.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                 reinterpret_cast<const unsigned char*>(encoded.data()), static_cast<int>(encoded.size()));
    if (length < 0) return "";
    size_t padding = encoded.size() - encoded.find_last_not_of('=') - 1;
    decoded.resize(static_cast<size_t>(length) - std::min<size_t>(padding, static_cast<size_t>(length)));
    size_t colon = decoded.find(':');
    return colon == std::string::npos ? "" : decoded.substr(colon + 1);
}

// A path the host never serves: "..", "." or empty segments, NUL and other control characters.
bool UnsafePath(const std::string& path) {
    if (path.empty() || path[0] != '/') return true;
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7F) return true;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string segment = path.substr(start, end - start);
        if (segment == ".." || segment == "." || (segment.empty() && end != path.size())) return true;
        start = end + 1;
    }
    return false;
}

// The report of a failure the host found itself, written as the libraries write theirs.
void LogRequestFailure(int32_t level, const std::string& label, const std::string& description) {
    qx::LogRecord record;
    record.level = level;
    record.source = record.label = label;
    record.number = ole::err::InvalidProcedureCall;
    record.description = description;
    record.methods = {label};
    record.text = Sls_FormatError(description, record.number, label);
    try {
        ole::CreateObjectAs<qx::ILog>("Qxcore.Log")->WriteRecord(record);
    } catch (...) {
        // a failing log never hides the answer
    }
}

// The operator whose session the answer opens ("" when it opens none): a log-in names its operator.
std::string OperatorLoggedIn(HostState& state, const httplib::Response& response) {
    std::string cookie = response.get_header_value("Set-Cookie");
    if (cookie.rfind("session=", 0) != 0) return "";
    return state.sessions.OperatorOf(cookie.substr(8, cookie.find(';') - 8));
}

// A header of the answer, "" when it has none (without a copy).
const std::string& HeaderOf(const httplib::Response& response, const char* name) {
    static const std::string kNone;
    auto found = response.headers.find(name);
    return found == response.headers.end() ? kNone : found->second;
}

// One line of the access log for an answered request: the route's pattern
// (never the path, whose ids say whose basket it was), status, size, time,
// request id, the kind of key and the operator. Never a key, a query or a body.
void WriteAccessLine(const httplib::Request& request, const httplib::Response& response,
                     const std::string& route, double seconds, const std::string& keyKind, const std::string& operatorName) {
    std::string path = qx::AccessLogFilePath();
    if (path.empty()) return;
    std::string time = qx::LogTimestampUtc();
    auto text = [](char* buffer, std::to_chars_result written) { return std::string_view(buffer, written.ptr - buffer); };
    char durationDigits[32], statusDigits[16], bytesDigits[24];
    std::string_view duration = text(durationDigits, std::to_chars(durationDigits, std::end(durationDigits), seconds,
                                                                   std::chars_format::fixed, 6));
    std::string_view status = text(statusDigits, std::to_chars(statusDigits, std::end(statusDigits), response.status));
    std::string_view bytes = text(bytesDigits, std::to_chars(bytesDigits, std::end(bytesDigits), response.body.size()));
    std::string_view method = std::string_view(request.method).substr(0, 16);
    const std::string& id = HeaderOf(response, "X-Request-Id");
    std::string line;
    line.reserve(160 + route.size() + id.size() + operatorName.size());
    if (qx::LogWritesJson()) {
        line.append("{\"time\":\"").append(time).append("\",\"method\":").append(qx::JsonString(method));
        line.append(",\"route\":").append(qx::JsonString(route)).append(",\"status\":").append(status);
        line.append(",\"bytes\":").append(bytes).append(",\"seconds\":").append(duration);
        line.append(",\"request\":").append(qx::JsonString(id)).append(",\"key\":\"").append(keyKind).append("\"");
        if (!operatorName.empty()) line.append(",\"operator\":").append(qx::JsonString(operatorName));
        line.append("}");
    } else {
        line.append(time).append(" ").append(ole::EscapeControls(method)).append(" ");
        line.append(ole::EscapeControls(route)).append(" ").append(status).append(" ").append(bytes).append(" ");
        line.append(duration).append(" ").append(id).append(" ").append(keyKind).append(" ");
        line.append(operatorName.empty() ? std::string("-") : qx::JsonString(operatorName));
    }
    qx::AppendLogLine(path, line);
}

ole::SlsErrorInfo HostError(int32_t number, const std::string& label, const std::string& description) {
    ole::SlsErrorInfo e(number, label, description);
    e.Reason = description;
    e.Methods = {label};
    return e;
}

// The request's own X-Request-Id when it is 1-64 characters of [A-Za-z0-9._-], else a new one.
std::string RequestIdOf(const httplib::Request& request) {
    std::string given = request.get_header_value("X-Request-Id");
    bool safe = !given.empty() && given.size() <= 64 && std::all_of(given.begin(), given.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '_' ||
               c == '-';
    });
    if (safe) return given;
    unsigned char bytes[16];
    if (!os::FillRandom(bytes, sizeof bytes)) std::fill(std::begin(bytes), std::end(bytes), 0);
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 0x0F];
    }
    return id;
}

// The media type of a Content-Type value, lower-case, without its parameters.
std::string MediaType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    type.erase(0, type.find_first_not_of(" \t"));
    type.erase(type.find_last_not_of(" \t") + 1);
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

// Who sent a request, as the idempotency keys are kept: the SHA-256 of its key
// (or of its operator session), never the key.
std::string CallerHash(const httplib::Request& request) {
    std::string key = BearerOf(request);
    return os::Sha256Hex(key.empty() ? "session " + HostState::SessionOf(request) : key);
}

// The headers of an answer that a retry with its Idempotency-Key gets again.
const char* const kKeptHeaders[] = {"Content-Type", "Location", "ETag"};

// An Idempotency-Key this request owns: the answer goes to the store when it is known.
struct KeyClaim {
    std::string owner, key;
};

// The request's Idempotency-Key claimed (POSTs under /api/v1 only). True when
// the key's first request was answered already: the answer is repeated.
// Another request under the key (422) or one still running (409) raises.
bool ClaimIdempotencyKey(Call& call, std::optional<KeyClaim>& claimed) {
    const httplib::Request& request = call.request;
    if (request.method != "POST" || request.path.rfind("/api/v1/", 0) != 0 || !request.has_header("Idempotency-Key"))
        return false;
    std::string key = request.get_header_value("Idempotency-Key");
    static const std::regex visible("[\\x21-\\x7E]{1,255}");
    if (!std::regex_match(key, visible))
        throw RequestError(400, "Idempotency-Key: 1 to 255 visible ASCII characters expected");
    std::string owner = CallerHash(request);
    Claim claim = ClaimKey(Sls_ConnectionString(), owner, key, RequestFingerprint(request.method, request.target, request.body));
    switch (claim.result) {
        case ClaimResult::Mine: claimed = KeyClaim{owner, key}; return false;
        case ClaimResult::OtherRequest:
            throw RequestError(422, "Idempotency-Key: the key was used for another request; a new request needs a new key");
        case ClaimResult::Running:
            call.response.set_header("Retry-After", "1");
            throw RequestError(409, "Idempotency-Key: the first request with this key is still running; try again later");
        case ClaimResult::Abandoned:
            throw RequestError(409, "Idempotency-Key: the first request with this key never finished, its outcome is "
                                    "unknown; look at the resource, then use a new key");
        case ClaimResult::Replay: break;
    }
    call.response.status = claim.answer.status;
    for (const auto& [name, value] : claim.answer.headers) call.response.set_header(name, value);
    call.response.set_header("Idempotent-Replayed", "true");
    call.response.body = claim.answer.body;
    return true;
}

// The answer of a claimed key kept for its retries; a 5xx gives the key up, so
// that the client may try again with it (nothing of such a request was kept).
void SettleIdempotencyKey(const KeyClaim& claim, const httplib::Response& response) {
    try {
        if (response.status >= 500) return ReleaseKey(Sls_ConnectionString(), claim.owner, claim.key);
        StoredAnswer answer{response.status, {}, response.body};
        for (const char* name : kKeptHeaders)
            if (response.has_header(name)) answer.headers.emplace_back(name, response.get_header_value(name));
        CompleteKey(Sls_ConnectionString(), claim.owner, claim.key, answer);
    } catch (const std::exception& e) {
        // the client has its answer; a retry with the key is answered 409 until the key expires
        LogRequestFailure(qx::LogError, "backoffice.serve Idempotency-Key",
                          std::string("The answer cannot be kept for retries: ") + e.what());
    }
}

std::vector<std::string> ParamNames(const std::string& pattern) {
    std::vector<std::string> names;
    static const std::regex name(R"(\{([a-zA-Z]+)\})");
    for (auto it = std::sregex_iterator(pattern.begin(), pattern.end(), name); it != std::sregex_iterator(); ++it)
        names.push_back((*it)[1]);
    return names;
}

}  // namespace

size_t BodyLimit(const HostSettings& settings, const std::string& path) {
    return path == kRequisitionIntakePath ? settings.brokerMaxBodyBytes : settings.maxBodyBytes;
}

// ---- Sessions and access ----------------------------------------------------

std::string Sessions::Open(std::chrono::minutes lifetime, const std::string& operatorName) {
    std::string token = qx::NewAccessCode() + qx::NewAccessCode();
    std::string csrf = qx::NewAccessCode() + qx::NewAccessCode();
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    std::erase_if(open_, [&](const auto& entry) { return entry.second.until < now; });
    open_[token] = {now + lifetime, operatorName, csrf};
    return token;
}

std::string Sessions::CsrfOf(const std::string& token) {
    if (OperatorOf(token).empty()) return "";
    std::lock_guard lock(mutex_);
    auto it = open_.find(token);
    return it == open_.end() ? "" : it->second.csrf;
}

bool Sessions::Valid(const std::string& token) { return !OperatorOf(token).empty(); }

std::string Sessions::OperatorOf(const std::string& token) {
    if (token.empty()) return "";
    std::lock_guard lock(mutex_);
    auto it = open_.find(token);
    if (it == open_.end()) return "";
    if (it->second.until < Clock::now()) {
        open_.erase(it);
        return "";
    }
    return it->second.operatorName;
}

void Sessions::Close(const std::string& token) {
    std::lock_guard lock(mutex_);
    open_.erase(token);
}

std::string HostState::SessionOf(const httplib::Request& request) {
    std::string cookies = request.get_header_value("Cookie");
    static const std::regex session(R"((?:^|;\s*)session=([A-Za-z0-9]+))");
    std::smatch m;
    return std::regex_search(cookies, m, session) ? m[1].str() : "";
}

std::string HostState::OperatorOf(const httplib::Request& request) {
    std::string bearer = BearerOf(request);
    if (SameKey(bearer, settings.operatorApiKey)) return kSharedOperatorName;
    if (!bearer.empty()) return OperatorOfKey(bearer);
    std::string token = SessionOf(request);
    std::string name = sessions.OperatorOf(token);
    if (name.empty() || OperatorActive(name)) return name;
    sessions.Close(token);  // the operator was removed: the session ends with the key
    return "";
}

bool HostState::NeedsCsrfToken(const httplib::Request& request) {
    return request.method != "GET" && request.method != "HEAD" && BearerOf(request).empty() &&
           !SessionOf(request).empty();
}

bool HostState::CsrfTokenHolds(const httplib::Request& request) {
    return SameKey(request.get_header_value("X-CSRF-Token"), sessions.CsrfOf(SessionOf(request)));
}

std::string HostState::KeyKindOf(const httplib::Request& request) {
    std::string bearer = BearerOf(request);
    if (SameKey(bearer, settings.shopApiKey)) return "shop";
    if (SameKey(bearer, settings.operatorApiKey)) return "operator";
    if (SameKey(bearer, settings.brokerApiKey) || SameKey(BasicPasswordOf(request), settings.brokerApiKey)) return "broker";
    if (sessions.Valid(SessionOf(request))) return "session";
    return "none";
}

bool HostState::Authenticated(const httplib::Request& request) {
    std::string bearer = BearerOf(request);
    return SameKey(bearer, settings.shopApiKey) || SameKey(bearer, settings.operatorApiKey) ||
           SameKey(bearer, settings.brokerApiKey) || sessions.Valid(SessionOf(request)) ||
           (!bearer.empty() && !OperatorOfKey(bearer).empty());
}

bool HostState::Allowed(Access access, const httplib::Request& request) {
    switch (access) {
        case Access::Public: return true;
        case Access::Shop: return SameKey(BearerOf(request), settings.shopApiKey);
        case Access::Operator: return !OperatorOf(request).empty();
        case Access::Broker:
            if (!settings.brokerClientAddresses.empty() && !settings.brokerClientAddresses.count(request.remote_addr))
                return false;
            return SameKey(BearerOf(request), settings.brokerApiKey) ||
                   SameKey(BasicPasswordOf(request), settings.brokerApiKey);
    }
    return false;
}

// ---- Calls ------------------------------------------------------------------

const std::string& Call::Param(const std::string& name) const { return params.at(name); }

json Call::Body(bool allowEmpty) const {
    if (request.body.empty()) {
        if (allowEmpty) return json::object();
        throw RequestError(400, "The body must be a JSON object; the request has none");
    }
    if (MediaType(request.get_header_value("Content-Type")) != "application/json")
        throw RequestError(415, "The body must be JSON (Content-Type: application/json)");
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) throw RequestError(400, "The body is not well-formed JSON");
    if (!body.is_object()) throw RequestError(400, "The body must be a JSON object");
    return body;
}

std::string Call::Id(const std::string& name) const {
    std::string id = Param(name);
    if (id.size() != 32 || !std::all_of(id.begin(), id.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        }))
        throw RequestError(400, "The " + name + " must be 32 hexadecimal characters");
    for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

void Call::Json(int status, const json& body) {
    response.status = status;
    response.set_content(AnswerText(body), "application/json");
}

void Call::JsonText(int status, std::string text) {
    response.status = status;
    response.set_content("", 0, "application/json");
    response.body = std::move(text);  // not copied: an order's text may be large
}

void Call::Html(int status, const std::string& page) {
    response.status = status;
    response.set_content(page, "text/html; charset=utf-8");
}

void Call::Redirect(const std::string& location) {
    response.status = 303;
    response.set_header("Location", location);
}

void Router::Add(const std::string& method, const std::string& pattern, Access access, Handler handler) {
    routes_.push_back({method, pattern, access, std::move(handler)});
}

std::string RouteName(const Route& route) { return route.method + " " + route.pattern; }

// ---- Errors -----------------------------------------------------------------

int ErrorStatus(const ole::SlsErrorInfo& error) {
    // the card gateway could not be reached, gave no readable reply or refused the request unread
    // (its texts may read like the database's: it is asked first)
    if (error.Number == qx::gateway_err::NotSent || error.Number == qx::gateway_err::OutcomeUnknown ||
        error.Number == qx::gateway_err::Rejected)
        return 502;
    // the database is busy (the batch holds it) or cannot be reached, as its provider said
    if (error.Kind != ole::ErrorKind::Other) return 503;
    switch (error.Number) {
        case ado::err::ProviderFailure: return 503;  // the provider could not open the database
        case vendalo::MissingOrderInfo: return 409;  // the basket was submitted (or deleted) meanwhile
        case ordexa::kActionNoLongerApplies:          // an operator's action found the order moved on
        case ordexa::kNothingToResolve:
        case ordexa::kResolutionNeeded:
        case ordexa::kOutcomeUnknownPending: return 409;  // a request of unknown outcome is to be resolved first
        case ordexa::kRefundAmountRefused: return 422;    // more than the capture has left, or not an amount
        case vendalo::OrderNotFound:
        case vendalo::CustomerPriceNotFound:
        case vendalo::ProductPriceNotFound:
        case vendalo::kFreightError:              // no freight group or no tariff for what was asked
        case ordexa::kCheckoutBasketNotFound: return 404;
        case ado::err::MultipleStep:                  // a value that does not fit its field
        case ado::err::IntegrityViolation:            // a key or constraint the value violates
        case qx::currency_err::CurrencyNotFound: return 400;
        case qx::currency_err::RateNotFound: return 422;  // a currency the prices cannot be converted into that day
        default: break;
    }
    // the platform's conversions refuse a value: type mismatch, overflow, invalid use of Null, invalid argument
    if (error.Number == ole::err::TypeMismatch || error.Number == ole::err::Overflow ||
        error.Number == ole::err::InvalidUseOfNull || error.Number == ole::err::InvalidProcedureCall)
        return 400;
    // Vendalo's own numbers are about the values a call was given
    if (error.Number >= vendalo::MissingBusinessPartnerID && error.Number <= vendalo::InvalidCustomer) return 400;
    return 500;
}

json ErrorJson(const ole::SlsErrorInfo& error) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%X", static_cast<uint32_t>(error.Number));
    json frames = json::array();
    for (const auto& method : error.Methods) frames.push_back(method);
    json body = {{"number", number},
                 {"description", error.Reason.empty() ? error.Description : error.Reason},
                 {"method", error.Methods.empty() ? error.Source : error.Methods.back()},
                 {"info", error.ReasonInfo},
                 {"frames", frames}};
    return {{"error", body}};
}

// ---- The host -----------------------------------------------------------------

bool IsLoopback(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

struct HttpHost::CompiledRoute {
    Route route;
    std::string name;                   // for metrics and logs
    std::vector<std::string> segments;  // the pattern's, "/" apart; "{name}" is any one non-empty segment
    std::vector<std::string> params;    // the names, in the pattern's order
    BasketRoute basket;                 // what it does to baskets (ETag, If-Match)

    // True when the path has the pattern's segments; the values of its "{name}" segments go to `values`.
    bool Matches(std::string_view path, std::vector<std::string_view>& values) const {
        values.clear();
        size_t at = path.empty() ? 0 : 1;
        for (size_t i = 0; i < segments.size(); ++i) {
            if (at > path.size()) return false;
            size_t end = std::min(path.find('/', at), path.size());
            std::string_view segment = path.substr(at, end - at);
            const std::string& wanted = segments[i];
            if (wanted.size() > 2 && wanted.front() == '{' && wanted.back() == '}') {
                if (segment.empty()) return false;
                values.push_back(segment);
            } else if (segment != wanted) {
                return false;
            }
            at = end + 1;
        }
        return at == path.size() + 1;
    }
};

HttpHost::HttpHost(std::filesystem::path home, HostSettings settings) {
    bool tls = !settings.tlsCertificate.empty() && !settings.tlsKey.empty();
    state_ = std::make_unique<HostState>(std::move(home), std::move(settings), tls);
    AddAllRoutes(router_);
    for (const Route& route : router_.Routes()) {
        if (route.method != "GET" && route.method != "POST" && route.method != "PUT" && route.method != "DELETE")
            throw std::logic_error("route " + RouteName(route) + ": unknown method");
        std::vector<std::string> segments;
        for (size_t at = 1; at <= route.pattern.size();) {
            size_t end = std::min(route.pattern.find('/', at), route.pattern.size());
            segments.push_back(route.pattern.substr(at, end - at));
            at = end + 1;
        }
        routes_.push_back({route, RouteName(route), std::move(segments), ParamNames(route.pattern),
                           BasketRouteOf(RouteName(route))});
    }
    const HostSettings& s = state_->settings;
    HttpServer::Callbacks callbacks;
    callbacks.workerStarts = [] {
        Sls_ResetThreadState();
        try {
            Sls_ConnectionString();  // read now, so the first request does not pay for it
        } catch (...) {
            // reported by the first request that needs it
        }
    };
    callbacks.bodyLimit = [&s](const std::string& path) { return BodyLimit(s, path); };
    callbacks.answer = [this](httplib::Request& request, httplib::Response& response) { Answer(request, response); };
    callbacks.refuse = [this](httplib::Request& request, httplib::Response& response, int status, const std::string& why) {
        Refuse(request, response, status, why);
    };
    server_ = std::make_unique<HttpServer>(s, std::move(callbacks));
}

HttpHost::~HttpHost() = default;

void HttpHost::Refuse(const httplib::Request& request, httplib::Response& response, int status,
                      const std::string& why) const {
    if (!response.has_header("X-Request-Id")) response.set_header("X-Request-Id", RequestIdOf(request));
    qx::LogRequest logged(response.get_header_value("X-Request-Id"));
    auto error = HostError(ole::err::InvalidProcedureCall, "backoffice.serve", why);
    response.status = status;
    response.set_content(ErrorJson(error).dump(), "application/json");
    state_->metrics.Count("(no route)", status, 0);
    LogRequestFailure(qx::LogWarning, "backoffice.serve " + request.method + " " + request.path.substr(0, 200), why);
    WriteAccessLine(request, response, "(no route)", 0, state_->KeyKindOf(request), "");
}

const HttpHost::CompiledRoute* HttpHost::FindRoute(httplib::Request& request, httplib::Response& response,
                                                     std::vector<std::string_view>& values) const {
    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    std::vector<std::string> methods;  // those the path has
    for (const CompiledRoute& candidate : routes_) {
        if (!candidate.Matches(request.path, values)) continue;
        if (candidate.route.method == method) return &candidate;
        if (std::find(methods.begin(), methods.end(), candidate.route.method) == methods.end())
            methods.push_back(candidate.route.method);
    }
    if (methods.empty()) {
        Refuse(request, response, 404, "There is no such resource");
        return nullptr;
    }
    if (std::find(methods.begin(), methods.end(), "GET") != methods.end()) methods.push_back("HEAD");
    std::string allow;
    for (const auto& m : methods) allow += (allow.empty() ? "" : ", ") + m;
    response.set_header("Allow", allow);
    Refuse(request, response, 405, "The resource does not take " + request.method + " (Allow: " + allow + ")");
    return nullptr;
}

void HttpHost::Run(const CompiledRoute& found, Call& call) const {
    std::unique_ptr<ado::KeyedLock> lock;
    if (found.basket == BasketRoute::Change || found.basket == BasketRoute::End) {
        std::string id = call.Id();
        BasketLock locked = LockBasket(Sls_ConnectionString(), state_->home, id);
        lock = std::move(locked.lock);
        if (locked.read) {
            call.lockedBasket = locked.basket;
            call.lockedTransaction = lock->Session();
        }
        std::string ifMatch = call.request.get_header_value("If-Match");
        if (!ifMatch.empty()) {
            std::string etag = locked.read ? BasketETagOf(call.lockedBasket) : BasketETag(id, &call.lockedBasket);
            // a basket that is gone is answered by the route (404, or 409 once submitted)
            if (!etag.empty() && !IfMatchHolds(ifMatch, etag))
                throw RequestError(412, "The basket changed since it was read (If-Match); read it again");
        }
    }
    found.route.handler(call);
    if (call.response.status == -1) call.response.status = 200;
    bool success = call.response.status / 100 == 2;
    if (success && found.basket != BasketRoute::None && found.basket != BasketRoute::End) SetBasketETag(found, call);
    // the writes made in the lock's transaction stand with a successful answer, else they fall with it
    if (success && call.lockedTransaction) lock->Commit();
}

void HttpHost::SetBasketETag(const CompiledRoute& found, Call& call) const {
    // a route whose answer is the basket as a read gives it has hashed its answer
    if (call.response.has_header("ETag")) return;
    if (found.basket == BasketRoute::Read) {
        // the answer is the basket as it was read: its text is what the ETag hashes
        call.response.set_header("ETag", BasketETagOfAnswer(call.response.body));
        return;
    }
    try {
        std::string id;
        if (found.basket != BasketRoute::Create) {
            id = call.Id();
        } else if (std::string at = call.response.get_header_value("Location"); at.rfind("/api/v1/baskets/", 0) == 0) {
            id = at.substr(16);
        }
        // read under the lock (in its transaction where the request wrote there): the ETag of
        // exactly what this request wrote
        std::string etag = id.empty() ? "" : BasketETag(id, nullptr, call.lockedTransaction);
        if (!etag.empty()) call.response.set_header("ETag", etag);
    } catch (const std::exception& e) {
        // the change is made: its answer stands without an ETag
        LogRequestFailure(qx::LogWarning, "backoffice.serve " + found.name, std::string("No ETag: ") + e.what());
    }
}

void HttpHost::Answer(httplib::Request& request, httplib::Response& response) const {
    HostState& state = *state_;
    std::string requestId = RequestIdOf(request);
    response.set_header("X-Request-Id", requestId);
    qx::LogRequest logged(requestId);
    if (UnsafePath(request.path)) {
        auto error = HostError(ole::err::InvalidProcedureCall, "backoffice.serve", "The path is not allowed");
        response.status = 400;
        response.set_content(ErrorJson(error).dump(), "application/json");
        state.metrics.Count("(refused path)", 400, 0);
        WriteAccessLine(request, response, "(refused path)", 0, state.KeyKindOf(request), "");
        return;
    }
    if (size_t query = request.target.find('?'); query != std::string::npos)
        httplib::detail::parse_query_text(request.target.substr(query + 1), request.params);
    // a form's fields are parameters too (the log-in form); the broker's documents are read by their route
    if (MediaType(request.get_header_value("Content-Type")) == "application/x-www-form-urlencoded" &&
        request.path != kRequisitionIntakePath)
        httplib::detail::parse_query_text(request.body, request.params);

    std::vector<std::string_view> values;  // of the path's "{name}" segments
    const CompiledRoute* found = FindRoute(request, response, values);
    if (!found) return;

    const auto& route = found->route;
    const std::string& name = found->name;
    auto started = Clock::now();
    Call call(request, response, state);
    for (size_t i = 0; i < found->params.size() && i < values.size(); ++i)
        call.params[found->params[i]] = std::string(values[i]);
    std::optional<KeyClaim> claimed;
    // the entries of an operator's call name the operator
    std::string operatorName = route.access == Access::Operator ? state.OperatorOf(request) : "";
    qx::LogContext byOperator(qx::LogField::Operator, operatorName);
    try {
        if (request.body.size() > BodyLimit(state.settings, request.path))
            throw RequestError(413, "The body is larger than the host takes");
        if (!state.Allowed(route.access, request)) {
            bool known = state.Authenticated(request);
            if (route.access == Access::Operator && !known && request.method == "GET" &&
                request.get_header_value("Accept").find("text/html") != std::string::npos) {
                call.Redirect("/login");
            } else if (known && route.access != Access::Broker) {
                throw RequestError(403, "The key does not open this resource (each key has its own permissions)");
            } else {
                if (route.access != Access::Broker) response.set_header("WWW-Authenticate", "Bearer");
                throw RequestError(401, "A valid key is needed (Authorization: Bearer <key>)");
            }
        } else if (route.access == Access::Operator && HostState::NeedsCsrfToken(request) &&
                   !state.CsrfTokenHolds(request)) {
            throw RequestError(403, "A POST of an operator session carries the session's X-CSRF-Token "
                                    "(GET /api/v1/operator/me gives it)");
        } else if (!ClaimIdempotencyKey(call, claimed)) {
            Run(*found, call);
        }
    } catch (const RequestError& e) {
        auto error = HostError(e.number, "backoffice.serve " + name, e.what());
        json answer = ErrorJson(error);
        answer["error"].update(e.detail);
        call.Json(e.status, answer);
        if (e.status == 503 && !response.has_header("Retry-After")) response.set_header("Retry-After", "5");
        LogRequestFailure(qx::LogWarning, "backoffice.serve " + name, e.what());
    } catch (const ole::AutomationError& e) {
        // the component has logged it already: one entry per failure
        int status = ErrorStatus(e.Info());
        if (status == 503) {
            // the database's own text may name its host, socket or file: the client learns only this
            ole::SlsErrorInfo unavailable = e.Info();
            unavailable.Description = unavailable.Reason = "The database is busy or cannot be reached; try again later";
            unavailable.ReasonInfo.clear();
            call.Json(status, ErrorJson(unavailable));
            response.set_header("Retry-After", "5");
        } else {
            call.Json(status, ErrorJson(e.Info()));
        }
    } catch (const std::exception& e) {
        auto error = HostError(ole::err::AutomationFailure, "backoffice.serve " + name, e.what());
        call.Json(500, ErrorJson(error));
        LogRequestFailure(qx::LogError, "backoffice.serve " + name, e.what());
    }
    if (claimed) SettleIdempotencyKey(*claimed, response);
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    state.metrics.Count(name, response.status, seconds);
    if (operatorName.empty()) operatorName = OperatorLoggedIn(state, response);
    WriteAccessLine(request, response, name, seconds, state.KeyKindOf(request), operatorName);
}

int HttpHost::Bind(const std::string& host, int port, std::string* why) {
    std::string reason;
    int bound = server_->Bind(host, port, reason);
    if (why) *why = reason;
    return bound;
}

bool HttpHost::Serve() { return server_->Serve(); }

bool HttpHost::Stop() {
    server_->Stop();
    return true;
}

}  // namespace backoffice::http
