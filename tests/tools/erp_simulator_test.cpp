#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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

const char* kXmlExport =
    "<?xml version=\"1.0\"?>\n<BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\"><Body>"
    "<QxSalesOrders xmlns=\"urn:schemas-biztalk-org:vorn-com/QxSalesOrders\">"
    "<Order><OrderHeader><order_id>X1</order_id></OrderHeader><OrderLines/></Order>"
    "<Order><OrderHeader><order_id>X2</order_id></OrderHeader><OrderLines/></Order>"
    "</QxSalesOrders></Body></BizTalk>\n";

TEST(ErpSimulator, TakesAnXmlExportDocumentAndConfirmsItsOrdersInEitherForm) {
    TempDir dir;
    auto s = SettingsIn(dir);
    s.exportFile = s.exportFile.parent_path() / "orders.xml";
    WriteFile(s.exportFile, kXmlExport);
    EXPECT_EQ(erpsim::RunCycle(s).orderIds, (std::vector<std::string>{"X1", "X2"}));
    EXPECT_FALSE(fs::exists(s.exportFile));
    EXPECT_EQ(ReadFile(s.confirmationFile), "X1;SO0000001\r\nX2;SO0000002\r\n");
    fs::remove(s.confirmationFile);
    s.xmlConfirmation = true;
    WriteFile(s.exportFile, kXmlExport);
    erpsim::RunCycle(s);
    std::string xml = ReadFile(s.confirmationFile);
    EXPECT_NE(xml.find("<WebOrderId>X1</WebOrderId>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<SalesOrderNr>SO0000003</SalesOrderNr>"), std::string::npos) << xml;
}

// The web side puts a new document in place of the file the simulator waits
// for, and holds the new one locked until its orders are marked: the simulator
// takes the new one only once it is released.
TEST(ErpSimulator, WaitsForTheFileThePathNamesOnceItHasTheLock) {
    TempDir dir;
    auto s = SettingsIn(dir);
    WriteFile(s.exportFile, "ENV,OLD,DADuder,WWW,ORDER,,\r\n");
    int old = ::open(s.exportFile.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(old, LOCK_EX), 0);
    erpsim::CycleResult taken;
    std::thread backEnd([&] { taken = erpsim::RunCycle(s); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // it waits for the old file's lock
    fs::path next = s.exportFile.parent_path() / "orders.edi.new";
    WriteFile(next, "ENV,OLD,DADuder,WWW,ORDER,,\r\nENV,NEW,DADuder,WWW,ORDER,,\r\n");
    int held = ::open(next.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    fs::rename(next, s.exportFile);
    ::flock(old, LOCK_UN);
    ::close(old);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(fs::exists(s.exportFile));  // not taken while its orders are being marked
    ::flock(held, LOCK_UN);
    ::close(held);
    backEnd.join();
    EXPECT_EQ(taken.orderIds, (std::vector<std::string>{"OLD", "NEW"}));
    EXPECT_FALSE(fs::exists(s.exportFile));
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
