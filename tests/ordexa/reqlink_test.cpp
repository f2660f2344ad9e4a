// The requisition broker link on both databases, with the broker simulator on
// loopback: requisitions in, acknowledgements and order requests out.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <set>
#include <thread>

#include "broker_simulator.h"
#include "interfaces/vendalo/basket.h"
#include "ordexa/attention.h"
#include "ordexa/exchange/exchange_actions.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/exchange/membership_logon.h"
#include "ordexa/operator_actions.h"
#include "ordexa/outside_calls.h"
#include "ordexa/reqlink/reqlink.h"
#include "ordexa/reqlink/requisition_intake.h"
#include "platform/config/configuration.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/membership.h"
#include "platform/xml/dom.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;
using ordexa::RequisitionOutcome;

namespace {

// One requisition; the parts a test changes are fields.
struct Req {
    std::string id = "REQ-1", part = "BOLT-M8", partner = "2", shopper = "jdevries", quantity = "3", unitCost = "10",
                discount = "5";
    std::string date = "12/24/2026", currency = "EUR", url;
    std::string billTo = "<BillToAddress><NAME1>Noordhaven Machinery B.V.</NAME1></BillToAddress>";  // reused by NAME1
    std::string delivery = "<DeliveryAddress/>";                                                      // the partner's default
    std::string shipFrom = "<ShipFromAddress/>";

    std::string Xml() const {
        return "<Requisition><Id>" + id + "</Id><Requisitioner><CommonName>Jan de Vries</CommonName>"
               "<ShopperID>" + shopper + "</ShopperID><BusinessPartnerID>" + partner + "</BusinessPartnerID></Requisitioner>"
               "<SupplierPartNumber>" + part + "</SupplierPartNumber>" + billTo + delivery +
               "<Supplier>" + shipFrom + "</Supplier><Quantity>" + quantity + "</Quantity><Unit>PCS</Unit>"
               "<DateRequired>" + date + "</DateRequired><AcknowledgementURL>" + url + "</AcknowledgementURL>"
               "<Pricing><Currency>" + currency + "</Currency><UnitCost>" + unitCost + "</UnitCost>"
               "<DiscountAmount>" + discount + "</DiscountAmount></Pricing></Requisition>";
    }
};

std::string Document(const std::vector<Req>& requisitions) {
    std::string xml = "<?xml version=\"1.0\"?><BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\">"
                      "<Body><RequisitionList>";
    for (const auto& r : requisitions) xml += r.Xml();
    return xml + "</RequisitionList></Body></BizTalk>";
}

class Reqlink : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(ReadFile(std::filesystem::path(BACKOFFICE_SOURCE_DIR) / "sql" / "demo.sql"));
        auto code = qx::HashAccessCode("memscript-code");
        Inst().Exec("INSERT INTO WEBUSER (USERID, COMMONNAME, PASSWORDSALT, PASSWORDHASH) VALUES ('memscript', "
                    "'service', '" + code.salt + "', '" + code.hash + "')");
        Inst().SetSetting("GENERAL_PARAMETERS", "HomeOrganisation", "1", "Long");
        Inst().SetSetting("GENERAL_PARAMETERS", "SubmittedOrderListPage", "http://shop/orders");
        WriteSite();
        permissions_ = ordexa::BrokerPermissionsOfInstallation();
    }

    // A setting of OUTSIDE_CALLS; the installation writes both files anew, so the site's again.
    void SetOutsideCalls(const char* name, const std::string& value) {
        Inst().SetSetting(ordexa::kOutsideCallsSection, name, value, "Long");
        WriteSite();
    }

    void WriteSite() {
        // the broker's permissions beside the membership settings the installation wrote
        qx::WriteConfigurationFile((Inst().Home() / "config" / "SiteConfiguration.xml").string(), "Site", "",
                                   {{"MEMBERSHIP", "MemScriptUser", "String", "memscript"},
                                    {"MEMBERSHIP", "MemScriptCode", "String", "memscript-code"},
                                    {"MEMBERSHIP", "LDAPRoot", "String", ""},
                                    {"API", ordexa::kBrokerPartners, "String", "2,3"},
                                    {"API", ordexa::kBrokerAcknowledgementHosts, "String", "127.0.0.1"}});
    }

    std::shared_ptr<ordexa::IReqlink> Link() { return Sls_GetComponent<ordexa::IReqlink>("Ordexa.Reqlink"); }
    std::vector<RequisitionOutcome> Process(const std::vector<Req>& r) { return Link()->ProcessRequisition(Document(r), permissions_); }

    int64_t Count(const std::string& sql) {
        auto rs = Sls_GetDisconnectedRecordset(sql, Sls_ConnectionString());
        return rs->Fields(0).Value().ToLong();
    }
    Variant Value(const std::string& sql, const std::string& id) {
        auto rs = Sls_GetDisconnectedRecordset(sql, Sls_ConnectionString(), {Variant(id)});
        return rs->Eof() ? ole::Null : rs->Fields(0).Value();
    }
    int Status(const std::string& orderId) {
        return Value("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", orderId).ToLong();
    }
    // Orders made by the intake, moved on to "waiting for acknowledgement" as the confirmation import does.
    std::vector<std::string> ConfirmedOrders(const std::vector<Req>& r) {
        std::vector<std::string> ids;
        for (const auto& o : Process(r)) {
            EXPECT_FALSE(o.error) << o.error->Description;
            ids.push_back(o.orderId);
        }
        Inst().Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 2");
        return ids;
    }

    ordexa::BrokerPermissions permissions_;
};

