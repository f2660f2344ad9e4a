#include "broker_simulator.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "run_program.h"

extern char** environ;

namespace testing_support {

namespace fs = std::filesystem;

BrokerSimulator::BrokerSimulator(const Options& options) {
    std::vector<std::string> args = {BROKER_SIMULATOR_BINARY, "serve", "--port", std::to_string(options.port),
                                     "--port-file", (dir_.Path() / "port").string(), "--journal",
                                     (dir_.Path() / "journal").string()};
    for (const auto& [path, status] : options.statuses) args.insert(args.end(), {"--status", path + "=" + std::to_string(status)});
    for (const auto& [path, ms] : options.delaysMs) args.insert(args.end(), {"--delay", path + "=" + std::to_string(ms)});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string out = (dir_.Path() / "simulator.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the broker simulator " + args[0]);
    fs::path portFile = dir_.Path() / "port";
    for (int i = 0; i < 400 && !fs::exists(portFile); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (!fs::exists(portFile)) throw std::runtime_error("the broker simulator did not start: " + ReadFile(out));
    port_ = std::stoi(ReadFile(portFile));
}

BrokerSimulator::~BrokerSimulator() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
}

std::string BrokerSimulator::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<nlohmann::json> BrokerSimulator::Journal() const {
    std::vector<nlohmann::json> entries;
    fs::path journal = dir_.Path() / "journal";
    if (!fs::exists(journal)) return entries;
    std::istringstream lines(ReadFile(journal));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) entries.push_back(nlohmann::json::parse(line));
    return entries;
}

int BrokerSimulator::Send(const std::string& url, const std::string& key, const std::string& file, bool xml,
                          std::string* output) {
    Outcome result = RunProgram(BROKER_SIMULATOR_BINARY, "send --url " + Quoted(url) + " --key " + Quoted(key) +
                                                             " --file " + Quoted(file) + (xml ? " --xml" : ""));
    if (output) *output = result.output;
    return result.exitCode;
}

}  // namespace testing_support
