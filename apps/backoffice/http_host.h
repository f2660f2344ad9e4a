// The HTTP host behind `backoffice serve`: binds, serves the route table with
// a fixed pool of worker threads, and stops gracefully.
//
// Threads: each worker starts with the installation's state (the libraries'
// per-thread caches are reset and the connection string read), so a request
// sees the installation the host was started for. Stop() closes the listening
// socket, lets requests in flight finish and waits at most the configured
// shutdown time-out for them.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "batch_runner.h"
#include "host_settings.h"
#include "http_metrics.h"
#include "http_routes.h"

namespace backoffice::http {

// The operators' sessions: random tokens in an HttpOnly, SameSite=Strict cookie.
class Sessions {
public:
    std::string Open(std::chrono::minutes lifetime);
    bool Valid(const std::string& token);
    void Close(const std::string& token);

private:
    std::mutex mutex_;
    std::map<std::string, std::chrono::steady_clock::time_point> open_;
};

class HostState {
public:
    HostState(std::filesystem::path home, HostSettings settings, bool tls)
        : home(std::move(home)), settings(std::move(settings)), tls(tls), batches(this->home) {}

    // True when the request carries what the access level asks for.
    bool Allowed(Access access, const httplib::Request& request);
    // The session token of the request's cookie ("" without one).
    static std::string SessionOf(const httplib::Request& request);

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

    // Binds host:port (port 0: one the system chooses); returns the port, or -1.
    int Bind(const std::string& host, int port);
    // Serves until Stop(); false when it could not. Returns at once when Stop() came first.
    bool Serve();
    // Stops taking requests, also when Serve() has not begun yet (it then does not
    // begin); returns false when requests in flight did not end in time.
    bool Stop();

    HostState& State() { return *state_; }

private:
    class Workers;
    std::unique_ptr<HostState> state_;
    std::unique_ptr<httplib::Server> server_;
    Router router_;
    Workers* workers_ = nullptr;  // owned by the server while it serves
    std::mutex stopping_;
    bool stopRequested_ = false;
    bool serving_ = false;  // Serve() has begun and not returned
};

// The largest body the host takes on a path.
size_t BodyLimit(const HostSettings& settings, const std::string& path);

// True for the addresses only this machine reaches (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& host);

// The route table with a name for metrics and logs: "GET /api/v1/baskets/{id}".
std::string RouteName(const Route& route);

}  // namespace backoffice::http
