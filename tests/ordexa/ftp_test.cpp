#include <gtest/gtest.h>

#include <filesystem>

#include "ftp_server.h"
#include "ordexa/exchange/ftp.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The FTP tests need an installation (settings, log) but no database work: SQLite only.
class FtpTest : public ::testing::Test {
protected:
    TestInstallation inst_{"sqlite"};
    FtpServer server_;
    TempDir local_;

    std::shared_ptr<ordexa::IFTP> Ftp() { return Sls_GetComponent<ordexa::IFTP>("Ordexa.FTP"); }

    // The error a call raises (Number 0 when it raises none).
    SlsErrorInfo ErrorOf(const std::function<void()>& call) {
        try {
            call();
        } catch (const ole::AutomationError& e) {
            return e.Info();
        }
        return {};
    }
};

TEST(FtpSettings, PortAndProxyTextsBecomeWhatTheClientIsGiven) {
    EXPECT_EQ(ordexa::FtpProxyName("proxy", "8080"), "proxy:8080");
    EXPECT_EQ(ordexa::FtpProxyName("proxy", "-1"), "proxy");
    EXPECT_EQ(ordexa::FtpProxyName("proxy", ""), "proxy:");
    EXPECT_EQ(ordexa::FtpProxyName("", "8080"), "");
    EXPECT_EQ(ordexa::FtpPortNumber("2121"), 2121);
    EXPECT_EQ(ordexa::FtpPortNumber(" 21 "), 21);
    // the standard port for text that is not a 32-bit integer
    EXPECT_EQ(ordexa::FtpPortNumber(""), 0);
    EXPECT_EQ(ordexa::FtpPortNumber("ftp"), 0);
    EXPECT_EQ(ordexa::FtpPortNumber("99999999999"), 0);
}

