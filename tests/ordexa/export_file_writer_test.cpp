// The export file shared with the back end, which takes it by locking it and
// renaming it away.
#include "exchange/export_file_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "automation/error.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// What the back end's EDI module does: lock the file, rename it away, release it.
class BackEndTake {
public:
    explicit BackEndTake(const fs::path& file) : fd_(::open(file.c_str(), O_RDONLY)), file_(file) {
        EXPECT_GE(fd_, 0);
        ::flock(fd_, LOCK_EX);
    }
    void RenameTo(const fs::path& taken) { fs::rename(file_, taken); }
    ~BackEndTake() {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }

private:
    int fd_;
    fs::path file_;
};

TEST(ExportFileWriter, GroupsLandOnlyInTheFileThePathNamesAndWithdrawnOnesLeaveNoTrace) {
    TempDir dir;
    fs::path file = dir.Path() / "orders.edi", taken = dir.Path() / "taken-1.edi";
    WriteFile(file, "OLD\r\n");
    ordexa::ExportFileWriter writer(file.string());
    writer.Append("A\r\n");
    writer.Keep();
    writer.Append("UNMARKED\r\n");
    writer.Withdraw();  // its orders could not be marked: the message goes again
    { BackEndTake(file).RenameTo(taken); }
    writer.Append("B\r\n");
    writer.Keep();
    EXPECT_EQ(ReadFile(taken), "OLD\r\nA\r\n");
    EXPECT_EQ(ReadFile(file), "B\r\n");

    // the back end holds the lock while the writer waits for it, and takes the file meanwhile
    std::thread appender;
    {
        BackEndTake take(file);
        appender = std::thread([&] {
            writer.Append("C\r\n");
            writer.Keep();
        });
        take.RenameTo(dir.Path() / "taken-2.edi");
    }
    appender.join();
    EXPECT_EQ(ReadFile(dir.Path() / "taken-2.edi"), "B\r\n");
    EXPECT_EQ(ReadFile(file), "C\r\n");
    writer.Close();
    EXPECT_EQ(ReadFile(file), "C\r\n");
}

TEST(ExportFileWriter, AWriteThatDoesNotFitIsCutBackWhole) {
    TempDir dir;
    fs::path file = dir.Path() / "orders.edi";
    ordexa::ExportFileWriter writer(file.string());
    writer.Append("FIRST\r\n");
    writer.Keep();
    // a file size limit stands in for a full disk: the write stops part-way
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit limit = saved;
    limit.rlim_cur = 20;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int32_t number = 0;
    try {
        writer.Append("SECOND GROUP THAT DOES NOT FIT\r\n");
    } catch (const ole::AutomationError& e) {
        number = e.Number();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(number, ole::err::DiskFull);
    EXPECT_EQ(ReadFile(file), "FIRST\r\n");
    writer.Append("THIRD\r\n");
    writer.Keep();
    EXPECT_EQ(ReadFile(file), "FIRST\r\nTHIRD\r\n");
}

}  // namespace
