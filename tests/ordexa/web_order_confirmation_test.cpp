// The confirmation import on both databases, from local files and through the real FTP server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "ftp_server.h"
#include "ordexa/exchange/web_order_confirmation.h"
#include "ordexa/exchange/web_order_export.h"
#include "platform/log/log.h"
#include "run_program.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;
using ordexa::FtpSettings;
namespace fs = std::filesystem;

namespace {

class Confirmations : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        fs::create_directories(Inst().Home() / "edi" / "in");
        file_ = (Inst().Home() / "edi" / "in" / "confirm.edi").string();
    }

    // An order in a status, paid by invoice (1) or card (2), with or without an acknowledgement URL.
    void AddOrder(const std::string& id, int status, int payment = 1, const std::string& url = "") {
        Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS, WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL, SALESORDERNR) "
                    "VALUES ('" + id + "', " + std::to_string(status) + ", " + std::to_string(payment) + ", " +
                    (url.empty() ? std::string("NULL") : "'" + url + "'") + ", '')");
    }

    std::pair<int, std::string> StatusOf(const std::string& id) {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        auto rs = c->Execute("SELECT ORDERSTATUS, SALESORDERNR FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1, {Variant(id)});
        return {rs->Fields(0).Value().ToLong(), rs->Fields(1).Value().Text()};
    }

    void Import(const std::string& type = "", const std::string& separator = ";", const std::string& path = "") {
        auto importer = Sls_GetComponent<ordexa::IWebOrderConfirmation>("Ordexa.WebOrderConfirmation");
        importer->Run("1", path.empty() ? file_ : path, type, separator, {"false", "", "", "", "", "", ""});
    }

    // Files of a folder whose names start with a prefix, in name order.
    static std::vector<fs::path> FilesIn(const fs::path& folder, const std::string& prefix) {
        std::vector<fs::path> files;
        if (!fs::exists(folder)) return files;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().rfind(prefix, 0) == 0) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }
    std::vector<fs::path> WorkFiles() const { return FilesIn(fs::path(file_).parent_path(), "confirm.edi.work-"); }
    std::vector<fs::path> Archived() const { return FilesIn(fs::path(file_).parent_path() / "archive", "confirm.edi."); }
    std::vector<fs::path> Rejected() const { return FilesIn(fs::path(file_).parent_path() / "rejected", "confirm.edi."); }

    std::string file_;
};

TEST_P(Confirmations, EdiEntriesMoveExportedOrdersOnByPaymentAndAcknowledgement) {
    AddOrder("1234", 1);
    AddOrder("CARD", 1, 2, "http://broker/ack");  // a card order goes to payment even with a broker URL
    AddOrder("BROKER", 1, 1, "http://broker/ack");
    AddOrder("NEW", 0);
    AddOrder("DONE", 6);
    WriteFile(file_, "1234;SO-9;x\r\nCARD;SO-10\r\nBROKER;SO-11\r\n;SO-9\r\nno separator here\r\nNEW;SO-12\r\nDONE;SO-13\r\n");
    Import();
    EXPECT_EQ(StatusOf("1234"), std::make_pair(6, std::string("SO-9;x")));  // everything after the first separator
    EXPECT_EQ(StatusOf("CARD"), std::make_pair(4, std::string("SO-10")));
    EXPECT_EQ(StatusOf("BROKER"), std::make_pair(2, std::string("SO-11")));
    EXPECT_EQ(StatusOf("NEW"), std::make_pair(0, std::string("")));   // not exported yet
    EXPECT_EQ(StatusOf("DONE"), std::make_pair(6, std::string("")));  // moved on already
    EXPECT_FALSE(fs::exists(file_));
    ASSERT_EQ(Archived().size(), 1u);  // kept, not deleted
    EXPECT_EQ(ReadFile(Archived()[0]).substr(0, 12), "1234;SO-9;x\r");
    EXPECT_TRUE(WorkFiles().empty());
    // the orders that moved on, not the entries read
    EXPECT_EQ(Inst().LogEntriesWith("3 order(s) confirmed and 0 acknowledged using the confirmation File '" + file_ + "'"), 1u);
    EXPECT_EQ(Inst().LogEntries().size(), 1u);
}

