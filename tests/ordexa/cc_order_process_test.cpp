// The batch driver: the walk over the registry, the semaphore handshake, the
// later stages and the closing of fully billed orders. The export is replaced
// by a recorder here; its own tests cover it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ftp_server.h"
#include "order_export_fixture.h"
#include "ordexa/batch_progress.h"
#include "ordexa/exchange/batch_stage.h"
#include "ordexa/exchange/cc_order_process.h"
#include "ordexa/exchange/web_order_export.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> gCalls;

struct RecordingExport : ordexa::IWebOrderExport {
    void Run(const std::string& bisid, const std::string& file, const std::string& type, const std::string& separator,
             const std::string& escape, const ordexa::FtpSettings& ftp) override {
        gCalls.push_back("export " + bisid + " " + file + " [" + type + "][" + separator + "][" + escape + "] " +
                         ftp.useFtp + " " + ftp.system + ":" + ftp.systemPort + " " + ftp.login);
    }
};

struct RecordingStage : ordexa::IBatchStage {
    explicit RecordingStage(std::string name) : name(std::move(name)) {}
    void Run() override { gCalls.push_back(name); }
    std::string name;
};

class BatchDriver : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        gCalls.clear();
        edi_ = Inst().Home() / "edi";
        for (const char* folder : {"out", "in", "command"}) fs::create_directories(edi_ / folder);
    }

    void AddRow(const std::string& bisid, const std::string& semaphore, const std::string& file = "",
                const std::string& ftp = "false", const std::string& system = "", const std::string& port = "",
                const std::string& login = "", const std::string& password = "", const std::string& confirm = "") {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        c->Execute("INSERT INTO ORDEREXPORTFILE (BISID, FILENAME, EXPORTMESSAGETYPE, CONFIRMATIONFILENAME, "
                   "CONFIRMATIONMESSAGETYPE, USEEDISEMAPHORE, EDIFIELDSEPARATOR, EDIESCAPESEPARATOR, USEFTP, SYSTEM, "
                   "SYSTEMPORT, PROXYSERVER, PROXYPORT, LOGIN, PASSWORD) VALUES (?, ?, ' 0 ', ?, NULL, ?, ';', NULL, ?, ?, "
                   "?, NULL, NULL, ?, ?)",
                   nullptr, -1,
                   {bisid.empty() ? Variant::Null() : Variant(bisid),
                    Variant(file.empty() ? (edi_ / "out" / "orders.edi").string() : file),
                    Variant(confirm.empty() ? (edi_ / "in" / "confirm.edi").string() : confirm), Variant(semaphore),
                    Variant(ftp), Variant(system), Variant(port), Variant(login), Variant(password)});
    }

    void RunBatch() {
        ole::ComponentOverride exporter("Ordexa.WebOrderExport", [] { return std::make_shared<RecordingExport>(); });
        Sls_GetComponent<ordexa::ICCOrderProcess>("Ordexa.CCOrderProcess")->Run();
    }

    void AddOrderInStatus(const std::string& id, int status, const std::vector<int>& lineStatuses) {
        Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS) VALUES ('" + id + "', " + std::to_string(status) + ")");
        int nr = 1;
        for (int s : lineStatuses)
            Inst().Exec("INSERT INTO ORDERLINE (ORDERID, LINENR, LINESTATUS) VALUES ('" + id + "', " +
                        std::to_string(nr++) + ", " + std::to_string(s) + ")");
    }

    int StatusOf(const std::string& id) {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        return c->Execute("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1, {Variant(id)})
            ->Fields(0)
            .Value()
            .ToLong();
    }

    fs::path edi_;
};

TEST_P(BatchDriver, WithoutTheHandshakeExportAndImportRunAndNoSemaphoreIsTouched) {
    AddRow("7", "False");
    Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS) VALUES ('A1', 1)");
    WriteFile(edi_ / "in" / "confirm.edi", "A1;SO-1\r\n");
    RunBatch();
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0], "export 7 " + (edi_ / "out" / "orders.edi").string() + " [0][;][] false : ");  // trimmed
    EXPECT_EQ(StatusOf("A1"), 6);  // the confirmation import ran after the export
    EXPECT_TRUE(fs::is_empty(edi_ / "command"));
    // every stage after the instances is there: the batch runs to its end without an error
    EXPECT_EQ(Inst().LogEntriesWith(" METHOD: Ordexa.CCOrderProcess.Run\r\n"), 0u);
    EXPECT_EQ(Inst().LogEntriesWith("CreateObject("), 0u);
}

