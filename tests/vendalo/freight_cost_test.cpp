#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "interfaces/vendalo/freight_cost.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;
using testing::HasSubstr;

namespace {

const char* kFreight =
    "INSERT INTO ZONES (ZONEID, ZONEDESCRIPTION) VALUES (1, 'Netherlands south');"
    "INSERT INTO ZONES (ZONEID, ZONEDESCRIPTION) VALUES (2, 'Netherlands north');"
    "INSERT INTO ZONES (ZONEID, ZONEDESCRIPTION) VALUES (3, 'Letters');"
    "INSERT INTO COUNTRIESBYZONE (COUNTRY, MAXZIPCODE, ZONEID) VALUES ('NL', '3999', 1);"
    "INSERT INTO COUNTRIESBYZONE (COUNTRY, MAXZIPCODE, ZONEID) VALUES ('NL', '9999', 2);"
    "INSERT INTO COUNTRIESBYZONE (COUNTRY, MAXZIPCODE, ZONEID) VALUES ('XX', 'ZZZZ', 3);"
    "INSERT INTO FREIGHTGROUP (FREIGHTGROUPID, SHIPFROMZONE) VALUES (1, 1);"
    "INSERT INTO FREIGHTGROUP (FREIGHTGROUPID, SHIPFROMZONE) VALUES (2, 0);"
    "INSERT INTO FREIGHTPRODUCT (PRODUCTID, FREIGHTGROUPID, ADDITIONALCOST) VALUES (101, 1, 2);"
    "INSERT INTO FREIGHTPRODUCT (PRODUCTID, FREIGHTGROUPID, ADDITIONALCOST) VALUES (102, 1, 2.5);"
    "INSERT INTO FREIGHTPRODUCT (PRODUCTID, FREIGHTGROUPID, ADDITIONALCOST) VALUES (103, 1, 3.5);"
    "INSERT INTO FREIGHTPRODUCT (PRODUCTID, FREIGHTGROUPID, ADDITIONALCOST) VALUES (104, 2, 0);"
    "INSERT INTO FREIGHTPRICE VALUES (1, 'DHL', 1, 2, 5.00, 1.25);"
    "INSERT INTO FREIGHTPRICE VALUES (1, 'UPS', 1, 2, 0.2, 0.1);";

class Freight : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(kFreight);
    }
    std::shared_ptr<vendalo::IFreightCost> NewFreight() {
        return Sls_GetComponent<vendalo::IFreightCost>("Vendalo.FreightCost");
    }
};

// A zip code's zone is that of the country's smallest MAXZIPCODE not below it,
// compared as text in byte order on both databases.
TEST_P(Freight, ZonesFollowTheZipCodeBounds) {
    struct Case {
        const char* country;
        const char* zip;
        int zone;
    } const cases[] = {
        {"NL", "1234", 1}, {"NL", "3999", 1}, {"NL", "39990", 2}, {"NL", "4000", 2}, {"NL", "9999", 2},
        {"NL", "A000", 0},  // above both as text
        {"NL", "1234' OR '1'='1", 1},  // text like any other: below "3999"
        {"XX", "AAAA", 3}, {"XX", "a000", 0},  // lower case sorts after every capital in byte order
        {"BE", "1000", 0},
    };
    auto freight = NewFreight();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.country) + " " + c.zip);
        EXPECT_EQ(freight->InitZone(c.country, c.zip), c.zone != 0);
        EXPECT_EQ(freight->ZoneId(), c.zone);
    }
    ASSERT_TRUE(freight->InitZone("NL", "2000"));
    EXPECT_EQ(freight->ZoneDescription(), "Netherlands south");
    EXPECT_EQ(Inst().LogEntriesWith("Zone is not defined for country NL and zip code A000 !"), 1u);
    EXPECT_EQ(NewFreight()->GetZoneDescription(2), "Netherlands north");
    EXPECT_EQ(NewFreight()->GetZoneDescription(9), "");
    EXPECT_EQ(Inst().LogEntriesWith("Vendalo.FreightCost.GetZoneDescription: Zone not found for id '9'"), 1u);
}