TEST_P(Confirmations, TheFirstOfTwoEntriesWinsAndTheDroppedOneIsNamed) {
    AddOrder("A1", 1);
    WriteFile(file_, "A1;SO-1\r\nA1;SO-2 \r\n");
    Import();
    EXPECT_EQ(StatusOf("A1").second, "SO-1");
    EXPECT_EQ(Inst().LogEntriesWith("Sales Order 'A1' has multiple occurences in the order acknowledgement file: " + file_ +
                      ". Backend order 'SO-2' is omitted."),
              1u);
}

TEST_P(Confirmations, LineEndsOfEveryKindEndALineAndBelongToNoValue) {
    AddOrder("L1", 1);
    AddOrder("L2", 1);
    AddOrder("L3", 1);
    WriteFile(file_, "L1;SO-1\rL2;SO-2\nL3;SO-3\r\n");
    Import();
    EXPECT_EQ(StatusOf("L1").second, "SO-1");
    EXPECT_EQ(StatusOf("L2").second, "SO-2");
    EXPECT_EQ(StatusOf("L3").second, "SO-3");
}

TEST_P(Confirmations, AnEmptyFileStaysSilentlyAndOneWithoutEntriesIsKeptWithAWarning) {
    WriteFile(file_, "");
    Import();
    EXPECT_TRUE(fs::exists(file_));  // not written yet: left to the back end
    Import("", ";", (Inst().Home() / "edi" / "in" / "missing.edi").string());  // no file: nothing to do
    EXPECT_EQ(Inst().LogText(), "");
    WriteFile(file_, "no separator\r\n;no key\r\n");
    Import();
    ASSERT_EQ(WorkFiles().size(), 1u);
    EXPECT_EQ(ReadFile(WorkFiles()[0]), "no separator\r\n;no key\r\n");
    EXPECT_EQ(Inst().LogEntriesWith("The confirmation File '" + file_ + "' yields no entry: none of its 2 line(s) holds "
                                    "an order id followed by the field separator ';'. It is kept as '" +
                                    WorkFiles()[0].string() + "'"),
              1u);
    // a wrong separator: the same, and the next batch says it again
    AddOrder("S1", 1);
    WriteFile(file_, "S1,SO-1\r\n");
    Import();
    EXPECT_EQ(WorkFiles().size(), 2u);
    EXPECT_EQ(Inst().LogEntriesWith("yields no entry"), 3u);
    EXPECT_EQ(StatusOf("S1").first, 1);
}

