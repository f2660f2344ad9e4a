// A real FTP server on loopback for tests: Debian's pyftpdlib run by
// /usr/bin/python3 (tests/support/ftp_server.py), with one user whose home is a
// temporary folder. The constructor returns once the server greets clients.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "test_db.h"

namespace testing_support {

class FtpServer {
public:
    FtpServer(std::string user = "edi", std::string password = "Edi-Secret-42");
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // Terminates the server and waits for it (a server that goes away mid-run).
    void Stop();

    std::string Host() const { return "127.0.0.1"; }
    int PortNumber() const { return port_; }
    std::string Port() const { return std::to_string(port_); }
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    // The user's home folder, where a login lands.
    const std::filesystem::path& Home() const { return home_.Path(); }

private:
    std::string user_, password_;
    TempDir home_;
    TempDir work_;  // the server's error output
    pid_t pid_ = -1;
    int port_ = 0;
};

// A loopback port on which a socket listens but never answers: a client's TCP
// connect succeeds and then waits for a greeting that does not come.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    std::string Port() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port that is bound but not listening: a connect is refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::string Port() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Text with CR LF and lone CR turned into LF (the server converts line ends in ASCII mode).
std::string NormaliseLineEnds(const std::string& text);

}  // namespace testing_support
