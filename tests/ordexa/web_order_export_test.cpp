// The export run: which orders go, where they go, and what stays when something fails.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "ftp_server.h"
#include "ordexa/exchange/export_selection.h"
#include "order_export_fixture.h"

using namespace export_testing;
using testing_support::ReadFile;
using testing_support::WriteFile;
namespace fs = std::filesystem;

namespace {

const std::string kProcessOrderFailed =
    "EDI export of orders failed. The export file is defined in the 'Order Export File' (Vendalo manager page)";

class ExportRuns : public OrderExportTest {
protected:
    // ENV records of a file, i.e. the orders it holds, in order.
    static std::vector<std::string> OrdersIn(const std::string& text) {
        std::vector<std::string> ids;
        for (size_t at = text.find("ENV,"); at != std::string::npos; at = text.find("\r\nENV,", at + 1)) {
            size_t from = text.find(',', at) + 1;
            ids.push_back(text.substr(from, text.find(',', from) - from));
        }
        return ids;
    }
};

TEST_P(ExportRuns, WaitingOrdersOfTheInstanceAreAppendedInPartnerOrderAndMarked) {
    std::string late = Submit(Simple(3, "2026-03-01 08:00:00"));  // partner 3 sorts after partner 2
    std::string second = Submit(Simple(2, "2026-03-02 11:00:00"));
    std::string first = Submit(Simple(2, "2026-03-02 10:00:00"));
    std::string other = Submit(Simple(2));
    std::string done = Submit(Simple(2));
    Inst().Exec("UPDATE ORDERHEADER SET BISID = 2 WHERE ORDERID = '" + other + "'");
    Inst().Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 6, BISID = 1 WHERE ORDERID = '" + done + "'");
    WriteFile(ediFile_, "ENV,EARLIER,DADuder,WWW,ORDER,,\r\n");  // not taken by the back end yet

    Export(ediFile_);

    std::string text = ReadFile(ediFile_);
    EXPECT_EQ(OrdersIn(text), (std::vector<std::string>{"EARLIER", first, second, late}));
    for (const auto& id : {first, second, late}) EXPECT_EQ(StatusOf(id), std::make_pair(1, std::string("1")));
    EXPECT_EQ(StatusOf(other), std::make_pair(0, std::string("2")));
    EXPECT_EQ(StatusOf(done), std::make_pair(6, std::string("1")));
    EXPECT_EQ(Entries({"[notice]", "WebOrderExport submitted 3 orders to export file for BISID 1"}), 1u);

    // nothing waits any more: no summary, and no file where there was none
    std::string empty = (Inst().Home() / "none.edi").string();
    Export(empty);
    EXPECT_FALSE(fs::exists(empty));
    EXPECT_EQ(ReadFile(ediFile_), text);
    EXPECT_EQ(Inst().LogEntries().size(), 1u);
    // the other instance takes its own order
    Export(empty, "", "", "2");
    EXPECT_EQ(OrdersIn(ReadFile(empty)), std::vector<std::string>{other});
}

TEST_P(ExportRuns, OrdersWithoutTheirAddressesStayWaitingAndTheOthersGo) {
    Inst().Exec(
        "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, COUNTRYCODE) VALUES (36, 2, 'Gone', 'NL');"
        "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, COUNTRYCODE) VALUES (37, 2, 'Lost', 'NL')");
    OrderDraft noHeaderAddress = Simple();
    noHeaderAddress.shipping = 36;
    std::string h = Submit(noHeaderAddress);
    OrderDraft noLineAddress = Simple();
    noLineAddress.lines.push_back({.part = "WASHER-8", .quantity = 5, .address = 37});
    std::string l = Submit(noLineAddress);
    std::string good = Submit(Simple());
    Inst().Exec(
        "DELETE FROM ADDRESSHISTORY WHERE ADDRESSID IN (36, 37); DELETE FROM ADDRESS WHERE ADDRESSID IN (36, 37)");

    Export(ediFile_);

    EXPECT_EQ(OrdersIn(ReadFile(ediFile_)), std::vector<std::string>{good});
    EXPECT_EQ(StatusOf(good).first, 1);
    EXPECT_EQ(StatusOf(h), std::make_pair(0, std::string("")));
    EXPECT_EQ(StatusOf(l), std::make_pair(0, std::string("")));
    // one entry per report: the builder's, then each caller's with the inner frames in it
    EXPECT_EQ(Entries({"ERROR 0x80040155", "Ordexa.GetOrderHeader", "MissingHeaderAddress"}), 2u);
    EXPECT_EQ(Entries({"ERROR 0x80040156", "WebOrderExport.GetAddress", "MissingLineAddress"}), 3u);
    EXPECT_EQ(Entries({"WebOrderExport.GetLineAddress", "MissingLineAddress"}), 2u);
    for (const auto& id : {h, l}) {
        EXPECT_EQ(Entries({"WebOrderExport.ProcessOneOrder", "Order '" + id + "' is not exported"}), 1u);
        EXPECT_EQ(
            Entries({"WebOrderExport.ProcessOrder", kProcessOrderFailed + " Order '" + id + "' stays to be exported."}),
            1u);
    }
    EXPECT_EQ(Entries({"WebOrderExport submitted 1 orders to export file for BISID 1"}), 1u);
}

TEST_P(ExportRuns, AnExportFileThatCannotBeWrittenLeavesEveryOrderWaiting) {
    std::string a = Submit(Simple()), b = Submit(Simple(3));
    std::string missing = (Inst().Home() / "no-folder" / "orders.edi").string();
    Export(missing);
    EXPECT_EQ(Entries({"Order Export", "EDI export file '" + missing + "' cannot be created."}), 1u);

    fs::create_symlink("/dev/full", ediFile_);  // every write fails: the disk is full
    Export(ediFile_);
    EXPECT_EQ(Entries({"WebOrderExport.ProcessOrder", "Disk full", kProcessOrderFailed + " 2 order(s) from order '"}),
              1u);
    EXPECT_EQ(StatusOf(a).first, 0);
    EXPECT_EQ(StatusOf(b).first, 0);
    EXPECT_EQ(Entries({"WebOrderExport submitted"}), 0u);

    // an instance set to XML whose document cannot be saved leaves them waiting too
    std::string xml = (Inst().Home() / "no-folder" / "orders.xml").string();
    Export(xml, "", "", "1", "1");
    EXPECT_EQ(Entries({"Ordexa.WebOrderExport.XmlExportOrdersToFile()", "Path not found",
                       "XML export of orders using file '" + xml + "' failed."}),
              1u);
    EXPECT_EQ(StatusOf(a).first, 0);
    EXPECT_EQ(StatusOf(b).first, 0);
    EXPECT_EQ(Entries({"WebOrderExport submitted"}), 0u);
}

TEST_P(ExportRuns, TheExportFileGetsTheExchangeModeTheBackEndNeedsWhateverTheUmask) {
    auto modeOf = [&] {
        struct stat st {};
        EXPECT_EQ(::stat(ediFile_.c_str(), &st), 0);
        return st.st_mode & 07777;
    };
    mode_t saved = ::umask(077);  // the host's: everything else is the owner's alone
    Submit(Simple());
    Export(ediFile_);
    EXPECT_EQ(modeOf(), 0660u);  // the default folder mode 0770, without execute bits
    fs::remove(ediFile_);
    Inst().SetSetting("EXCHANGE", "FolderMode", "2750");
    Submit(Simple());
    Export(ediFile_);
    EXPECT_EQ(modeOf(), 0640u);
    fs::remove(ediFile_);

    Inst().SetSetting("EXCHANGE", "FolderMode", "rw-rw----");
    std::string waiting = Submit(Simple());
    Export(ediFile_);
    ::umask(saved);
    EXPECT_FALSE(fs::exists(ediFile_));
    EXPECT_EQ(StatusOf(waiting).first, 0);
    EXPECT_EQ(Entries({"Order Export", "FolderMode of section EXCHANGE", "not an octal permission mode"}), 1u);
}

// The run reads its orders a page at a time: across the pages they are those
// waiting when it began, in partner, date and id order, and an order submitted
// meanwhile waits for the next run even where it sorts after the pages read.
TEST_P(ExportRuns, ThePagesHoldTheOrdersWaitingWhenTheRunBeganInTheirOrder) {
    std::string late = Submit(Simple(3, "2026-03-01 08:00:00"));
    std::string second = Submit(Simple(2, "2026-03-02 11:00:00"));
    std::string first = Submit(Simple(2, "2026-03-02 10:00:00"));
    std::string other = Submit(Simple(2)), done = Submit(Simple(2));
    Inst().Exec("UPDATE ORDERHEADER SET BISID = 2 WHERE ORDERID = '" + other + "'");
    Inst().Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 6 WHERE ORDERID = '" + done + "'");

    ordexa::ExportSelection selection(Sls_ConnectionString(), 2);
    EXPECT_EQ(selection.Select(1), 3);
    std::vector<std::string> taken = selection.NextPage();
    EXPECT_EQ(taken.size(), 2u);
    Submit(Simple(3, "2026-03-09 08:00:00"));  // sorts last
    for (auto page = selection.NextPage(); !page.empty(); page = selection.NextPage())
        taken.insert(taken.end(), page.begin(), page.end());
    EXPECT_EQ(taken, (std::vector<std::string>{first, second, late}));
}

INSTANTIATE_INSTALLATION_TEST(ExportRuns);

// The FTP host's copy of the export file is taken by the back end; until then
// the orders collect in the instance's outbox.
class FtpExportRuns : public ExportRuns {
protected:
    void Run(testing_support::FtpServer& server, const std::string& remote = "out/orders.edi") {
        auto exporter = Sls_GetComponent<ordexa::IWebOrderExport>("Ordexa.WebOrderExport");
        exporter->Run("1", remote, "", "", "", {"TRUE", server.Host(), server.Port(), "", "", server.User(),
                      server.Password()});
    }
    fs::path Outbox() { return Inst().Home() / "Vendalo" / "TempEdiFtp" / "1.edi"; }
};

TEST_P(FtpExportRuns, TheOutboxCollectsWhileTheHostIsBusyAndIsSentOnceWhenItIsFree) {
    testing_support::FtpServer server;
    fs::create_directories(server.Home() / "out");
    fs::path remote = server.Home() / "out" / "orders.edi";
    WriteFile(remote, "NOT TAKEN YET\r\n");
    std::string a = Submit(Simple());
    Run(server);
    EXPECT_EQ(Entries({"WebOrderExport.ProcessOrders",
                       "Order export file out/orders.edi is already present on system " + server.Host() +
                           ". Exported orders stay saved in file " + Outbox().string()}),
              1u);
    EXPECT_EQ(Entries({"WebOrderExport submitted 1 orders to export file for BISID 1"}), 1u);
    EXPECT_EQ(StatusOf(a).first, 1);  // its message is safe in the outbox
    std::string b = Submit(Simple());
    Run(server);
    std::string outbox = ReadFile(Outbox());
    EXPECT_EQ(OrdersIn(outbox), (std::vector<std::string>{a, b}));
    EXPECT_EQ(ReadFile(remote), "NOT TAKEN YET\r\n");

    fs::remove(remote);  // the back end took it
    Run(server);         // nothing new waits: the outbox goes
    EXPECT_FALSE(fs::exists(Outbox()));
    auto normalised = testing_support::NormaliseLineEnds;
    EXPECT_EQ(normalised(ReadFile(remote)), normalised(outbox));
    Run(server);
    EXPECT_EQ(normalised(ReadFile(remote)), normalised(outbox));  // sent once
}

TEST_P(FtpExportRuns, AHostThatRefusesKeepsTheOutboxForALaterRun) {
    std::string a = Submit(Simple());
    {
        testing_support::FtpServer server;
        Run(server, "missing-folder/orders.edi");
        EXPECT_EQ(Entries({"WebOrderExport.ProcessOrders",
                           "After processing 1 of 1 orders, processing order '" + a + "'", "550"}),
                  1u);
        EXPECT_EQ(Entries({"Edi-Secret-42"}), 0u);
    }
    EXPECT_EQ(OrdersIn(ReadFile(Outbox())), std::vector<std::string>{a});
    testing_support::FtpServer server;
    fs::create_directories(server.Home() / "out");
    Run(server);
    EXPECT_FALSE(fs::exists(Outbox()));
    EXPECT_EQ(OrdersIn(ReadFile(server.Home() / "out" / "orders.edi")), std::vector<std::string>{a});
}

INSTANTIATE_INSTALLATION_TEST(FtpExportRuns);

}  // namespace
