#include "http/http_host.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <regex>

#include "interfaces/vendalo/freight_cost.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/payment/checkout_authorization.h"
#include "platform/gateway/gateway_client.h"
#include "platform/log/log.h"
#include "platform/masterdata/membership.h"
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
    try {
        auto log = ole::CreateObjectAs<qx::ILog>("Qxcore.Log");
        log->WriteEntry(label, Sls_FormatError(description, ole::err::InvalidProcedureCall, label), level);
    } catch (...) {
        // a failing log never hides the answer
    }
}

ole::SlsErrorInfo HostError(int32_t number, const std::string& label, const std::string& description) {
    ole::SlsErrorInfo e(number, label, description);
    e.Reason = description;
    e.Methods = {label};
    return e;
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

std::string Sessions::Open(std::chrono::minutes lifetime) {
    std::string token = qx::NewAccessCode() + qx::NewAccessCode();
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    std::erase_if(open_, [&](const auto& entry) { return entry.second < now; });
    open_[token] = now + lifetime;
    return token;
}

bool Sessions::Valid(const std::string& token) {
    if (token.empty()) return false;
    std::lock_guard lock(mutex_);
    auto it = open_.find(token);
    if (it == open_.end()) return false;
    if (it->second < Clock::now()) {
        open_.erase(it);
        return false;
    }
    return true;
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

bool HostState::Allowed(Access access, const httplib::Request& request) {
    switch (access) {
        case Access::Public: return true;
        case Access::Shop: return SameKey(BearerOf(request), settings.shopApiKey);
        case Access::Operator:
            return SameKey(BearerOf(request), settings.operatorApiKey) || sessions.Valid(SessionOf(request));
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
    if (request.body.empty() && allowEmpty) return json::object();
    std::string type = request.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) != 0)
        throw RequestError(415, "The body must be JSON (Content-Type: application/json)");
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) throw RequestError(400, "The body is not well-formed JSON");
    if (!body.is_object()) throw RequestError(400, "The body must be a JSON object");
    return body;
}

std::string Call::Id(const std::string& name) const {
    std::string id = Param(name);
    static const std::regex hex("[0-9A-Fa-f]{32}");
    if (!std::regex_match(id, hex)) throw RequestError(400, "The " + name + " must be 32 hexadecimal characters");
    for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

void Call::Json(int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
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
        case vendalo::OrderNotFound:
        case vendalo::CustomerPriceNotFound:
        case vendalo::ProductPriceNotFound:
        case vendalo::kFreightError:              // no freight group or no tariff for what was asked
        case ordexa::kCheckoutBasketNotFound: return 404;
        case ado::err::MultipleStep:                  // a value that does not fit its field
        case ado::err::IntegrityViolation: return 400;  // a key or constraint the value violates
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
    std::string name;                 // for metrics and logs
    std::regex pattern;               // "{name}" as one path segment
    std::vector<std::string> params;  // the names, in the pattern's order
};

HttpHost::HttpHost(std::filesystem::path home, HostSettings settings) {
    bool tls = !settings.tlsCertificate.empty() && !settings.tlsKey.empty();
    state_ = std::make_unique<HostState>(std::move(home), std::move(settings), tls);
    AddAllRoutes(router_);
    for (const Route& route : router_.Routes()) {
        if (route.method != "GET" && route.method != "POST" && route.method != "PUT" && route.method != "DELETE")
            throw std::logic_error("route " + RouteName(route) + ": unknown method");
        std::string regex = std::regex_replace(route.pattern, std::regex(R"(\{[a-zA-Z]+\})"), "([^/]+)");
        routes_.push_back({route, RouteName(route), std::regex(regex), ParamNames(route.pattern)});
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
    auto error = HostError(ole::err::InvalidProcedureCall, "backoffice.serve", why);
    response.status = status;
    response.set_content(ErrorJson(error).dump(), "application/json");
    state_->metrics.Count("(no route)", status, 0);
    LogRequestFailure(qx::LogWarning, "backoffice.serve " + request.method + " " + request.path.substr(0, 200), why);
}

void HttpHost::Answer(httplib::Request& request, httplib::Response& response) const {
    HostState& state = *state_;
    if (UnsafePath(request.path)) {
        auto error = HostError(ole::err::InvalidProcedureCall, "backoffice.serve", "The path is not allowed");
        response.status = 400;
        response.set_content(ErrorJson(error).dump(), "application/json");
        state.metrics.Count("(refused path)", 400, 0);
        return;
    }
    if (size_t query = request.target.find('?'); query != std::string::npos)
        httplib::detail::parse_query_text(request.target.substr(query + 1), request.params);
    // a form's fields are parameters too (the log-in form); the broker's documents are read by their route
    if (request.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0 &&
        request.path != kRequisitionIntakePath)
        httplib::detail::parse_query_text(request.body, request.params);

    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    const CompiledRoute* found = nullptr;
    std::smatch matches;
    for (const CompiledRoute& candidate : routes_)
        if (candidate.route.method == method && std::regex_match(request.path, matches, candidate.pattern)) {
            found = &candidate;
            break;
        }
    if (!found) return Refuse(request, response, 404, "There is no such resource");

    const Route& route = found->route;
    const std::string& name = found->name;
    auto started = Clock::now();
    Call call(request, response, state);
    for (size_t i = 0; i < found->params.size() && i + 1 < matches.size(); ++i)
        call.params[found->params[i]] = matches[i + 1].str();
    try {
        if (request.body.size() > BodyLimit(state.settings, request.path))
            throw RequestError(413, "The body is larger than the host takes");
        if (!state.Allowed(route.access, request)) {
            if (route.access == Access::Operator && request.method == "GET" &&
                request.get_header_value("Accept").find("text/html") != std::string::npos) {
                call.Redirect("/login");
            } else {
                throw RequestError(401, "A valid key is needed (Authorization: Bearer <key>)");
            }
        } else {
            route.handler(call);
            if (response.status == -1) response.status = 200;
        }
    } catch (const RequestError& e) {
        auto error = HostError(e.number, "backoffice.serve " + name, e.what());
        json answer = ErrorJson(error);
        answer["error"].update(e.detail);
        call.Json(e.status, answer);
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
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    state.metrics.Count(name, response.status, seconds);
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
