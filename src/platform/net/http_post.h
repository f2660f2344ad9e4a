// One HTTP POST through libcurl with the rules every outgoing post of the
// system keeps (to the card gateway, the back ends' business objects, the
// requisition broker): http and https only, no redirects, the peer's
// certificate and name verified, no signals, a connect and an overall
// time-out. The easy handle is one per thread and kept between posts, so a run
// of many posts to one host reuses its connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace net {

struct HttpPost {
    std::string url, contentType, body;
    std::string caFile;  // empty: the system's certificate authorities
    std::chrono::milliseconds connectTimeout{5000}, timeout{30000};
    size_t maxReply = 1u << 20;  // a longer reply fails the post; 0: the reply is drained, not kept
};

struct HttpReply {
    int curlCode = 0;           // 0 when an answer came (of any HTTP status)
    std::string error;          // libcurl's reason when curlCode is not 0
    long status = 0;            // the HTTP status; 0 when none came
    bool requestSent = false;   // a byte of the request went out: the peer may have acted on it
    std::string body;
    std::chrono::nanoseconds elapsed{0};
    bool TimedOut() const;
};

// The host name of a URL in lower case, without port, user or path; "" when it is no URL.
std::string HostOfUrl(const std::string& url);

// Posts and answers what happened; a failed transfer is reported, not raised:
// what it means is the caller's to say.
HttpReply Post(const HttpPost& post);

}  // namespace net
