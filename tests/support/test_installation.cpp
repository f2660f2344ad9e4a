#include "test_installation.h"

#include <cstdlib>
#include <filesystem>

#include "all/register_all.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"

namespace testing_support {

namespace fs = std::filesystem;

TestInstallation::TestInstallation(const std::string& provider, bool ownDatabase)
    : db_(provider, true, ownDatabase) {
    fs::create_directories(home_.Path() / "config");
    fs::create_directories(home_.Path() / "log");
    fs::create_directories(home_.Path() / "data");
    fs::create_directories(home_.Path() / "Vendalo" / "TempEdiFtp");
    siteSettings_ = {{"MEMBERSHIP", "MemScriptUser", "String", "memscript"},
                     {"MEMBERSHIP", "MemScriptCode", "String", "memscript-code"},
                     {"MEMBERSHIP", "LDAPRoot", "String", ""}};
    WriteConfig();
    setenv("VENDALO_HOME", home_.Str().c_str(), 1);
    RegisterAllComponents();
    Sls_ResetThreadState();
    qx::ResetLogs();
}

TestInstallation::~TestInstallation() {
    qx::ResetLogs();
    Sls_ResetThreadState();
    unsetenv("VENDALO_HOME");
}

void TestInstallation::WriteConfig() const {
    qx::WriteConfigurationFile((home_.Path() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                               db_.ConnectionString(), settings_);
    qx::WriteConfigurationFile((home_.Path() / "config" / "SiteConfiguration.xml").string(), "Site", "",
                               siteSettings_);
}

void TestInstallation::SetSetting(const std::string& section, const std::string& name, const std::string& value,
                                  const std::string& type) {
    RemoveSetting(section, name);
    settings_.push_back({section, name, type, value});
    WriteConfig();
}

void TestInstallation::RemoveSetting(const std::string& section, const std::string& name) {
    std::erase_if(settings_, [&](const qx::ConfigSetting& s) { return s.section == section && s.name == name; });
    WriteConfig();
}

void TestInstallation::SetSiteSetting(const std::string& name, const std::string& value) {
    std::erase_if(siteSettings_, [&](const qx::ConfigSetting& s) { return s.name == name; });
    siteSettings_.push_back({"MEMBERSHIP", name, "String", value});
    WriteConfig();
}

std::string TestInstallation::LogText() const {
    fs::path file = home_.Path() / "log" / "vendalo.log";
    return fs::exists(file) ? ReadFile(file) : "";
}

std::vector<std::string> TestInstallation::LogEntries() const {
    // every entry starts with "[yyyy-mm-dd hh:mm:ss.fff] [level] " at the start of a line
    std::vector<std::string> entries;
    std::string text = LogText();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t next = pos;
        do {
            next = text.find("\n[", next + 1);
        } while (next != std::string::npos && !(next + 25 < text.size() && text[next + 6] == '-' && text[next + 25] == ']'));
        std::string entry = text.substr(pos, next == std::string::npos ? std::string::npos : next + 1 - pos);
        entries.push_back(entry);
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    return entries;
}

size_t TestInstallation::LogEntriesWith(const std::string& text) const {
    size_t n = 0;
    for (const auto& entry : LogEntries())
        if (entry.find(text) != std::string::npos) ++n;
    return n;
}

void InstallationTest::SetUp() {
    if (GetParam() == "postgresql" && !PostgresAvailable()) GTEST_SKIP() << "PostgreSQL not available (VENDALO_TEST_PG unset)";
    inst_ = std::make_unique<TestInstallation>(GetParam(), OwnDatabase());
}

void InstallationTest::TearDown() {
    inst_.reset();
    ado::ClearConnectionPool();
}

}  // namespace testing_support