TEST_P(Reqlink, EachRequisitionBecomesAnOrderOrFailsAloneLeavingNothing) {
    BrokerSimulator broker;
    Req first, second, third;
    first.url = second.url = third.url = broker.Url("/ack");
    second.id = "REQ-2";
    second.part = "NO-SUCH-PART";
    second.billTo = "<BillToAddress><NAME1>Never made</NAME1><CITY1>Nowhere</CITY1></BillToAddress>";
    third.id = "REQ-3";
    third.billTo = "<BillToAddress><NAME1>New invoice desk</NAME1><STREET1>Kade 1</STREET1><COUNTRYCODE>NL</COUNTRYCODE></BillToAddress>";
    third.quantity = "2";
    third.discount = "";  // no discount counts as 0
    third.date = "2026-12-31";
    int64_t addressesBefore = Count("SELECT COUNT(*) FROM ADDRESS");

    auto outcomes = Process({first, second, third});
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_FALSE(outcomes[0].error);
    ASSERT_TRUE(outcomes[1].error);
    EXPECT_EQ(outcomes[1].error->Number, ordexa::reqlink_err::reqlinkInvalidSupplierPartNumber);
    EXPECT_NE(outcomes[1].error->Description.find("Cannot find the productid for BuyingPartNumber: NO-SUCH-PART"),
              std::string::npos);
    EXPECT_EQ(outcomes[1].requisitionId, "REQ-2");
    EXPECT_FALSE(outcomes[2].error);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER"), 2);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETLINE"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ADDRESS"), addressesBefore + 1);  // only the third's new bill-to address

    // 3 x 10 - 5 = 25 on the line and in the header; the partner's addresses reused and defaulted
    const std::string& a = outcomes[0].orderId;
    EXPECT_EQ(Value("SELECT AMOUNT FROM ORDERLINE WHERE ORDERID = ?", a).ToDouble(), 25);
    EXPECT_EQ(Value("SELECT SUBTOTAL FROM ORDERHEADER WHERE ORDERID = ?", a).ToDouble(), 25);
    EXPECT_EQ(Value("SELECT TOTAL FROM ORDERHEADER WHERE ORDERID = ?", a).ToDouble(), 25);
    EXPECT_EQ(Value("SELECT QUANTITY FROM ORDERLINE WHERE ORDERID = ?", a).ToDouble(), 3);
    EXPECT_EQ(Value("SELECT BILLINGADDRESSID FROM ORDERHEADER WHERE ORDERID = ?", a).ToLong(), 21);  // by NAME1
    EXPECT_EQ(Value("SELECT ADDRESSID FROM ORDERLINE WHERE ORDERID = ?", a).ToLong(), 22);  // the partner's shipping
    EXPECT_EQ(Value("SELECT SHIPPINGADDRESSID FROM ORDERHEADER WHERE ORDERID = ?", a).ToLong(), 11);  // home organisation
    EXPECT_EQ(Value("SELECT CUSTOMERPONR FROM ORDERHEADER WHERE ORDERID = ?", a).Text(), "REQ-1");
    EXPECT_EQ(Value("SELECT ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID = ?", a).Text(), broker.Url("/ack"));
    EXPECT_EQ(Value("SELECT CURRENCYSYMBOL FROM ORDERHEADER WHERE ORDERID = ?", a).Text(), "\u20AC");
    EXPECT_EQ(Status(a), 0);
    const std::string& c = outcomes[2].orderId;
    EXPECT_EQ(Value("SELECT AMOUNT FROM ORDERLINE WHERE ORDERID = ?", c).ToDouble(), 20);
    EXPECT_EQ(Value("SELECT NAME1 FROM ADDRESS WHERE ADDRESSID = (SELECT BILLINGADDRESSID FROM ORDERHEADER WHERE ORDERID = ?)", c)
                  .Text(),
              "New invoice desk");
    // each order: its line, three address snapshots, the order's and the line's events; no slot stays
    auto written = [&] {
        std::vector<int64_t> counts;
        for (const char* table : {"ORDERLINE", "ADDRESSHISTORY", "ORDEREVENT", "REQUISITIONINTAKE"})
            counts.push_back(Count(std::string("SELECT COUNT(*) FROM ") + table));
        return counts;
    };
    const std::vector<int64_t> twoOrders{2, 6, 4, 0};
    EXPECT_EQ(written(), twoOrders);

    // a submission that fails after the address and the basket were written, where removing
    // them afterwards would fail as well: nothing of the requisition stays
    if (Inst().Db().IsPostgres())
        Inst().Exec("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused by the database'; "
                    "END $$ LANGUAGE plpgsql;"
                    "CREATE TRIGGER refuse BEFORE DELETE ON BASKETHEADER FOR EACH ROW EXECUTE FUNCTION refuse();");
    else
        Inst().Exec("CREATE TRIGGER refuse BEFORE DELETE ON BASKETHEADER BEGIN SELECT RAISE(ABORT, 'refused by the database'); END;");
    Req fourth = third;
    fourth.id = "REQ-4";
    fourth.billTo = "<BillToAddress><NAME1>Rolled back</NAME1></BillToAddress>";
    auto failed = Process({fourth});
    ASSERT_TRUE(failed[0].error);
    EXPECT_NE(failed[0].error->Description.find("refused by the database"), std::string::npos) << failed[0].error->Description;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER"), 2);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETLINE"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ADDRESS"), addressesBefore + 1);
    EXPECT_EQ(written(), twoOrders);
}

