#include "ordexa/exchange/ftp.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "ordexa/exchange/file_handling.h"
#include "platform/automation/error.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace {

const std::string kCrLf = "\r\n";
using Lines = std::vector<std::pair<const char*, std::string>>;

// Re-raises the error being handled with one line per argument added to its
// description and the caller's frame added to its source; number, help file
// and help context stay.
[[noreturn]] void RaiseExtended(const std::string& label, const Lines& lines) {
    SlsErrorInfo error = ole::CurrentError();
    for (const auto& [caption, value] : lines) error.Description += kCrLf + caption + value;
    error.Source += kCrLf + "Called from: Ordexa.FTP" + label;
    throw ole::AutomationError(std::move(error));
}

std::unique_ptr<net::FtpClient> OpenClient(const std::string& proxyServer, const std::string& proxyPort) {
    return net::FtpClient::Open(FtpProxyName(proxyServer, proxyPort), FtpTimeoutSettings());
}

}  // namespace

bool FtpSettings::UseFtp() const { return IsFlagOn(useFtp); }

std::vector<std::string> FtpSettings::Shown() const {
    return {useFtp, system, systemPort, proxyServer, proxyPort, login, "***"};
}

int32_t FtpPortNumber(const std::string& i_sSystemPort) {
    try {
        return ole::Variant(i_sSystemPort).ToLong();
    } catch (...) {
        return 0;
    }
}

std::string FtpProxyName(const std::string& i_sProxyServer, const std::string& i_sProxyPort) {
    if (i_sProxyServer.empty()) return "";
    if (i_sProxyPort == "-1") return i_sProxyServer;
    return i_sProxyServer + ":" + i_sProxyPort;
}

net::FtpTimeouts FtpTimeoutSettings() {
    net::FtpTimeouts timeouts;
    try {
        auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
        auto installations = config->GetInstallations("Vendalo");
        if (installations.empty()) return timeouts;
        config->LoadFile(installations.front().ConfigFolder + "/VendaloConfiguration.xml");
        auto read = [&](const char* name, std::chrono::seconds& target) {
            try {
                int32_t seconds = config->GetValue("FTP_PARAMETERS", name).ToLong();
                if (seconds > 0) target = std::chrono::seconds(seconds);
            } catch (...) {
                // not set: the default stands
            }
        };
        read("ConnectTimeout", timeouts.connect);
        read("AcceptTimeout", timeouts.accept);
        read("TransferTimeout", timeouts.transfer);
    } catch (...) {
        // without a readable configuration the defaults stand
    }
    return timeouts;
}

void FTP::CloseFTPconnection(ClientHandle& client, ConnectionHandle& connection) {
    connection.reset();
    client.reset();
}

void FTP::RaiseWinInetError(const std::string& operation) {
    const net::FtpError& error = net::LastFtpError();
    std::string description = operation + " returned error code " + std::to_string(error.code);
    if (error.code == net::ftp_err::ExtendedError && error.response.size() > 1) {
        std::string text = error.response;
        std::erase(text, '\0');
        description += " (" + TrimBlanks(text) + ")";
    }
    throw ole::AutomationError(SlsErrorInfo{ole::err::ObjectErrorBase, operation, description, "", 0});
}

void FTP::MakeFTPconnection(const std::string& i_sFile, const FtpSettings& ftp, ClientHandle& client,
                            ConnectionHandle& connection, std::string& fileName) {
    fileName.clear();
    CloseFTPconnection(client, connection);
    int32_t port = FtpPortNumber(ftp.systemPort);
    try {
        std::string directory, name;
        getDirectoryAndFileFromFilePath(i_sFile, directory, name);
        client = OpenClient(ftp.proxyServer, ftp.proxyPort);
        if (!client) RaiseWinInetError("WinInet.InternetOpen");
        connection = client->Connect(ftp.system, port, ftp.login, ftp.password);
        if (!connection) RaiseWinInetError("WinInet.InternetConnect");
        if (!directory.empty() && !connection->SetCurrentDirectory(directory))
            RaiseWinInetError("WinInet.FtpSetCurrentDirectory");
        fileName = name;
    } catch (...) {
        CloseFTPconnection(client, connection);
        RaiseExtended(".MakeFTPconnection", {{"File: ", i_sFile},
                                             {"System: ", ftp.system},
                                             {"SystemPort: ", ftp.systemPort},
                                             {"ProxyServer: ", ftp.proxyServer},
                                             {"ProxyPort: ", ftp.proxyPort},
                                             {"User: ", ftp.login}});
    }
}

void FTP::PutFileViaFTP(const std::string& i_sSourceFile, const std::string& i_sDestinationFile,
                        const FtpSettings& ftp) {
    ClientHandle client;
    ConnectionHandle connection;
    try {
        std::string fileName;
        MakeFTPconnection(i_sDestinationFile, ftp, client, connection, fileName);
        std::string source = TrimBlanks(i_sSourceFile);
        if (!connection->PutFile(source, fileName, net::FtpTransferType::Ascii))
            RaiseWinInetError("WinInet.FtpPutFile [putting file '" + source + "' to '" + i_sDestinationFile + "']");
        CloseFTPconnection(client, connection);
    } catch (...) {
        CloseFTPconnection(client, connection);
        RaiseExtended(".PutFileViaFTP", {{"Source: ", i_sSourceFile},
                                         {"Destination: ", i_sDestinationFile},
                                         {"System: ", ftp.system},
                                         {"SystemPort: ", ftp.systemPort},
                                         {"Proxy server: ", ftp.proxyServer},
                                         {"Proxy port: ", ftp.proxyPort},
                                         {"User: ", ftp.login}});
    }
}