TEST_P(Confirmations, UnknownOrdersAndOverlongNumbersAreLoggedAndTheOthersApplied) {
    AddOrder("K1", 1);
    AddOrder("K2", 1);
    std::string unknown;
    for (int i = 0; i < 10; ++i) unknown += "U" + std::to_string(i) + ";SO-0\r\n";
    WriteFile(file_, "GHOST;SO-1\r\nK1;SO-123456789012345678901\r\nK2;SO-2\r\n" + std::string(44, 'X') + ";SO-3\r\n" + unknown);
    Import();
    EXPECT_EQ(StatusOf("K1"), std::make_pair(1, std::string("")));
    EXPECT_EQ(StatusOf("K2"), std::make_pair(6, std::string("SO-2")));
    // one entry for the file, however many ids it holds that match no order
    EXPECT_EQ(Inst().LogEntriesWith("not found"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("WebOrderConfirmation.UpdateDatabase: 12 orders read from acknowledgement file with IDs GHOST, " +
                                    std::string(40, 'X') + "..., U0, U1, U2 and 7 more not found in Vendalo database"),
              1u);
    EXPECT_EQ(Inst().LogEntriesWith("Sales order number 'SO-123456789012345678901' of order K1 is longer than 20 characters"), 1u);
    EXPECT_FALSE(fs::exists(file_));  // consumed: it yielded entries
    ASSERT_EQ(Rejected().size(), 1u);  // the number too long for the column is kept apart
    EXPECT_EQ(ReadFile(Rejected()[0]), "K1;SO-123456789012345678901\r\n");
}

// Statistics gathered while every order still waited for the export (status 0)
// say that no order is in status 1: the guarded updates must still find their
// order by the key, never by the status index, and the import applies whole.
TEST_P(Confirmations, StatisticsGatheredAtTheWorstMomentLeaveTheKeyInCharge) {
    if (!Inst().Db().IsPostgres()) GTEST_SKIP() << "the planner in question is PostgreSQL's";
    constexpr int kOrders = 10000;
    Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS, WEBPAYMENTMETHOD, SALESORDERNR) "
                "SELECT 'W' || i, 0, 1, '' FROM generate_series(1, 10000) AS i;"
                "ANALYZE ORDERHEADER");
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    auto planOf = [&](const std::string& sql, const std::vector<Variant>& values) {
        std::string plan;
        auto rs = c->Execute("EXPLAIN " + sql, nullptr, -1, values);
        for (; !rs->Eof(); rs->MoveNext()) plan += rs->Fields(0).Value().Text() + "\n";
        return plan;
    };
    for (const std::string& plan : {planOf(ordexa::kMarkExportedStatement, {Variant(1), Variant(1), Variant("W7")}),
                                    planOf(ordexa::kConfirmOrderStatement, {Variant(6), Variant("SO-7"), Variant("W7")})}) {
        EXPECT_NE(plan.find("orderheader_pkey"), std::string::npos) << plan;
        EXPECT_EQ(plan.find("orderheader_status"), std::string::npos) << plan;
        EXPECT_EQ(plan.find("Seq Scan"), std::string::npos) << plan;
    }
    c->Execute("UPDATE ORDERHEADER SET ORDERSTATUS = 1");  // exported, statistics left as they were
    std::string text;
    for (int i = 1; i <= kOrders; ++i) text += "w" + std::to_string(i) + ";SO-" + std::to_string(i) + "\r\n";
    text += "GHOST;SO-0\r\n";
    WriteFile(file_, text);
    Import();
    auto rs = c->Execute("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS = 6 AND SALESORDERNR = 'SO-' || SUBSTR(ORDERID, 2)");
    EXPECT_EQ(rs->Fields(0).Value().ToLong(), kOrders);  // the ids in another case found too, across chunks
    EXPECT_EQ(Inst().LogEntriesWith("with ID GHOST not found"), 1u);
    c->Close();
}

TEST_P(Confirmations, AFailurePartWayChangesNoOrderAndLeavesTheFile) {
    AddOrder("F1", 1);
    AddOrder("F2", 1);
    if (Inst().Db().IsPostgres())
        Inst().Exec("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused by the database'; "
                    "END $$ LANGUAGE plpgsql;"
                    "CREATE TRIGGER refuse BEFORE UPDATE ON ORDERHEADER FOR EACH ROW WHEN (NEW.ORDERID = 'F2') "
                    "EXECUTE FUNCTION refuse();");
    else
        Inst().Exec("CREATE TRIGGER refuse BEFORE UPDATE ON ORDERHEADER WHEN NEW.ORDERID = 'F2' "
                    "BEGIN SELECT RAISE(ABORT, 'refused by the database'); END;");
    WriteFile(file_, "F1;SO-1\r\nF2;SO-2\r\n");
    Import();
    EXPECT_EQ(StatusOf("F1"), std::make_pair(1, std::string("")));
    EXPECT_EQ(WorkFiles().size(), 1u);  // taken, not applied: it waits for the next batch
    EXPECT_EQ(Inst().LogEntriesWith("refused by the database"), 2u);  // under the update's label and under Run's
    EXPECT_EQ(Inst().LogEntriesWith("confirmed and 0 acknowledged"), 0u);
    Inst().Exec("DROP TRIGGER refuse" + std::string(Inst().Db().IsPostgres() ? " ON ORDERHEADER" : ""));
    Import();
    EXPECT_EQ(StatusOf("F2"), std::make_pair(6, std::string("SO-2")));
    EXPECT_TRUE(WorkFiles().empty());
}