TEST_P(Reqlink, RequisitionsTheChecksRefuseCreateNothing) {
    std::vector<std::pair<Req, std::string>> refused;
    auto add = [&](auto change, const std::string& text) {
        Req r;
        r.url = "http://127.0.0.1:9/ack";
        r.billTo = "<BillToAddress><NAME1>Made only for a valid one</NAME1></BillToAddress>";
        r.id = "BAD-" + std::to_string(refused.size());
        change(r);
        refused.emplace_back(r, text);
    };
    add([](Req& r) { r.quantity = "2.5"; }, "Quantity must be a positive whole number");
    add([](Req& r) { r.quantity = "0"; }, "Quantity must be a positive whole number");
    add([](Req& r) { r.unitCost = "10,50"; }, "Pricing/UnitCost is no amount");
    add([](Req& r) { r.unitCost = "1e3"; }, "Pricing/UnitCost is no amount");
    add([](Req& r) { r.date = "24.12.2026"; }, "DateRequired must be");
    add([](Req& r) { r.date = "02/30/2026"; }, "DateRequired must be");
    add([](Req& r) { r.partner = "4"; }, "The broker may not order for business partner 4");
    add([](Req& r) { r.url = "http://broker.example/ack"; }, "not an http(s) URL on the broker's list");
    add([](Req& r) { r.url = "file:///etc/passwd"; }, "not an http(s) URL on the broker's list");
    add([](Req& r) { r.currency = "XXX"; }, "XXX");
    add([](Req& r) { r.id = " "; }, "Id is empty");
    add([](Req& r) { r.shopper = "msmith"; }, "ShopperID 'msmith' is no shop user of business partner 2");
    add([](Req& r) { r.shopper = "nobody"; }, "ShopperID 'nobody' is no shop user");
    add([](Req& r) { r.unitCost = "0.00001"; }, "Pricing/UnitCost has more decimals than the amount keeps");
    add([](Req& r) { r.unitCost = "100000000000"; }, "Pricing/UnitCost is too large");
    add([](Req& r) { r.discount = "-1"; }, "Pricing/DiscountAmount must lie between 0 and Quantity x Pricing/UnitCost (30)");
    add([](Req& r) { r.discount = "30.01"; }, "Pricing/DiscountAmount must lie between 0 and Quantity x Pricing/UnitCost (30)");
    int64_t addressesBefore = Count("SELECT COUNT(*) FROM ADDRESS");
    std::vector<Req> requisitions;
    for (const auto& [r, text] : refused) requisitions.push_back(r);
    auto outcomes = Process(requisitions);
    ASSERT_EQ(outcomes.size(), refused.size());
    for (size_t i = 0; i < outcomes.size(); ++i) {
        ASSERT_TRUE(outcomes[i].error) << refused[i].second;
        EXPECT_NE(outcomes[i].error->Description.find(refused[i].second), std::string::npos)
            << outcomes[i].error->Description;
    }
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ADDRESS"), addressesBefore);

    // a document that does not parse, names an outside entity, or holds no requisition raises
    for (const std::string& bad :
         {std::string("<BizTalk><Body>"), std::string("<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
                                                      "<BizTalk><Body><RequisitionList/></Body></BizTalk>"),
          std::string("<BizTalk><Body><RequisitionList/></Body></BizTalk>")}) {
        try {
            Link()->ProcessRequisition(bad, permissions_);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const ole::AutomationError& e) {
            EXPECT_TRUE(e.Number() == ordexa::reqlink_err::reqlinkXMLDomFailure ||
                        e.Number() == ordexa::reqlink_err::reqlinkNoRequisitionsFound)
                << e.Description();
        }
    }
}

