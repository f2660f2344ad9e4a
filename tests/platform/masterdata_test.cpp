#include <gtest/gtest.h>

#include "platform/data/ado.h"
#include "platform/masterdata/configurator.h"
#include "platform/masterdata/currency.h"
#include "platform/masterdata/membership.h"
#include "platform/masterdata/product_catalog.h"
#include "platform/masterdata/referential_checker.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;

namespace {

class Configurator : public InstallationTest {};

TEST_P(Configurator, AnswersTheConfigurationTextAndRefusesAnUnknownConfiguration) {
    auto c = std::make_shared<ado::Connection>();
    c->Open(Inst().ConnectionString());
    c->Execute("INSERT INTO PRODUCTCONFIGURATION (CONFIGID, PRODUCTID, VARIANTOPTIONS) VALUES (?, 104, ?)", nullptr,
               -1, {"CFG-1", "Pump\r\nVOP,POWER,5.5KW\r\nVOP,VOLTAGE,400V"});
    c->Execute("INSERT INTO PRODUCTCONFIGURATION (CONFIGID, PRODUCTID) VALUES ('CFG-2', 104)");
    c->Close();
    auto configurator = Sls_GetComponent<qx::IConfigurator>("QxConfigurator.Configurator");
    EXPECT_EQ(configurator->GetVariantOptions("CFG-1", "ABC", "2"), "Pump\r\nVOP,POWER,5.5KW\r\nVOP,VOLTAGE,400V");
    EXPECT_EQ(configurator->GetVariantOptions("CFG-2", "ABC", "3"), "");
    std::string text;
    EXPECT_EQ(ErrorOf([&] { configurator->GetVariantOptions("CFG-9", "ABC", "4"); }, &text),
              qx::kConfigurationNotFound);
    EXPECT_EQ(text, "Product configuration 'CFG-9' of order 'ABC' line 4 does not exist");
}

INSTANTIATE_INSTALLATION_TEST(Configurator);

class Membership : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        AddUser("memscript", "Service account", "right-code");
        AddUser("jdevries", "Jan de Vries", "");
        site_ = (Inst().Home() / "config" / "SiteConfiguration.xml").string();
    }

    void AddUser(const std::string& id, const std::string& commonName, const std::string& code) {
        auto c = std::make_shared<ado::Connection>();
        c->Open(Inst().ConnectionString());
        ole::Variant salt = ole::Variant::Null(), hash = ole::Variant::Null();
        if (!code.empty()) {
            auto stored = qx::HashAccessCode(code);
            salt = stored.salt;
            hash = stored.hash;
        }
        c->Execute("INSERT INTO WEBUSER (USERID, COMMONNAME, PASSWORDSALT, PASSWORDHASH) VALUES (?, ?, ?, ?)", nullptr,
                   -1, {id, commonName, salt, hash});
        c->Close();
    }

    std::shared_ptr<qx::IMembership> Members() {
        auto members = Sls_GetComponent<qx::IMembership>("qxmembership.members");
        members->Initialize(site_);
        return members;
    }

    std::string site_;
};

TEST_P(Membership, AccessCodesAreStoredAsSaltedHashesThatOnlyTheRightCodeMatches) {
    auto a = qx::HashAccessCode("s3cret");
    auto b = qx::HashAccessCode("s3cret");
    EXPECT_NE(a.salt, b.salt);
    EXPECT_NE(a.hash, b.hash);
    EXPECT_EQ(a.hash.rfind("pbkdf2-sha256$", 0), 0u);
    EXPECT_EQ(a.hash.find("s3cret"), std::string::npos);
    EXPECT_TRUE(qx::VerifyAccessCode("s3cret", a.salt, a.hash));
    EXPECT_FALSE(qx::VerifyAccessCode("s3cret ", a.salt, a.hash));
    EXPECT_FALSE(qx::VerifyAccessCode("s3cret", b.salt, a.hash));
    EXPECT_FALSE(qx::VerifyAccessCode("", "", ""));  // an account without a code
    EXPECT_FALSE(qx::VerifyAccessCode("s3cret", a.salt, "s3cret"));
    std::string code = qx::NewAccessCode();
    EXPECT_EQ(code.size(), 24u);
    EXPECT_NE(code, qx::NewAccessCode());
}

TEST_P(Membership, LogonWithTheRightCodeGivesUsersByIdWithTheirCommonName) {
    auto members = Members();
    members->Logon("memscript", "right-code");
    auto user = members->GetUser("jdevries");
    EXPECT_EQ(user->UserID(), "jdevries");
    EXPECT_EQ(user->CommonName(), "Jan de Vries");
    std::string text;
    EXPECT_EQ(ErrorOf([&] { members->GetUser("nobody"); }, &text), qx::membership_err::UserNotFound);
    EXPECT_EQ(text, "User 'nobody' not found");
}

