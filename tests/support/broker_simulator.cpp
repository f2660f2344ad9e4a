#include "broker_simulator.h"

#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "run_program.h"

namespace testing_support {

namespace fs = std::filesystem;

BrokerSimulator::BrokerSimulator(const Options& options) {
    std::vector<std::string> args = {BROKER_SIMULATOR_BINARY, "serve", "--port", std::to_string(options.port),
                                     "--port-file", (dir_.Path() / "port").string(), "--journal",
                                     (dir_.Path() / "journal").string()};
    for (const auto& [path, status] : options.statuses) args.insert(args.end(), {"--status", path + "=" + std::to_string(status)});
    for (const auto& [path, ms] : options.delaysMs) args.insert(args.end(), {"--delay", path + "=" + std::to_string(ms)});
    process_.emplace(std::move(args), dir_.Path(), "broker simulator");
}

std::string BrokerSimulator::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(process_->Port()) + path;
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