TEST_P(Reqlink, ARepeatedRequisitionGivesNoSecondOrderEvenWhenRetriesRace) {
    Req r;
    r.url = "http://127.0.0.1:9/ack";
    auto first = Process({r});
    ASSERT_FALSE(first[0].error);
    auto again = Process({r});
    ASSERT_FALSE(again[0].error);
    EXPECT_TRUE(again[0].existing);
    EXPECT_EQ(again[0].orderId, first[0].orderId);

    Req racing;
    racing.id = "REQ-RACE";
    racing.url = r.url;
    std::vector<std::string> orders(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < orders.size(); ++i)
        threads.emplace_back([&, i] {
            auto outcome = Link()->ProcessRequisition(Document({racing}), permissions_);
            orders[i] = outcome[0].error ? "error: " + outcome[0].error->Description : outcome[0].orderId;
        });
    for (auto& t : threads) t.join();
    for (const auto& o : orders) EXPECT_EQ(o, orders[0]);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER WHERE CUSTOMERPONR = 'REQ-RACE'"), 1);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER"), 0);

    // the copy is found by the requisition's index, not by a scan of the partner's orders
    if (!Inst().Db().IsPostgres()) {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        auto plan = c->Execute(std::string("EXPLAIN QUERY PLAN ") + ordexa::kExistingRequisitionOrderStatement, nullptr,
                               -1, {Variant(1), Variant("X"), Variant(r.url)});
        std::string text;
        for (; !plan->Eof(); plan->MoveNext()) text += plan->Fields("detail").Value().Text() + "\n";
        EXPECT_NE(text.find("ORDERHEADER_REQUISITION"), std::string::npos) << text;
    }
}

