#include "serve_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/config/configuration.h"

#ifdef BACKOFFICE_CHECK_API_CONTRACT
#include <gtest/gtest.h>

#include "api_contract.h"
#endif

extern char** environ;

namespace testing_support {

ServeProcess::ServeProcess(const std::filesystem::path& home, const std::string& listen) {
    outputFile_ = (home.parent_path() / ("serve-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(reinterpret_cast<uintptr_t>(this)) + ".out"))
                      .string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::string homeText = home.string(), listenText = listen;
    char* argv[] = {const_cast<char*>(BACKOFFICE_BINARY), const_cast<char*>("serve"), const_cast<char*>("--home"),
                    homeText.data(), const_cast<char*>("--listen"), listenText.data(), nullptr};
    int rc = posix_spawn(&pid_, BACKOFFICE_BINARY, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start backoffice serve");
    static const std::regex listening(R"(listening on https?://[^ ]+:(\d+) )");
    for (int i = 0; i < 200; ++i) {
        std::smatch m;
        std::string text = Output();
        if (std::regex_search(text, m, listening)) {
            port_ = std::stoi(m[1]);
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("backoffice serve ended: " + text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("backoffice serve did not start listening: " + Output());
}

ServeProcess::~ServeProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::unlink(outputFile_.c_str());
}

int ServeProcess::Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 600; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

std::string ServeProcess::Output() const {
    std::ifstream in(outputFile_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

httplib::Client ServeProcess::Client(const std::string& key) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);  // headers and body go in two writes: no wait for the delayed ACK
    client.set_connection_timeout(5);
    client.set_read_timeout(60);
    if (!key.empty()) client.set_bearer_token_auth(key.c_str());
#ifdef BACKOFFICE_CHECK_API_CONTRACT
    // every answer keeps the API description, or the test that received it fails
    client.set_logger([](const httplib::Request& request, const httplib::Response& answer) {
        std::string breach = ContractBreach(request.method, request.path, answer.status,
                                            answer.get_header_value("Content-Type"), answer.body);
        if (!breach.empty()) ADD_FAILURE() << breach;
    });
#endif
    return client;
}

std::string SettingOf(const std::filesystem::path& file, const std::string& section, const std::string& name) {
    auto config = qx::NewConfiguration();
    config->LoadFile(file.string());
    return config->GetValue(section, name).Text();
}

}  // namespace testing_support
