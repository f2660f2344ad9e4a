#include "http/http_metrics.h"

#include <sstream>

namespace backoffice::http {

void Metrics::Count(const std::string& route, int status, double seconds) {
    std::lock_guard lock(mutex_);
    ++requests_[{route, status}];
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) ++buckets_[i];
    ++count_;
    sum_ += seconds;
}

std::string Metrics::Text() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << "# HELP backoffice_http_requests_total HTTP requests answered, by route and status code.\n"
        << "# TYPE backoffice_http_requests_total counter\n";
    for (const auto& [key, n] : requests_)
        out << "backoffice_http_requests_total{route=\"" << LabelValue(key.first) << "\",code=\"" << key.second
            << "\"} " << n << "\n";
    out << "# HELP backoffice_http_request_duration_seconds Time from routing to the answer.\n"
        << "# TYPE backoffice_http_request_duration_seconds histogram\n";
    for (size_t i = 0; i < kBuckets.size(); ++i)
        out << "backoffice_http_request_duration_seconds_bucket{le=\"" << kBuckets[i] << "\"} " << buckets_[i] << "\n";
    out << "backoffice_http_request_duration_seconds_bucket{le=\"+Inf\"} " << count_ << "\n"
        << "backoffice_http_request_duration_seconds_sum " << sum_ << "\n"
        << "backoffice_http_request_duration_seconds_count " << count_ << "\n";
    return out.str();
}

std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace backoffice::http
