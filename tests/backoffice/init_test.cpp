#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "all/register_all.h"
#include "host_programs.h"
#include "platform/backend/backend_selector.h"
#include "platform/config/configuration.h"
#include "platform/format/message_manager.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/configurator.h"
#include "platform/masterdata/membership.h"
#include "run_program.h"
#include "shared/lib_sales.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

ole::Variant SiteSetting(const fs::path& home, const std::string& name) {
    auto config = qx::NewConfiguration();
    config->LoadFile((home / "config" / "SiteConfiguration.xml").string());
    return config->GetValue("MEMBERSHIP", name);
}

// The installation's own components, as the batch would use them.
void UseInstallation(const fs::path& home) {
    setenv("VENDALO_HOME", home.c_str(), 1);
    RegisterAllComponents();
    Sls_ResetThreadState();
}

void LogOnAsServiceAccount(const fs::path& home, const std::shared_ptr<qx::IMembership>& members) {
    members->Initialize((home / "config" / "SiteConfiguration.xml").string());
    members->Logon(SiteSetting(home, "MemScriptUser").ToString(), SiteSetting(home, "MemScriptCode").ToString());
}

TEST(BackofficeInit, ASecondInitOnTheSameFolderChangesNothingAndSaysSo) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    unsetenv("VENDALO_HOME");
    Outcome first = Backoffice("init --home " + Quoted(home.string()));
    ASSERT_EQ(first.exitCode, 0) << first.output;
    EXPECT_NE(first.output.find("New installation in " + home.string()), std::string::npos) << first.output;
    for (const char* path : {"config/VendaloConfiguration.xml", "config/SiteConfiguration.xml", "data/vendalo.db", "log",
                             "Vendalo/TempEdiFtp"})
        EXPECT_TRUE(fs::exists(home / path)) << path;

    // every sales parameter has a value of its declared type
    auto config = qx::NewConfiguration();
    config->LoadFile((home / "config" / "VendaloConfiguration.xml").string());
    EXPECT_EQ(config->GetConnectionString("Vendalo"), "Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string());
    const std::pair<const char*, const char*> parameters[] = {
        {"DIRECTPAYMENT_PARAMETERS", "CyberSource Serverhost"}, {"DIRECTPAYMENT_PARAMETERS", "Authorization Hard Expiration"},
        {"DIRECTPAYMENT_PARAMETERS", "Authorization Soft Expiration"}, {"DIRECTPAYMENT_PARAMETERS", "Reallocation"},
        {"DIRECTPAYMENT_PARAMETERS", "Creditcard Ordertype for Backend"},
        {"DIRECTPAYMENT_PARAMETERS", "BackendSalesOrderType BillingStepNumber"}, {"DIRECTPAYMENT_PARAMETERS", "InvoiceText"},
        {"FREIGHT_PARAMETERS", "FreightPartNumber"}, {"FREIGHT_PARAMETERS", "Freight Unit-code"},
        {"FREIGHT_PARAMETERS", "Multiple Ship-from Zones"}, {"FREIGHT_PARAMETERS", "Ship-from Zone"},
        {"GENERAL_PARAMETERS", "CreditCardUse"}, {"GENERAL_PARAMETERS", "EnableFreight"}, {"GENERAL_PARAMETERS", "TaxSource"},
        {"GENERAL_PARAMETERS", "BIC Virtual Directory"}, {"GENERAL_PARAMETERS", "HomeOrganisation"},
        {"GENERAL_PARAMETERS", "SubmittedOrderListPage"}, {"GENERAL_PARAMETERS", "EnableGetInventoryButton"},
        {"GENERAL_PARAMETERS", "EnableATPCheckButtons"}, {"GENERAL_PARAMETERS", "ShowTaxOnInvoiceOrders"}};
    for (const auto& [section, name] : parameters) EXPECT_NE(config->GetValue(section, name).Text(), "") << name;
    EXPECT_EQ(config->GetValue("DIRECTPAYMENT_PARAMETERS", "Authorization Hard Expiration").Type(), ole::VarType::Long);
    EXPECT_EQ(SiteSetting(home, "LDAPRoot").ToString(), "");

    // the new installation's service account logs on; it holds no demo data
    UseInstallation(home);
    LogOnAsServiceAccount(home, Sls_GetComponent<qx::IMembership>("qxmembership.members"));
    EXPECT_FALSE(Sls_RecordExists("SELECT * FROM BUSINESSPARTNER", Sls_ConnectionString()));
    ado::ClearConnectionPool();

    // English and Dutch labels for every code of the order form
    auto labels = Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager");
    for (int n = 3554; n <= 3592; ++n) {
        std::string code = "SLBSA" + std::to_string(n);
        EXPECT_NE(labels->GetMessage(code, "1033"), code);
        EXPECT_NE(labels->GetMessage(code, "1043"), code);
    }
    EXPECT_EQ(labels->GetMessage("SLBSA3577", "1043"), "Totaal");

    std::string vendalo = ReadFile(home / "config" / "VendaloConfiguration.xml");
    std::string site = ReadFile(home / "config" / "SiteConfiguration.xml");
    Outcome second = Backoffice("init --demo --home " + Quoted(home.string()));
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("already holds an installation"), std::string::npos) << second.output;
    EXPECT_NE(second.output.find("nothing changed"), std::string::npos) << second.output;
    EXPECT_EQ(ReadFile(home / "config" / "VendaloConfiguration.xml"), vendalo);
    EXPECT_EQ(ReadFile(home / "config" / "SiteConfiguration.xml"), site);
    EXPECT_FALSE(fs::exists(home / "edi"));
    EXPECT_FALSE(Sls_RecordExists("SELECT * FROM BUSINESSPARTNER", Sls_ConnectionString()));
}