TEST_P(Confirmations, XmlConfirmationsAndMalformedDocuments) {
    AddOrder("X1", 1);
    AddOrder("X2", 1, 2);
    std::string xml = (Inst().Home() / "edi" / "in" / "confirm.xml").string();
    WriteFile(xml, "<BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\"><Body>"
                   "<QxOrderConfirmation xmlns=\"urn:schemas-biztalk-org:vorn-com/QxOrderConfirmation\">"
                   "<SalesOrder><WebOrderId>X1</WebOrderId><SalesOrderNr>SO-1</SalesOrderNr></SalesOrder>"
                   "<SalesOrder><WebOrderId>X2</WebOrderId><SalesOrderNr>SO-2</SalesOrderNr></SalesOrder>"
                   "<SalesOrder><WebOrderId>X1</WebOrderId><SalesOrderNr>SO-3</SalesOrderNr></SalesOrder>"
                   "</QxOrderConfirmation></Body></BizTalk>");
    Import("1", "", xml);
    EXPECT_EQ(StatusOf("X1"), std::make_pair(6, std::string("SO-1")));
    EXPECT_EQ(StatusOf("X2"), std::make_pair(4, std::string("SO-2")));
    EXPECT_EQ(Inst().LogEntriesWith("Sales Order 'X1' is already part of the order acknowledgement file: " + xml +
                      ". Backend order 'SO-3' is omitted."),
              1u);
    EXPECT_FALSE(fs::exists(xml));

    AddOrder("X3", 1);
    WriteFile(xml, "<BizTalk><Body><QxOrderConfirmation><SalesOrder><WebOrderId>X3</WebOrderId>");
    Import("1", "", xml);
    EXPECT_EQ(Inst().LogEntriesWith("XMLDom parser failure: "), 2u);  // under the reader's label and under Run's
    EXPECT_EQ(Inst().LogEntriesWith("WebOrderConfirmation.ReadFromXmlFile()"), 2u);
    auto kept = FilesIn(fs::path(xml).parent_path(), "confirm.xml.work-");
    ASSERT_EQ(kept.size(), 1u);
    Import("1", "", xml);  // every batch says where the file it cannot read is
    EXPECT_EQ(Inst().LogEntriesWith("The confirmation File '" + xml + "' cannot be read. It is kept as '" + kept[0].string() + "'"),
              2u);
    fs::remove(kept[0]);

    // an entry without its number is refused alone, and kept apart
    AddOrder("X4", 1);
    WriteFile(xml, "<BizTalk><Body><QxOrderConfirmation><SalesOrder><WebOrderId>X3</WebOrderId></SalesOrder>"
                   "<SalesOrder><WebOrderId>X4</WebOrderId><SalesOrderNr>SO-4</SalesOrderNr></SalesOrder>"
                   "</QxOrderConfirmation></Body></BizTalk>");
    Import("1", "", xml);
    EXPECT_EQ(StatusOf("X3").first, 1);
    EXPECT_EQ(StatusOf("X4"), std::make_pair(6, std::string("SO-4")));
    auto rejected = FilesIn(fs::path(xml).parent_path() / "rejected", "confirm.xml.");
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_NE(ReadFile(rejected[0]).find("<SalesOrder><WebOrderId>X3</WebOrderId></SalesOrder>"), std::string::npos);
    EXPECT_EQ(Inst().LogEntriesWith("Order 'X3' on line 1 of the confirmation File '" + xml +
                                    "' is refused: the SalesOrder element has no SalesOrderNr. The entry is kept in '" +
                                    rejected[0].string() + "'"),
              1u);
}

TEST_P(Confirmations, LargeFilesAreReadWhole) {
    const int n = 40000;  // more than a 16-bit count holds
    std::string text;
    for (int i = 0; i < n; ++i) text += "O" + std::to_string(i) + ";SO" + std::to_string(i) + "\r\n";
    Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS) VALUES ('O39999', 1)");
    WriteFile(file_, text);
    Import();
    EXPECT_EQ(StatusOf("O39999"), std::make_pair(6, std::string("SO39999")));
    EXPECT_EQ(Inst().LogEntriesWith("1 order(s) confirmed"), 1u);
}