TEST_P(BatchDriver, AnInstanceWhoseBackEndIsBusyIsSkipped) {
    AddRow("7", "TRUE");
    RunBatch();
    EXPECT_TRUE(gCalls.empty());
    EXPECT_TRUE(fs::exists(edi_ / "command" / "comm.yes"));
    EXPECT_FALSE(fs::exists(edi_ / "command" / "command.fil"));
    EXPECT_EQ(Inst().LogEntriesWith("[notice] [instance 7] [CCOrderProcess.AllowedToHandleEDI] commmand.fil file is not "
                                    "present on Vorn system, so EDI order export file " +
                      (edi_ / "out" / "orders.edi").string() +
                      " is not written nor is the order confirmation file read.Probaly Vorn system is busy with EDI "
                      "transactions.\n"),
              1u);
}

TEST_P(BatchDriver, AnInstanceWhoseEdiIsStoppedIsSkippedAndKeepsCommandFil) {
    AddRow("7", "true");
    WriteFile(edi_ / "command" / "command.fil", "");
    WriteFile(edi_ / "command" / "command.end", "");
    RunBatch();
    EXPECT_TRUE(gCalls.empty());
    EXPECT_TRUE(fs::exists(edi_ / "command" / "command.fil"));
    EXPECT_EQ(Inst().LogEntriesWith("comm.end file is present on Vorn system, so EDI order export file " +
                      (edi_ / "out" / "orders.edi").string() +
                      " is not written nor is the order confirmation file read.Probaly EDI transactions are stopped by "
                      "Vorn EDI."),
              1u);
}

TEST_P(BatchDriver, AFreeBackEndGetsTheExportAndTheFolderBack) {
    AddRow("7", "true");
    WriteFile(edi_ / "command" / "command.fil", "");
    WriteFile(edi_ / "command" / "comm.yes", "kept");
    RunBatch();
    EXPECT_EQ(gCalls.size(), 1u);
    EXPECT_FALSE(fs::exists(edi_ / "command" / "command.fil"));  // handed back
    EXPECT_EQ(ReadFile(edi_ / "command" / "comm.yes"), "kept");  // an existing marker is left alone
}

TEST_P(BatchDriver, ARowWithoutBisidIsLoggedAndTheOthersStillRun) {
    AddRow("", "false", (edi_ / "out" / "broken.edi").string());
    AddRow("8", "false");
    RunBatch();
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].rfind("export 8 ", 0), 0u);
    EXPECT_EQ(Inst().LogEntriesWith("The export registry row of file '" + (edi_ / "out" / "broken.edi").string() +
                      "' has no BISID; the row is skipped"),
              1u);
}

TEST_P(BatchDriver, TheLaterStagesRunOnceInTheirOrderAfterAllRows) {
    ole::ComponentOverride reqlink("Ordexa.Reqlink", [] { return std::make_shared<RecordingStage>("reqlink"); });
    ole::ComponentOverride allocation("Ordexa.CCAllocation", [] { return std::make_shared<RecordingStage>("allocation"); });
    ole::ComponentOverride status("Ordexa.CCOrderStatus", [] { return std::make_shared<RecordingStage>("status"); });
    AddOrderInStatus("PAID", 4, {3, 3});
    RunBatch();  // an empty registry: no handshake, no export, no import
    EXPECT_EQ(gCalls, (std::vector<std::string>{"reqlink", "allocation", "status"}));
    EXPECT_EQ(StatusOf("PAID"), 5);
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(BatchDriver, FulfillBillingClosesOnlyFullyBilledOrders) {
    AddOrderInStatus("HALF", 4, {3, 2});
    AddOrderInStatus("FULL", 4, {3, 4});
    AddOrderInStatus("EMPTY", 4, {});
    AddOrderInStatus("ISSUE", 8, {3});
    Sls_GetComponent<ordexa::ICCOrderProcess>("Ordexa.CCOrderProcess")->FulfillBilling();
    EXPECT_EQ(StatusOf("HALF"), 4);
    EXPECT_EQ(StatusOf("FULL"), 5);
    EXPECT_EQ(StatusOf("EMPTY"), 5);
    EXPECT_EQ(StatusOf("ISSUE"), 8);
}

TEST_P(BatchDriver, OnAnFtpHostTheSemaphoresUseSlashesAndTheLocalMarkerLiesInTheTemporaryFolder) {
    FtpServer server;
    fs::create_directories(server.Home() / "edi" / "command");
    fs::create_directories(server.Home() / "edi" / "out");
    WriteFile(server.Home() / "edi" / "command" / "command.fil", "");
    AddRow("9", "true", "edi/out/orders.edi", "TRUE", server.Host(), server.Port(), server.User(), server.Password(),
           "edi/in/confirm.edi");
    RunBatch();
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_TRUE(fs::exists(server.Home() / "edi" / "command" / "comm.yes"));
    EXPECT_TRUE(fs::exists(Inst().Home() / "Vendalo" / "TempEdiFtp" / "comm.yes"));
    EXPECT_FALSE(fs::exists(server.Home() / "edi" / "command" / "command.fil"));
    EXPECT_EQ(Inst().LogText().find(server.Password()), std::string::npos);
}

TEST_P(BatchDriver, AnFtpHostThatIsDownIsLoggedAndTheNextInstanceStillRuns) {
    AddRow("9", "true", "edi/out/orders.edi", "true", "127.0.0.1", "1", "edi", "Secret-Pw-1");
    AddRow("10", "false");
    RunBatch();
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].rfind("export 10 ", 0), 0u);
    EXPECT_GE(Inst().LogEntriesWith("Lib File_Handling isFilePresent('edi/command/comm.yes', 'true', '127.0.0.1', '1', '', '', "
                      "'edi', '***')"),
              1u);
    EXPECT_EQ(Inst().LogText().find("Secret-Pw-1"), std::string::npos);
}