void FTP::GetFileViaFTP(const std::string& i_sSourceFile, const std::string& i_sDestinationFile,
                        const FtpSettings& ftp) {
    ClientHandle client;
    ConnectionHandle connection;
    std::string destination = TrimBlanks(i_sDestinationFile);
    try {
        std::string fileName;
        MakeFTPconnection(i_sSourceFile, ftp, client, connection, fileName);
        if (!connection->GetFile(fileName, destination, net::FtpTransferType::Ascii))
            RaiseWinInetError("WinInet.FtpGetFile [getting file '" + i_sSourceFile + "' to '" + destination + "']");
        CloseFTPconnection(client, connection);
    } catch (...) {
        CloseFTPconnection(client, connection);
        RaiseExtended(".GetFileViaFTP", {{"Source: ", i_sSourceFile},
                                         {"Destination: ", destination},
                                         {"Proxy server: ", ftp.proxyServer},
                                         {"Proxy port: ", ftp.proxyPort},
                                         {"User: ", ftp.login}});
    }
}

void FTP::DeleteFileViaFTP(const std::string& i_sFile, const FtpSettings& ftp) {
    ClientHandle client;
    ConnectionHandle connection;
    try {
        std::string fileName;
        MakeFTPconnection(i_sFile, ftp, client, connection, fileName);
        if (!connection->DeleteFile(fileName))
            RaiseWinInetError("WinInet.FtpDeleteFile [deleting file " + i_sFile + "]");
        CloseFTPconnection(client, connection);
    } catch (...) {
        CloseFTPconnection(client, connection);
        RaiseExtended(".DeleteFileViaFTP", {{"File: ", i_sFile},
                                            {"System: ", ftp.system},
                                            {"SystemPort: ", ftp.systemPort},
                                            {"Proxy server: ", ftp.proxyServer},
                                            {"Proxy port: ", ftp.proxyPort},
                                            {"User: ", ftp.login}});
    }
}

void FTP::RenameFileViaFTP(const std::string& i_sFile, const std::string& i_sNewName, const FtpSettings& ftp) {
    ClientHandle client;
    ConnectionHandle connection;
    try {
        std::string fileName;
        MakeFTPconnection(i_sFile, ftp, client, connection, fileName);
        if (!connection->RenameFile(fileName, i_sNewName))
            RaiseWinInetError("WinInet.FtpRenameFile [renaming file " + i_sFile + " to " + i_sNewName + "]");
        CloseFTPconnection(client, connection);
    } catch (...) {
        CloseFTPconnection(client, connection);
        RaiseExtended(".RenameFileViaFTP", {{"File: ", i_sFile},
                                            {"New name: ", i_sNewName},
                                            {"System: ", ftp.system},
                                            {"SystemPort: ", ftp.systemPort},
                                            {"Proxy server: ", ftp.proxyServer},
                                            {"Proxy port: ", ftp.proxyPort},
                                            {"User: ", ftp.login}});
    }
}

bool FTP::FilePresentViaFTP(const std::string& i_sFile, const FtpSettings& ftp) {
    ClientHandle client;
    ConnectionHandle connection;
    try {
        std::string fileName, found;
        MakeFTPconnection(i_sFile, ftp, client, connection, fileName);
        // A listing, as a find does: servers refuse SIZE and MDTM under ASCII transfers.
        bool present = false;
        if (connection->FindFirstFile(fileName, found))
            present = TrimBlanks(fileName) == TrimBlanks(found);
        else if (net::LastFtpError().code != net::ftp_err::NoMoreFiles)
            RaiseWinInetError("WinInet.FtpFindFirstFile [finding file " + i_sFile + "]");
        CloseFTPconnection(client, connection);
        return present;
    } catch (...) {
        CloseFTPconnection(client, connection);
        RaiseExtended(".FilePresentViaFTP", {{"File: ", i_sFile},
                                             {"System: ", ftp.system},
                                             {"SystemPort: ", ftp.systemPort},
                                             {"Proxy server: ", ftp.proxyServer},
                                             {"Proxy port: ", ftp.proxyPort},
                                             {"User: ", ftp.login}});
    }
}

bool FTP::CheckFTPconnection(const FtpSettings& ftp) {
    ClientHandle client;
    ConnectionHandle connection;
    bool connected = false;
    try {
        int32_t port = FtpPortNumber(ftp.systemPort);
        client = OpenClient(ftp.proxyServer, ftp.proxyPort);
        if (client) connection = client->Connect(ftp.system, port, ftp.login, ftp.password);
        connected = connection != nullptr;
    } catch (...) {
        connected = false;
    }
    CloseFTPconnection(client, connection);
    return connected;
}

bool FTP::CheckFTPconnectionToDirectory(const std::string& i_sFile, const FtpSettings& ftp) {
    ClientHandle client;
    ConnectionHandle connection;
    bool reached = false;
    try {
        std::string directory, fileName;
        getDirectoryAndFileFromFilePath(i_sFile, directory, fileName);
        int32_t port = FtpPortNumber(ftp.systemPort);
        client = OpenClient(ftp.proxyServer, ftp.proxyPort);
        if (client) connection = client->Connect(ftp.system, port, ftp.login, ftp.password);
        if (connection) reached = directory.empty() || connection->SetCurrentDirectory(directory);
    } catch (...) {
        reached = false;
    }
    CloseFTPconnection(client, connection);
    return reached;
}

}  // namespace ordexa