TEST_P(Confirmations, ThroughTheFtpServer) {
    FtpServer server;
    AddOrder("P1", 1);
    fs::create_directories(server.Home() / "in");
    WriteFile(server.Home() / "in" / "confirm.edi", "P1,SO-77\r\n");
    auto importer = Sls_GetComponent<ordexa::IWebOrderConfirmation>("Ordexa.WebOrderConfirmation");
    importer->Run("1", "in/confirm.edi", "", ",", {"TRUE", server.Host(), server.Port(), "", "", server.User(),
                  server.Password()});
    EXPECT_EQ(StatusOf("P1"), std::make_pair(6, std::string("SO-77")));
    EXPECT_FALSE(fs::exists(server.Home() / "in" / "confirm.edi"));  // removed at its origin
    EXPECT_FALSE(fs::exists(server.Home() / "in" / "confirm.edi.work"));
    fs::path local = Inst().Home() / "Vendalo" / "TempEdiFtp" / "confirmation-1";
    EXPECT_TRUE(FilesIn(local, "confirm.edi.").empty());  // the local copy was applied
    ASSERT_EQ(FilesIn(local / "archive", "confirm.edi.").size(), 1u);  // and archived
    EXPECT_EQ(Inst().LogText().find(server.Password()), std::string::npos);
}

TEST_P(Confirmations, OverFtpWhatABatchLeftOnTheHostOrLocallyIsFinishedFirst) {
    FtpServer server;
    AddOrder("Q1", 1);
    AddOrder("Q2", 1);
    AddOrder("Q3", 1);
    fs::create_directories(server.Home() / "in");
    fs::path local = Inst().Home() / "Vendalo" / "TempEdiFtp" / "confirmation-7";
    fs::create_directories(local);
    // one batch died after renaming the file on the host, another after deleting its fetched copy there
    WriteFile(server.Home() / "in" / "confirm.edi.work", "Q1,SO-1\r\n");
    WriteFile(local / "confirm.edi.fetched", "Q2,SO-2\r\n");
    WriteFile(server.Home() / "in" / "confirm.edi", "Q3,SO-3\r\n");
    auto importer = Sls_GetComponent<ordexa::IWebOrderConfirmation>("Ordexa.WebOrderConfirmation");
    FtpSettings settings{"true", server.Host(), server.Port(), "", "", server.User(), server.Password()};
    importer->Run("7", "in/confirm.edi", "", ",", settings);
    EXPECT_EQ(StatusOf("Q1"), std::make_pair(6, std::string("SO-1")));
    EXPECT_EQ(StatusOf("Q3"), std::make_pair(6, std::string("SO-3")));
    // the host's work file was fetched over the stale local copy (the same file, not yet deleted on the host)
    EXPECT_EQ(StatusOf("Q2").first, 1);
    EXPECT_TRUE(FilesIn(server.Home() / "in", "confirm.edi").empty());
    EXPECT_EQ(FilesIn(local / "archive", "confirm.edi.").size(), 2u);
    // a fetched copy alone (the host's work file already deleted) is applied
    WriteFile(local / "confirm.edi.fetched", "Q2,SO-2\r\n");
    importer->Run("7", "in/confirm.edi", "", ",", settings);
    EXPECT_EQ(StatusOf("Q2"), std::make_pair(6, std::string("SO-2")));
}

