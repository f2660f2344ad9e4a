#include <gtest/gtest.h>

#include "interfaces/vendalo/sales_parameter.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;

namespace {

// Records the names that reach the configuration store.
struct RecordingConfiguration : qx::IConfiguration {
    static inline std::vector<std::string> asked;
    static inline std::vector<std::string> files;
    std::shared_ptr<qx::IConfiguration> real = qx::NewConfiguration();
    std::vector<qx::Installation> GetInstallations(const std::string& p) override { return real->GetInstallations(p); }
    void LoadFile(const std::string& path) override {
        files.push_back(path);
        real->LoadFile(path);
    }
    std::string GetConnectionString(const std::string& p) override { return real->GetConnectionString(p); }
    ole::Variant GetValue(const std::string& s, const std::string& n) override {
        asked.push_back(n);
        return real->GetValue(s, n);
    }
    void LoadProduct(const std::string& p, int32_t f) override { real->LoadProduct(p, f); }
    int32_t GetHandle() override { return real->GetHandle(); }
};

class SalesParameters : public InstallationTest {
protected:
    std::shared_ptr<vendalo::ISalesParameter> Parameters() {
        return Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter");
    }
    std::string ErrorText(const std::string& name) {
        try {
            Parameters()->GetParameterValue(name);
        } catch (const ole::AutomationError& e) {
            return e.Description();
        }
        return "<no error>";
    }
};

TEST_P(SalesParameters, NamesAreTrimmedToMatchButPassedAsGivenAndCaseMatters) {
    Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "InvoiceText", "Paid by credit card");
    Inst().SetSetting("GENERAL_PARAMETERS", "HomeOrganisation", "17", "Long");
    ole::ComponentOverride recording("Qxcore.Configuration", [] { return std::make_shared<RecordingConfiguration>(); });
    RecordingConfiguration::asked.clear();
    RecordingConfiguration::files.clear();
    EXPECT_EQ(Parameters()->GetParameterValue(" InvoiceText "), "Paid by credit card");
    ASSERT_EQ(RecordingConfiguration::asked.size(), 1u);
    EXPECT_EQ(RecordingConfiguration::asked[0], " InvoiceText ");
    EXPECT_EQ(Parameters()->GetParameterValue("HomeOrganisation"), "17");  // any type comes back as text
    // written in lower case it is no sales setting: "" and a warning, no error
    EXPECT_EQ(Parameters()->GetParameterValue("invoicetext"), "");
    EXPECT_EQ(RecordingConfiguration::asked.size(), 2u);
    auto log = Inst().LogText();
    EXPECT_NE(log.find("[warning]"), std::string::npos);
    EXPECT_NE(log.find("Vendalo.SalesParameter.GetParameterValue(): Parameter invoicetext not found"), std::string::npos);
    // the file is read on every call
    EXPECT_EQ(RecordingConfiguration::files.size(), 3u);
}

TEST_P(SalesParameters, ErrorsOfTheStoreGetTheirLabelsByNumber) {
    std::string missing = ErrorText("  Reallocation");
    EXPECT_NE(missing.find("ERROR 0x8004000F\r\n METHOD: Vendalo.SalesParameter.GetParameterValue(): Parameter "
                           "'Reallocation' is not found in configuration file ..\\config\\VendaloConfiguration.xml\r\n"),
              std::string::npos)
        << missing;
    Inst().SetSetting("FREIGHT_PARAMETERS", "Ship-from Zone", "north", "Long");
    EXPECT_NE(ErrorText("Ship-from Zone")
                  .find(" METHOD: Vendalo.SalesParameter.GetParameterValue(): Type of parameter 'Ship-from Zone' is not "
                        "valid OR The datatype of the new value is not equal to the type of the item\r\n"),
              std::string::npos);
    std::filesystem::remove(Inst().Home() / "config" / "VendaloConfiguration.xml");
    EXPECT_NE(ErrorText("TaxSource").find(" METHOD: Vendalo.SalesParameter.GetParameterValue(): Unknown error File not found"),
              std::string::npos);
    EXPECT_EQ(Inst().LogEntries().size(), 3u);  // one entry per report
}

TEST_P(SalesParameters, TheLastInstallationsFileIsRead) {
    TempDir second;
    std::filesystem::create_directories(second.Path() / "config");
    qx::WriteConfigurationFile((second.Path() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                               Inst().ConnectionString(), {{"GENERAL_PARAMETERS", "TaxSource", "", "second"}});
    Inst().SetSetting("GENERAL_PARAMETERS", "TaxSource", "first");
    setenv("VENDALO_HOME", (Inst().Home().string() + ":" + second.Str()).c_str(), 1);
    EXPECT_EQ(Parameters()->GetParameterValue("TaxSource"), "second");
}

INSTANTIATE_INSTALLATION_TEST(SalesParameters);

}  // namespace
