// The HTTP host behind `backoffice serve`: binds, serves the route table with
// a fixed pool of worker threads (the transport is HttpServer), and stops
// gracefully.
//
// Threads: each worker starts with the installation's state (the libraries'
// per-thread caches are reset and the connection string read), so a request
// sees the installation the host was started for. Stop() closes the listening
// socket and lets requests in flight finish; `backoffice serve` waits at most
// the configured shutdown time-out for them.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "batch/batch_runner.h"
#include "http/host_settings.h"
#include "http/http_metrics.h"
#include "http/http_routes.h"
#include "http/http_server.h"

namespace backoffice::http {

// The operators' sessions: random tokens in an HttpOnly, SameSite=Strict cookie,
// each opened for one operator (a person's name, or "operator key"), each with
// its own random CSRF token that the session's POSTs carry in X-CSRF-Token.
class Sessions {
public:
    std::string Open(std::chrono::minutes lifetime, const std::string& operatorName);
    bool Valid(const std::string& token);
    // The operator the session was opened for ("" when the token is not valid).
    std::string OperatorOf(const std::string& token);
    // The session's CSRF token ("" when the token is not valid).
    std::string CsrfOf(const std::string& token);
    void Close(const std::string& token);

private:
    struct Open_ {
        std::chrono::steady_clock::time_point until;
        std::string operatorName;
        std::string csrf;
    };
    std::mutex mutex_;
    std::map<std::string, Open_> open_;
};

class HostState {
public:
    HostState(std::filesystem::path home, HostSettings settings, bool tls)
        : home(std::move(home)), settings(std::move(settings)), tls(tls), batches(this->home) {}

    // True when the request carries what the access level asks for.
    bool Allowed(Access access, const httplib::Request& request);
    // True when the request carries a valid key or operator session, whatever it may call.
    bool Authenticated(const httplib::Request& request);
    // The session token of the request's cookie ("" without one).
    static std::string SessionOf(const httplib::Request& request);
    // Who makes an operator call: the operator of its personal key or of its
    // session, "operator key" for the shared OperatorApiKey, "" when the request
    // carries none of them or names a removed operator (whose session ends).
    std::string OperatorOf(const httplib::Request& request);
    // True when an operator POST must carry its session's CSRF token: it comes
    // with a session cookie and no bearer key.
    static bool NeedsCsrfToken(const httplib::Request& request);
    // True when the request carries the CSRF token of its session.
    bool CsrfTokenHolds(const httplib::Request& request);
    // The kind of key a request carries, for the access log: "shop", "operator",
    // "broker", "session" or "none" (a key that opens nothing is "none").
    std::string KeyKindOf(const httplib::Request& request);

    const std::filesystem::path home;
    const HostSettings settings;
    const bool tls;
    Sessions sessions;
    Metrics metrics;
    BatchRunner batches;
};

class HttpHost {
public:
    // TLS when settings name a certificate and a key.
    HttpHost(std::filesystem::path home, HostSettings settings);
    ~HttpHost();

    // Binds host:port (port 0: one the system chooses); returns the port, or -1 and
    // (with `why`) the reason. A port another program listens on is refused.
    int Bind(const std::string& host, int port, std::string* why = nullptr);
    // Serves until Stop(); returns at once when Stop() came first.
    bool Serve();
    // Stops taking requests, also when Serve() has not begun yet (it then does not begin).
    bool Stop();

    HostState& State() { return *state_; }

private:
    struct CompiledRoute;
    // On a worker: the request routed, checked and answered in the one error format.
    void Answer(httplib::Request& request, httplib::Response& response) const;
    // The route of the request, or nullptr after answering 404 or 405 (with Allow).
    const CompiledRoute* FindRoute(httplib::Request& request, httplib::Response& response,
                                   std::vector<std::string_view>& values) const;
    // The route's handler with what the host does around it: the basket's lock, If-Match and ETag.
    void Run(const CompiledRoute& route, Call& call) const;
    // The ETag of the basket a route answered with, where the route did not set it.
    void SetBasketETag(const CompiledRoute& route, Call& call) const;
    void Refuse(const httplib::Request& request, httplib::Response& response, int status, const std::string& why) const;

    std::unique_ptr<HostState> state_;
    Router router_;
    std::vector<CompiledRoute> routes_;
    std::unique_ptr<HttpServer> server_;
};

// The largest body the host takes on a path.
size_t BodyLimit(const HostSettings& settings, const std::string& path);

// Why the host is not ready to serve ("" none): a configuration that cannot be
// used, a database that does not answer, a log that cannot be written.
std::vector<std::string> ReadinessProblems(const HostState& host);

// True for the addresses only this machine reaches (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& host);

// The route table with a name for metrics and logs: "GET /api/v1/baskets/{id}".
std::string RouteName(const Route& route);

}  // namespace backoffice::http
