// The broker simulator (apps/broker_simulator) on loopback for tests: it takes
// the shop's form posts and journals them. The constructor returns once the
// simulator listens; the destructor stops it.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "run_program.h"
#include "test_db.h"

namespace testing_support {

class BrokerSimulator {
public:
    struct Options {
        std::map<std::string, int> statuses;  // path -> HTTP status
        std::map<std::string, int> delaysMs;  // path -> delay before the answer
        int port = 0;                         // 0: any free port
    };
    BrokerSimulator() : BrokerSimulator(Options{}) {}
    explicit BrokerSimulator(const Options& options);
    BrokerSimulator(const BrokerSimulator&) = delete;
    BrokerSimulator& operator=(const BrokerSimulator&) = delete;

    int Port() const { return process_->Port(); }
    // "http://127.0.0.1:<port>" + path
    std::string Url(const std::string& path) const;
    // The posts received, in order: path, content_type, body, xmlinput.
    std::vector<nlohmann::json> Journal() const;

    // Runs `broker-simulator send`; the exit code, and what it printed.
    static int Send(const std::string& url, const std::string& key, const std::string& file, bool xml,
                    std::string* output = nullptr);

private:
    TempDir dir_;
    std::optional<SimulatorProcess> process_;  // after dir_, which holds its files
};

}  // namespace testing_support