TEST_P(Confirmations, AWorkFileLeftByAKilledBatchIsAppliedFirst) {
    AddOrder("W1", 1);
    WriteFile(file_ + ".work-20260101T000000.000000000Z", "W1;SO-OLD\r\n");
    WriteFile(file_, "W1;SO-NEW\r\n");
    Import();
    EXPECT_EQ(StatusOf("W1"), std::make_pair(6, std::string("SO-OLD")));
    EXPECT_TRUE(WorkFiles().empty());
    ASSERT_EQ(Archived().size(), 2u);
    EXPECT_EQ(Archived()[0].filename().string(), "confirm.edi.20260101T000000.000000000Z");
    EXPECT_EQ(Inst().LogEntriesWith("1 order(s) confirmed and 0 acknowledged"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("0 order(s) confirmed and 0 acknowledged"), 1u);  // W1 had moved on
}

TEST_P(Confirmations, BadValuesRefuseTheirEntryOnlyAndAreKeptApart) {
    AddOrder("N1", 1);
    AddOrder("N2", 1);
    AddOrder("N3", 1);
    WriteFile(file_, std::string("N1;SO-1\r\nN2;SO\0-2\r\nN3;\r\n", 24) + "n4;SO-4\r\n");
    Import();
    EXPECT_EQ(StatusOf("N1"), std::make_pair(6, std::string("SO-1")));
    EXPECT_EQ(StatusOf("N2"), std::make_pair(1, std::string("")));
    EXPECT_EQ(StatusOf("N3"), std::make_pair(1, std::string("")));
    ASSERT_EQ(Rejected().size(), 1u);
    EXPECT_EQ(ReadFile(Rejected()[0]), std::string("N2;SO\0-2\r\nN3;\r\n", 15));
    EXPECT_EQ(Inst().LogEntriesWith("Order 'N2' on line 2 of the confirmation File '" + file_ +
                                    "' is refused: the sales order number holds a NUL character"),
              1u);
    EXPECT_EQ(Inst().LogEntriesWith("Order 'N3' on line 3"), 1u);
    EXPECT_EQ(Archived().size(), 1u);

    // XML declared windows-1252 holding "é"; order ids in lower case, blanks around them, a byte-order mark
    AddOrder("ABCDEF0123456789ABCDEF0123456789", 1);
    WriteFile(file_, "\xEF\xBB\xBF" "abcdef0123456789abcdef0123456789;SO-\xC3\xA9\r\n");
    Import();
    EXPECT_EQ(StatusOf("ABCDEF0123456789ABCDEF0123456789"), std::make_pair(6, std::string("SO-\xC3\xA9")));
    AddOrder("E1", 1);
    std::string xml = (Inst().Home() / "edi" / "in" / "confirm.xml").string();
    WriteFile(xml, "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<BizTalk><Body><QxOrderConfirmation>\n"
                   "  <SalesOrder>\n    <WebOrderId> e1 </WebOrderId>\n    <SalesOrderNr>SO-\xE9</SalesOrderNr>\n"
                   "  </SalesOrder>\n</QxOrderConfirmation></Body></BizTalk>\n");
    Import("1", "", xml);
    EXPECT_EQ(StatusOf("E1"), std::make_pair(6, std::string("SO-\xC3\xA9")));
}

TEST_P(Confirmations, ADeeplyNestedDocumentIsRefusedAndTheNextFileStillApplies) {
    AddOrder("D1", 1);
    std::string xml = (Inst().Home() / "edi" / "in" / "confirm.xml").string();
    std::string deep = "<BizTalk><Body><QxOrderConfirmation><SalesOrder><WebOrderId>";
    for (int i = 0; i < 60000; ++i) deep += "<a>";
    for (int i = 0; i < 60000; ++i) deep += "</a>";
    WriteFile(xml, deep + "</WebOrderId></SalesOrder></QxOrderConfirmation></Body></BizTalk>");
    Import("1", "", xml);
    EXPECT_EQ(Inst().LogEntriesWith("The document is nested deeper than 256 elements"), 2u);
    WriteFile(xml, "<BizTalk><Body><QxOrderConfirmation><SalesOrder><WebOrderId>D1</WebOrderId>"
                   "<SalesOrderNr>SO-1</SalesOrderNr></SalesOrder></QxOrderConfirmation></Body></BizTalk>");
    Import("1", "", xml);
    EXPECT_EQ(StatusOf("D1"), std::make_pair(6, std::string("SO-1")));
    EXPECT_EQ(Inst().LogEntriesWith("The document is nested deeper than 256 elements"), 4u);  // still kept, still said
}

// What the reader refuses is never applied: "SO&#0;1" is no "SO", "&xxe;" no
// number, and a document with a document type declaration no confirmation.
TEST_P(Confirmations, ReferencesToNoCharacterAndDocumentTypesAreNeverApplied) {
    for (const char* id : {"Z1", "Z2", "Z3"}) AddOrder(id, 1);
    std::string xml = (Inst().Home() / "edi" / "in" / "confirm.xml").string();
    auto entry = [](const std::string& id, const std::string& number) {
        return "<SalesOrder><WebOrderId>" + id + "</WebOrderId><SalesOrderNr>" + number + "</SalesOrderNr></SalesOrder>";
    };
    auto document = [](const std::string& entries) {
        return "<BizTalk><Body><QxOrderConfirmation>" + entries + "</QxOrderConfirmation></Body></BizTalk>";
    };
    WriteFile(xml, document(entry("Z1", "SO&#0;1") + entry("Z2", "&xxe;") + entry("Z3", "SO-3")));
    Import("1", "", xml);
    EXPECT_EQ(StatusOf("Z1"), std::make_pair(1, std::string("")));
    EXPECT_EQ(StatusOf("Z2"), std::make_pair(1, std::string("")));
    EXPECT_EQ(StatusOf("Z3"), std::make_pair(6, std::string("SO-3")));
    auto rejected = FilesIn(fs::path(xml).parent_path() / "rejected", "confirm.xml.");
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_NE(ReadFile(rejected[0]).find(entry("Z1", "SO&#0;1") + "\r\n" + entry("Z2", "&xxe;")), std::string::npos);

    WriteFile(xml, "<!DOCTYPE BizTalk [<!ENTITY xxe \"SO-1\">]>" + document(entry("Z1", "&xxe;")));
    Import("1", "", xml);
    EXPECT_EQ(StatusOf("Z1"), std::make_pair(1, std::string("")));
    EXPECT_EQ(Inst().LogEntriesWith("a document type declaration is not allowed"), 2u);  // the reader's entry and Run's
    EXPECT_EQ(FilesIn(fs::path(xml).parent_path(), "confirm.xml.work-").size(), 1u);
}

// A back end that writes the file without locking it may still be writing its
// last line: a line without its end is applied only when the file holds still.
TEST_P(Confirmations, ALastLineWithoutItsEndWaitsWhileTheFileGrows) {
    AddOrder("T1", 1);
    AddOrder("T2", 1);
    int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    auto write = [&](const std::string& text) { ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size())); };
    write("T1;SO-1\r\nT2;SO-2");
    std::atomic<bool> importing{true};
    std::thread writer([&] {
        for (int i = 0; importing; ++i) {
            write("\r\nW" + std::to_string(i) + ";SO-");  // each line ends as the next begins
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    Import();
    importing = false;
    writer.join();
    EXPECT_EQ(StatusOf("T1"), std::make_pair(1, std::string("")));  // the whole file waits
    ASSERT_EQ(WorkFiles().size(), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("The confirmation File '" + file_ + "' is still being written (its last line has no line "
                                    "end and it grew). It is kept as '" + WorkFiles()[0].string() + "' for the next batch"),
              1u);
    write("1\r\n");  // the writer finishes, in the file it had open
    ::close(fd);
    Import();
    EXPECT_EQ(StatusOf("T1"), std::make_pair(6, std::string("SO-1")));
    EXPECT_EQ(StatusOf("T2"), std::make_pair(6, std::string("SO-2")));
    EXPECT_TRUE(WorkFiles().empty());
    // a last line without its end in a file that holds still is applied
    AddOrder("T3", 1);
    WriteFile(file_, "T3;SO-3");
    Import();
    EXPECT_EQ(StatusOf("T3"), std::make_pair(6, std::string("SO-3")));
}

// A file whose entries were committed but which could not be archived is
// taken again by the next batch: it is archived then, never recorded twice.
TEST_P(Confirmations, AFileAppliedButNotArchivedIsRecordedOnce) {
    AddOrder("R1", 1);
    WriteFile(file_, "R1;SO-1\r\nGHOST;SO-2\r\n");
    fs::path archive = fs::path(file_).parent_path() / "archive";
    WriteFile(archive.string(), "in the way of the archive folder");
    Import();
    EXPECT_EQ(StatusOf("R1"), std::make_pair(6, std::string("SO-1")));
    ASSERT_EQ(WorkFiles().size(), 1u);
    fs::remove(archive);
    Import();
    EXPECT_TRUE(WorkFiles().empty());
    EXPECT_EQ(Archived().size(), 1u);
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    auto rs = c->Execute("SELECT COUNT(*) FROM EXCHANGE");
    EXPECT_EQ(rs->Fields(0).Value().ToLong(), 2);  // the file and its entry without order
    c->Close();
}

TEST_P(Confirmations, AFileWhoseEntriesMatchNoOrderIsNamedInAWarning) {
    WriteFile(file_, "G1;SO-1\r\nG2;SO-2\r\n");
    Import();
    EXPECT_EQ(Inst().LogEntriesWith("None of the 2 entries of the confirmation File '" + file_ +
                                    "' matches an order of the database"),
              1u);
}

TEST_P(Confirmations, ArchivedFilesAreKeptForTheConfiguredDays) {
    Inst().SetSetting("EDI_PARAMETERS", "ConfirmationArchiveDays", "2", "Long");
    fs::create_directories(fs::path(file_).parent_path() / "archive");
    fs::path old = fs::path(file_).parent_path() / "archive" / "confirm.edi.20200101T000000.000000000Z";
    fs::path recent = fs::path(file_).parent_path() / "archive" / "confirm.edi.20200102T000000.000000000Z";
    WriteFile(old, "O;1\r\n");
    WriteFile(recent, "R;1\r\n");
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(49));
    fs::last_write_time(recent, fs::file_time_type::clock::now() - std::chrono::hours(47));
    WriteFile(file_, "A;SO-1\r\n");
    Import();
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(recent));
    EXPECT_EQ(Archived().size(), 2u);  // the recent one and today's
    EXPECT_EQ(ordexa::ConfirmationArchiveDays(), 2);
}

