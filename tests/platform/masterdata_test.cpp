#include <gtest/gtest.h>

#include "data/ado.h"
#include "lib_sales.h"
#include "masterdata/configurator.h"
#include "masterdata/membership.h"
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
