// The HTTP form post that carries every broker document: one field, the
// document URL-encoded, posted with libcurl. A reply other than 2xx, a
// connection that fails and a post that runs past its time-out (measured on a
// monotonic clock) all raise reqlinkInetHttpFormPostFailure. Redirects are not
// followed; TLS certificates are verified against the system's CAs.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ordexa {

// What came back of a post, also when it raised.
struct FormPostAnswer {
    bool answered = false;   // false: no connection, or no answer in time (what a caller backs off from)
    int32_t httpStatus = 0;  // the HTTP status of the answer; 0 without one
};

// Returns the HTTP status it got (2xx).
int32_t InetHttpFormPost(const std::string& document, const std::string& field, const std::string& url,
                         int32_t secondsTimeOut);
// The same with the time-out in milliseconds; `answer` is filled in also when it raises.
void InetHttpFormPost(const std::string& document, const std::string& field, const std::string& url,
                      std::chrono::milliseconds timeOut, FormPostAnswer& answer);

}  // namespace ordexa
