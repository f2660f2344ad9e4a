// The transport of `backoffice serve`: an event-driven HTTP/1.1 server (plain
// or TLS) that hands each complete request to a fixed pool of worker threads.
//
// Reading is bounded in time, not per read: a request's head must arrive
// within HeaderTimeoutSeconds (a TLS handshake too), its body at
// BodyMinBytesPerSecond after a grace of ReadTimeout, and an answer must be
// taken at the same rate after a grace of WriteTimeout. A connection waiting
// for a request holds no thread; only a complete request occupies a worker.
// Over MaxConnectionsPerClient open connections from one address, a new one
// is closed at once. Bodies over the path's limit are refused (413) before
// they are read. Range requests are not served: an answer is always whole.
//
// Stop() closes the listener and the connections that wait for a request;
// requests already read are answered (with "Connection: close") and Serve()
// returns once they are.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <httplib.h>

#include "http/host_settings.h"

namespace backoffice::http {

class HttpServer {
public:
    struct Callbacks {
        std::function<void()> workerStarts;                        // once on each worker thread
        std::function<size_t(const std::string& path)> bodyLimit;  // the largest body taken on a path
        // Both run on a worker. A request carries method, target, the decoded path, the
        // headers, the body and the client's address; parameters are the answerer's to read.
        std::function<void(httplib::Request&, httplib::Response&)> answer;
        // A request the transport refuses (status and why): the answer in the host's error format.
        std::function<void(httplib::Request&, httplib::Response&, int status, const std::string& why)> refuse;
    };

    // TLS when the settings name a certificate and a key (that cannot be read: raises).
    HttpServer(const HostSettings& settings, Callbacks callbacks);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds host:port (port 0: one the system chooses) and listens; the port, or -1 and why.
    // The port is this host's alone: a port another program listens on is refused.
    int Bind(const std::string& host, int port, std::string& why);
    // Serves until Stop(); returns at once when Stop() came first.
    bool Serve();
    // Thread-safe; also before Serve() (which then does not begin).
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace backoffice::http
