// The host's own counters for GET /metrics: requests by route and status code
// and a latency histogram; the tally of the card gateway's requests read so
// far; the process's own figures. Safe to use from every worker thread.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "ordexa/payment/gateway_statistics.h"

namespace backoffice::http {

class Metrics {
public:
    // Upper bounds of the latency buckets, in seconds.
    static constexpr std::array<double, 10> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                        0.025,  0.05,  0.1,    0.5,   2.5};

    void Count(const std::string& route, int status, double seconds);
    // The Prometheus text lines of these counters.
    std::string Text() const;

    std::mutex gatewayMutex;  // one scrape reads the gateway's requests at a time
    ordexa::GatewayTally gateway;

private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, uint64_t> requests_;
    std::array<uint64_t, kBuckets.size()> buckets_{};
    uint64_t count_ = 0;
    double sum_ = 0;
};

// The process's resident memory, open descriptors, CPU seconds and start time
// (from /proc/self), in Prometheus's standard process_* names.
std::string ProcessMetrics();

// A label value of the text format: backslash, quote and line break escaped.
std::string LabelValue(const std::string& text);

}  // namespace backoffice::http
