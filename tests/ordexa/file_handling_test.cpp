#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ftp_server.h"
#include "ordexa/exchange/file_handling.h"
#include "platform/net/ftp_client.h"
#include "test_installation.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::pair<std::string, std::string> Split(const std::string& path) {
    std::string directory = "stale", file = "stale";
    ordexa::getDirectoryAndFileFromFilePath(path, directory, file);
    return {directory, file};
}

using Parts = std::pair<std::string, std::string>;

TEST(FileHandlingPaths, SplitAtTheLastSlashOrElseTheLastBackslash) {
    EXPECT_EQ(Split("in/orders.edi"), (Parts{"in", "orders.edi"}));
    EXPECT_EQ(Split("orders.edi"), (Parts{"", "orders.edi"}));
    EXPECT_EQ(Split("/orders.edi"), (Parts{"", "orders.edi"}));
    EXPECT_EQ(Split("a\\b/c.edi"), (Parts{"a\\b", "c.edi"}));
    EXPECT_EQ(Split("edi\\in\\confirm.edi"), (Parts{"edi\\in", "confirm.edi"}));
    EXPECT_EQ(Split("  /srv/edi/out/orders.edi  "), (Parts{"/srv/edi/out", "orders.edi"}));

    EXPECT_EQ(ordexa::GetParentDir("orders.edi"), "orders.edi");
    EXPECT_EQ(ordexa::GetParentDir("/srv/edi/command.fil"), "/srv/edi");
    EXPECT_EQ(ordexa::GetParentDir("a\\b/c.edi"), "a\\b");
    EXPECT_EQ(ordexa::GetParentDir("edi\\in\\x"), "edi\\in");
    EXPECT_EQ(ordexa::GetParentDir(" in/x "), " in");  // not trimmed

    EXPECT_EQ(ordexa::getSlashInPath("a\\b/c"), "/");
    EXPECT_EQ(ordexa::getSlashInPath("a\\b"), "\\");
    EXPECT_EQ(ordexa::getSlashInPath("orders.edi"), "");
}

class FileHandlingTest : public ::testing::Test {
protected:
    TestInstallation inst_{"sqlite"};
    TempDir local_;
};

TEST_F(FileHandlingTest, TheTemporaryEdiFolderIsTheInstallationsAndIsCreatedWhenMissing) {
    fs::path expected = inst_.Home() / "Vendalo" / "TempEdiFtp";
    fs::remove_all(inst_.Home() / "Vendalo");
    EXPECT_EQ(fs::path(ordexa::getTempEDIPath()), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_TRUE(inst_.LogText().empty());

    // without an installation: an error, and a folder under the system's temporary folder, never the root
    unsetenv("VENDALO_HOME");
    std::string fallback = ordexa::getTempEDIPath();
    EXPECT_EQ(fs::path(fallback), fs::temp_directory_path() / "Vendalo" / "TempEdiFtp");
    EXPECT_TRUE(fs::is_directory(fallback));
}

TEST_F(FileHandlingTest, ATemporaryExportFileIsCreatedThenAppendedTo) {
    std::string path;
    {
        auto stream = ordexa::createTempEDIExportFileName("orders_4711", path);
        ASSERT_TRUE(stream);
        *stream << "UNH+1'\n";
    }
    EXPECT_EQ(fs::path(path), inst_.Home() / "Vendalo" / "TempEdiFtp" / "orders_4711.edi");
    {
        auto stream = ordexa::createTempEDIExportFileName("orders_4711", path);
        ASSERT_TRUE(stream);
        *stream << "UNH+2'\n";
    }
    EXPECT_EQ(ReadFile(path), "UNH+1'\nUNH+2'\n");

    // a name the folder cannot take: nothing opened, no path, one logged error naming the call
    fs::create_directories(inst_.Home() / "Vendalo" / "TempEdiFtp" / "taken.edi");
    path = "stale";
    EXPECT_FALSE(ordexa::createTempEDIExportFileName("taken", path));
    EXPECT_EQ(path, "");
    auto entries = inst_.LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].find(" METHOD: Lib File_Handling createTempEDIExportFileName('taken')"), std::string::npos);
}

TEST_F(FileHandlingTest, PresenceAndRemovalGoToTheLocalFileSystemUnlessTheFlagSaysFtp) {
    fs::path file = local_.Path() / "command.fil";
    WriteFile(file, "");
    EXPECT_TRUE(ordexa::isFilePresent(file.string(), {"false", "", "", "", "", "", ""}));
    EXPECT_TRUE(ordexa::isFilePresent(file.string(), {"", "", "", "", "", "", ""}));
    EXPECT_FALSE(ordexa::isFilePresent(local_.Str(), {"", "", "", "", "", "", ""}));  // a folder is not a file
    ordexa::RemoveFile(file.string(), {"FALSE", "", "", "", "", "", ""});
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(ordexa::isFilePresent(file.string(), {"no", "", "", "", "", "", ""}));
    EXPECT_TRUE(inst_.LogText().empty());

    // a read-only file is not removed, and that is logged
    fs::path locked = local_.Path() / "comm.yes";
    WriteFile(locked, "");
    chmod(locked.c_str(), 0444);
    ordexa::RemoveFile(locked.string(), {"false", "host", "21", "", "", "edi", "Edi-Secret-42"});
    EXPECT_TRUE(fs::exists(locked));
    auto entries = inst_.LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].find(" METHOD: Lib File_Handling RemoveFile('" + locked.string() +
                              "', 'false', 'host', '21', '', '', 'edi', '***')"),
              std::string::npos);
    EXPECT_NE(entries[0].find("ERROR 0x46"), std::string::npos);  // permission denied
    EXPECT_EQ(inst_.LogText().find("Edi-Secret-42"), std::string::npos);
}

TEST_F(FileHandlingTest, PresenceAndRemovalOverFtpLogFailuresAndAnswerFalse) {
    FtpServer server;
    WriteFile(server.Home() / "command.fil", "");
    const std::string host = server.Host(), port = server.Port(), user = server.User(), pw = server.Password();
    EXPECT_TRUE(ordexa::isFilePresent("command.fil", {"True", host, port, "", "", user, pw}));
    ordexa::RemoveFile("/command.fil", {"TRUE", host, port, "", "", user, pw});
    EXPECT_FALSE(fs::exists(server.Home() / "command.fil"));
    EXPECT_FALSE(ordexa::isFilePresent("command.fil", {"true", host, port, "", "", user, pw}));
    EXPECT_TRUE(inst_.LogText().empty());

    EXPECT_FALSE(ordexa::isFilePresent("command.fil", {"true", host, port, "", "", user, "Wrong-Secret-7"}));
    ordexa::RemoveFile("command.fil", {"true", host, port, "", "", user, pw});
    auto entries = inst_.LogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_NE(entries[0].find(" METHOD: Lib File_Handling isFilePresent('command.fil', 'true', '127.0.0.1', '" + port +
                              "', '', '', 'edi', '***')"),
              std::string::npos);
    EXPECT_NE(entries[0].find("WinInet.InternetConnect returned error code 12014"), std::string::npos);
    EXPECT_NE(entries[1].find("WinInet.FtpDeleteFile [deleting file command.fil] returned error code 12003 (550 "),
              std::string::npos);
    EXPECT_EQ(inst_.LogText().find("Wrong-Secret-7"), std::string::npos);
    EXPECT_EQ(inst_.LogText().find(pw), std::string::npos);
    EXPECT_EQ(net::FtpClient::LiveHandles(), 0);
}

}  // namespace
