// A bare HTTP/1.1 client for the benchmarks: one kept-alive loopback
// connection that sends a request's bytes and reads one answer by its
// Content-Length. The shop's web pages run on machines of their own; measuring
// the host with an HTTP library's client would count that library's work too.
#pragma once

#include <string>

namespace bench_support {

class BareHttpClient {
public:
    struct Answer {
        int status = -1;  // -1: the connection ended or the answer could not be read
        std::string body;
    };

    // Connects to 127.0.0.1:port; `key` goes as the bearer token ("" none).
    BareHttpClient(int port, std::string key);
    ~BareHttpClient();
    BareHttpClient(const BareHttpClient&) = delete;
    BareHttpClient& operator=(const BareHttpClient&) = delete;

    Answer Get(const std::string& path) { return Call("GET", path, ""); }
    Answer Post(const std::string& path, const std::string& json) { return Call("POST", path, json); }
    Answer Put(const std::string& path, const std::string& json) { return Call("PUT", path, json); }
    // The request as it goes on the wire (a JSON body when `json` is not empty).
    std::string Request(const std::string& method, const std::string& path, const std::string& json) const;
    // Sends bytes made by Request and reads the answer whole (status line,
    // headers, body) into `answer`; false when the connection ended.
    bool Exchange(const std::string& request, std::string& answer);

private:
    Answer Call(const std::string& method, const std::string& path, const std::string& json);

    int fd_ = -1;
    std::string key_;
};

}  // namespace bench_support
