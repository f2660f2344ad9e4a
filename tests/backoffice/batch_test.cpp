// `backoffice batch` as a process: it refuses what it cannot start with one line,
// and a second batch of an installation never runs beside the first.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands/use_installation.h"
#include "host_programs.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "shared/lib_sales.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

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

// The reason line of every command comes from the error's fields: what was
// raised first and the info of that first report, whatever the frames and the
// texts around it say.
TEST(CommandReason, IsTheFirstDescriptionWithItsOwnInfoOnly) {
    auto framed = [](const ole::SlsErrorInfo& error, const std::string& label, const SlsInfo& info) {
        try {
            throw ole::AutomationError(error);
        } catch (...) {
            return Sls_SaveError(label, info);
        }
    };
    ole::SlsErrorInfo raised(ole::err::PathNotFound, "Ordexa", "Path not found: /in\x1B[2J");
    // an outer frame's info is not the first report's; a terminal gets no control character
    EXPECT_EQ(backoffice::Reason(framed(framed(raised, "Inner", std::nullopt), "Outer", std::string("iID = 7"))),
              "Path not found: /in\\x1B[2J");
    // a peer's text that holds the format's own words stays whole
    ole::SlsErrorInfo ftp(ole::err::ObjectErrorBase, "FTP", "550 DESC: no such file");
    EXPECT_EQ(backoffice::Reason(framed(ftp, "Ordexa.FTP.GetFile", std::string("orders.edi"))),
              "550 DESC: no such file (orders.edi)");
    EXPECT_EQ(backoffice::Reason(std::runtime_error("cannot open /x")), "cannot open /x");
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

// An installation with the demo's orders waiting; the host's commands on it.
class BackofficeOnDemo : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("VENDALO_HOME");
        home_ = parent_.Path() / "shop";
        ASSERT_EQ(Backoffice("init --demo --home " + Home()).exitCode, 0);
        ASSERT_EQ(Backoffice("demo --home " + Home()).exitCode, 0);
    }
    std::string Home() const { return Quoted(home_.string()); }
    fs::path Config() const { return home_ / "config" / "VendaloConfiguration.xml"; }
    // a batch that hangs ends after 60 s with 124
    Outcome Batch() { return RunProgram("timeout", "60 " + Quoted(BACKOFFICE_BINARY) + " batch --home " + Home()); }
    size_t Waiting() {
        std::string listed = Backoffice("orders --home " + Home()).output;
        size_t n = 0;
        for (size_t at = listed.find("0 ToBeProcessed"); at != std::string::npos; at = listed.find("0 ToBeProcessed", at + 1)) ++n;
        return n;
    }

    TempDir parent_;
    fs::path home_;
};

TEST_F(BackofficeOnDemo, ABatchWhoseLogCannotBeWrittenDoesNotStartAndSaysWhy) {
    fs::path log = home_ / "log" / "vendalo.log";
    size_t waiting = Waiting();
    fs::remove(log);
    fs::create_directories(log);  // the log file cannot be opened (as a read-only folder would, for any user but root)
    Outcome batch = Batch();
    EXPECT_EQ(batch.exitCode, 1) << batch.output;
    EXPECT_NE(batch.output.find("cannot start: the log " + log.string() + " cannot be written"), std::string::npos)
        << batch.output;
    EXPECT_EQ(batch.output.find("Batch finished"), std::string::npos);
    EXPECT_EQ(Waiting(), waiting);
}

TEST_F(BackofficeOnDemo, AConfigurationItCannotReadEndsTheBatchAtOnceWithTheReason) {
    std::string configuration = ReadFile(Config());
    size_t waiting = Waiting();
    auto with = [&](const std::string& from, const std::string& to) {
        std::string text = configuration;
        text.replace(text.find(from), from.size(), to);
        fs::remove(Config());
        WriteFile(Config(), text);
    };
    // a busy time-out of "abc" was read as 0: every lock another process held failed a statement
    with("vendalo.db</ConnectionString>", "vendalo.db;Busy Timeout=abc</ConnectionString>");
    Outcome busy = Batch();
    EXPECT_EQ(busy.exitCode, 1) << busy.output;
    EXPECT_NE(busy.output.find("cannot start: Busy Timeout in the connection string is not a number"),
              std::string::npos)
        << busy.output;
    // a FIFO in place of the file: the batch waited for a writer for ever
    fs::remove(Config());
    ASSERT_EQ(::mkfifo(Config().c_str(), 0600), 0);
    Outcome fifo = Batch();
    EXPECT_EQ(fifo.exitCode, 1) << fifo.output;
    EXPECT_NE(fifo.output.find("is not a regular file"), std::string::npos) << fifo.output;
    // an empty file as the database: refused, and left an empty file (it was made a database and the batch said 0)
    fs::path empty = parent_.Path() / "empty.db";
    WriteFile(empty, "");
    fs::remove(Config());
    with((home_ / "data" / "vendalo.db").string(), empty.string());
    Outcome none = Batch();
    EXPECT_EQ(none.exitCode, 1) << none.output;
    EXPECT_NE(none.output.find("is an empty file; run `backoffice init` or `upgrade`"), std::string::npos) << none.output;
    EXPECT_EQ(fs::file_size(empty), 0u);
    fs::remove(Config());
    WriteFile(Config(), configuration);
    EXPECT_EQ(Waiting(), waiting);
}

