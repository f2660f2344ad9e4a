#include <gtest/gtest.h>

#include <cmath>

#include "shared/lib_sales.h"
#include "test_installation.h"
#include "vendalo/encoding.h"

using namespace testing_support;
using ole::Variant;

namespace {

class SqlLiterals : public InstallationTest {};

TEST_P(SqlLiterals, NullIsTheWordNullAndNumbersGoThroughTheTextLiteral) {
    EXPECT_EQ(vendalo::EncodeSQLValue(Variant::Null()), "NULL");
    EXPECT_EQ(vendalo::EncodeSQLValue(Variant(12.5)), "'12.5'");
    EXPECT_EQ(vendalo::EncodeSQLValue(Variant("O'Brien")), "'O''Brien'");
    EXPECT_EQ(vendalo::EncodeSQLText("it's"), "'it''s'");
    EXPECT_EQ(vendalo::SQLEncoder()->NumberLiteral(-0.1), "-0.1");
    EXPECT_EQ(vendalo::SQLEncoder()->NumberLiteral(1e21), "1e+21");
    EXPECT_THROW(vendalo::SQLEncoder()->NumberLiteral(std::nan("")), ole::AutomationError);
    EXPECT_THROW(vendalo::EncodeSQLText(std::string("a\0b", 3)), ole::AutomationError);
    std::string date = vendalo::EncodeSQLDate(ole::Date::FromParts(2026, 12, 8, 9, 30));
    EXPECT_NE(date.find("'2026-12-08 09:30:00'"), std::string::npos);
}

TEST_P(SqlLiterals, LiteralsStoreEveryTextExactly) {
    const std::vector<std::string> texts = {"O'Brien", "100% 'sure'", "'); DROP TABLE CURRENCY; --", "Ωμέγα 東京 Zoë",
                                            "back\\slash", "line\r\nbreak", "''", ""};
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    int i = 0;
    for (const auto& text : texts) {
        std::string code = "C" + std::to_string(i++);
        c->Execute("INSERT INTO CURRENCY (CURRENCYCODE, DESCRIPTION) VALUES (" + vendalo::EncodeSQLText(code) + ", " +
                   vendalo::EncodeSQLValue(Variant(text)) + ")");
        auto rs = c->Execute("SELECT DESCRIPTION FROM CURRENCY WHERE CURRENCYCODE = " + vendalo::EncodeSQLText(code));
        EXPECT_EQ(rs->Fields(0).Value().ToString(), text);
    }
    // dates compare with stored dates
    c->Execute("INSERT INTO ORDERHEADER (ORDERID, ORDERDATE) VALUES ('X', " +
               vendalo::EncodeSQLDate(ole::Date::FromParts(2026, 1, 2, 3, 4, 5)) + ")");
    auto rs = c->Execute("SELECT ORDERID FROM ORDERHEADER WHERE ORDERDATE >= " +
                         vendalo::EncodeSQLDate(ole::Date::FromParts(2026, 1, 2)) + " AND ORDERDATE < " +
                         vendalo::EncodeSQLDate(ole::Date::FromParts(2026, 1, 3)));
    EXPECT_EQ(rs->RecordCount(), 1);
}

INSTANTIATE_INSTALLATION_TEST(SqlLiterals);

}  // namespace
