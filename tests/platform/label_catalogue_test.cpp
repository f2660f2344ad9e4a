// The message manager for callers without one of their own: the installation's label catalogues.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/format/label_catalogue.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;

namespace {

class LabelCatalogues : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(Config() / "labels");
        WriteFile(Config() / "labels" / "1033.txt",
                  "\xEF\xBB\xBF# English\r\nSLBSA1=Total\r\n\r\n  SLBSA2 = Customer's no. = PO \r\nbroken line\r\n");
        WriteFile(Config() / "labels" / "1043.txt", "SLBSA1=Totaal\n");
        labels = Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager");
    }
    std::filesystem::path Config() const { return inst.Home() / "config"; }

    TestInstallation inst{"sqlite"};
    std::shared_ptr<qx::IMessageManager> labels;
};

TEST_F(LabelCatalogues, LabelsComeFromTheCatalogueOfTheLocaleOrElseTheEnglishOne) {
    EXPECT_EQ(labels->GetMessage("SLBSA1", "1033"), "Total");
    EXPECT_EQ(labels->GetMessage("SLBSA2", "1033"), " Customer's no. = PO ");  // the text runs to the end of the line
    EXPECT_EQ(labels->GetMessage("SLBSA1", "1043"), "Totaal");
    EXPECT_EQ(labels->GetMessage("SLBSA1", "1036"), "Total");
    EXPECT_EQ(inst.LogEntriesWith("no label catalogue for locale 1036; the labels of 1033 are shown"), 1u);
    // a locale is a file name, never a path
    EXPECT_EQ(labels->GetMessage("SLBSA1", "../labels/1043"), "Total");
    EXPECT_EQ(inst.LogEntriesWith("../labels"), 0u);
    // the catalogue is read once per object: a change shows in the next one
    WriteFile(Config() / "labels" / "1043.txt", "SLBSA1=Eindtotaal\n");
    EXPECT_EQ(labels->GetMessage("SLBSA1", "1043"), "Totaal");
    EXPECT_EQ(Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager")->GetMessage("SLBSA1", "1043"), "Eindtotaal");
}

TEST_F(LabelCatalogues, ACodeTheCatalogueLacksIsShownAsItselfAndLoggedOncePerProcess) {
    EXPECT_EQ(labels->GetMessage("SLBSA404", "1043"), "SLBSA404");
    EXPECT_EQ(labels->GetMessage("SLBSA404", "1043"), "SLBSA404");
    EXPECT_EQ(Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager")->GetMessage("SLBSA404", "1043"), "SLBSA404");
    EXPECT_EQ(inst.LogEntriesWith("The label SLBSA404 is not in the label catalogue of locale 1043"), 1u);
    EXPECT_EQ(inst.LogEntries().size(), 1u);
}

TEST_F(LabelCatalogues, TheShippedCataloguesAreWrittenIntoTheInstallation) {
    std::filesystem::remove_all(Config() / "labels");
    qx::WriteShippedLabelCatalogues(Config().string());
    ASSERT_EQ(qx::ShippedLabelCatalogues().size(), 2u);
    for (const auto& shipped : qx::ShippedLabelCatalogues())
        EXPECT_EQ(ReadFile(Config() / "labels" / (shipped.locale + ".txt")), shipped.text);
    EXPECT_EQ(labels->GetMessage("SLBSA3554", "1043"), "Webbestelling");
    EXPECT_EQ(inst.LogText(), "");
}

}  // namespace
