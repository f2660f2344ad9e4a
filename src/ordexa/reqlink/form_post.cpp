#include "reqlink/form_post.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include "lib_sales.h"
#include "reqlink/reqlink.h"

namespace ordexa {
namespace {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The reply body is not read; it is only drained.
size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

struct EasyHandle {
    CURL* handle = curl_easy_init();
    curl_slist* headers = nullptr;
    ~EasyHandle() {
        if (headers) curl_slist_free_all(headers);
        if (handle) curl_easy_cleanup(handle);
    }
};

void Post(const std::string& body, const std::string& url, int32_t seconds) {
    GlobalInit();
    EasyHandle curl;
    if (!curl.handle) ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure, "The HTTP client cannot start");
    long total = std::max<long>(1, seconds) * 1000L;
    char errorText[CURL_ERROR_SIZE] = {};
    curl.headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    curl.headers = curl_slist_append(curl.headers, "Expect:");
    curl_easy_setopt(curl.handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.handle, CURLOPT_HTTPHEADER, curl.headers);
    curl_easy_setopt(curl.handle, CURLOPT_POST, 1L);
    curl_easy_setopt(curl.handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl.handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl.handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl.handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl.handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl.handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl.handle, CURLOPT_CONNECTTIMEOUT_MS, std::min(total, 5000L));
    // libcurl measures the whole post on a monotonic clock
    curl_easy_setopt(curl.handle, CURLOPT_TIMEOUT_MS, total);
    CURLcode result = curl_easy_perform(curl.handle);
    if (result == CURLE_OPERATION_TIMEDOUT)
        ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure, "Server timeout");
    if (result != CURLE_OK)
        ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure, errorText[0] ? errorText : curl_easy_strerror(result));
    long status = 0;
    curl_easy_getinfo(curl.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
        ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure,
                   "The server answered HTTP status " + std::to_string(status));
}

}  // namespace

void InetHttpFormPost(const std::string& document, const std::string& field, const std::string& url,
                      int32_t secondsTimeOut) {
    try {
        Post(field + "=" + UrlEncode(document), url, secondsTimeOut);
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
