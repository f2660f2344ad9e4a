#include "ordexa/reqlink/form_post.h"

#include <algorithm>
#include <chrono>

#include "ordexa/reqlink/reqlink.h"
#include "platform/net/http_post.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace {

void Post(const std::string& body, const std::string& url, std::chrono::milliseconds timeOut, FormPostAnswer& answer) {
    long total = std::max<long>(1, static_cast<long>(timeOut.count()));
    // the reply body is not read; it is only drained
    net::HttpReply reply = net::Post({url, "application/x-www-form-urlencoded", body, "",
                                      std::chrono::milliseconds(std::min(total, 5000L)), std::chrono::milliseconds(total), 0});
    answer.answered = reply.status != 0;
    answer.httpStatus = static_cast<int32_t>(reply.status);
    if (reply.TimedOut()) ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure, "Server timeout");
    if (reply.curlCode != 0) ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure, reply.error);
    if (reply.status < 200 || reply.status > 299)
        ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure,
                   "The server answered HTTP status " + std::to_string(reply.status));
}

}  // namespace

int32_t InetHttpFormPost(const std::string& document, const std::string& field, const std::string& url,
                         int32_t secondsTimeOut) {
    FormPostAnswer answer;
    InetHttpFormPost(document, field, url, std::chrono::seconds(std::max<int32_t>(1, secondsTimeOut)), answer);
    return answer.httpStatus;
}

void InetHttpFormPost(const std::string& document, const std::string& field, const std::string& url,
                      std::chrono::milliseconds timeOut, FormPostAnswer& answer) {
    answer = FormPostAnswer();
    try {
        Post(field + "=" + UrlEncode(document), url, timeOut, answer);
    } catch (...) {
        Sls_RaiseError("Ordexa.Reqlink.InetHttpFormPost()", "xml: " + document + " HTTP address: " + url);
    }
}

std::string UrlEncode(const std::string& text) {
    try {
        static const char* kHex = "0123456789ABCDEF";
        std::string out;
        out.reserve(text.size() * 3 / 2);
        for (unsigned char c : text) {
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~') out += static_cast<char>(c);
            else {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
        }
        return out;
    } catch (...) {
        Sls_RaiseError("Ordexa.Reqlink.UrlEncode()", "Error encoding url: " + text);
    }
}

}  // namespace ordexa