// Copies of a requisition with a new delivery address, sent at once: one order
// per requisition, whose line names the one address made for it, never an
// address a losing copy made and removed again (nor an id such an address had).
TEST_P(Reqlink, RacingCopiesWithANewAddressMakeOneOrderOnAnAddressThatStays) {
    const char* more = std::getenv("BACKOFFICE_RACE_ROUNDS");
    const int rounds = more ? std::atoi(more) : 6, copies = 16;
    std::set<int64_t> addressIds;
    Inst().Exec("DELETE FROM IDSEQUENCE");  // as `upgrade` leaves an older installation: the counter starts itself
    for (int round = 0; round < rounds; ++round) {
        Req r;
        r.id = "REQ-RACE-" + std::to_string(round);
        r.url = "http://127.0.0.1:9/ack";
        r.delivery = "<DeliveryAddress><NAME1>Site " + std::to_string(round) + "</NAME1><CITY1>Delfzijl</CITY1></DeliveryAddress>";
        std::vector<std::string> orders(copies);
        std::vector<std::thread> threads;
        for (int i = 0; i < copies; ++i)
            threads.emplace_back([&, i] {
                auto outcome = Link()->ProcessRequisition(Document({r}), permissions_);
                orders[i] = outcome[0].error ? "error: " + outcome[0].error->Description : outcome[0].orderId;
            });
        for (auto& t : threads) t.join();
        for (const auto& o : orders) ASSERT_EQ(o, orders[0]) << "round " << round;
        EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER WHERE CUSTOMERPONR = '" + r.id + "'"), 1);
        auto line = Sls_GetDisconnectedRecordset(
            "SELECT a.ADDRESSID, a.BUSINESSPARTNERID, a.NAME1 FROM ORDERLINE l LEFT JOIN ADDRESS a ON a.ADDRESSID = "
            "l.ADDRESSID WHERE l.ORDERID = ?",
            Sls_ConnectionString(), {Variant(orders[0])});
        ASSERT_FALSE(line->Fields(0).Value().IsNull()) << "round " << round << ": the line's address is gone";
        EXPECT_EQ(line->Fields(1).Value().ToLong(), 2);
        EXPECT_EQ(line->Fields(2).Value().Text(), "Site " + std::to_string(round));
        EXPECT_EQ(Count("SELECT COUNT(*) FROM ADDRESS WHERE NAME1 = 'Site " + std::to_string(round) + "'"), 1);
        EXPECT_TRUE(addressIds.insert(line->Fields(0).Value().ToLongLong()).second) << "round " << round;
    }
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM REQUISITIONINTAKE"), 0);

    // an address removed again does not lend its id to the next
    auto partners = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
    ole::Dictionary address;
    for (int key = 0; key < 12; ++key) address.Add(Variant(key), Variant(key == 1 ? "Removed again" : ""));
    int32_t removed = partners->AddNewAddressEx(address, 2);
    Inst().Exec("DELETE FROM ADDRESS WHERE ADDRESSID = " + std::to_string(removed));
    EXPECT_GT(partners->AddNewAddressEx(address, 2), removed);
}