TEST_P(Membership, AWrongCodeAnUnknownAccountOrNoLogonAreRefusedWithoutRepeatingTheCode) {
    auto members = Members();
    EXPECT_EQ(ErrorOf([&] { members->GetUser("jdevries"); }), qx::membership_err::NotLoggedOn);
    std::string text;
    try {
        members->Logon("memscript", "wrong-code-4711");
        FAIL() << "logged on with a wrong code";
    } catch (...) {
        text = ole::CurrentError().Description;
        EXPECT_EQ(ole::CurrentError().Number, qx::membership_err::LogonFailed);
        Sls_LogError("Ordexa.WebOrderExport.GetUserCommonName()", "ShopperId= jdevries");
    }
    EXPECT_EQ(text, "Logon failed for account 'memscript'");
    EXPECT_EQ(Inst().LogText().find("wrong-code-4711"), std::string::npos);
    EXPECT_NE(Inst().LogText().find("Logon failed"), std::string::npos);
    EXPECT_EQ(ErrorOf([&] { members->GetUser("jdevries"); }), qx::membership_err::NotLoggedOn);
    EXPECT_EQ(ErrorOf([&] { members->Logon("ghost", "right-code"); }), qx::membership_err::LogonFailed);
    EXPECT_EQ(ErrorOf([&] { members->Logon("jdevries", ""); }), qx::membership_err::LogonFailed);  // no code set
    auto uninitialized = Sls_GetComponent<qx::IMembership>("qxmembership.members");
    EXPECT_EQ(ErrorOf([&] { uninitialized->Logon("memscript", "right-code"); }), qx::membership_err::NotInitialized);
}

TEST_P(Membership, AnAccountWithinTheDirectoryRootNamesTheSameUser) {
    Inst().SetSiteSetting("LDAPRoot", "ou=Shop,o=Demo");
    auto members = Members();
    members->Logon("memscript,OU=shop,o=demo", "right-code");
    EXPECT_EQ(members->GetUser("jdevries")->CommonName(), "Jan de Vries");
    EXPECT_EQ(ErrorOf([&] { members->Logon("memscript,ou=Other", "right-code"); }), qx::membership_err::LogonFailed);
}

INSTANTIATE_INSTALLATION_TEST(Membership);

}  // namespace

namespace {

class Currencies : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(
            "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, EURO, LOCALEID, HOMECURRENCY) VALUES ('EUR', 2, TRUE, 1043, TRUE);"
            "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, EURO, LOCALEID, HOMECURRENCY) VALUES ('JPY', 0, FALSE, 1041, FALSE);"
            "INSERT INTO CURRENCYRATE (CURRENCYCODE, EFFECTIVEDATE, RATE) VALUES ('JPY', '2026-01-01 00:00:00', 160.125);"
            "INSERT INTO CURRENCYRATE (CURRENCYCODE, EFFECTIVEDATE, RATE) VALUES ('JPY', '2026-06-01 00:00:00', 0.33333333);");
        currency_ = Sls_GetComponent<qx::ICurrency>("QxCommon.Currency");
    }
    std::shared_ptr<qx::ICurrency> currency_;
};

TEST_P(Currencies, AnswerTheHomeCurrencyDecimalsAndTheirRecord) {
    EXPECT_EQ(currency_->GetHomeCurrency()->Item("CURRENCYCODE").Text(), "EUR");
    EXPECT_TRUE(currency_->GetCurrency("JPY"));
    EXPECT_EQ(currency_->Decimals(), 0);
    EXPECT_FALSE(currency_->GetCurrency("XXX"));
    auto jpy = currency_->GetCurrencyAsDict("JPY");
    EXPECT_EQ(jpy->Item("DECIMALS").ToLong(), 0);
    EXPECT_FALSE(jpy->Item("EURO").ToBool());
    EXPECT_EQ(jpy->Item("LOCALEID").ToLong(), 1041);
    EXPECT_EQ(ErrorOf([&] { currency_->GetCurrencyAsDict("X'Y"); }), qx::currency_err::CurrencyNotFound);
    Inst().Exec("UPDATE CURRENCY SET HOMECURRENCY = FALSE");
    EXPECT_EQ(currency_->GetHomeCurrency(), nullptr);
}

