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

void InetHttpFormPost(const std::string& document, const std::string& field, const std::string& url,
                      int32_t secondsTimeOut);
// The same with the time-out in milliseconds; `answered` tells, also when it
// raises, whether the server answered at all (false: no connection, or no
// answer in time), which is what a caller backs off from.
void InetHttpFormPost(const std::string& document, const std::string& field, const std::string& url,
                      std::chrono::milliseconds timeOut, bool& answered);

}  // namespace ordexa
