#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "simulator.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

erpsim::Settings SettingsIn(const TempDir& dir) {
    erpsim::Settings s;
    s.exportFile = dir.Path() / "edi" / "out" / "orders.edi";
    s.confirmationFile = dir.Path() / "edi" / "in" / "confirm.edi";
    s.archive = dir.Path() / "archive";
    s.separator = ";";
    fs::create_directories(s.exportFile.parent_path());
    return s;
}

TEST(ErpSimulator, TakesTheExportFileArchivesItAndConfirmsEveryOrder) {
    TempDir dir;
    auto s = SettingsIn(dir);
    WriteFile(s.exportFile, "ENV,AAA,DADuder,WWW,ORDER,,\r\nHDR,AAA\r\n\r\nENV,BBB,DADuder,WWW,ORDER,,\r\n\r\n");
    auto r = erpsim::RunCycle(s);
    ASSERT_EQ(r.orderIds, (std::vector<std::string>{"AAA", "BBB"}));
    EXPECT_FALSE(fs::exists(s.exportFile));
    EXPECT_TRUE(fs::exists(r.archivedAs));
    EXPECT_EQ(ReadFile(s.confirmationFile), "AAA;SO0000001\r\nBBB;SO0000002\r\n");
    // a later cycle appends while the web side has not read the file yet
    WriteFile(s.exportFile, "ENV,CCC,DADuder,WWW,ORDER,,\r\n");
    erpsim::RunCycle(s);
    EXPECT_EQ(ReadFile(s.confirmationFile), "AAA;SO0000001\r\nBBB;SO0000002\r\nCCC;SO0000003\r\n");
}

TEST(ErpSimulator, FollowsTheHandshakeAndWritesXmlConfirmations) {
    TempDir dir;
    auto s = SettingsIn(dir);
    s.handshake = true;
    s.xmlConfirmation = true;
    erpsim::PlaceCommandFile(s);
    fs::path commandFile = dir.Path() / "edi" / "command" / "command.fil";
    ASSERT_TRUE(fs::exists(commandFile));
    WriteFile(s.exportFile, "ENV|X1|DADuder|WWW|ORDER||\r\n");
    EXPECT_TRUE(erpsim::RunCycle(s).skipped);  // the web side still holds the folder
    EXPECT_TRUE(fs::exists(s.exportFile));
    fs::remove(commandFile);  // handed over
    auto r = erpsim::RunCycle(s);
    EXPECT_EQ(r.orderIds, std::vector<std::string>{"X1"});
    EXPECT_TRUE(fs::exists(commandFile));
    std::string xml = ReadFile(s.confirmationFile);
    EXPECT_NE(xml.find("<SalesOrder>"), std::string::npos);
    EXPECT_NE(xml.find("<WebOrderId>X1</WebOrderId>"), std::string::npos);
    EXPECT_NE(xml.find("<SalesOrderNr>SO0000001</SalesOrderNr>"), std::string::npos);
}

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST(ErpSimulator, AFileItCannotArchiveIsLeftUnlockedAndItsDescriptorClosed) {
    TempDir dir;
    auto s = SettingsIn(dir);
    // the archived name (the file's name and a time stamp) is longer than a name may be: the rename fails
    s.exportFile = s.exportFile.parent_path() / std::string(240, 'o');
    WriteFile(s.exportFile, "ENV,AAA,DADuder,WWW,ORDER,,\r\n");
    size_t before = OpenDescriptors();
    EXPECT_THROW(erpsim::RunCycle(s), fs::filesystem_error);
    EXPECT_EQ(OpenDescriptors(), before);
    int fd = ::open(s.exportFile.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);  // the web side can append again
    ::close(fd);
}

}  // namespace
