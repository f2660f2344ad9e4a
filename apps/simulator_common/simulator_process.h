// A simulator of an outside system (gateway, broker, back end) run as its own
// process by a test or a benchmark. Like the simulators, it links nothing of
// the system.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace simcommon {

// `args` (the program first) start the simulator so that it writes its port to
// folder/port; its output goes to folder/simulator.log. The constructor returns
// once it listens and throws when it does not within ten seconds. The simulator
// gets SIGTERM when the thread that started it ends (PR_SET_PDEATHSIG: start it
// on the main thread), so a test or benchmark that crashes leaves none running;
// the destructor stops it (SIGTERM, then SIGKILL).
class SimulatorProcess {
public:
    SimulatorProcess(std::vector<std::string> args, const std::filesystem::path& folder, const std::string& name);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;
    int Port() const { return port_; }

private:
    void Stop();

    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace simcommon
