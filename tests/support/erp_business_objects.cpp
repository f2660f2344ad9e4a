#include "erp_business_objects.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {
namespace fs = std::filesystem;

ErpBusinessObjects::ErpBusinessObjects(const std::vector<std::string>& options, std::vector<fs::path> archives) {
    if (archives.empty()) archives.push_back(dir_.Path());
    std::vector<std::string> args = {ERP_SIMULATOR_BINARY, "boi", "--port-file", (dir_.Path() / "port").string(),
                                     "--journal", (dir_.Path() / "journal").string()};
    for (const auto& a : archives) args.insert(args.end(), {"--archive", a.string()});
    args.insert(args.end(), options.begin(), options.end());
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
    if (rc != 0) throw std::runtime_error("cannot start the ERP simulator " + args[0]);
    fs::path portFile = dir_.Path() / "port";
    for (int i = 0; i < 200 && !fs::exists(portFile); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (!fs::exists(portFile)) throw std::runtime_error("the ERP simulator did not start: " + ReadFile(out));
    port_ = std::stoi(ReadFile(portFile));
}

ErpBusinessObjects::~ErpBusinessObjects() {
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

std::string ErpBusinessObjects::Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/boi"; }

void ErpBusinessObjects::AddSalesOrder(const std::string& salesOrder, const std::string& orderId, int lines) {
    std::ofstream book(dir_.Path() / "sales-orders", std::ios::app);
    book << salesOrder << " " << orderId;
    for (int nr = 1; nr <= lines; ++nr) book << " " << nr;
    book << "\n";
}

std::vector<std::string> ErpBusinessObjects::Journal() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_.Path() / "journal");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace testing_support
