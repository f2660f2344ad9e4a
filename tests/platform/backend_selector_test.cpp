#include <gtest/gtest.h>

#include "platform/backend/backend_selector.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;

namespace {

class BackendSelector : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(
            "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE, DESCRIPTION) VALUES (4, 'ow4', 'Desk A');"
            "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE, DESCRIPTION) VALUES (5, 'OW5 (7.1)', 'Desk B');"
            "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (4, 'componentid', 'OW4-EDI');"
            "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (4, 'Alignment', 'left');"
            "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (4, 'itemsegmentationmask', '**-*');"
            "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (5, 'componentid', NULL);"
            "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, BISID) VALUES (20, 'With desk B', 5);"
            "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, BISID) VALUES (21, 'Without a desk', NULL);"
            "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, BISID) VALUES (22, 'Lost desk', 9);");
    }

    std::shared_ptr<qx::IBackendSelector> Selector() {
        return Sls_GetComponent<qx::IBackendSelector>("QxBackend.Selector");
    }

    static ole::Dictionary Partner(const ole::Variant& id) {
        ole::Dictionary d;
        d.Add("BPID", id);
        return d;
    }
};

TEST_P(BackendSelector, AnInstanceAnswersWithItsTypeAndItsPropertiesByLowerCaseName) {
    auto instance = Selector()->SelectBackend(4);
    EXPECT_EQ(instance->BISID(), 4);
    EXPECT_EQ(instance->BackendType(), "ow4");
    auto properties = instance->BackendProperties();
    EXPECT_EQ(properties->Count(), 3);
    EXPECT_TRUE(properties->Exists("alignment"));
    EXPECT_EQ(properties->Item("alignment").ToString(), "left");
    EXPECT_EQ(properties->Item("itemsegmentationmask").ToString(), "**-*");
    EXPECT_EQ(properties->Item("componentid").ToString(), "OW4-EDI");
    // a property without a value reads as empty text, an instance without properties has none
    EXPECT_EQ(Selector()->SelectBackend(5)->BackendProperties()->Item("componentid").ToString(), "");
    EXPECT_FALSE(Selector()->SelectBackend(5)->BackendProperties()->Exists("alignment"));
}

TEST_P(BackendSelector, ThePartnerRuleGivesThePartnerInstanceWhetherTheIdIsTextOrNumber) {
    auto byText = Selector()->SelectBackendByRule("BusinessPartner", Partner("20"));
    EXPECT_EQ(byText->BISID(), 5);
    EXPECT_EQ(byText->BackendType(), "OW5 (7.1)");
    EXPECT_EQ(Selector()->SelectBackendByRule("BusinessPartner", Partner(20))->BISID(), 5);
}

TEST_P(BackendSelector, UnknownInstancesPartnersWithoutOneAndUnknownRulesRaiseClearErrors) {
    std::string text;
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackend(77); }, &text), qx::backend_err::InstanceNotFound);
    EXPECT_EQ(text, "BIS Instance '77' does not exist");
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackendByRule("BusinessPartner", Partner(21)); }, &text),
              qx::backend_err::PartnerWithoutInstance);
    EXPECT_EQ(text, "Business partner 21 has no BIS Instance");
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackendByRule("BusinessPartner", Partner(99)); }, &text),
              qx::backend_err::PartnerWithoutInstance);
    EXPECT_EQ(text, "Business partner 99 does not exist");
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackendByRule("BusinessPartner", Partner("x7")); }),
              qx::backend_err::PartnerWithoutInstance);
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackendByRule("BusinessPartner", ole::Dictionary()); }),
              qx::backend_err::PartnerWithoutInstance);
    // a partner whose instance was removed
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackendByRule("BusinessPartner", Partner(22)); }),
              qx::backend_err::InstanceNotFound);
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackendByRule("Region", Partner(20)); }), qx::backend_err::UnknownRule);
}

TEST_P(BackendSelector, BusinessObjectsAreNotAvailableYetAndSaySo) {
    std::string text;
    EXPECT_EQ(ErrorOf([&] { Selector()->SelectBackend(4)->CreateBOI(1, "Allocation BOI"); }, &text),
              qx::backend_err::BoiNotAvailable);
    EXPECT_EQ(text, "The business object 'Allocation BOI' is not available for BIS Instance '4' (back-end type 'ow4', no property 'boiurl')");
}

INSTANTIATE_INSTALLATION_TEST(BackendSelector);

}  // namespace
