// The FTP client of the platform, over libcurl. It keeps the shape of the
// handle-based client that the order exchange was written against: a client
// handle (how servers are reached: directly or through a proxy, and the
// time-outs) and a connection handle (one logged-in control connection with a
// current directory). Every call returns false on failure and records a
// platform error code and the server's last response for this thread, read
// with LastFtpError(); a successful call clears it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace net {

// Platform error codes recorded after a failing call. The mapping from each
// libcurl result to these codes is documented in ftp_client.cpp.
namespace ftp_err {
constexpr int32_t FileNotFound = 2;         // a local file to send is missing
constexpr int32_t PathNotFound = 3;         // the local folder is missing
constexpr int32_t AccessDenied = 5;         // a local file cannot be opened
constexpr int32_t NotEnoughMemory = 8;
constexpr int32_t NoMoreFiles = 18;         // a find matched nothing
constexpr int32_t WriteFault = 29;          // a local file cannot be written
constexpr int32_t ReadFault = 30;           // a local file cannot be read
constexpr int32_t InvalidName = 123;        // a remote name holds control characters
constexpr int32_t Timeout = 12002;
constexpr int32_t ExtendedError = 12003;    // the server refused; its response says why
constexpr int32_t InternalError = 12004;
constexpr int32_t InvalidUrl = 12005;       // malformed host name or port
constexpr int32_t NameNotResolved = 12007;
constexpr int32_t IncorrectPassword = 12014;  // login refused
constexpr int32_t CannotConnect = 12029;
constexpr int32_t ConnectionAborted = 12030;
constexpr int32_t ConnectionReset = 12031;
}  // namespace ftp_err

struct FtpError {
    int32_t code = 0;
    std::string response;  // the server's last complete response ("" when none)
};

// The error of this thread's last FTP call (code 0 after a success).
const FtpError& LastFtpError();

struct FtpTimeouts {
    std::chrono::seconds connect{30};   // TCP connect and login
    std::chrono::seconds accept{30};    // the server opening an active-mode data connection
    std::chrono::seconds transfer{60};  // a stalled transfer, or a command the server does not answer
};

enum class FtpTransferType { Ascii, Binary };

class FtpConnection;

// The client handle. An empty proxy means direct access; otherwise "host:port"
// or "host". Through a proxy the control connection is tunnelled and data
// connections are passive, since the server cannot reach back through it.
class FtpClient {
public:
    static std::unique_ptr<FtpClient> Open(const std::string& proxy, const FtpTimeouts& timeouts);
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Connects and logs in; port 0 means the standard FTP port. Null on failure.
    std::unique_ptr<FtpConnection> Connect(const std::string& host, int32_t port, const std::string& user,
                                           const std::string& password);

    // Client and connection handles open in this process (each closed exactly once brings it back).
    static int LiveHandles();

private:
    FtpClient(std::string proxy, const FtpTimeouts& timeouts);
    std::string proxy_;
    FtpTimeouts timeouts_;
};

// The connection handle: one logged-in control connection. Remote names are
// relative to the current directory; the data connection is active (the
// server connects back) unless a proxy is in use.
class FtpConnection {
public:
    ~FtpConnection();  // ends the session (QUIT) and closes the control connection
    FtpConnection(const FtpConnection&) = delete;
    FtpConnection& operator=(const FtpConnection&) = delete;

    // Enters a directory, relative to the login directory unless it starts with "/".
    bool SetCurrentDirectory(const std::string& directory);
    bool PutFile(const std::string& localFile, const std::string& remoteName, FtpTransferType type);
    // Overwrites the local file; a failed transfer leaves it as it was and no
    // partial file beside it. On success the file and its folder entry are on disk (fsync).
    bool GetFile(const std::string& remoteName, const std::string& localFile, FtpTransferType type);
    bool DeleteFile(const std::string& remoteName);
    // Renames a file of the current directory (RNFR, RNTO); the new name is a name in that directory.
    bool RenameFile(const std::string& remoteName, const std::string& newName);
    // The names in the current directory (NLST).
    bool ListNames(std::vector<std::string>& names);
    // The first name in the current directory that matches the pattern ("*" and "?"
    // as wildcards); fails with NoMoreFiles when none does. Lists the directory,
    // so it works where the server refuses SIZE or MDTM.
    bool FindFirstFile(const std::string& pattern, std::string& found);

private:
    friend class FtpClient;
    bool SendCommands(const std::vector<std::string>& lines);
    struct Impl;
    explicit FtpConnection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace net
