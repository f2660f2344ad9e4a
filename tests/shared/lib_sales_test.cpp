#include <gtest/gtest.h>

#include <thread>

#include "platform/config/configuration.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;

namespace {

const int32_t kMissingBusinessPartnerID = static_cast<int32_t>(0x8004012D);

void Inner() {
    try {
        ole::Raise(kMissingBusinessPartnerID, "inner failure", "Vendalo");
    } catch (...) {
        Sls_RaiseError("Vendalo.Inner()", "iID = 7");
        throw;
    }
}

void Outer() {
    try {
        Inner();
    } catch (...) {
        Sls_RaiseError("Vendalo.Outer()");
        throw;
    }
}

class SharedLibrary : public InstallationTest {};

TEST(ErrorFormat, FramesWithCrLfHexNumberMethodDescAndOptionalInfo) {
    EXPECT_EQ(Sls_FormatError("D", 5, "Vendalo.Basket.Save()"),
              "\r\nERROR 0x5\r\n METHOD: Vendalo.Basket.Save()\r\n DESC: D.\r\n");
    EXPECT_EQ(Sls_FormatError("D", static_cast<int32_t>(0x80040159), "L", std::string("I")),
              "\r\nERROR 0x80040159\r\n METHOD: L\r\n DESC: D.\r\n INFO: I.\r\n");
    EXPECT_EQ(Sls_FormatError("x", -1, "L"), "\r\nERROR 0xFFFFFFFF\r\n METHOD: L\r\n DESC: x.\r\n");
}

TEST_P(SharedLibrary, ErrorsThroughSeveralMethodsCarryOneFrameEachInnermostFirst) {
    try {
        Outer();
        FAIL() << "no error raised";
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), kMissingBusinessPartnerID);
        EXPECT_EQ(e.Source(), "Vendalo");
        std::string inner = Sls_FormatError("inner failure", kMissingBusinessPartnerID, "Vendalo.Inner()", std::string("iID = 7"));
        EXPECT_EQ(e.Description(), Sls_FormatError(inner, kMissingBusinessPartnerID, "Vendalo.Outer()"));
        EXPECT_LT(e.Description().find("Vendalo.Outer()"), e.Description().find("Vendalo.Inner()") + 1000);
        EXPECT_LT(e.Description().find(" METHOD: Vendalo.Outer()"), e.Description().rfind(" DESC: "));
    }
    // one line per report, its frames joined, none repeated
    auto entries = Inst().LogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_NE(entries[0].find("[error] [Vendalo] ERROR 0x8004012D METHOD: Vendalo.Inner() DESC: inner failure. INFO: iID = 7.\n"),
              std::string::npos) << entries[0];
    EXPECT_NE(entries[1].find("] ERROR 0x8004012D METHOD: Vendalo.Outer() DESC: ERROR 0x8004012D METHOD: Vendalo.Inner() DESC: "
                              "inner failure. INFO: iID = 7. .\n"),
              std::string::npos) << entries[1];
    for (const auto& entry : entries) EXPECT_EQ(entry.find('\n'), entry.size() - 1) << entry;
}

TEST_P(SharedLibrary, TextFromOutsideInALabelInfoOrDescriptionNeverStartsALineOfTheLog) {
    const std::string forged = "\r\n[2026-01-01 00:00:00.000] [error] [Vendalo] forged";
    try {
        ole::Raise(5, "Order 'A" + forged + "' not found");
    } catch (...) {
        Sls_LogError("WebOrderConfirmation.Run(" + forged + ")", std::string("id = 'X\nY\x1B[2J'"));
    }
    auto log = ole::CreateObjectAs<qx::ILog>("Qxcore.Log");
    log->WriteEntry("Source\n", "written directly" + forged + "\x1B]0;title\x07", qx::LogNotice);

    auto entries = Inst().LogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(Inst().LogText().find("\n[2026-01-01"), std::string::npos);
    EXPECT_NE(entries[0].find(" DESC: Order 'A\\x0D\\x0A[2026-01-01 00:00:00.000] [error] [Vendalo] forged' not found. "),
              std::string::npos)
        << entries[0];
    EXPECT_NE(entries[0].find(" METHOD: WebOrderConfirmation.Run(\\x0D\\x0A[2026"), std::string::npos);
    EXPECT_NE(entries[0].find(" INFO: id = 'X\\x0AY\\x1B[2J'.\n"), std::string::npos);
    // a text written directly is joined onto its one line too
    EXPECT_NE(entries[1].find("[Source\\x0A] written directly [2026-01-01"), std::string::npos) << entries[1];
    EXPECT_NE(entries[1].find("\\x1B]0;title\\x07"), std::string::npos);
}

