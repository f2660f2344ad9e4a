// A complete installation for a test: a temporary folder with the configuration
// files, the log folder and a fresh database (SQLite or PostgreSQL) holding the
// schema; VENDALO_HOME names it and every component is registered.
#pragma once

#include <string>
#include <vector>

#include "platform/config/configuration.h"
#include "test_db.h"

namespace testing_support {

class TestInstallation {
public:
    explicit TestInstallation(const std::string& provider, bool ownDatabase = false);
    ~TestInstallation();

    const std::filesystem::path& Home() const { return home_.Path(); }
    const TestDatabase& Db() const { return db_; }
    const std::string& ConnectionString() const { return db_.ConnectionString(); }

    // Adds or replaces a setting of VendaloConfiguration.xml (type "String", "Long", "Double", "Boolean").
    void SetSetting(const std::string& section, const std::string& name, const std::string& value,
                    const std::string& type = "String");
    void RemoveSetting(const std::string& section, const std::string& name);
    // Adds a MEMBERSHIP setting of SiteConfiguration.xml.
    void SetSiteSetting(const std::string& name, const std::string& value);

    // The whole log file, and the entries (one per report) it holds.
    std::string LogText() const;
    std::vector<std::string> LogEntries() const;
    // How many entries hold the text.
    size_t LogEntriesWith(const std::string& text) const;

    // Runs statements against the database (set-up of master data).
    void Exec(const std::string& sql) const { db_.Exec(sql); }

private:
    void WriteConfig() const;

    TempDir home_;
    TestDatabase db_;
    std::vector<qx::ConfigSetting> settings_;
    std::vector<qx::ConfigSetting> siteSettings_;
};

// An installation per test on each provider: tests use Inst().
class InstallationTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    void TearDown() override;
    TestInstallation& Inst() { return *inst_; }
    // A test that makes its database refuse everyone keeps it to itself.
    virtual bool OwnDatabase() const { return false; }

private:
    std::unique_ptr<TestInstallation> inst_;
};

}  // namespace testing_support

#define INSTANTIATE_INSTALLATION_TEST(Suite) \
    INSTANTIATE_TEST_SUITE_P(Db, Suite, ::testing::Values("sqlite", "postgresql"), testing_support::ProviderName)
