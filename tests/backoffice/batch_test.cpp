// `backoffice batch` as a process: it refuses what it cannot start with one line,
// and a second batch of an installation never runs beside the first.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "data/ado.h"
#include "run_program.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

Outcome Backoffice(const std::string& arguments) { return RunProgram(BACKOFFICE_BINARY, arguments); }

TEST(BackofficeBatch, WithoutAnInstallationItSaysWhyInOneLine) {
    TempDir dir;
    unsetenv("VENDALO_HOME");
    Outcome none = Backoffice("batch");
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.output.find("no installation given"), std::string::npos);
    Outcome empty = Backoffice("batch --home " + Quoted(dir.Str()));
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_NE(empty.output.find("is no installation"), std::string::npos);
    EXPECT_EQ(std::count(empty.output.begin(), empty.output.end(), '\n'), 1);
}

class BackofficeBatchLock : public DbTest {
protected:
    bool WithSchema() const override { return false; }
};

TEST_P(BackofficeBatchLock, ASecondBatchRefusesWhileTheFirstHoldsTheLock) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    std::string init = "init --home " + Quoted(home.string());
    if (Db().IsPostgres()) init += " --connection " + Quoted(Db().ConnectionString());
    ASSERT_EQ(Backoffice(init).exitCode, 0);

    // the lock a running batch holds
    int fd = -1;
    ado::ConnectionPtr session;
    if (Db().IsPostgres()) {
        session = std::make_shared<ado::Connection>();
        session->Open(Db().ConnectionString() + ";Pooling=False");
        // the class "BTCH" and the schema of the sales tables
        session->Execute("SELECT pg_advisory_lock(?, hashtext(current_schema()))", nullptr, -1,
                         {ole::Variant(int32_t{0x42544348})});
    } else {
        fd = ::open((home / "batch.lock").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    }
    Outcome second = Backoffice("batch --home " + Quoted(home.string()));
    EXPECT_EQ(second.exitCode, 3) << second.output;
    EXPECT_NE(second.output.find("a batch is already running for this installation"), std::string::npos);

    // once the first is gone (a crash releases the lock too), the batch runs
    if (session) session->Close();
    if (fd >= 0) ::close(fd);
    Outcome next = Backoffice("batch --home " + Quoted(home.string()));
    EXPECT_EQ(next.exitCode, 0) << next.output;
    EXPECT_NE(next.output.find("Batch finished for the installation"), std::string::npos);
    EXPECT_NE(next.output.find("log: " + (home / "log" / "vendalo.log").string()), std::string::npos);
}

INSTANTIATE_DB_TEST(BackofficeBatchLock);

}  // namespace