TEST_P(Freight, ChargesAreComputedInDecimalWithTheAdditionalCostOnce) {
    auto freight = NewFreight();
    EXPECT_DOUBLE_EQ(freight->GetFreightCost(Variant(101), Variant("DHL"), Variant(2), Variant(4)), 12.00);
    EXPECT_EQ(freight->FreightGroupID().ToLong(), 1);
    EXPECT_EQ(freight->ShipFromZoneID().ToLong(), 1);
    EXPECT_EQ(freight->AdditionalCost().Type(), ole::VarType::Integer);
    // 0.2 + 3 x 0.1 + 2 (2.5 held as 2, halves to even) is exactly 2.5
    EXPECT_EQ(freight->GetFreightCost(Variant(102), Variant("UPS"), Variant(2), Variant(3)), 2.5);
    EXPECT_EQ(freight->AdditionalCost().ToLong(), 2);
    ASSERT_TRUE(freight->InitFreightProduct(Variant(103)));
    EXPECT_EQ(freight->AdditionalCost().ToLong(), 4);
    EXPECT_EQ(freight->GetFromZone(Variant(101)), 1);
    EXPECT_TRUE(freight->MultipleShipFromZonesByFreightGroupPresent());  // groups ship from zones 1 and 0
    Inst().Exec("DELETE FROM FREIGHTGROUP WHERE FREIGHTGROUPID = 2");
    EXPECT_FALSE(freight->MultipleShipFromZonesByFreightGroupPresent());
}

TEST_P(Freight, QuantityZeroAndShipFromZoneZeroChargeNothing) {
    auto freight = NewFreight();
    EXPECT_EQ(freight->GetFreightCost(Variant(101), Variant("NOBODY"), Variant(7), Variant(0)), 0);
    EXPECT_FALSE(freight->InitFreightProduct(Variant(104)));
    EXPECT_EQ(freight->GetFreightCost(Variant(104), Variant("DHL"), Variant(2), Variant(1)), 0);
}

TEST_P(Freight, AMissingFreightGroupOrTariffRaises) {
    auto freight = NewFreight();
    std::string description;
    EXPECT_EQ(ErrorOf([&] { freight->InitFreightProduct(Variant(777)); }, &description), vendalo::kFreightError);
    EXPECT_THAT(description, HasSubstr("No Freight Group defined for :777"));
    // the freight group is read first, also for a quantity of 0
    EXPECT_EQ(ErrorOf([&] { freight->GetFreightCost(Variant(777), Variant("DHL"), Variant(2), Variant(0)); }, &description),
              vendalo::kFreightError);
    EXPECT_THAT(description, HasSubstr("METHOD: Vendalo.FreightCost.InitFreightProduct"));
    EXPECT_THAT(description, HasSubstr("METHOD: Vendalo.FreightCost.GetFreightCost"));
    EXPECT_EQ(ErrorOf([&] { freight->GetFreightCost(Variant(101), Variant("DHL"), Variant(1), Variant(1)); }, &description),
              vendalo::kFreightError);
    EXPECT_THAT(description, HasSubstr("No Freight Cost record defined.."));
    // a product id that is no number finds no group and is never run as SQL
    EXPECT_EQ(ErrorOf([&] { freight->InitFreightProduct(Variant("101 OR 1=1")); }, &description), vendalo::kFreightError);
    EXPECT_EQ(ErrorOf([&] { freight->GetFromZone(Variant("101; DELETE FROM ZONES")); }), ado::err::NoCurrentRecord);
    EXPECT_EQ(NewFreight()->GetZoneDescription(1), "Netherlands south");
}

INSTANTIATE_INSTALLATION_TEST(Freight);

}  // namespace