TEST_P(Reqlink, AcknowledgementsGoOneListPerUrlAndOnlyPostedOrdersMoveOn) {
    BrokerSimulator broker;
    Req a1, a2, b1;
    a1.url = a2.url = broker.Url("/a");
    b1.url = broker.Url("/b");
    a2.id = "REQ-A2";
    a2.quantity = "7";
    b1.id = "REQ-B1";
    auto ids = ConfirmedOrders({a1, a2, b1});
    Link()->Run();
    for (const auto& id : ids) EXPECT_EQ(Status(id), 3);
    auto posts = broker.Journal();
    ASSERT_EQ(posts.size(), 2u);
    std::sort(posts.begin(), posts.end(), [](const auto& x, const auto& y) { return x["path"] < y["path"]; });
    EXPECT_EQ(posts[0]["path"], "/a");
    EXPECT_EQ(posts[0]["content_type"], "application/x-www-form-urlencoded");
    EXPECT_EQ(posts[0]["body"].get<std::string>().rfind("XMLINPUT=", 0), 0u);
    qx::XmlDocument doc;
    ASSERT_TRUE(doc.LoadXml(posts[0]["xmlinput"].get<std::string>()));
    auto acks = doc.doc.select_nodes("BizTalk/Body/AcknowledgementList/Acknowledgement");
    ASSERT_EQ(acks.size(), 2u);
    std::string today = [] {
        ole::CalendarTime t = ole::Date::Today().ToCalendar();
        char text[16];
        std::snprintf(text, sizeof text, "%02d/%02d/%04d", t.month, t.day, t.year);
        return std::string(text);
    }();
    std::map<std::string, std::string> quantities;
    for (const auto& ack : acks) {
        quantities[ack.node().child_value("Id")] = ack.node().child_value("AcknowledgedQuantity");
        EXPECT_EQ(std::string(ack.node().child_value("AcknowledgedDate")), today);
        EXPECT_EQ(std::string(ack.node().child_value("Url")).rfind("http://shop/orders?order_id=", 0), 0u);
    }
    EXPECT_EQ(quantities, (std::map<std::string, std::string>{{"REQ-1", "3"}, {"REQ-A2", "7"}}));
    qx::XmlDocument other;
    ASSERT_TRUE(other.LoadXml(posts[1]["xmlinput"].get<std::string>()));
    EXPECT_EQ(other.doc.select_nodes("BizTalk/Body/AcknowledgementList/Acknowledgement").size(), 1u);

    Link()->Run();  // nothing is waiting any more
    EXPECT_EQ(broker.Journal().size(), 2u);
}

TEST_P(Reqlink, AFailingOrSilentBrokerKeepsItsOrdersWaitingAndLetsTheOthersGo) {
    // this broker comes back at once: no back-off from its silence
    SetOutsideCalls(ordexa::kHostBackoffMinutes, "0");
    SetOutsideCalls(ordexa::kAcknowledgementTimeout, "1");
    std::vector<std::string> ids;
    int port = 0;
    {
        BrokerSimulator broker({{{"/fail", 500}}, {{"/slow", 3000}}, 0});
        port = broker.Port();
        Req fail, slow, ok;
        fail.url = broker.Url("/fail");
        slow.url = broker.Url("/slow");
        ok.url = broker.Url("/ok");
        slow.id = "REQ-SLOW";
        ok.id = "REQ-OK";
        ids = ConfirmedOrders({fail, slow, ok});
        Link()->Run();  // logs, never raises
        EXPECT_EQ(Status(ids[0]), 2);
        EXPECT_EQ(Status(ids[1]), 2);
        EXPECT_EQ(Status(ids[2]), 3);
        EXPECT_EQ(broker.Journal().size(), 3u);
        EXPECT_GE(Inst().LogEntriesWith("Failed to acknowledge reqlink-orders"), 1u);
        EXPECT_GE(Inst().LogEntriesWith("Server timeout"), 1u);
        EXPECT_GE(Inst().LogEntriesWith("HTTP status 500"), 1u);
    }
    BrokerSimulator recovered({{}, {}, port});
    Link()->Run();
    for (const auto& id : ids) EXPECT_EQ(Status(id), 3);
    auto posts = recovered.Journal();
    ASSERT_EQ(posts.size(), 2u);  // each waiting list once; the acknowledged one not again
    for (const auto& p : posts) EXPECT_NE(p["path"], "/ok");
}

