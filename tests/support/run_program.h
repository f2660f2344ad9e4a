// Runs a program of the build (the host, the simulator) as a separate process.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and error
};

// The text quoted for the shell.
std::string Quoted(const std::string& text);

// Runs "program arguments" through the shell and waits for it.
Outcome RunProgram(const std::string& program, const std::string& arguments);

class TestDatabase;

// `backoffice init --demo --home home` (the program at `backoffice`) on the
// test's database: on PostgreSQL its schema, on SQLite the installation's own
// file. The outcome of the run, and the connection string of the installation.
Outcome InitDemoInstallation(const std::string& backoffice, const std::filesystem::path& home, const TestDatabase& db);
std::string DemoConnectionString(const std::filesystem::path& home, const TestDatabase& db);

// A simulator of an outside system (gateway, broker, back end) run as its own
// process for a test: `args` start it so that it writes its port to
// folder/port; its output goes to folder/simulator.log. The constructor returns
// once it listens; the destructor stops it (SIGTERM, then SIGKILL).
class SimulatorProcess {
public:
    SimulatorProcess(std::vector<std::string> args, const std::filesystem::path& folder, const std::string& name);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;
    int Port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testing_support
