#include "platform/net/http_post.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace net {
namespace {

class ThreadHandle {
public:
    ~ThreadHandle() {
        if (handle_) curl_easy_cleanup(handle_);
    }
    // The thread's handle, reset to no options (its open connections stay); null when libcurl cannot start.
    CURL* Get() {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        if (!handle_)
            handle_ = curl_easy_init();
        else
            curl_easy_reset(handle_);
        return handle_;
    }

private:
    CURL* handle_ = nullptr;
};
thread_local ThreadHandle tHandle;

struct Sink {
    std::string* body;
    size_t limit;
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
    auto* sink = static_cast<Sink*>(target);
    if (sink->limit == 0) return size * count;  // drained
    if (sink->body->size() + size * count > sink->limit) return 0;
    sink->body->append(data, size * count);
    return size * count;
}

}  // namespace

std::string HostOfUrl(const std::string& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return "";
    char* text = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &text, 0) != CURLUE_OK || !text) return "";
    std::string host(text);
    curl_free(text);
    for (char& c : host)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return host;
}

bool HttpReply::TimedOut() const { return curlCode == CURLE_OPERATION_TIMEDOUT; }

HttpReply Post(const HttpPost& post) {
    HttpReply reply;
    CURL* curl = tHandle.Get();
    if (!curl) {
        reply.curlCode = CURLE_FAILED_INIT;
        reply.error = "the HTTP client cannot start";
        return reply;
    }
    Sink sink{&reply.body, post.maxReply};
    char errorText[CURL_ERROR_SIZE] = {0};
    std::string contentType = "Content-Type: " + post.contentType;
    curl_slist* headers = curl_slist_append(nullptr, contentType.c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, post.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!post.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, post.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(post.connectTimeout.count()));
    // libcurl measures the whole post on a monotonic clock
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(post.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    auto started = std::chrono::steady_clock::now();
    CURLcode result = curl_easy_perform(curl);
    reply.elapsed = std::chrono::steady_clock::now() - started;
    curl_slist_free_all(headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    long requestSize = 0;
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &requestSize);
    reply.requestSent = requestSize > 0;
    reply.curlCode = result;
    if (result != CURLE_OK) reply.error = errorText[0] ? errorText : curl_easy_strerror(result);
    return reply;
}

}  // namespace net
