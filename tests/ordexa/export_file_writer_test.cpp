// The export file shared with the back end, which takes it by locking it and
// renaming it away.
#include "ordexa/exchange/export_file_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/automation/error.h"
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

namespace {

// A writer killed in the middle of a group leaves its journal and part of the
// group; the next writer of the path cuts off what was never marked.
TEST(ExportFileWriter, AGroupAKilledWriterLeftBehindIsCutOffUnlessItsOrdersWereMarked) {
    TempDir dir;
    fs::path file = dir.Path() / "orders.edi", journal = dir.Path() / "orders.journal";
    for (bool marked : {false, true}) {
        WriteFile(file, "KEPT\r\n");
        struct stat held {};
        ASSERT_EQ(::stat(file.c_str(), &held), 0);
        WriteFile(journal, std::to_string(held.st_dev) + " " + std::to_string(held.st_ino) + " 6\nO1\nO2\n");
        { std::ofstream(file, std::ios::app) << "ENV,O1,DADuder\r\nHDR,O1"; }  // the kill came here
        std::vector<std::string> asked;
        ordexa::ExportFileWriter writer(file.string(), journal.string(), [&](const std::vector<std::string>& ids) {
            asked = ids;
            return marked;
        });
        writer.Append("NEXT\r\n", {"O3"});
        EXPECT_GT(fs::file_size(journal), 0u);  // the new group's journal, until it is kept
        writer.Keep();
        EXPECT_EQ(fs::file_size(journal), 0u);
        writer.Close();
        EXPECT_FALSE(fs::exists(journal));
        EXPECT_EQ(asked, (std::vector<std::string>{"O1", "O2"}));
        EXPECT_EQ(ReadFile(file), marked ? "KEPT\r\nENV,O1,DADuder\r\nHDR,O1NEXT\r\n" : "KEPT\r\nNEXT\r\n");
    }
    // a journal of a file the back end has taken since concerns no longer this file
    WriteFile(file, "FRESH\r\n");
    WriteFile(journal, "1 1 0\nO9\n");
    ordexa::ExportFileWriter writer(file.string(), journal.string(), [](const std::vector<std::string>&) { return false; });
    writer.Append("X\r\n", {"O10"});
    writer.Keep();
    EXPECT_EQ(ReadFile(file), "FRESH\r\nX\r\n");
}

// The journal the writer itself leaves when killed before its group was marked
// is read back; one whose write a crash cut short names no group.
TEST(ExportFileWriter, ItsOwnJournalIsReadBackAndOneCutShortNamesNoGroup) {
    TempDir dir;
    fs::path file = dir.Path() / "orders.edi", journal = dir.Path() / "orders.journal";
    auto neverMarked = [](const std::vector<std::string>&) { return false; };
    std::string left;  // the journal as a kill after the write of group B would leave it
    {
        ordexa::ExportFileWriter writer(file.string(), journal.string(), neverMarked);
        writer.Append("A\r\n", {"A1"});
        writer.Keep();
        writer.Append("B\r\n", {"B1", "B2"});
        left = ReadFile(journal);
        EXPECT_EQ(fs::status(journal).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
        writer.Keep();
    }
    for (bool cutShort : {true, false}) {
        WriteFile(file, "A\r\nB\r\n");
        std::string damaged = left;
        if (cutShort) damaged.replace(damaged.find("B2"), 2, "B9");
        WriteFile(journal, damaged);
        std::vector<std::string> asked;
        ordexa::ExportFileWriter writer(file.string(), journal.string(), [&](const std::vector<std::string>& ids) {
            asked = ids;
            return false;
        });
        writer.Append("C\r\n", {"C1"});
        writer.Keep();
        if (cutShort) {
            EXPECT_TRUE(asked.empty());
            EXPECT_EQ(ReadFile(file), "A\r\nB\r\nC\r\n");
        } else {
            EXPECT_EQ(asked, (std::vector<std::string>{"B1", "B2"}));
            EXPECT_EQ(ReadFile(file), "A\r\nC\r\n");
        }
    }
}

}  // namespace
