// `backoffice serve` as a child process on a port the system chooses, for the
// tests that speak HTTP to it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include <httplib.h>

namespace testing_support {

class ServeProcess {
public:
    // Starts the host for the installation and waits until it listens.
    explicit ServeProcess(const std::filesystem::path& home, const std::string& listen = "127.0.0.1:0");
    ~ServeProcess();

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // SIGTERM, then the exit code (or -1 when it did not end within the time-out).
    int Stop();
    // What it printed so far (after Stop: everything).
    std::string Output() const;

    // A client with the shop key (or no key) that keeps its connection alive; in the
    // tests every answer it receives must keep the API description (api_contract.h),
    // the benchmarks measure without that check.
    httplib::Client Client(const std::string& key) const;

private:
    pid_t pid_ = -1;
    int port_ = -1;
    std::string outputFile_;
};

// A setting of an installation's configuration file (section, name).
std::string SettingOf(const std::filesystem::path& file, const std::string& section, const std::string& name);

}  // namespace testing_support
