// The gateway simulator (apps/gateway_simulator) on loopback for tests: over
// HTTPS with a certificate of a test CA that the first simulator of the test
// program makes with `openssl`, or over plain HTTP. The constructor returns
// once the simulator listens; the destructor stops it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "run_program.h"
#include "test_db.h"

namespace testing_support {

class GatewaySimulator {
public:
    struct Options {
        bool https = true;
        int delayMs = 3000;  // the late reply to an amount ending in .88
        int latencyMs = 0;   // every request
    };
    GatewaySimulator() : GatewaySimulator(Options{}) {}
    explicit GatewaySimulator(const Options& options);
    GatewaySimulator(const GatewaySimulator&) = delete;
    GatewaySimulator& operator=(const GatewaySimulator&) = delete;

    // "https://127.0.0.1:<port>/ics" (or http://)
    std::string Url() const;
    // The test CA's certificate (PEM) that verifies the simulator.
    static std::string CaFile();
    // The certificate for 127.0.0.1 that the CA signed, and its key (PEM), for other servers of the tests.
    static std::string ServerCertificateFile();
    static std::string ServerKeyFile();
    // The journal: one map of fields per request, in order.
    std::vector<std::map<std::string, std::string>> Journal() const;
    // The journal's requests whose field has the value (e.g. "applications", "ics_bill").
    size_t Count(const std::string& field, const std::string& value) const;
    std::string JournalText() const;
    // Points a demo installation (which asks 127.0.0.1:18490) at this simulator
    // and has it trust the test CA; the configuration file stays owner-only.
    void ServeInstallation(const std::filesystem::path& home) const;

private:
    TempDir dir_;
    std::optional<SimulatorProcess> process_;  // after dir_, which holds its files
    bool https_;
};

}  // namespace testing_support
