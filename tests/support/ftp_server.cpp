#include "ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <stdexcept>

extern char** environ;

namespace testing_support {
namespace {

constexpr auto kStartDeadline = std::chrono::seconds(30);

int LoopbackSocket(int port, bool listen) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    int rc = listen ? ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)
                    : ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Reads one line from fd, waiting at most until the deadline.
bool ReadLine(int fd, std::chrono::steady_clock::time_point deadline, std::string& line) {
    line.clear();
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 1))) <= 0) continue;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
    return false;
}

}  // namespace

FtpServer::FtpServer(std::string user, std::string password) : user_(std::move(user)), password_(std::move(password)) {
    std::string script = (SourceDir() / "tests" / "support" / "ftp_server.py").string();
    std::string errors = (work_.Path() / "server.err").string();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe() failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string home = home_.Str();
    std::string parent = std::to_string(::getpid());
    const char* argv[] = {"/usr/bin/python3", script.c_str(), "--user", user_.c_str(), "--password",
                          password_.c_str(), "--home", home.c_str(), "--parent", parent.c_str(), nullptr};
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        throw std::runtime_error("cannot start /usr/bin/python3");
    }
    auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
    std::string line;
    bool announced = ReadLine(out[0], deadline, line);
    ::close(out[0]);
    if (!announced || line.empty()) {
        Stop();
        throw std::runtime_error("the FTP server did not start: " + ReadFile(errors));
    }
    port_ = std::stoi(line);
    // Ready when it greets a client.
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the FTP server ended: " + ReadFile(errors));
        }
        int fd = LoopbackSocket(port_, false);
        if (fd < 0) continue;
        std::string greeting;
        bool greeted = ReadLine(fd, deadline, greeting) && greeting.rfind("220", 0) == 0;
        ::close(fd);
        if (greeted) return;
    }
    Stop();
    throw std::runtime_error("the FTP server does not answer on port " + line);
}

FtpServer::~FtpServer() { Stop(); }

void FtpServer::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

SilentServer::SilentServer() {
    fd_ = LoopbackSocket(0, true);
    if (fd_ < 0 || ::listen(fd_, 4) != 0) throw std::runtime_error("cannot listen on loopback");
    port_ = BoundPort(fd_);
}

SilentServer::~SilentServer() {
    if (fd_ >= 0) ::close(fd_);
}

RefusingPort::RefusingPort() {
    fd_ = LoopbackSocket(0, true);
    if (fd_ < 0) throw std::runtime_error("cannot bind on loopback");
    port_ = BoundPort(fd_);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

std::string NormaliseLineEnds(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            result += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

}  // namespace testing_support
