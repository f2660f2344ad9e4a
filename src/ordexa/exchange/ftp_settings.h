// The FTP settings of one back-end integration instance (an export registry
// row): the use-FTP flag and the six texts host, port, proxy server, proxy
// port, user and password. They always travel together, as one value; the
// password leaves it only to log on, and every text meant for people shows it
// as "***".
#pragma once

#include <string>
#include <vector>

namespace ordexa {

struct FtpSettings {
    std::string useFtp;       // "true" in any case: the instance's files lie on an FTP host
    std::string system;       // the host
    std::string systemPort;   // text; not a number means the standard port
    std::string proxyServer;  // empty for a direct connection
    std::string proxyPort;    // "-1" for a proxy given without port
    std::string login;
    std::string password;

    bool UseFtp() const;
    // The seven values in their order as labels show them, the password as "***".
    std::vector<std::string> Shown() const;
};

}  // namespace ordexa
