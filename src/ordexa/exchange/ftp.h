// Ordexa.FTP: one FTP operation per call on the back end's FTP host. Every
// operation opens its own client and connection handles and closes them before
// it returns. Callers create it by ProgID:
//   Sls_GetComponent<ordexa::IFTP>("Ordexa.FTP")
// The connection settings travel together as one FtpSettings value; the
// password is never written into a message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ordexa/exchange/ftp_settings.h"
#include "platform/automation/variant.h"
#include "platform/net/ftp_client.h"

namespace ordexa {

class IFTP : public ole::Object {
public:
    virtual void PutFileViaFTP(const std::string& i_sSourceFile, const std::string& i_sDestinationFile,
                               const FtpSettings& ftp) = 0;
    virtual void GetFileViaFTP(const std::string& i_sSourceFile, const std::string& i_sDestinationFile,
                               const FtpSettings& ftp) = 0;
    virtual void DeleteFileViaFTP(const std::string& i_sFile, const FtpSettings& ftp) = 0;
    // Renames the remote file to a new name in its directory (RNFR, RNTO).
    virtual void RenameFileViaFTP(const std::string& i_sFile, const std::string& i_sNewName, const FtpSettings& ftp) = 0;
    virtual bool FilePresentViaFTP(const std::string& i_sFile, const FtpSettings& ftp) = 0;
    // True when a logged-in connection can be opened; never raises.
    virtual bool CheckFTPconnection(const FtpSettings& ftp) = 0;
    // As above, and the directory part of the path can be entered; never raises.
    virtual bool CheckFTPconnectionToDirectory(const std::string& i_sFile, const FtpSettings& ftp) = 0;
};

class FTP : public IFTP {
public:
    void PutFileViaFTP(const std::string& i_sSourceFile, const std::string& i_sDestinationFile,
                       const FtpSettings& ftp) override;
    void GetFileViaFTP(const std::string& i_sSourceFile, const std::string& i_sDestinationFile,
                       const FtpSettings& ftp) override;
    void DeleteFileViaFTP(const std::string& i_sFile, const FtpSettings& ftp) override;
    void RenameFileViaFTP(const std::string& i_sFile, const std::string& i_sNewName, const FtpSettings& ftp) override;
    bool FilePresentViaFTP(const std::string& i_sFile, const FtpSettings& ftp) override;
    bool CheckFTPconnection(const FtpSettings& ftp) override;
    bool CheckFTPconnectionToDirectory(const std::string& i_sFile, const FtpSettings& ftp) override;

private:
    using ClientHandle = std::unique_ptr<net::FtpClient>;
    using ConnectionHandle = std::unique_ptr<net::FtpConnection>;

    // Opens both handles and enters the directory of the remote path; gives the file name.
    void MakeFTPconnection(const std::string& i_sFile, const FtpSettings& ftp, ClientHandle& client,
                           ConnectionHandle& connection, std::string& fileName);
    // Raises 0x80040000 describing the failed platform call (with the server's response for 12003).
    [[noreturn]] static void RaiseWinInetError(const std::string& operation);
    // Closes the connection handle, then the client handle.
    static void CloseFTPconnection(ClientHandle& client, ConnectionHandle& connection);
};

// The system port: text that is not a 32-bit integer, the empty text included,
// gives 0, the standard FTP port.
int32_t FtpPortNumber(const std::string& i_sSystemPort);
// The proxy handed to the client: "" (direct) when there is no proxy server,
// the server alone for port "-1", else server + ":" + port.
std::string FtpProxyName(const std::string& i_sProxyServer, const std::string& i_sProxyPort);
// The time-outs of the installation (section "FTP_PARAMETERS" of
// VendaloConfiguration.xml: "ConnectTimeout", "AcceptTimeout",
// "TransferTimeout", in seconds); a missing or non-positive setting keeps the default.
net::FtpTimeouts FtpTimeoutSettings();

}  // namespace ordexa