// Twelve lists to a broker that takes each connection and never answers: the
// posts go side by side, the lists behind the first silent ones skip the host,
// and so does the next batch; the back-off is logged once.
TEST_P(Reqlink, ASilentHostCostsOneTimeOutAndIsSkippedUntilItsBackOffEnds) {
    SetOutsideCalls(ordexa::kAcknowledgementTimeout, "1");
    BrokerSimulator::Options never;
    std::vector<Req> requisitions(12);
    for (size_t i = 0; i < requisitions.size(); ++i) never.delaysMs["/list" + std::to_string(i)] = 600000;
    BrokerSimulator silent(never);
    for (size_t i = 0; i < requisitions.size(); ++i) {
        requisitions[i].id = "REQ-" + std::to_string(i);
        requisitions[i].url = silent.Url("/list" + std::to_string(i));
    }
    auto ids = ConfirmedOrders(requisitions);
    Link()->Run();
    size_t seen = silent.Journal().size();
    EXPECT_GE(seen, 1u);
    EXPECT_LE(seen, 8u);  // OutsideCallsAtOnce; the lists after them skipped the silent host
    Link()->Run();        // the next batch reads the back-off from the database
    EXPECT_EQ(silent.Journal().size(), seen);
    for (const auto& id : ids) EXPECT_EQ(Status(id), 2);
    EXPECT_EQ(Inst().LogEntriesWith("The host 127.0.0.1 did not answer"), 1u);
}

// A post is on record before it goes: a batch killed while the broker holds
// the post leaves a row of unknown outcome, never none. Each answer completes
// its row with the HTTP status and the attempt, also the operator's post, and
// the attention list shows the last of them.
TEST_P(Reqlink, ABrokerPostIsOnRecordBeforeItGoesAndKeepsItsStatusAndAttempt) {
    BrokerSimulator broker({{{"/busy", 503}}, {{"/never", 600000}}, 0});
    Req r;
    r.url = broker.Url("/never");
    std::string id = ConfirmedOrders({r}).front();
    ado::ClearConnectionPool();  // the child shares no connection with this process
    pid_t child = ::fork();
    if (child == 0) {
        Link()->Run();
        ::_exit(0);
    }
    for (int i = 0; i < 400 && broker.Journal().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_EQ(broker.Journal().size(), 1u);

    auto last = [] {
        ordexa::ExchangeQuery query;
        query.kind = ordexa::exchange_kind::kBrokerPost;
        auto rows = ordexa::ListExchanges(query).rows;
        return rows.empty() ? ordexa::ExchangeRow{} : rows.front();
    };
    auto attention = [&] {
        ordexa::AttentionLimits limits;
        limits.acknowledgeMinutes = 0;
        for (const auto& item : ordexa::OrdersNeedingAttention(limits))
            if (item.orderId == id) return item;
        return ordexa::AttentionItem{};
    };
    struct Step {
        std::string path;
        bool byOperator;
        std::string outcome;
        std::optional<int32_t> httpStatus;
        int status;
        std::string seen;  // on the attention list
    };
    const Step steps[] = {{"", false, "outcome unknown", std::nullopt, 2, "acknowledgement post of unknown outcome"},
                          {"/busy", false, "refused", 503, 2, "the last post (attempt 2) got HTTP status 503 (refused)"},
                          {"/ok", true, "acknowledged", 200, 3, ""}};
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const Step& step = steps[attempt - 1];
        SCOPED_TRACE(step.outcome);
        if (!step.path.empty()) {
            Inst().Exec("UPDATE ORDERHEADER SET ACKNOWLEDGEMENTURL = '" + broker.Url(step.path) + "'");
            if (step.byOperator) ordexa::SendAcknowledgementNow({id, "operator ann", "called them"});
            else Link()->Run();
        }
        auto row = last();
        EXPECT_EQ(row.outcome, step.outcome);
        EXPECT_EQ(row.httpStatus, step.httpStatus);
        EXPECT_EQ(row.attempt, attempt);
        EXPECT_EQ(row.orderIds, std::vector<std::string>{id});
        EXPECT_EQ(Status(id), step.status);
        if (step.seen.empty()) continue;
        auto item = attention();
        EXPECT_NE((item.reason + "; " + item.detail).find(step.seen), std::string::npos) << item.reason << "; " << item.detail;
    }
}

