#include <gtest/gtest.h>

#include <filesystem>

#include "ftp_server.h"
#include "platform/net/ftp_client.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

net::FtpTimeouts ShortTimeouts() {
    net::FtpTimeouts t;
    t.connect = std::chrono::seconds(2);
    t.accept = std::chrono::seconds(5);
    t.transfer = std::chrono::seconds(5);
    return t;
}

// Files in a folder, so that a test can see that nothing was left beside a destination.
std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FtpClient, PutsListsGetsAndDeletesInActiveAsciiMode) {
    FtpServer server;
    TempDir local;
    fs::create_directory(server.Home() / "in");
    WriteFile(local.Path() / "orders.edi", "UNA:+.? '\nUNH+1+ORDERS'\n");
    {
        auto client = net::FtpClient::Open("", ShortTimeouts());
        ASSERT_TRUE(client);
        auto connection = client->Connect(server.Host(), server.PortNumber(), server.User(), server.Password());
        ASSERT_TRUE(connection) << net::LastFtpError().code;
        ASSERT_TRUE(connection->SetCurrentDirectory("in"));
        ASSERT_TRUE(connection->PutFile((local.Path() / "orders.edi").string(), "orders.edi", net::FtpTransferType::Ascii))
            << net::LastFtpError().code << " " << net::LastFtpError().response;
        EXPECT_EQ(NormaliseLineEnds(ReadFile(server.Home() / "in" / "orders.edi")), "UNA:+.? '\nUNH+1+ORDERS'\n");

        std::vector<std::string> names;
        ASSERT_TRUE(connection->ListNames(names));
        EXPECT_EQ(names, std::vector<std::string>{"orders.edi"});
        std::string found;
        EXPECT_TRUE(connection->FindFirstFile("orders.edi", found));
        EXPECT_EQ(found, "orders.edi");
        EXPECT_TRUE(connection->FindFirstFile("*.e?i", found));
        EXPECT_FALSE(connection->FindFirstFile("Orders.edi", found));
        EXPECT_EQ(net::LastFtpError().code, net::ftp_err::NoMoreFiles);

        // a get replaces what the local file held
        WriteFile(server.Home() / "in" / "confirm.edi", "line one\r\nline two\r\n");
        WriteFile(local.Path() / "confirm.edi", "an older and much longer confirmation that must go away\n");
        ASSERT_TRUE(connection->GetFile("confirm.edi", (local.Path() / "confirm.edi").string(), net::FtpTransferType::Ascii));
        EXPECT_EQ(NormaliseLineEnds(ReadFile(local.Path() / "confirm.edi")), "line one\nline two\n");
        EXPECT_EQ(FilesIn(local.Path()), (std::vector<std::string>{"confirm.edi", "orders.edi"}));

        ASSERT_TRUE(connection->DeleteFile("orders.edi"));
        EXPECT_FALSE(fs::exists(server.Home() / "in" / "orders.edi"));
        EXPECT_EQ(net::LastFtpError().code, 0);
        EXPECT_EQ(net::FtpClient::LiveHandles(), 2);
    }
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

TEST(FtpClient, RefusalsCarryTheirCodeAndTheServerResponse) {
    FtpServer server;
    TempDir local;
    auto client = net::FtpClient::Open("", ShortTimeouts());
    ASSERT_TRUE(client);

    EXPECT_FALSE(client->Connect(server.Host(), server.PortNumber(), server.User(), "wrong"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::IncorrectPassword);

    auto connection = client->Connect(server.Host(), server.PortNumber(), server.User(), server.Password());
    ASSERT_TRUE(connection);
    EXPECT_FALSE(connection->SetCurrentDirectory("missing"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::ExtendedError);
    EXPECT_EQ(net::LastFtpError().response.substr(0, 4), "550 ");

    // the connection stays usable after a refusal
    WriteFile(local.Path() / "keep.edi", "kept\n");
    EXPECT_FALSE(connection->GetFile("nothere.edi", (local.Path() / "keep.edi").string(), net::FtpTransferType::Ascii));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::ExtendedError);
    EXPECT_EQ(net::LastFtpError().response.substr(0, 4), "550 ");
    EXPECT_EQ(ReadFile(local.Path() / "keep.edi"), "kept\n");
    EXPECT_EQ(FilesIn(local.Path()), std::vector<std::string>{"keep.edi"});

    EXPECT_FALSE(connection->DeleteFile("nothere.edi"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::ExtendedError);
    EXPECT_EQ(net::LastFtpError().response.substr(0, 4), "550 ");

    // local files that cannot be read or written
    EXPECT_FALSE(connection->PutFile((local.Path() / "absent.edi").string(), "x.edi", net::FtpTransferType::Ascii));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::FileNotFound);
    WriteFile(server.Home() / "x.edi", "x\n");
    EXPECT_FALSE(connection->GetFile("x.edi", (local.Path() / "no" / "x.edi").string(), net::FtpTransferType::Ascii));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::PathNotFound);

    // names with line breaks would smuggle commands onto the control connection
    EXPECT_FALSE(connection->DeleteFile("x.edi\r\nRMD /"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::InvalidName);
    EXPECT_FALSE(connection->SetCurrentDirectory("in\r\nDELE x.edi"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::InvalidName);
    EXPECT_TRUE(fs::exists(server.Home() / "x.edi"));

    // an empty directory lists nothing and finds nothing
    fs::create_directory(server.Home() / "empty");
    ASSERT_TRUE(connection->SetCurrentDirectory("empty"));
    std::string found;
    EXPECT_FALSE(connection->FindFirstFile("x.edi", found));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::NoMoreFiles);
}

TEST(FtpClient, UnreachableServersFailWithTheirCodesAndNeverHang) {
    auto client = net::FtpClient::Open("", ShortTimeouts());
    ASSERT_TRUE(client);
    RefusingPort refusing;
    EXPECT_FALSE(client->Connect("127.0.0.1", std::stoi(refusing.Port()), "u", "p"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::CannotConnect);

    SilentServer silent;  // accepts the connection, never greets
    EXPECT_FALSE(client->Connect("127.0.0.1", std::stoi(silent.Port()), "u", "p"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::Timeout);

    EXPECT_FALSE(client->Connect("127.0.0.1/etc", 21, "u", "p"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::InvalidUrl);
    EXPECT_FALSE(client->Connect("127.0.0.1", 70000, "u", "p"));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::InvalidUrl);

    // a proxy is used when given: an unreachable one fails the connect
    auto proxied = net::FtpClient::Open("127.0.0.1:" + refusing.Port(), ShortTimeouts());
    ASSERT_TRUE(proxied);
    FtpServer server;
    EXPECT_FALSE(proxied->Connect(server.Host(), server.PortNumber(), server.User(), server.Password()));
    EXPECT_EQ(net::LastFtpError().code, net::ftp_err::CannotConnect);
    EXPECT_EQ(net::FtpClient::LiveHandles(), 2);
}

TEST(FtpClient, AServerThatStopsMidRunFailsTheNextCall) {
    FtpServer server;
    TempDir local;
    WriteFile(local.Path() / "orders.edi", "x\n");
    auto client = net::FtpClient::Open("", ShortTimeouts());
    auto connection = client->Connect(server.Host(), server.PortNumber(), server.User(), server.Password());
    ASSERT_TRUE(connection);
    server.Stop();
    EXPECT_FALSE(connection->PutFile((local.Path() / "orders.edi").string(), "orders.edi", net::FtpTransferType::Ascii));
    EXPECT_NE(net::LastFtpError().code, 0);
    std::string found;
    EXPECT_FALSE(connection->FindFirstFile("orders.edi", found));
    EXPECT_NE(net::LastFtpError().code, net::ftp_err::NoMoreFiles);
    EXPECT_NE(net::LastFtpError().code, 0);
    connection.reset();
    client.reset();
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

}  // namespace
