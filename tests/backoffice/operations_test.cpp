// The operator's commands around an installation: check, backup, the command
// line's own errors, and a run meeting a setting it cannot use.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "commands/use_installation.h"
#include "host_programs.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string Home(const fs::path& home) { return " --home " + Quoted(home.string()); }

void ReplaceInFile(const fs::path& file, const std::string& from, const std::string& to) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    size_t at = s.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    s.replace(at, from.size(), to);
    std::ofstream(file, std::ios::trunc) << s;
}

int64_t Orders(const std::string& sqliteFile) {
    auto c = ado::OpenConnection("Provider=SQLite;Data Source=" + sqliteFile, ado::Pooling::Unpooled);
    return c->Execute("SELECT COUNT(*) FROM ORDERHEADER")->Fields(0).Value().ToLong();
}

class Operations : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("VENDALO_HOME");
        Outcome init = Backoffice("init --demo" + Home(home_));
        ASSERT_EQ(init.exitCode, 0) << init.output;
    }
    TempDir parent_;
    fs::path home_ = parent_.Path() / "shop";
    fs::path config_ = home_ / "config" / "VendaloConfiguration.xml";
};

TEST_F(Operations, CheckNamesEachFindingWithItsPlaceAndExitsByWhatItFound) {
    Outcome fine = Backoffice("check" + Home(home_));
    EXPECT_EQ(fine.exitCode, 0) << fine.output;

    struct Case {
        const char* what;
        std::function<void(const fs::path&)> breakIt;
        std::string expected;  // a regular expression the output must contain
    };
    const Case cases[] = {
        {"a whole number that is none",
         [&](const fs::path&) { ReplaceInFile(config_, "type=\"Long\">24</Setting>\n    <Setting name=\"Creditcard", "type=\"Long\">abc</Setting>\n    <Setting name=\"Creditcard"); },
         R"(VendaloConfiguration\.xml:\d+:\d+: DIRECTPAYMENT_PARAMETERS/Reallocation: "abc" is no whole number)"},
        {"a value out of range",
         [&](const fs::path&) { ReplaceInFile(config_, "<Setting name=\"Workers\" type=\"Long\">32", "<Setting name=\"Workers\" type=\"Long\">0"); },
         R"(HTTP_PARAMETERS/Workers: 0 is out of range \(1 to 4096\))"},
        {"more calls at once than the stages take",
         [&](const fs::path&) { ReplaceInFile(config_, "<Setting name=\"OutsideCallsAtOnce\" type=\"Long\">8", "<Setting name=\"OutsideCallsAtOnce\" type=\"Long\">100"); },
         R"(OUTSIDE_CALLS/OutsideCallsAtOnce: 100 is out of range \(1 to 64\))"},
        {"a page cache below SQLite's own",
         [&](const fs::path&) { ReplaceInFile(config_, "<Setting name=\"SQLiteCacheMiB\" type=\"Long\">64", "<Setting name=\"SQLiteCacheMiB\" type=\"Long\">1"); },
         R"(DATABASE/SQLiteCacheMiB: 1 is out of range \(2 to 4096\))"},
        {"a file others may read",
         [](const fs::path& home) { fs::permissions(home / "config" / "card.key", fs::perms::others_read, fs::perm_options::add); },
         R"(mode: config/card\.key 0604 -> 0600)"},
        {"a configuration that is no XML",
         [&](const fs::path&) { ReplaceInFile(config_, "</Configuration>", "</Configurat"); },
         R"(VendaloConfiguration\.xml:\d+:\d+: the configuration file is not well-formed)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir other;
        fs::copy(home_, other.Path() / "shop", fs::copy_options::recursive);
        fs::path broken = other.Path() / "shop";
        config_ = broken / "config" / "VendaloConfiguration.xml";
        c.breakIt(broken);
        Outcome found = Backoffice("check" + Home(broken));
        EXPECT_EQ(found.exitCode, 1) << found.output;
        EXPECT_TRUE(std::regex_search(found.output, std::regex(c.expected))) << found.output;
    }
    Outcome none = Backoffice("check --home " + Quoted((parent_.Path() / "none").string()));
    EXPECT_EQ(none.exitCode, 2) << none.output;
}

TEST_F(Operations, ABatchWithASettingItCannotUseSaysSoAndFails) {
    ReplaceInFile(config_, "type=\"Long\">24</Setting>\n    <Setting name=\"Creditcard",
                  "type=\"Long\">abc</Setting>\n    <Setting name=\"Creditcard");
    Outcome batch = Backoffice("batch" + Home(home_));
    EXPECT_EQ(batch.exitCode, 4) << batch.output;
    EXPECT_NE(batch.output.find("stopped: setting: "), std::string::npos) << batch.output;
    EXPECT_NE(batch.output.find("Reallocation: \"abc\" is no whole number"), std::string::npos) << batch.output;
    // the payment run moves money: with a payment setting it cannot use it sends nothing
    Outcome pay = Backoffice("pay" + Home(home_));
    EXPECT_EQ(pay.exitCode, 1) << pay.output;
    EXPECT_NE(pay.output.find("nothing was paid"), std::string::npos) << pay.output;
}

TEST_F(Operations, ABackupTakenWhileTheBatchRunsRestoresEveryOrder) {
    ASSERT_EQ(Backoffice("demo" + Home(home_)).exitCode, 0);
    fs::path copy = parent_.Path() / "copy.db";
    // a batch writes while the copy is taken
    const std::string b = Quoted(BACKOFFICE_BINARY);
    std::string both = b + " batch" + Home(home_) + " >/dev/null 2>&1 & " + b + " backup" + Home(home_) + " " +
                       Quoted(copy.string()) + " >/dev/null; status=$?; wait; exit $status";
    int status = std::system(both.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(fs::status(copy).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    EXPECT_FALSE(fs::exists(copy.string() + ".partial"));
    // restored: copied back in place of a database, it opens with every order
    fs::path restored = parent_.Path() / "restored.db";
    fs::copy_file(copy, restored);
    EXPECT_EQ(Orders(restored.string()), Orders((home_ / "data" / "vendalo.db").string()));
    EXPECT_EQ(Orders(restored.string()), 5);
}

TEST(CommandLine, NamesWhatItDoesNotKnowAndTellsItsVersion) {
    struct Case {
        const char* arguments;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"--frobnicate", 2, "unknown option --frobnicate"},
        {"batch --frobnicate", 2, "--frobnicate"},
        {"help frobnicate", 2, "unknown command 'frobnicate'"},
        {"help check", 0, "--connect"},
        {"--version", 0, "backoffice 1."},
    };
    for (const auto& c : cases) {
        Outcome o = Backoffice(c.arguments);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.arguments << ": " << o.output;
        EXPECT_NE(o.output.find(c.says), std::string::npos) << c.arguments << ": " << o.output;
    }
}

TEST(CommandReason, ALibpqReasonOfSeveralLinesKeepsThemIndented) {
    EXPECT_EQ(backoffice::TerminalText("ERROR:  relation \"x\" does not exist\nLINE 1: SELECT\n\x1b[31m\n"),
              "ERROR:  relation \"x\" does not exist\n    LINE 1: SELECT\n    \\x1B[31m");
}

}  // namespace

namespace {

TEST_F(Operations, InitWithAnotherDatabaseOnAnInstallationRefusesAndSaysSo) {
    Outcome again = Backoffice("init" + Home(home_) + " --connection 'Provider=SQLite;Data Source=/tmp/other.db'");
    EXPECT_EQ(again.exitCode, 1) << again.output;
    EXPECT_NE(again.output.find("not the one --connection names"), std::string::npos) << again.output;
    EXPECT_EQ(Backoffice("init" + Home(home_)).exitCode, 0);
}

}  // namespace