INSTANTIATE_INSTALLATION_TEST(BatchDriver);

// A batch whose database goes away while an instance exports: the instance
// stops with one entry saying why, not one for each of its orders, and the
// parts that stopped are told to the host once each.
class BatchWithoutDatabase : public export_testing::OrderExportTest {
    bool OwnDatabase() const override { return true; }
};

TEST_P(BatchWithoutDatabase, TheInstanceStopsOnceWithItsReasonInsteadOfFailingEveryOrder) {
    if (!Inst().Db().IsPostgres()) GTEST_SKIP() << "an embedded database does not go away";
    Db()->Execute("INSERT INTO ORDEREXPORTFILE (BISID, FILENAME, EXPORTMESSAGETYPE, USEEDISEMAPHORE, USEFTP) VALUES "
                  "(1, ?, '0', 'false', 'false')",
                  nullptr, -1, {Variant((Inst().Home() / "orders.edi").string())});
    export_testing::OrderDraft draft;
    draft.lines = {{.part = "BOLT-M8", .quantity = 2, .price = 0.45}};
    for (int i = 0; i < 30; ++i) Submit(draft);

    // the server refuses new sessions and ends the batch's the moment the export has its orders
    auto admin = std::make_shared<ado::Connection>();
    admin->Open(Inst().ConnectionString() + ";Pooling=False");
    struct Outage : ordexa::BatchProgress {
        ado::ConnectionPtr admin;
        std::vector<std::string> stopped;
        void ExportStarted(const std::string&, int32_t) override {
            admin->Execute("UPDATE pg_database SET datallowconn = false WHERE datname = current_database()");
            admin->Execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                           "WHERE datname = current_database() AND pid <> pg_backend_pid()");
        }
        void PartStopped(const std::string& part, const std::string&) override { stopped.push_back(part); }
    } outage;
    outage.admin = admin;
    ordexa::SetBatchProgress(&outage);
    Sls_GetComponent<ordexa::ICCOrderProcess>("Ordexa.CCOrderProcess")->Run();
    ordexa::SetBatchProgress(nullptr);
    admin->Execute("UPDATE pg_database SET datallowconn = true WHERE datname = current_database()");
    admin->Close();
    ado::ClearConnectionPool();

    EXPECT_EQ(Inst().LogEntriesWith("stays to be exported"), 0u);
    EXPECT_EQ(std::count(outage.stopped.begin(), outage.stopped.end(), "BISID 1"), 1);
    ASSERT_FALSE(outage.stopped.empty());
    EXPECT_EQ(outage.stopped.back(), "billing fulfilment");  // every later stage stopped too, once
    EXPECT_LT(Inst().LogEntriesWith("[error]"), 10u) << Inst().LogText();  // a handful, not one for each of the 30 orders
}

INSTANTIATE_INSTALLATION_TEST(BatchWithoutDatabase);

TEST(CommandFolder, IsCommandInTheGrandparentOfTheExportFileWithItsSeparator) {
    EXPECT_EQ(ordexa::setCommandFileFromEDIExportFile(" /data/edi/out/orders.edi ", "command.fil"),
              "/data/edi/command/command.fil");
    EXPECT_EQ(ordexa::setCommandFileFromEDIExportFile("C:\\edi\\out\\orders.edi", "comm.yes"), "C:\\edi\\command\\comm.yes");
    EXPECT_EQ(ordexa::setCommandFileFromEDIExportFile("edi/out/orders.edi", "command.end"), "edi/command/command.end");
}

}  // namespace