TEST_F(BackofficeOnDemo, AnInstanceThatStopsIsNamedInTheSummaryAndTheBatchExits4) {
    {
        auto c = std::make_shared<ado::Connection>();
        c->Open("Provider=SQLite;Data Source=" + (home_ / "data" / "vendalo.db").string());
        // a folder that cannot be made: the export of BIS 1 stops, its orders wait
        c->Execute("UPDATE ORDEREXPORTFILE SET FILENAME = ? WHERE BISID = 1", nullptr, -1,
                   {ole::Variant((Config() / "out" / "orders.edi").string())});
        c->Close();
        ado::ClearConnectionPool();
    }
    Outcome batch = Batch();
    EXPECT_EQ(batch.exitCode, 4) << batch.output;
    EXPECT_NE(batch.output.find("  stopped: BISID 1: the export file " + (Config() / "out" / "orders.edi").string() +
                                " cannot be created\n"),
              std::string::npos)
        << batch.output;
    EXPECT_EQ(batch.output.find("stopped: BISID 2"), std::string::npos) << batch.output;
}

TEST_F(BackofficeOnDemo, TheSummaryNamesRefusedEntriesAndTheOrdersTheExportSkippedByReason) {
    std::string confirmations;
    {
        auto c = std::make_shared<ado::Connection>();
        c->Open("Provider=SQLite;Data Source=" + (home_ / "data" / "vendalo.db").string());
        // two orders of BIS 1 whose partner is gone: the export leaves them out, for one reason
        c->Execute("UPDATE ORDERHEADER SET BUSINESSPARTNERID = 999 WHERE ORDERSTATUS = 0 AND BISID = 1");
        confirmations = c->Execute("SELECT CONFIRMATIONFILENAME FROM ORDEREXPORTFILE WHERE BISID = 1")
                            ->Fields(0).Value().Text();
        c->Close();
        ado::ClearConnectionPool();
    }
    // two entries the back end wrote for orders this database does not have
    WriteFile(confirmations, "0123456789ABCDEF0123456789ABCDEF,SO-1\r\nFEDCBA9876543210FEDCBA9876543210,SO-2\r\n");
    Outcome batch = Batch();
    EXPECT_EQ(batch.exitCode, 0) << batch.output;
    for (const char* line :
         {"  confirmation entries refused: 2 (2 naming no order): see `backoffice exchanges --kind \"refused entry\"`\n",
          "  orders the export skipped: 2 (they stay to be exported; the log names them)\n"
          "    2: Business partner 999 does not exist\n"})
        EXPECT_NE(batch.output.find(line), std::string::npos) << line << batch.output;
    auto c = std::make_shared<ado::Connection>();
    c->Open("Provider=SQLite;Data Source=" + (home_ / "data" / "vendalo.db").string());
    EXPECT_NE(c->Execute("SELECT SUMMARY FROM BATCHRUN")->Fields(0).Value().Text().find("orders the export skipped: 2"),
              std::string::npos);
    c->Close();
}

TEST_F(BackofficeOnDemo, TheOrderListShowsTerminalControlsAsCodes) {
    {
        auto c = std::make_shared<ado::Connection>();
        c->Open("Provider=SQLite;Data Source=" + (home_ / "data" / "vendalo.db").string());
        c->Execute("UPDATE ORDERHEADER SET SALESORDERNR = ?", nullptr, -1, {ole::Variant("SO1\x1B[2J\x1B]0;owned\x07\r")});
        c->Close();
        ado::ClearConnectionPool();
    }
    Outcome listed = Backoffice("orders --home " + Home());
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.output.find('\x1B'), std::string::npos);
    EXPECT_EQ(listed.output.find('\r'), std::string::npos);
    EXPECT_NE(listed.output.find("SO1\\x1B[2J\\x1B]0;owned\\x07\\x0D\n"), std::string::npos) << listed.output;
}

}  // namespace