TEST_P(Currencies, ConvertWithTheLatestRateOnOrBeforeTheDateInDecimal) {
    auto home = currency_->GetHomeCurrency();
    // the rate of 1 January holds all day long on 31 May, the one of 1 June from its first moment
    auto may = currency_->ConvertTo(home, "JPY", 10.1, 0.3, ole::Date::FromParts(2026, 5, 31, 23, 0));
    EXPECT_EQ(may->Item("PRICE").ToDouble(), 1617.2625);
    EXPECT_EQ(may->Item("DISCOUNTAMOUNT").ToDouble(), 48.0375);
    // 3 x 0.33333333 rounded to 8 decimals, halves to even
    auto june = currency_->ConvertTo(home, "JPY", 0.000000015, 3, ole::Date::FromParts(2026, 6, 1));
    EXPECT_EQ(june->Item("PRICE").ToDouble(), 0.0);
    EXPECT_EQ(june->Item("DISCOUNTAMOUNT").ToDouble(), 0.99999999);
    auto same = currency_->ConvertTo(home, "EUR", 12.5, 0, ole::Date::FromParts(2000, 1, 1));
    EXPECT_EQ(same->Item("PRICE").ToDouble(), 12.5);
    std::string text;
    EXPECT_EQ(ErrorOf([&] { currency_->ConvertTo(home, "JPY", 1, 0, ole::Date::FromParts(2025, 12, 31)); }, &text),
              qx::currency_err::RateNotFound);
    EXPECT_EQ(text, "No conversion rate for currency 'JPY' on or before 2025-12-31");
}

INSTANTIATE_INSTALLATION_TEST(Currencies);

}  // namespace

namespace {

class ReferentialChecker : public testing_support::InstallationTest {};

TEST_P(ReferentialChecker, AnInsertNeedsEveryReferencedMasterRow) {
    Inst().Exec("INSERT INTO PRODUCT (PRODUCTID, PARTNUMBER) VALUES (101, 'P101');"
                "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME) VALUES (10, 'Acme');"
                "INSERT INTO CURRENCY (CURRENCYCODE) VALUES ('EUR');");
    auto checker = Sls_GetComponent<qx::IReferentialChecker>("Qxcore.ReferentialChecker");
    const ole::VariantArray keys = {ole::Variant("PRODUCTID"), ole::Variant("BUSINESSPARTNERID"), ole::Variant("CURRENCYCODE")};
    EXPECT_TRUE(checker->CheckInsert("CUSTOMERPRICE", keys, {ole::Variant(101), ole::Variant("10"), ole::Variant("EUR")}));
    EXPECT_FALSE(checker->CheckInsert("CUSTOMERPRICE", keys, {ole::Variant(101), ole::Variant(11), ole::Variant("EUR")}));
    EXPECT_FALSE(checker->CheckInsert("CUSTOMERPRICE", keys, {ole::Variant(101), ole::Variant(10), ole::Variant("E'R")}));
    EXPECT_FALSE(checker->CheckInsert("PRODUCTPRICE", {ole::Variant("PRODUCTID")}, {ole::Variant("101 OR 1=1")}));
    EXPECT_FALSE(checker->CheckInsert("PRODUCTPRICE", {ole::Variant("PRODUCTID")}, {ole::Null}));
    EXPECT_TRUE(checker->CheckInsert("PRODUCTPRICE", {ole::Variant("EFFECTIVEDATE")}, {ole::Variant("whenever")}));
}

INSTANTIATE_INSTALLATION_TEST(ReferentialChecker);
class ProductCatalog : public InstallationTest {};

TEST_P(ProductCatalog, AnswersAProductsRecordByIdAndItsIdByPartNumber) {
    Inst().Exec(
        "INSERT INTO PRODUCT (PRODUCTID, NUMBER, PARTNUMBER, PRODUCTDESCRIPTION, UNITCODE, COMMODITYCODE, CONTRACTCODE) "
        "VALUES (101, '101', 'BOLT-M8', 'Hexagon bolt', 'PCS', '73181558', NULL)");
    auto products = Sls_GetComponent<qx::IProduct>("QxCatalog.Product");
    auto bolt = products->GetProduct(101);
    std::vector<std::string> keys;
    for (const auto& key : bolt->Keys()) keys.push_back(key.ToString());
    EXPECT_EQ(keys, (std::vector<std::string>{"COMMODITYCODE", "CONTRACTCODE", "NUMBER", "PRODUCTDESCRIPTION",
                                              "UNITCODE", "PARTNUMBER"}));
    EXPECT_EQ(bolt->Item("PRODUCTDESCRIPTION").ToString(), "Hexagon bolt");
    EXPECT_EQ(bolt->Item("COMMODITYCODE").ToString(), "73181558");
    EXPECT_TRUE(bolt->Item("CONTRACTCODE").IsNull());
    EXPECT_EQ(ErrorOf([&] { products->GetProduct(999); }), qx::kProductNotFound);
    EXPECT_EQ(products->getProductIDFromPartNum("BOLT-M8"), 101);
    EXPECT_EQ(products->getProductIDFromPartNum("bolt-m8"), -1);
    EXPECT_EQ(products->getProductIDFromPartNum("' OR ''='"), -1);
}

INSTANTIATE_INSTALLATION_TEST(ProductCatalog);

}  // namespace