TEST_P(SharedLibrary, AKeyOfMegabytesIsCutInEveryFrameWithANoteOfWhatWasCut) {
    const std::string key(10 * 1024 * 1024, 'K');
    std::string raised;
    try {
        try {
            ole::Raise(5, "Order '" + key + "' not found");
        } catch (...) {
            Sls_RaiseError("Ordexa.WebOrderConfirmation.SetSalesOrderNr", "ORDERID = '" + key + "'");
        }
    } catch (...) {
        try {
            Sls_RaiseError("Ordexa.WebOrderConfirmation.Run");
        } catch (const ole::AutomationError& e) {
            raised = e.Description();
        }
    }
    std::string text = Inst().LogText();
    EXPECT_LT(text.size(), 16u * 1024);
    EXPECT_LT(raised.size(), 4u * 1024);
    // the info "ORDERID = '<key>'" keeps its first 512 characters
    EXPECT_NE(text.find("KKK... (" + std::to_string(key.size() + 12 - 512) + " more characters)"), std::string::npos);
    EXPECT_EQ(Inst().LogEntries().size(), 2u);
}

TEST_P(SharedLibrary, RaiseErrorWithoutACurrentErrorLogsNothingButStillRaises) {
    std::string description;
    EXPECT_EQ(ErrorOf([] { Sls_RaiseError("Vendalo.Basket.RestoreBasket", std::string("Basket X not found")); },
                      &description),
              ole::err::AutomationFailure);
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(SharedLibrary, LogEventWithoutAnErrorIsANoticeWithItsOwnTextUnderTheLabel) {
    Sls_LogNotice("CCOrderProcess.AllowedToHandleEDI", std::string("busy"));
    auto entries = Inst().LogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].find("[notice] [CCOrderProcess.AllowedToHandleEDI] busy\n"), std::string::npos) << entries[0];
    EXPECT_EQ(entries[0].find("ERROR 0x0"), std::string::npos);
    Sls_LogWarning("W");
    EXPECT_NE(Inst().LogText().find("[warning] [W]"), std::string::npos);
}

TEST_P(SharedLibrary, AFailingLogDoesNotHideTheRaisedError) {
    ole::ComponentOverride broken("Qxcore.Log", [] () -> ole::ObjectPtr { throw std::runtime_error("disk full"); });
    try {
        Outer();
        FAIL();
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), kMissingBusinessPartnerID);
        EXPECT_NE(e.Description().find("Vendalo.Outer()"), std::string::npos);
    }
    ole::ComponentOverride missing("Qxcore.Log", nullptr);
    try {
        Inner();
        FAIL();
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), kMissingBusinessPartnerID);
    }
}

namespace {
// Counts the files loaded through the configuration store.
struct CountingConfiguration : qx::IConfiguration {
    static inline int loads = 0;
    std::shared_ptr<qx::IConfiguration> real = qx::NewConfiguration();
    std::vector<qx::Installation> GetInstallations(const std::string& p) override { return real->GetInstallations(p); }
    void LoadFile(const std::string& path) override {
        ++loads;
        real->LoadFile(path);
    }
    std::string GetConnectionString(const std::string& p) override { return real->GetConnectionString(p); }
    Variant GetValue(const std::string& s, const std::string& n) override { return real->GetValue(s, n); }
    void LoadProduct(const std::string& p, int32_t f) override { real->LoadProduct(p, f); }
    int32_t GetHandle() override { return real->GetHandle(); }
};
}  // namespace

TEST_P(SharedLibrary, ConnectionStringIsReadOncePerThread) {
    ole::ComponentOverride counting("Qxcore.Configuration", [] { return std::make_shared<CountingConfiguration>(); });
    CountingConfiguration::loads = 0;
    EXPECT_EQ(Sls_ConnectionString(), Inst().ConnectionString());
    EXPECT_EQ(Sls_ConnectionString(), Inst().ConnectionString());
    EXPECT_EQ(CountingConfiguration::loads, 1);
    std::thread other([] { Sls_ConnectionString(); });
    other.join();
    EXPECT_EQ(CountingConfiguration::loads, 2);  // each thread reads the store once
}