TEST_F(FtpTest, PutsGetsFindsAndDeletesAlongTheRemotePaths) {
    auto ftp = Ftp();
    const std::string host = server_.Host(), port = server_.Port(), user = server_.User(), pw = server_.Password();
    fs::create_directories(server_.Home() / "in");
    fs::create_directories(server_.Home() / "a\\b");
    WriteFile(local_.Path() / "orders.edi", "UNH+1+ORDERS'\nUNT+2+1'\n");
    const std::string source = (local_.Path() / "orders.edi").string();

    ftp->PutFileViaFTP("  " + source + " ", "in/orders.edi", {"true", host, port, "", "", user, pw});
    EXPECT_EQ(NormaliseLineEnds(ReadFile(server_.Home() / "in" / "orders.edi")), "UNH+1+ORDERS'\nUNT+2+1'\n");
    // "\" separates only where there is no "/"; a leading "/" stays in the login directory
    ftp->PutFileViaFTP(source, "in\\second.edi", {"true", host, port, "", "", user, pw});
    ftp->PutFileViaFTP(source, "/root.edi", {"true", host, port, "", "", user, pw});
    ftp->PutFileViaFTP(source, "a\\b/c.edi", {"true", host, port, "", "", user, pw});
    EXPECT_TRUE(fs::exists(server_.Home() / "in" / "second.edi"));
    EXPECT_TRUE(fs::exists(server_.Home() / "root.edi"));
    EXPECT_TRUE(fs::exists(server_.Home() / "a\\b" / "c.edi"));

    EXPECT_TRUE(ftp->FilePresentViaFTP("in/orders.edi", {"true", host, port, "", "", user, pw}));
    EXPECT_TRUE(ftp->FilePresentViaFTP("root.edi", {"true", host, port, "", "", user, pw}));
    EXPECT_FALSE(ftp->FilePresentViaFTP("in/missing.edi", {"true", host, port, "", "", user, pw}));
    EXPECT_FALSE(ftp->FilePresentViaFTP("in/ORDERS.edi", {"true", host, port, "", "", user, pw}));

    // a get replaces the local file
    WriteFile(server_.Home() / "in" / "confirm.edi", "CONF 1\r\nCONF 2\r\n");
    fs::path target = local_.Path() / "confirm.edi";
    WriteFile(target, "a stale confirmation of an earlier run, longer than the new one\n");
    ftp->GetFileViaFTP("in/confirm.edi", " " + target.string() + "  ", {"true", host, port, "", "", user, pw});
    EXPECT_EQ(NormaliseLineEnds(ReadFile(target)), "CONF 1\nCONF 2\n");

    ftp->DeleteFileViaFTP("in/orders.edi", {"true", host, port, "", "", user, pw});
    EXPECT_FALSE(fs::exists(server_.Home() / "in" / "orders.edi"));
    EXPECT_FALSE(ftp->FilePresentViaFTP("in/orders.edi", {"true", host, port, "", "", user, pw}));

    EXPECT_TRUE(ftp->CheckFTPconnection({"true", host, port, "", "", user, pw}));
    EXPECT_TRUE(ftp->CheckFTPconnectionToDirectory("in/x.edi", {"true", host, port, "", "", user, pw}));
    EXPECT_TRUE(ftp->CheckFTPconnectionToDirectory("x.edi", {"true", host, port, "", "", user, pw}));
    EXPECT_FALSE(ftp->CheckFTPconnectionToDirectory("missing/x.edi", {"true", host, port, "", "", user, pw}));
    EXPECT_FALSE(ftp->CheckFTPconnection({"true", host, port, "", "", user, "wrong"}));
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

TEST_F(FtpTest, ARefusedLoginCarriesOneFramePerMethodAndNeverThePassword) {
    WriteFile(local_.Path() / "orders.edi", "x\n");
    const std::string source = (local_.Path() / "orders.edi").string();
    SlsErrorInfo e = ErrorOf([&] {
        Ftp()->PutFileViaFTP(source, "in/orders.edi",
                             {"true", server_.Host(), server_.Port(), "", "", server_.User(), "Wrong-Secret-7"});
    });
    EXPECT_EQ(e.Number, static_cast<int32_t>(0x80040000u));
    EXPECT_EQ(e.Source,
              "WinInet.InternetConnect\r\nCalled from: Ordexa.FTP.MakeFTPconnection\r\n"
              "Called from: Ordexa.FTP.PutFileViaFTP");
    EXPECT_EQ(e.Description, "WinInet.InternetConnect returned error code 12014"
                             "\r\nFile: in/orders.edi\r\nSystem: 127.0.0.1\r\nSystemPort: " + server_.Port() +
                                 "\r\nProxyServer: \r\nProxyPort: \r\nUser: edi"
                                 "\r\nSource: " + source + "\r\nDestination: in/orders.edi\r\nSystem: 127.0.0.1"
                                 "\r\nSystemPort: " + server_.Port() +
                                 "\r\nProxy server: \r\nProxy port: \r\nUser: edi");
    EXPECT_EQ(e.Description.find("Wrong-Secret-7"), std::string::npos);
    EXPECT_EQ(e.HelpFile, "");
    EXPECT_EQ(e.HelpContext, 0);
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

TEST_F(FtpTest, ServerRefusalsShowTheServerResponseAndAFailedGetLeavesNothingBehind) {
    auto ftp = Ftp();
    const std::string host = server_.Host(), port = server_.Port(), user = server_.User(), pw = server_.Password();
    fs::create_directories(server_.Home() / "in");

    SlsErrorInfo e = ErrorOf([&] { ftp->DeleteFileViaFTP("missing/x.edi", {"true", host, port, "", "", user, pw}); });
    EXPECT_EQ(e.Description.substr(0, e.Description.find("\r\n")),
              "WinInet.FtpSetCurrentDirectory returned error code 12003 (550 No such file or directory.)");
    EXPECT_EQ(e.Source, "WinInet.FtpSetCurrentDirectory\r\nCalled from: Ordexa.FTP.MakeFTPconnection\r\n"
                        "Called from: Ordexa.FTP.DeleteFileViaFTP");

    e = ErrorOf([&] { ftp->DeleteFileViaFTP("in/nothere.edi", {"true", host, port, "", "", user, pw}); });
    EXPECT_EQ(e.Description, "WinInet.FtpDeleteFile [deleting file in/nothere.edi] returned error code 12003 "
                             "(550 No such file or directory.)\r\nFile: in/nothere.edi\r\nSystem: 127.0.0.1"
                             "\r\nSystemPort: " + port + "\r\nProxy server: \r\nProxy port: \r\nUser: edi");
    EXPECT_EQ(e.Source, "WinInet.FtpDeleteFile [deleting file in/nothere.edi]\r\nCalled from: Ordexa.FTP.DeleteFileViaFTP");

    // the local file keeps its content and no partial file is left beside it
    fs::path target = local_.Path() / "confirm.edi";
    WriteFile(target, "yesterday's confirmation\n");
    e = ErrorOf([&] { ftp->GetFileViaFTP("in/confirm.edi", target.string() + " ", {"true", host, port, "", "", user, pw}); });
    EXPECT_EQ(e.Description, "WinInet.FtpGetFile [getting file 'in/confirm.edi' to '" + target.string() +
                                 "'] returned error code 12003 (550 No such file or directory.)\r\nSource: "
                                 "in/confirm.edi\r\nDestination: " + target.string() +
                                 "\r\nProxy server: \r\nProxy port: \r\nUser: edi");
    EXPECT_EQ(ReadFile(target), "yesterday's confirmation\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(local_.Path()), fs::directory_iterator()), 1);

    // local files that cannot be read or written
    e = ErrorOf([&] {
        ftp->PutFileViaFTP((local_.Path() / "absent.edi").string(), "in/a.edi", {"true", host, port, "", "", user, pw});
    });
    EXPECT_EQ(e.Source.substr(0, e.Source.find("\r\n")),
              "WinInet.FtpPutFile [putting file '" + (local_.Path() / "absent.edi").string() + "' to 'in/a.edi']");
    EXPECT_NE(e.Description.find("returned error code 2\r\n"), std::string::npos);
    WriteFile(server_.Home() / "in" / "confirm.edi", "CONF\n");
    e = ErrorOf([&] {
        ftp->GetFileViaFTP("in/confirm.edi", (local_.Path() / "no" / "c.edi").string(), {"true", host, port, "", "", user, pw});
    });
    EXPECT_NE(e.Description.find("returned error code 3\r\n"), std::string::npos);
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

TEST_F(FtpTest, AServerGoneMidRunRaisesWhereAMissingFileGivesFalse) {
    auto ftp = Ftp();
    const std::string host = server_.Host(), port = server_.Port(), user = server_.User(), pw = server_.Password();
    EXPECT_FALSE(ftp->FilePresentViaFTP("command.fil", {"true", host, port, "", "", user, pw}));
    server_.Stop();
    SlsErrorInfo e = ErrorOf([&] { ftp->FilePresentViaFTP("command.fil", {"true", host, port, "", "", user, pw}); });
    EXPECT_EQ(e.Description.substr(0, e.Description.find("\r\n")),
              "WinInet.InternetConnect returned error code 12029");
    EXPECT_EQ(e.Source, "WinInet.InternetConnect\r\nCalled from: Ordexa.FTP.MakeFTPconnection\r\n"
                        "Called from: Ordexa.FTP.FilePresentViaFTP");
    EXPECT_FALSE(ftp->CheckFTPconnection({"true", host, port, "", "", user, pw}));
    EXPECT_FALSE(ftp->CheckFTPconnectionToDirectory("in/x.edi", {"true", host, port, "", "", user, pw}));
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

TEST_F(FtpTest, TheInstallationsConnectTimeoutEndsAWaitForASilentServer) {
    inst_.SetSetting("FTP_PARAMETERS", "ConnectTimeout", "1", "Long");
    inst_.SetSetting("FTP_PARAMETERS", "TransferTimeout", "7", "Long");
    net::FtpTimeouts timeouts = ordexa::FtpTimeoutSettings();
    EXPECT_EQ(timeouts.connect.count(), 1);
    EXPECT_EQ(timeouts.accept.count(), net::FtpTimeouts{}.accept.count());
    EXPECT_EQ(timeouts.transfer.count(), 7);

    SilentServer silent;
    SlsErrorInfo e = ErrorOf([&] {
        Ftp()->DeleteFileViaFTP("command.fil", {"true", "127.0.0.1", silent.Port(), "", "", "edi", "pw"});
    });
    EXPECT_EQ(e.Description.substr(0, e.Description.find("\r\n")),
              "WinInet.InternetConnect returned error code 12002");
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

}  // namespace

namespace {

TEST_F(FtpTest, RenamesAFileInItsDirectoryAndNamesTheFileThatIsMissing) {
    auto ftp = Ftp();
    const std::string host = server_.Host(), port = server_.Port(), user = server_.User(), pw = server_.Password();
    fs::create_directories(server_.Home() / "in");
    WriteFile(server_.Home() / "in" / "confirm.edi", "A1,SO-1\r\n");
    ftp->RenameFileViaFTP("in/confirm.edi", "confirm.edi.work", {"true", host, port, "", "", user, pw});
    EXPECT_FALSE(fs::exists(server_.Home() / "in" / "confirm.edi"));
    EXPECT_EQ(ReadFile(server_.Home() / "in" / "confirm.edi.work"), "A1,SO-1\r\n");

    SlsErrorInfo e = ErrorOf([&] { ftp->RenameFileViaFTP("in/confirm.edi", "x", {"true", host, port, "", "", user, pw}); });
    EXPECT_EQ(e.Description.substr(0, e.Description.find("\r\n")),
              "WinInet.FtpRenameFile [renaming file in/confirm.edi to x] returned error code 12003 "
              "(550 No such file or directory.)");
    EXPECT_NE(e.Description.find("\r\nNew name: x\r\n"), std::string::npos);
    EXPECT_EQ(e.Description.find(pw), std::string::npos);
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

}  // namespace
