// The confirmation import on both databases, from local files and through the real FTP server.
#include <gtest/gtest.h>

#include <filesystem>

#include "exchange/web_order_confirmation.h"
#include "ftp_server.h"
#include "lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;
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
    EXPECT_EQ(Inst().LogEntriesWith("5 order(s) confirmed and 0 acknowledged using the confirmation File '" + file_ + "'"), 1u);
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

TEST_P(Confirmations, AnEmptyFileOrOneWithoutEntriesStaysAndNothingIsLogged) {
    WriteFile(file_, "");
    Import();
    EXPECT_TRUE(fs::exists(file_));
    WriteFile(file_, "no separator\r\n;no key\r\n");
    Import();
    EXPECT_TRUE(fs::exists(file_));
    EXPECT_EQ(Inst().LogText(), "");
    Import("", ";", (Inst().Home() / "edi" / "in" / "missing.edi").string());  // no file: nothing to do
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(Confirmations, UnknownOrdersAndOverlongNumbersAreLoggedAndTheOthersApplied) {
    AddOrder("K1", 1);
    AddOrder("K2", 1);
    WriteFile(file_, "GHOST;SO-1\r\nK1;SO-123456789012345678901\r\nK2;SO-2\r\n" + std::string(40, 'X') + ";SO-3\r\n");
    Import();
    EXPECT_EQ(StatusOf("K1"), std::make_pair(1, std::string("")));
    EXPECT_EQ(StatusOf("K2"), std::make_pair(6, std::string("SO-2")));
    EXPECT_EQ(Inst().LogEntriesWith("WebOrderConfirmation.UpdateDatabase: Order read from acknowledgement file with ID GHOST not "
                      "found in Vendalo database"),
              1u);
    EXPECT_EQ(Inst().LogEntriesWith("Sales order number 'SO-123456789012345678901' of order K1 is longer than 20 characters"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("with ID " + std::string(40, 'X') + " not found"), 1u);
    EXPECT_FALSE(fs::exists(file_));  // consumed: it yielded entries
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
    EXPECT_TRUE(fs::exists(file_));
    EXPECT_EQ(Inst().LogEntriesWith("refused by the database"), 2u);  // under the update's label and under Run's
    EXPECT_EQ(Inst().LogEntriesWith("confirmed and 0 acknowledged"), 0u);
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
    EXPECT_TRUE(fs::exists(xml));

    WriteFile(xml, "<BizTalk><Body><QxOrderConfirmation><SalesOrder><WebOrderId>X3</WebOrderId></SalesOrder>"
                   "</QxOrderConfirmation></Body></BizTalk>");
    Import("1", "", xml);
    EXPECT_EQ(StatusOf("X3").first, 1);
    EXPECT_TRUE(fs::exists(xml));
}

TEST_P(Confirmations, LargeFilesAreReadWhole) {
    const int n = 40000;  // more than a 16-bit count holds
    std::string text;
    for (int i = 0; i < n; ++i) text += "O" + std::to_string(i) + ";SO" + std::to_string(i) + "\r\n";
    Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS) VALUES ('O39999', 1)");
    WriteFile(file_, text);
    Import();
    EXPECT_EQ(StatusOf("O39999"), std::make_pair(6, std::string("SO39999")));
    EXPECT_EQ(Inst().LogEntriesWith("40000 order(s) confirmed"), 1u);
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
    EXPECT_FALSE(fs::exists(server.Home() / "in" / "confirm.edi"));         // removed at its origin
    EXPECT_FALSE(fs::exists(Inst().Home() / "Vendalo" / "TempEdiFtp" / "confirm.edi"));  // and the local copy
    EXPECT_EQ(Inst().LogText().find(server.Password()), std::string::npos);
}

INSTANTIATE_INSTALLATION_TEST(Confirmations);

TEST(ConfirmationText, SeparatorsAreFoundWithoutRegardToCase) {
    auto entries = ordexa::ReadConfirmationText("abcXyzSO1\r\n", "xYZ", "f");
    ASSERT_EQ(entries->Count(), 1);
    EXPECT_EQ(entries->Item("abc").ToString(), "SO1");
}

}  // namespace
