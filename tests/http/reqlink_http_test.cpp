// The broker's way into the host: its key, its body limit, the two forms of
// the document, and the answers for whole, partial and refused documents.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "demo_host.h"

using namespace testing_support;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A requisition of one of the partner's shop users (the demo's jdevries of 2, msmith of 3).
std::string Requisition(const std::string& id, const std::string& part, int partner = 2) {
    return "<Requisition><Id>" + id + "</Id><Requisitioner><CommonName>Buyer</CommonName><ShopperID>" +
           (partner == 3 ? "msmith" : "jdevries") + "</ShopperID>"
           "<BusinessPartnerID>" + std::to_string(partner) + "</BusinessPartnerID></Requisitioner><SupplierPartNumber>" +
           part + "</SupplierPartNumber><BillToAddress/><DeliveryAddress/><Supplier><ShipFromAddress/></Supplier>"
           "<Quantity>1</Quantity><Unit>PCS</Unit><DateRequired>01/15/2027</DateRequired>"
           "<AcknowledgementURL>http://127.0.0.1:9/ack</AcknowledgementURL><Pricing><Currency>EUR</Currency>"
           "<UnitCost>1</UnitCost><DiscountAmount>0</DiscountAmount></Pricing></Requisition>";
}
std::string Document(const std::string& requisitions) {
    return "<BizTalk><Body><RequisitionList>" + requisitions + "</RequisitionList></Body></BizTalk>";
}
std::string FormOf(const std::string& document) {
    std::string out = "XMLINPUT=";
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : document) {
        if (std::isalnum(c)) out += static_cast<char>(c);
        else out += {'%', hex[c >> 4], hex[c & 15]};
    }
    return out;
}

class BrokerIntake : public DemoHost {
protected:
    void BeforeServing() override {
        key_ = SiteSetting("BrokerApiKey");
        ASSERT_EQ(key_.size(), 48u);
    }

    std::string key_;
};

TEST_P(BrokerIntake, AnswersEachDocumentAsItsRequisitionsFared) {
    auto broker = serve_->Client(key_);
    const std::string path = "/reqlink/requisitions";
    auto r = broker.Post(path, FormOf(Document(Requisition("H-1", "BOLT-M8") + Requisition("H-2", "WASHER-8", 3))),
                         "application/x-www-form-urlencoded");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(json::parse(r->body)["orders"].size(), 2u);

    r = broker.Post(path, Document(Requisition("H-3", "BOLT-M8") + Requisition("H-4", "NO-SUCH") +
                                   Requisition("H-5", "BOLT-M8", 4)),
                    "text/xml");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 422) << r->body;
    json answer = json::parse(r->body);
    EXPECT_EQ(answer["orders"].size(), 1u);
    ASSERT_EQ(answer["failed"].size(), 2u);
    EXPECT_EQ(answer["failed"][0]["requisition"], "H-4");
    EXPECT_EQ(answer["failed"][0]["error"]["number"], "0x80040008");
    EXPECT_EQ(answer["failed"][1]["error"]["number"], "0x80040007");  // partner 4 is not the broker's

    for (const std::string& bad : {std::string("<BizTalk>"), Document("")}) {
        r = broker.Post(path, bad, "text/xml");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << r->body;
    }
    r = broker.Post(path, Document(Requisition("H-6", "BOLT-M8")), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 415);

    // the shop's key is not the broker's; Basic credentials carry the broker's as the password
    auto shop = Shop();
    r = shop.Post(path, Document(Requisition("H-7", "BOLT-M8")), "text/xml");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    httplib::Client basic("127.0.0.1", serve_->Port());
    basic.set_basic_auth("broker", key_);
    r = basic.Post(path, Document(Requisition("H-8", "BOLT-M8")), "text/xml");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;

    // the intake takes more than the shop's 1 MiB, but not more than its own limit
    std::string large = Document(Requisition("H-9", "BOLT-M8")) + std::string(2 << 20, ' ');
    r = broker.Post(path, large, "text/xml");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    std::string largeForm = FormOf(Document(Requisition("H-10", "BOLT-M8")) + std::string(350000, ' '));  // 1 MB
    r = broker.Post(path, largeForm, "application/x-www-form-urlencoded");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    r = broker.Post(path, std::string(17 << 20, ' '), "text/xml");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
    auto shopCall = Shop();
    r = shopCall.Post("/api/v1/baskets", std::string(2 << 20, ' '), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
}

INSTANTIATE_DB_TEST(BrokerIntake);

}  // namespace