TEST(BackofficeInit, RefusesFoldersItCannotOwnAndLeavesNothingBehindAFailure) {
    TempDir parent;
    unsetenv("VENDALO_HOME");
    EXPECT_EQ(Backoffice("init").exitCode, 2);  // no folder named at all

    // a folder with other files is not taken over
    fs::path busy = parent.Path() / "busy";
    fs::create_directories(busy);
    WriteFile(busy / "notes.txt", "mine");
    Outcome refused = Backoffice("init --home " + Quoted(busy.string()));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("is not empty"), std::string::npos) << refused.output;
    EXPECT_EQ(std::distance(fs::directory_iterator(busy), fs::directory_iterator()), 1);

    // a database that cannot be reached: nothing is left, and its password is not shown
    fs::path failed = parent.Path() / "failed";
    Outcome unreachable = Backoffice("init --home " + Quoted(failed.string()) + " --connection " +
                                     Quoted("Provider=PostgreSQL;Host=" + (parent.Path() / "nosocket").string() +
                                            ";Database=shop;User ID=shop;Password=hunter2"));
    EXPECT_EQ(unreachable.exitCode, 1) << unreachable.output;
    EXPECT_FALSE(fs::exists(failed));
    EXPECT_EQ(unreachable.output.find("hunter2"), std::string::npos) << unreachable.output;

    // VENDALO_HOME names the folder when --home is absent
    fs::path fromEnvironment = parent.Path() / "env";
    setenv("VENDALO_HOME", fromEnvironment.c_str(), 1);
    EXPECT_EQ(Backoffice("init").exitCode, 0);
    EXPECT_TRUE(fs::exists(fromEnvironment / "config" / "VendaloConfiguration.xml"));
    unsetenv("VENDALO_HOME");

    Outcome help = Backoffice("--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* word : {"init", "batch", "demo", "orders", "VENDALO_HOME"})
        EXPECT_NE(help.output.find(word), std::string::npos) << word;
    Outcome initHelp = Backoffice("init --help");
    EXPECT_EQ(initHelp.exitCode, 0);
    for (const char* word : {"--home DIR", "--demo", "--connection STR", "must be missing or empty"})
        EXPECT_NE(initHelp.output.find(word), std::string::npos) << word;
    EXPECT_EQ(Backoffice("frobnicate").exitCode, 2);
    EXPECT_EQ(Backoffice("init --frobnicate").exitCode, 2);
    EXPECT_EQ(Backoffice("demo --connection x").exitCode, 2);
}

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(BackofficeInit, TheInstallationIsItsOwnersAloneAndOnlyTheExchangeFoldersAreShared) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    unsetenv("VENDALO_HOME");
    Outcome init = Backoffice("init --demo --home " + Quoted(home.string()));
    ASSERT_EQ(init.exitCode, 0) << init.output;
    // the database and the configuration hold the passwords of the FTP hosts and the service account
    for (const char* folder : {"config", "data", "log", "Vendalo", "Vendalo/TempEdiFtp"})
        EXPECT_EQ(ModeOf(home / folder), 0700u) << folder;
    for (const char* file : {"config/VendaloConfiguration.xml", "config/SiteConfiguration.xml", "data/vendalo.db"})
        EXPECT_EQ(ModeOf(home / file), 0600u) << file;
    // the back end, another user of the group, reaches the exchange folders through the installation folder
    for (const char* folder : {"edi", "edi/out", "edi/in", "edi/command", "edi2", "edi2/out", "edi2/in", "edi2/command"})
        EXPECT_EQ(ModeOf(home / folder), 0770u) << folder;
    EXPECT_EQ(ModeOf(home), 0710u);
    auto config = qx::NewConfiguration();
    config->LoadFile((home / "config" / "VendaloConfiguration.xml").string());
    EXPECT_EQ(config->GetValue("EXCHANGE", "FolderMode").ToString(), "0770");

    ASSERT_EQ(Backoffice("demo --home " + Quoted(home.string())).exitCode, 0);
    Outcome batch = Backoffice("batch --home " + Quoted(home.string()));
    ASSERT_EQ(batch.exitCode, 0) << batch.output;
    EXPECT_EQ(ModeOf(home / "log" / "vendalo.log"), 0600u);
    EXPECT_EQ(ModeOf(home / "batch.lock"), 0600u);
    EXPECT_EQ(ModeOf(home / "edi" / "out" / "orders.edi"), 0660u);  // the back end reads and takes it

    // a password holding ";" is refused without a piece of it in the message
    Outcome refused = Backoffice("init --home " + Quoted((parent.Path() / "other").string()) + " --connection " +
                                 Quoted("Provider=PostgreSQL;Host=/nosocket;Database=shop;User ID=shop;Password=hunter;2secret"));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.output.find("2secret"), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("Invalid connection string"), std::string::npos) << refused.output;
}

