#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <sys/stat.h>

#include "installation/schema_upgrade.h"
#include "platform/config/configuration.h"
#include "order_timeline.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Changes a configuration file as an older version or an administrator left it.
void EditConfiguration(const fs::path& file, const std::function<void(pugi::xml_node)>& edit) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file.c_str()));
    edit(doc.child("Configuration"));
    ASSERT_TRUE(doc.save_file(file.c_str()));
}

pugi::xml_node Setting(pugi::xml_node root, const char* section, const char* name) {
    return root.find_child_by_attribute("Section", "name", section).find_child_by_attribute("Setting", "name", name);
}

std::string Value(const fs::path& file, const char* section, const char* name) {
    auto config = qx::NewConfiguration();
    config->LoadFile(file.string());
    return config->GetValue(section, name).Text();
}

class BackofficeUpgrade : public DbTest {
protected:
    bool WithSchema() const override { return false; }
};

TEST_P(BackofficeUpgrade, PutsBackWhatAnOlderInstallationLacksAndKeepsEveryValue) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    Outcome made = InitDemoInstallation(BACKOFFICE_BINARY, home, Db());
    ASSERT_EQ(made.exitCode, 0) << made.output;
    ASSERT_EQ(RunProgram(BACKOFFICE_BINARY, "demo --home " + Quoted(home.string())).exitCode, 0);

    auto c = std::make_shared<ado::Connection>();
    c->Open(Db().IsPostgres() ? Db().ConnectionString()
                              : "Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string() + ";Pooling=False");
    // what an installation of an earlier version lacks: a column, an index, a table
    c->Execute("ALTER TABLE BASKETHEADER DROP COLUMN USERLOCALE");
    c->Execute("DROP INDEX ORDERHEADER_DATE");
    c->Execute("DROP INDEX ORDERHEADER_REQUISITION");
    c->Execute("DROP TABLE BATCHRUN");
    c->Execute("DROP TABLE ORDEREVENT");  // orders from before the timeline, one of them on its way
    c->Execute("UPDATE ORDERLINE SET LINESTATUS = 2 WHERE LINENR = 1");
    c->Execute("UPDATE ORDERHEADER SET SALESORDERNR = 'KEPT-1'");
    auto orders = c->Execute("SELECT COUNT(*) FROM ORDERHEADER")->Fields(0).Value().ToLong();
    c->Close();
    fs::path vendalo = home / "config" / "VendaloConfiguration.xml", site = home / "config" / "SiteConfiguration.xml";
    EditConfiguration(vendalo, [](pugi::xml_node root) {
        auto invoice = Setting(root, "DIRECTPAYMENT_PARAMETERS", "InvoiceText");
        invoice.parent().remove_child(invoice);
        root.remove_child(root.find_child_by_attribute("Section", "name", "HTTP_PARAMETERS"));
        Setting(root, "GENERAL_PARAMETERS", "TaxSource").text() = "Backend";  // an administrator's value
    });
    std::string shopKey = Value(site, "API", "ShopApiKey");
    EditConfiguration(site, [](pugi::xml_node root) {
        for (const char* name : {"OperatorApiKey", "BrokerApiKey", "BrokerPartners", "BrokerAcknowledgementHosts"}) {
            auto key = Setting(root, "API", name);
            key.parent().remove_child(key);
        }
    });
    fs::permissions(site, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);

    Outcome upgraded = RunProgram(BACKOFFICE_BINARY, "upgrade --home " + Quoted(home.string()));
    ASSERT_EQ(upgraded.exitCode, 0) << upgraded.output;
    for (const char* added : {"column BASKETHEADER.USERLOCALE", "index ORDERHEADER_DATE", "table BATCHRUN",
                              "DIRECTPAYMENT_PARAMETERS/InvoiceText", "HTTP_PARAMETERS/Workers", "API/OperatorApiKey",
                              "index ORDERHEADER_REQUISITION", "API/BrokerApiKey", "HTTP_PARAMETERS/BrokerMaxBodyBytes",
                              "table ORDEREVENT", "recorded at upgrade"})
        EXPECT_NE(upgraded.output.find(added), std::string::npos) << added << "\n" << upgraded.output;

    c = std::make_shared<ado::Connection>();
    c->Open(Db().IsPostgres() ? Db().ConnectionString()
                              : "Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string() + ";Pooling=False");
    EXPECT_NO_THROW(c->Execute("SELECT USERLOCALE FROM BASKETHEADER"));
    EXPECT_NO_THROW(c->Execute("SELECT COUNT(*) FROM BATCHRUN"));
    EXPECT_EQ(c->Execute("SELECT COUNT(*) FROM ORDERHEADER WHERE SALESORDERNR = 'KEPT-1'")->Fields(0).Value().ToLong(), orders);
    auto timelines = ExpectEveryStatusHasItsEvent(*c);
    EXPECT_EQ(static_cast<int32_t>(timelines.size()), orders);
    for (const auto& [id, events] : timelines)
        for (const auto& event : events) EXPECT_NE(event.find(": recorded at upgrade"), std::string::npos) << id;
    c->Close();
    EXPECT_EQ(Value(vendalo, "DIRECTPAYMENT_PARAMETERS", "InvoiceText"), "Paid by credit card");
    EXPECT_EQ(Value(vendalo, "GENERAL_PARAMETERS", "TaxSource"), "Backend");
    EXPECT_EQ(Value(vendalo, "HTTP_PARAMETERS", "Workers"), "32");
    EXPECT_EQ(Value(site, "API", "ShopApiKey"), shopKey);
    EXPECT_EQ(Value(site, "API", "OperatorApiKey").size(), 48u);
    EXPECT_EQ(Value(site, "API", "BrokerApiKey").size(), 48u);
    EXPECT_EQ(Value(site, "API", "BrokerPartners"), "2,3");  // the demo's broker, as init gives it
    EXPECT_EQ(Value(site, "API", "BrokerAcknowledgementHosts"), "127.0.0.1");
    EXPECT_EQ(fs::status(site).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);

    // the same again changes nothing
    std::string vendaloText = ReadFile(vendalo), siteText = ReadFile(site);
    Outcome again = RunProgram(BACKOFFICE_BINARY, "upgrade --home " + Quoted(home.string()));
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(again.output.find("nothing added"), std::string::npos) << again.output;
    EXPECT_EQ(ReadFile(vendalo), vendaloText);
    EXPECT_EQ(ReadFile(site), siteText);
}

INSTANTIATE_DB_TEST(BackofficeUpgrade);

// An installation an older version left readable by others: every command warns
// about the database, and upgrade makes the folders and the file the owner's
// alone, as init does.
TEST(BackofficeUpgradeModes, TheDatabaseReadableByOthersIsWarnedAboutAndUpgradeTightensWhatInitMakes) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    ASSERT_EQ(RunProgram(BACKOFFICE_BINARY, "init --home " + Quoted(home.string())).exitCode, 0);
    fs::path database = home / "data" / "vendalo.db";
    for (const char* folder : {"config", "data", "log", "Vendalo/TempEdiFtp"}) ASSERT_EQ(::chmod((home / folder).c_str(), 0755), 0);
    ASSERT_EQ(::chmod(database.c_str(), 0644), 0);
    ASSERT_EQ(::chmod((home / "config" / "VendaloConfiguration.xml").c_str(), 0644), 0);
    auto mode = [](const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    };

    Outcome listed = RunProgram(BACKOFFICE_BINARY, "orders --home " + Quoted(home.string()));
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    EXPECT_NE(listed.output.find("warning: the database " + database.string() + " has mode 0644"), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("`backoffice upgrade` or `chmod 600 " + database.string() + "`"), std::string::npos);

    Outcome upgraded = RunProgram(BACKOFFICE_BINARY, "upgrade --home " + Quoted(home.string()));
    EXPECT_EQ(upgraded.exitCode, 0) << upgraded.output;
    EXPECT_NE(upgraded.output.find("data/ 0755 -> 0700"), std::string::npos) << upgraded.output;
    for (const char* folder : {"config", "data", "log", "Vendalo/TempEdiFtp"}) EXPECT_EQ(mode(home / folder), 0700u) << folder;
    EXPECT_EQ(mode(database), 0600u);
    EXPECT_EQ(mode(home / "config" / "VendaloConfiguration.xml"), 0600u);
    Outcome quiet = RunProgram(BACKOFFICE_BINARY, "orders --home " + Quoted(home.string()));
    EXPECT_EQ(quiet.output.find("warning"), std::string::npos) << quiet.output;
}

}  // namespace
