#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/automation/error.h"
#include "platform/config/configuration.h"
#include "test_db.h"

using namespace testing_support;

namespace {

TEST(ConfigurationStore, AnswersSettingsWithTheirTypesAndTheDocumentedErrorNumbers) {
    TempDir dir;
    std::string file = (dir.Path() / "VendaloConfiguration.xml").string();
    qx::WriteConfigurationFile(file, "Vendalo", "Provider=SQLite;Data Source=x.db",
                               {{"GENERAL_PARAMETERS", "HomeOrganisation", "Long", "17"},
                                {"GENERAL_PARAMETERS", "EnableFreight", "Boolean", "true"},
                                {"DIRECTPAYMENT_PARAMETERS", "InvoiceText", "", "Paid by card & thanks"},
                                {"FREIGHT_PARAMETERS", "Broken", "Long", "many"}});
    auto config = qx::NewConfiguration();
    EXPECT_EQ(ErrorOf([&] { config->GetValue("GENERAL_PARAMETERS", "HomeOrganisation"); }), qx::config_err::NotLoaded);
    config->LoadFile(file);
    EXPECT_EQ(config->GetConnectionString("Vendalo"), "Provider=SQLite;Data Source=x.db");
    EXPECT_EQ(config->GetValue("GENERAL_PARAMETERS", "HomeOrganisation").Type(), ole::VarType::Long);
    EXPECT_EQ(config->GetValue("GENERAL_PARAMETERS", "HomeOrganisation").ToLong(), 17);
    EXPECT_TRUE(config->GetValue("GENERAL_PARAMETERS", "EnableFreight").ToBool());
    EXPECT_EQ(config->GetValue("DIRECTPAYMENT_PARAMETERS", "InvoiceText").ToString(), "Paid by card & thanks");
    EXPECT_EQ(ErrorOf([&] { config->GetValue("GENERAL_PARAMETERS", "Nope"); }), qx::config_err::SettingNotFound);
    EXPECT_EQ(ErrorOf([&] { config->GetValue("FREIGHT_PARAMETERS", "Broken"); }), qx::config_err::TypeMismatch);
    EXPECT_EQ(ErrorOf([&] { config->LoadFile((dir.Path() / "missing.xml").string()); }), qx::config_err::FileNotFound);
    WriteFile(dir.Path() / "bad.xml", "<Configuration><Section>");
    EXPECT_EQ(ErrorOf([&] { config->LoadFile((dir.Path() / "bad.xml").string()); }), qx::config_err::NotWellFormed);
    if (geteuid() != 0) {  // root reads every file
        chmod(file.c_str(), 0);
        EXPECT_EQ(ErrorOf([&] { config->LoadFile(file); }), qx::config_err::PermissionDenied);
    }
}

TEST(ConfigurationStore, FilesAreTheOwnersFromTheirFirstByteAndOnlyRegularFilesAreRead) {
    TempDir dir;
    std::string file = (dir.Path() / "SiteConfiguration.xml").string();
    mode_t saved = ::umask(0);  // a careless umask: the file is still its owner's alone
    qx::WriteConfigurationFile(file, "Site", "", {{"MEMBERSHIP", "MemScriptCode", "", "s3cret"}});
    ::umask(saved);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()), 1);

    // a FIFO in place of the file would block the reader until someone writes to it
    std::string fifo = (dir.Path() / "VendaloConfiguration.xml").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string description;
    EXPECT_EQ(ErrorOf([&] { qx::NewConfiguration()->LoadFile(fifo); }, &description), qx::config_err::PermissionDenied);
    EXPECT_NE(description.find("is not a regular file"), std::string::npos) << description;
    EXPECT_EQ(ErrorOf([&] { qx::NewConfiguration()->LoadFile(dir.Str()); }), qx::config_err::PermissionDenied);
}

TEST(ConfigurationStore, InstallationsComeFromVendaloHomeInOrder) {
    setenv("VENDALO_HOME", "/srv/first/:/srv/second", 1);
    auto list = qx::NewConfiguration()->GetInstallations("Vendalo");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Folder, "/srv/first");
    EXPECT_EQ(list[0].ConfigFolder, "/srv/first/config");
    EXPECT_EQ(list[1].Folder, "/srv/second");
    unsetenv("VENDALO_HOME");
    EXPECT_TRUE(qx::NewConfiguration()->GetInstallations("Vendalo").empty());
}

}  // namespace