TEST(SharedProcedures, GuidsAre32UppercaseHexDigitsAndDiffer) {
    std::string a = Sls_CreateGUID(), b = Sls_CreateGUID();
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_NE(a, b);
}

TEST(SharedProcedures, QuotingAndXmlEscaping) {
    EXPECT_EQ(Sls_SQLQuote(std::string("O'Brien")), "O''Brien");
    EXPECT_TRUE(Sls_SQLQuote(Variant::Null()).IsNull());
    EXPECT_EQ(Sls_ReplaceForbiddenXMLTokens(Variant("a & b < c > d \"q\" 'a'")), "a &amp; b &lt; c &gt; d \"q\" 'a'");
    EXPECT_EQ(Sls_ReplaceForbiddenXMLTokens(Variant("&lt;")), "&amp;lt;");
    EXPECT_EQ(Sls_ReplaceForbiddenXMLTokens(Variant::Null()), "");
    EXPECT_EQ(Sls_ReplaceForbiddenXMLTokens(Variant()), "");
    EXPECT_EQ(Sls_ReplaceForbiddenXMLTokens(Variant(12.5)), "12.5");
}

TEST_P(SharedLibrary, ConnectionErrorsListEachProviderError) {
    EXPECT_EQ(Sls_ConnectionErrors(nullptr), "");
    auto c = Sls_GetOpenConnection(Inst().ConnectionString());
    EXPECT_EQ(Sls_ConnectionErrors(c), "");
    try {
        c->Execute("SELECT * FROM NO_SUCH_TABLE");
    } catch (...) {
    }
    std::string text = Sls_ConnectionErrors(c);
    ASSERT_EQ(text.rfind("Error(s) from connection object:  (1)", 0), 0u) << text;
    EXPECT_NE(text.find("[" + std::to_string(ado::err::CommandFailure) + "]"), std::string::npos);
}

TEST_P(SharedLibrary, DisconnectedRecordsetsHoldNoConnectionAndNameTheFailingStatement) {
    Inst().Exec("INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS) VALUES ('EUR', 2)");
    auto rs = Sls_GetDisconnectedRecordset("SELECT * FROM CURRENCY", Sls_ConnectionString());
    EXPECT_EQ(rs->ActiveConnection(), nullptr);
    EXPECT_EQ(rs->RecordCount(), 1);
    EXPECT_TRUE(Sls_RecordExists("SELECT * FROM CURRENCY WHERE CURRENCYCODE = ?", Sls_ConnectionString(), {Variant("EUR")}));
    EXPECT_FALSE(Sls_RecordExists("SELECT * FROM CURRENCY WHERE CURRENCYCODE = ?", Sls_ConnectionString(), {Variant("USD")}));
    try {
        Sls_GetDisconnectedRecordset("SELECT * FROM NOPE", Sls_ConnectionString());
        FAIL();
    } catch (const ole::AutomationError& e) {
        EXPECT_NE(e.Description().find(" METHOD: Lib_Sales.Sls_GetDisconnectedRecordset"), std::string::npos);
        EXPECT_NE(e.Description().find(" INFO: Error(s) from connection object:  (1)"), std::string::npos);
        EXPECT_NE(e.Description().find(" executing: 'SELECT * FROM NOPE'."), std::string::npos);
    }
}

TEST_P(SharedLibrary, ComponentsThatCannotBeCreatedAreReportedWithTheProgId) {
    try {
        Sls_GetComponent("No.Such.Component");
        FAIL();
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), ole::err::CannotCreateObject);
        EXPECT_NE(e.Description().find(" METHOD: Lib_Sales.Sls_GetComponent\r\n"), std::string::npos);
        EXPECT_NE(e.Description().find(" INFO: CreateObject(No.Such.Component) failed.\r\n"), std::string::npos);
    }
    EXPECT_EQ(Inst().LogEntries().size(), 1u);
}

TEST_P(SharedLibrary, AMissingConfigurationFileIsReportedUnderTheConnectionStringLabel) {
    std::filesystem::remove(Inst().Home() / "config" / "VendaloConfiguration.xml");
    try {
        Sls_ConnectionString();
        FAIL();
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), qx::config_err::FileNotFound);
        EXPECT_NE(e.Description().find(" METHOD: Vendalo.Lib_Sales.Sls_ConnectionString\r\n"), std::string::npos);
        EXPECT_NE(e.Description().find("VendaloConfiguration.xml"), std::string::npos);
    }
}

INSTANTIATE_INSTALLATION_TEST(SharedLibrary);

}  // namespace