TEST_P(Reqlink, TheFormPostCarriesEveryCharacterAndTheOrderRequestItsFields) {
    EXPECT_EQ(ordexa::UrlEncode("a=b&c d?%"), "a%3Db%26c%20d%3F%25");
    BrokerSimulator broker;
    const std::string tricky = "1+1 & 100% \r\n caf\u00E9";
    Inst().Exec("UPDATE PRODUCT SET PRODUCTDESCRIPTION = '" + tricky + "' WHERE PRODUCTID = 101");
    Inst().Exec("UPDATE BUSINESSPARTNER SET ORDERREQUESTURL = '" + broker.Url("/orders") + "' WHERE BUSINESSPARTNERID = 2");
    auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    auto basket = baskets->Create("jdevries", 2);
    Variant b(basket);
    baskets->AddLine(b, 101, 4, ole::Date::FromParts(2026, 12, 24), false, "");
    auto lines = RecordsetOf(*basket, "lines");
    lines->MoveFirst();
    lines->Fields("PRODUCTPRICE") = 0.4;
    lines->Fields("DISCOUNTAMOUNT") = 0.1;
    lines->Fields("ORDERDISCOUNTAMOUNT") = 0.2;
    auto user = ordexa::LogOnToMembership()->GetUser("jdevries");
    Link()->SendOrderRequest(b, user, 10);

    auto posts = broker.Journal();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0]["path"], "/orders");
    qx::XmlDocument doc;
    doc.doc.load_string(posts[0]["xmlinput"].get<std::string>().c_str(), pugi::parse_default & ~pugi::parse_eol);
    auto request = doc.doc.select_node("BizTalk/Body/OrderRequest").node();
    ASSERT_TRUE(request);
    EXPECT_EQ(std::string(request.child("Requisitioner").child_value("GivenName")), "Jan de Vries");
    EXPECT_EQ(std::string(request.child("Requisitioner").child_value("ShopperID")), "jdevries");
    EXPECT_EQ(std::string(request.child_value("Currency")), "EUR");
    auto line = request.child("OrderRequestLine");
    EXPECT_EQ(std::string(line.child_value("ItemDescription")), tricky);  // +, &, %, CR LF and é arrive as sent
    EXPECT_EQ(std::string(line.child_value("DateRequired")), "12/24/2026");
    EXPECT_EQ(std::string(line.child_value("SupplierID")), "Demo Supplies B.V.");
    EXPECT_EQ(std::string(line.child("Contract").child_value("ContractCode")), "K-2024");
    EXPECT_EQ(std::string(line.child("Pricing").child_value("DiscountAmount")), "0.3");

    // a broker that refuses it is a failure, not a success
    Inst().Exec("UPDATE BUSINESSPARTNER SET ORDERREQUESTURL = '" + broker.Url("/orders") + "x' WHERE BUSINESSPARTNERID = 2");
    BrokerSimulator refusing({{{"/orders", 503}}, {}, 0});
    Inst().Exec("UPDATE BUSINESSPARTNER SET ORDERREQUESTURL = '" + refusing.Url("/orders") + "' WHERE BUSINESSPARTNERID = 2");
    try {
        Link()->SendOrderRequest(b, user, 10);
        ADD_FAILURE() << "a 503 was taken for success";
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), ordexa::reqlink_err::reqlinkInetHttpFormPostFailure);
    }
}

INSTANTIATE_INSTALLATION_TEST(Reqlink);

}  // namespace