class BackofficeInitDemo : public DbTest {
protected:
    bool WithSchema() const override { return false; }
};

TEST_P(BackofficeInitDemo, LoadsAConsistentDataSetThatTheStandInsAnswerFrom) {
    TempDir parent;
    fs::path home = parent.Path() / "demo";
    unsetenv("VENDALO_HOME");
    std::string arguments = "init --demo --home " + Quoted(home.string());
    if (Db().IsPostgres()) arguments += " --connection " + Quoted(Db().ConnectionString());
    Outcome outcome = Backoffice(arguments);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("demo data:     loaded"), std::string::npos) << outcome.output;
    EXPECT_EQ(fs::exists(home / "data" / "vendalo.db"), !Db().IsPostgres());
    UseInstallation(home);

    // each customer's orders go to a back end of its own type, with the properties the export reads
    auto selector = Sls_GetComponent<qx::IBackendSelector>("QxBackend.Selector");
    ole::Dictionary partner;
    partner.Add("BPID", "2");
    auto ow4 = selector->SelectBackendByRule("BusinessPartner", partner);
    EXPECT_EQ(ow4->BackendType(), "ow4");
    EXPECT_EQ(ow4->BackendProperties()->Item("itemsegmentationmask").ToString(), "****");
    partner.Set("BPID", "3");
    auto ow5 = selector->SelectBackendByRule("BusinessPartner", partner);
    EXPECT_EQ(ow5->BackendType(), "ow5");
    EXPECT_NE(ow5->BackendProperties()->Item("componentid").ToString(), "");

    // default addresses carry back-end codes that each type can read; one address per partner is unknown there
    auto partners = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
    std::string ow4Code = partners->GetBISAddressCodeFromAddressID(partners->GetShippingAddressID(2));
    EXPECT_EQ(ow4Code.substr(ow4Code.size() - 4, 3), "002");
    EXPECT_EQ(partners->GetBISAddressCodeFromAddressID(partners->GetPostalAddressID(3)).substr(0, 9), "LT0000031");
    EXPECT_EQ(partners->GetBISAddressCodeFromAddressID(23), "");
    EXPECT_EQ(partners->GetAddress(33)->Fields("CITY1").Value().ToString(), "Verona");

    // the membership service account logs on and knows the shop users
    auto members = Sls_GetComponent<qx::IMembership>("qxmembership.members");
    LogOnAsServiceAccount(home, members);
    EXPECT_EQ(members->GetUser("jdevries")->CommonName(), "Jan de Vries");

    // the configured product's configuration holds variant option records separated by CR LF
    auto configurator = Sls_GetComponent<qx::IConfigurator>("QxConfigurator.Configurator");
    std::string options = configurator->GetVariantOptions("CFG-1001", "ORDER", "1");
    EXPECT_NE(options.find("\r\nVOP,"), std::string::npos) << options;

    // export registry rows point at folders inside the installation
    auto registry = Sls_GetDisconnectedRecordset("SELECT BISID, FILENAME, CONFIRMATIONFILENAME FROM ORDEREXPORTFILE ORDER BY BISID",
                                                 Sls_ConnectionString());
    ASSERT_EQ(registry->RecordCount(), 3);
    EXPECT_EQ(registry->Fields("FILENAME").Value().ToString(), (home / "edi" / "out" / "orders.edi").string());
    EXPECT_EQ(registry->Fields("CONFIRMATIONFILENAME").Value().ToString(), (home / "edi" / "in" / "confirm.edi").string());
    EXPECT_TRUE(fs::is_directory(home / "edi" / "out"));
    EXPECT_TRUE(fs::is_directory(home / "edi" / "in"));
    // BIS 3 exchanges XML in a tree of its own
    auto xml = Sls_GetDisconnectedRecordset(
        "SELECT FILENAME, CONFIRMATIONFILENAME, EXPORTMESSAGETYPE, CONFIRMATIONMESSAGETYPE FROM ORDEREXPORTFILE "
        "WHERE BISID = 3",
        Sls_ConnectionString());
    ASSERT_FALSE(xml->Eof());
    EXPECT_EQ(xml->Fields("FILENAME").Value().ToString(), (home / "xml" / "out" / "orders.xml").string());
    EXPECT_EQ(xml->Fields("CONFIRMATIONFILENAME").Value().ToString(), (home / "xml" / "in" / "confirm.xml").string());
    EXPECT_EQ(xml->Fields("EXPORTMESSAGETYPE").Value().ToString(), "1");
    EXPECT_EQ(xml->Fields("CONFIRMATIONMESSAGETYPE").Value().ToString(), "1");
    EXPECT_TRUE(fs::is_directory(home / "xml" / "out"));
    EXPECT_TRUE(fs::is_directory(home / "xml" / "in"));
    EXPECT_EQ(Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner")->GetAddress(43)->Fields("SHORTDESCRIPTION").Value().ToString(),
              "Crane site");

    // prices, freight and the freight line's product are there
    std::string db = Sls_ConnectionString();
    EXPECT_TRUE(Sls_RecordExists("SELECT * FROM PRODUCTPRICE WHERE PRODUCTID = 104 AND CURRENCYCODE = 'USD'", db));
    EXPECT_TRUE(Sls_RecordExists("SELECT * FROM FREIGHTPRICE WHERE CARRIER = 'EXPRESS' AND SHIPTOZONEID = 3", db));
    EXPECT_TRUE(Sls_RecordExists("SELECT * FROM PRODUCT WHERE PARTNUMBER = 'FREIGHT'", db));
    EXPECT_TRUE(Sls_RecordExists("SELECT * FROM CURRENCY WHERE HOMECURRENCY = ?", db, {true}));
    ado::ClearConnectionPool();
}

