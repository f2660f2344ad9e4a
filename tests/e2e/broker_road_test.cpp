// The road of a broker's requisitions with the programs a shop runs: the
// broker simulator posts them to `backoffice serve`, the batch exports the
// orders, the ERP simulator confirms them, and the next batch acknowledges
// them to the broker, on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <map>
#include <sstream>

#include "broker_simulator.h"
#include "demo_installation.h"
#include "order_timeline.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "serve_process.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string Requisition(const std::string& id, int partner, const std::string& part, const std::string& url) {
    // the demo's shop users: jdevries of partner 2, msmith of 3
    return "<Requisition><Id>" + id + "</Id><Requisitioner><CommonName>Buyer</CommonName><ShopperID>" +
           (partner == 3 ? "msmith" : "jdevries") + "</ShopperID>"
           "<BusinessPartnerID>" + std::to_string(partner) + "</BusinessPartnerID></Requisitioner><SupplierPartNumber>" +
           part + "</SupplierPartNumber><BillToAddress/><DeliveryAddress/><Supplier><ShipFromAddress/></Supplier>"
           "<Quantity>12</Quantity><Unit>PCS</Unit><DateRequired>2027-01-15</DateRequired><AcknowledgementURL>" + url +
           "</AcknowledgementURL><Pricing><Currency>EUR</Currency><UnitCost>0.40</UnitCost><DiscountAmount>0.30"
           "</DiscountAmount></Pricing></Requisition>";
}

class BrokerRoad : public DemoInstallation {
protected:
    std::map<std::string, int> BrokerOrders() {
        auto c = Open();
        std::map<std::string, int> orders;
        auto rs = c->Execute("SELECT CUSTOMERPONR, ORDERSTATUS FROM ORDERHEADER WHERE ACKNOWLEDGEMENTURL IS NOT NULL");
        for (; !rs->Eof(); rs->MoveNext()) orders[rs->Fields(0).Value().Text()] = rs->Fields(1).Value().ToLong();
        return orders;
    }
};

TEST_P(BrokerRoad, RequisitionsBecomeOrdersThatAreExportedConfirmedAndAcknowledged) {
    BrokerSimulator broker;
    fs::path document = parent_.Path() / "requisitions.xml";
    WriteFile(document, "<?xml version=\"1.0\"?><BizTalk><Body><RequisitionList>" +
                            Requisition("E2E-1", 2, "BOLT-M8", broker.Url("/ack")) +
                            Requisition("E2E-2", 3, "WASHER-8", broker.Url("/ack")) +
                            "</RequisitionList></Body></BizTalk>");
    std::string key = SettingOf(home_ / "config" / "SiteConfiguration.xml", "API", "BrokerApiKey");
    ASSERT_FALSE(key.empty());
    {
        ServeProcess serve(home_);
        std::string url = "http://127.0.0.1:" + std::to_string(serve.Port()) + "/reqlink/requisitions";
        std::string answer;
        EXPECT_EQ(BrokerSimulator::Send(url, "not-the-key", document.string(), false, &answer), 1);
        EXPECT_EQ(answer.rfind("401", 0), 0u) << answer;
        ASSERT_EQ(BrokerSimulator::Send(url, key, document.string(), false, &answer), 0) << answer;
        EXPECT_EQ(answer.rfind("200", 0), 0u) << answer;
        // the broker retries as text/xml: the same orders, none more
        ASSERT_EQ(BrokerSimulator::Send(url, key, document.string(), true, &answer), 0) << answer;
        EXPECT_NE(answer.find("\"existing\":true"), std::string::npos) << answer;
        serve.Stop();
    }
    EXPECT_EQ(BrokerOrders(), (std::map<std::string, int>{{"E2E-1", 0}, {"E2E-2", 0}}));

    Batch();
    EXPECT_EQ(BrokerOrders(), (std::map<std::string, int>{{"E2E-1", 1}, {"E2E-2", 1}}));
    // the orders name no instance: the first instance's export takes them, whichever back end that is
    for (const std::string& cycle :
         {std::string("cycle --separator ',' --export edi/out/orders.edi --confirm edi/in/confirm.edi --archive edi/archive"),
          std::string("cycle --handshake --separator ';' --export edi2/out/orders.edi --confirm edi2/in/confirm.edi "
                      "--archive edi2/archive"),
          std::string("cycle --xml --export xml/out/orders.xml --confirm xml/in/confirm.xml --archive xml/archive")}) {
        std::string arguments;
        std::istringstream words(cycle);
        for (std::string word; words >> word;)
            arguments += " " + (word.find('/') != std::string::npos ? Quoted((home_ / word).string()) : word);
        Outcome outcome = ErpSimulator(arguments);
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
    }
    EXPECT_TRUE(broker.Journal().empty());
    Batch();  // confirmed (2), then acknowledged in the broker stage of the same batch (3)
    EXPECT_EQ(BrokerOrders(), (std::map<std::string, int>{{"E2E-1", 3}, {"E2E-2", 3}}));
    ExpectEveryStatusHasItsEvent(*Open());
    auto posts = broker.Journal();
    ASSERT_EQ(posts.size(), 1u);
    pugi::xml_document ack;
    ASSERT_TRUE(ack.load_string(posts[0]["xmlinput"].get<std::string>().c_str()));
    EXPECT_EQ(ack.select_nodes("BizTalk/Body/AcknowledgementList/Acknowledgement").size(), 2u);
}

INSTANTIATE_DB_TEST(BrokerRoad);

}  // namespace
