#include <gtest/gtest.h>

#include "host_programs.h"
#include "run_program.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A list that replaces an open-ended price: the stored record gets its expiry
// (an update) and the new price begins that day (an add), in either row order.
TEST(BackofficePrices, ImportStoresAWholeListOrNamesTheRefusedLines) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    ASSERT_EQ(Backoffice("init --demo --home " + Quoted(home.string())).exitCode, 0);
    WriteFile(parent.Path() / "good.csv",
              "PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,EXPIRYDATE,PRICE\n"
              "101,EUR,2027-07-01,,0.50\n"
              "101,EUR,2024-01-01,2027-07-01,0.45\n");
    Outcome stored = Backoffice("prices import " + Quoted((parent.Path() / "good.csv").string()) + " --home " +
                                Quoted(home.string()));
    EXPECT_EQ(stored.exitCode, 0) << stored.output;
    EXPECT_NE(stored.output.find("2 list prices stored (1 added, 1 updated)"), std::string::npos) << stored.output;

    WriteFile(parent.Path() / "bad.csv",
              "PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,PRICE\n"
              "102,EUR,2027-01-01,0.06\n"
              "999,USD,2027-01-01,1\n");
    Outcome refused = Backoffice("prices import " + Quoted((parent.Path() / "bad.csv").string()) + " --home " +
                                 Quoted(home.string()));
    EXPECT_EQ(refused.exitCode, 4) << refused.output;
    EXPECT_NE(refused.output.find("line 2: EffectiveDateRange"), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("line 3: ReferentialInsert"), std::string::npos) << refused.output;

    EXPECT_EQ(Backoffice("prices import --home " + Quoted(home.string())).exitCode, 2);
    Outcome help = Backoffice("prices import --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("one\ntransaction, or none"), std::string::npos) << help.output;
}

}  // namespace