TEST_P(BackofficeInitDemo, ADatabaseThatHoldsTheTablesAlreadyIsKeptAsItIs) {
    TempDir parent;
    unsetenv("VENDALO_HOME");
    fs::path first = parent.Path() / "first", second = parent.Path() / "second";
    std::string shared = Db().IsPostgres() ? Db().ConnectionString()
                                           : "Provider=SQLite;Data Source=" + (first / "data" / "vendalo.db").string();
    std::string firstArguments = "init --demo --home " + Quoted(first.string());
    if (Db().IsPostgres()) firstArguments += " --connection " + Quoted(shared);
    ASSERT_EQ(Backoffice(firstArguments).exitCode, 0);
    Outcome joined = Backoffice("init --demo --home " + Quoted(second.string()) + " --connection " + Quoted(shared));
    ASSERT_EQ(joined.exitCode, 0) << joined.output;
    EXPECT_NE(joined.output.find("kept as they are"), std::string::npos) << joined.output;
    EXPECT_NE(joined.output.find("demo data:     not loaded"), std::string::npos) << joined.output;
    EXPECT_FALSE(fs::exists(second / "data" / "vendalo.db"));
    // the first installation's service account still logs on with its code
    UseInstallation(first);
    LogOnAsServiceAccount(first, Sls_GetComponent<qx::IMembership>("qxmembership.members"));
    auto partners = Sls_GetDisconnectedRecordset("SELECT COUNT(*) AS N FROM BUSINESSPARTNER", Sls_ConnectionString());
    EXPECT_EQ(partners->Fields("N").Value().ToLong(), 4);
    EXPECT_EQ(SiteSetting(second, "MemScriptCode").ToString(), "");
    ado::ClearConnectionPool();
}

INSTANTIATE_DB_TEST(BackofficeInitDemo);

}  // namespace
