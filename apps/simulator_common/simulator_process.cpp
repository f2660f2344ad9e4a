#include "simulator_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace simcommon {

namespace {

std::string Contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

SimulatorProcess::SimulatorProcess(std::vector<std::string> args, const std::filesystem::path& folder,
                                   const std::string& name) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = (folder / "simulator.log").string();
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("cannot start the " + name + " " + args[0]);
    if (pid_ == 0) {  // only async-signal-safe calls from here to exec
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(127);  // the parent is gone already
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const std::filesystem::path portFile = folder / "port";
    for (int i = 0; i < 400 && !std::filesystem::exists(portFile); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::istringstream port(Contents(portFile));
    if (!(port >> port_) || port_ <= 0) {
        std::string output = Contents(log);
        Stop();
        throw std::runtime_error("the " + name + " did not start: " + output);
    }
}

SimulatorProcess::~SimulatorProcess() { Stop(); }

void SimulatorProcess::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

}  // namespace simcommon