// Writes through the real log and, on the entry that an unknown order causes
// while the import applies a file, lets the simulated back end write the file
// again (by rename, as it does).
class RewritingLog : public qx::ILog {
public:
    RewritingLog(std::shared_ptr<qx::ILog> real, std::function<void()> rewrite) : real_(std::move(real)), rewrite_(std::move(rewrite)) {}
    void WriteEntry(const std::string& source, const std::string& text, int32_t level) override {
        real_->WriteEntry(source, text, level);
        if ((source + text).find("not found in Vendalo database") != std::string::npos) rewrite_();
    }

private:
    std::shared_ptr<qx::ILog> real_;
    std::function<void()> rewrite_;
};

TEST_P(Confirmations, ConfirmationsWrittenWhileAFileIsAppliedAreNeverLost) {
    const fs::path exportFile = Inst().Home() / "edi" / "out" / "orders.edi";
    fs::create_directories(exportFile.parent_path());
    auto real = ole::CreateObjectAs<qx::ILog>("Qxcore.Log");
    int rewrites = 0;
    ole::ComponentOverride log("Qxcore.Log", [&]() -> ole::ObjectPtr {
        return std::make_shared<RewritingLog>(real, [&] {
            Outcome outcome = RunProgram(ERP_SIMULATOR_BINARY, "cycle --export " + Quoted(exportFile.string()) + " --confirm " +
                                                                   Quoted(file_) + " --separator ';'");
            ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
            ++rewrites;
        });
    });
    const int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        std::string id = "R" + std::to_string(round);
        AddOrder(id, 1);
        WriteFile(exportFile, "ENV," + id + ",x\r\n");  // the back end confirms it in the middle of the import
        std::string existing = fs::exists(file_) ? ReadFile(file_) : "";
        WriteFile(file_, existing + "GHOST" + std::to_string(round) + ";SO-0\r\n");
        Import();
    }
    Import();
    EXPECT_EQ(rewrites, kRounds);
    for (int round = 0; round < kRounds; ++round) {
        auto [status, number] = StatusOf("R" + std::to_string(round));
        EXPECT_EQ(status, 6) << "the confirmation of R" << round << " was lost";
        EXPECT_EQ(number.rfind("SO", 0), 0u);
    }
}


INSTANTIATE_INSTALLATION_TEST(Confirmations);

}  // namespace
