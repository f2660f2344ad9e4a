// The card gateway's requests as counts and latencies for the host's metrics.
// Rows are read once: a tally remembers the highest REQUESTSEQ it has read and
// the rows it read while their outcome was still open, so a scrape reads only
// what changed since the last one (by primary key), however long the table.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace ordexa {

class GatewayTally {
public:
    // Upper bounds of the latency buckets, in seconds.
    static constexpr std::array<double, 9> kBuckets = {0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

    struct Latency {
        std::array<uint64_t, kBuckets.size()> buckets{};
        uint64_t count = 0;
        double sum = 0;
    };

    // Reads the rows added or settled since the last call (raises as the database does).
    void Update(const std::string& connectionString);

    // Settled requests by (OPERATION, result): "accepted", "declined", "error",
    // "not_sent" (never reached the gateway) or "resolved" (an unknown outcome settled by hand).
    const std::map<std::pair<std::string, std::string>, uint64_t>& Outcomes() const { return outcomes_; }
    // Time from sending to the reply of the answered requests, by OPERATION.
    const std::map<std::string, Latency>& Latencies() const { return latencies_; }
    // Requests whose outcome is still unknown (STATE 'SENT').
    size_t Open() const { return open_.size(); }

private:
    void Count(const std::string& operation, const std::string& state, const std::string& rcode, double seconds);

    int64_t readUpTo_ = 0;
    std::set<int64_t> open_;
    std::map<std::pair<std::string, std::string>, uint64_t> outcomes_;
    std::map<std::string, Latency> latencies_;
};

}  // namespace ordexa
