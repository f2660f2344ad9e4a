#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "interfaces/vendalo/price_list_import.h"
#include "interfaces/vendalo/pricing.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;
using testing::HasSubstr;

namespace {

const char* kMasterData =
    "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('EUR', 2, TRUE);"
    "INSERT INTO PRODUCT (PRODUCTID, PARTNUMBER) VALUES (101, 'P101');"
    "INSERT INTO PRODUCT (PRODUCTID, PARTNUMBER) VALUES (102, 'P102');"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME) VALUES (10, 'Acme');";

class PriceListImport : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(kMasterData);
    }
    vendalo::PriceListResult Import(const std::string& csv, vendalo::PriceListProgress progress = nullptr) {
        return Sls_GetComponent<vendalo::IPriceListImport>("Vendalo.PriceListImport")->ImportText(csv, progress);
    }
    int Rows(const std::string& sql) { return Sls_GetOpenConnection(Sls_ConnectionString())->Execute(sql)->RecordCount(); }
};

// A year of consecutive quarters, in any row order, is accepted: rows go in key and date order.
TEST_P(PriceListImport, AYearInAnyRowOrderIsStoredInOneGo) {
    std::vector<std::pair<size_t, size_t>> seen;
    auto result = Import(
        "EffectiveDate,ExpiryDate,ProductID,CurrencyCode,Price,DiscountPerc\r\n"
        "2024-07-01,2024-10-01,101,EUR,12.50,\r\n"
        "2024-01-01,2024-04-01,101,EUR,10.00,5\r\n"
        "2024-10-01,,101,EUR,13.00,\r\n"
        "2024-04-01,2024-07-01,101,EUR,\"11.00\",\r\n"
        "2024-01-01,,102,EUR,1.5,\r\n",
        [&](size_t done, size_t total) { seen.emplace_back(done, total); });
    EXPECT_TRUE(result.Stored());
    EXPECT_FALSE(result.customerPrices);
    EXPECT_EQ(result.rows, 5u);
    EXPECT_EQ(result.added, 5u);
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE"), 5);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), std::make_pair(size_t{5}, size_t{5}));

    // the same key again updates the record
    result = Import("PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,EXPIRYDATE,PRICE\n101,EUR,2024-10-01,,14\n");
    EXPECT_TRUE(result.Stored());
    EXPECT_EQ(result.updated, 1u);
    auto pricing = Sls_GetComponent<vendalo::IPricing>("Vendalo.Pricing");
    ASSERT_TRUE(pricing->GetProductPrice(101, ole::Date::FromParts(2024, 10, 1), "EUR"));
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 14);

    // a range overlapping a stored one, among rows that pass, is named and nothing is kept
    result = Import("PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,EXPIRYDATE,PRICE\n102,EUR,2024-01-01,,2\n"
                    "101,EUR,2024-09-01,2024-12-01,3\n");
    EXPECT_FALSE(result.Stored());
    ASSERT_EQ(result.refused.size(), 1u);
    EXPECT_EQ(result.refused[0].line, 3);
    EXPECT_EQ(result.refused[0].number, vendalo::EffectiveDateRange);
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE WHERE PRODUCTID = 102 AND PRICE = 1.5"), 1);
}

// One refused row changes nothing; every refused row is named with its line and why.
TEST_P(PriceListImport, RefusedRowsChangeNothingAndAreNamedByLine) {
    Inst().Exec("INSERT INTO CUSTOMERPRICE VALUES (10, 102, '2024-01-01 00:00:00', 'EUR', NULL, 3, NULL, NULL)");
    auto result = Import(
        "BUSINESSPARTNERID,PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,EXPIRYDATE,PRICE,DISCOUNTPERC,DISCOUNTAMOUNT\n"
        "10,101,EUR,2024-01-01,,10,,\n"
        "10,101,EUR,2024-02-30,,10,,\n"
        "10,101,EUR,2025-01-01,,NaN,,\n"
        "\n"
        "10,102,EUR,2024-06-01,,4,,\n"
        "10,999,EUR,2024-01-01,,4,,\n"
        "10,101,\"E'R\",2024-01-01,,4,,\n"
        "10,101,EUR,2026-01-01,,4,10,1\n"
        "10,101 OR 1=1,EUR,2027-01-01,,4,,\n"
        "10,101,EUR,2028-01-01,,4\n");
    EXPECT_FALSE(result.Stored());
    EXPECT_TRUE(result.customerPrices);
    std::vector<std::pair<int64_t, int32_t>> refused;
    for (const auto& p : result.refused) refused.emplace_back(p.line, p.number);
    EXPECT_THAT(refused, testing::ElementsAre(std::make_pair(3, vendalo::InvalidEffectiveDate),
                                              std::make_pair(4, vendalo::InvalidPrice),
                                              std::make_pair(6, vendalo::EffectiveDateRange),
                                              std::make_pair(7, vendalo::ReferentialInsert),
                                              std::make_pair(8, vendalo::ReferentialInsert),
                                              std::make_pair(9, vendalo::NonExclusiveDiscount),
                                              std::make_pair(10, ole::err::TypeMismatch), std::make_pair(11, 0)));
    EXPECT_THAT(result.refused[1].text, HasSubstr("PRICE 'NaN' is no number"));
    EXPECT_THAT(result.refused[4].text, HasSubstr("CURRENCYCODE=E'R"));
    EXPECT_EQ(result.refused[7].text, "the row has 6 fields, the header 8");
    EXPECT_EQ(Rows("SELECT * FROM CUSTOMERPRICE"), 1);
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE"), 0);
}

// Each row is checked against the stored records and the rows of the file before
// it in key and date order, as they stand after those rows were written.
TEST_P(PriceListImport, RowsAreCheckedAgainstTheRowsWrittenBeforeThem) {
    const std::string header = "PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,EXPIRYDATE,PRICE\n";
    struct Case {
        const char* rows;
        size_t added, updated;
        std::vector<int64_t> refusedLines;  // each refused with EffectiveDateRange
    } cases[] = {
        // the stored open range (101 from 2024-01-01) is closed, then the next one fits
        {"101,EUR,2024-07-01,,12\n101,EUR,2024-01-01,2024-07-01,11\n", 1, 1, {}},
        // a key twice: the second row changes what the first wrote
        {"102,EUR,2024-01-01,,1\n102,EUR,2024-01-01,,2\n", 1, 1, {}},
        // a range starting within one the file wrote before it
        {"102,EUR,2024-01-01,2024-06-01,1\n102,EUR,2024-03-01,,2\n", 0, 0, {3}},
        // the same before a stored range of the key
        {"101,EUR,2023-01-01,2023-06-01,1\n101,EUR,2023-03-01,2023-12-01,2\n", 0, 0, {3}},
        // a range widened by a later row reaches the next one
        {"102,EUR,2024-01-01,2024-04-01,1\n102,EUR,2024-04-01,,2\n102,EUR,2024-01-01,2024-05-01,3\n", 0, 0, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rows);
        Inst().Exec("DELETE FROM PRODUCTPRICE;"
                    "INSERT INTO PRODUCTPRICE VALUES (101, '2024-01-01 00:00:00', 'EUR', NULL, 10, NULL, NULL)");
        auto result = Import(header + c.rows);
        std::vector<int64_t> lines;
        for (const auto& p : result.refused) {
            lines.push_back(p.line);
            EXPECT_EQ(p.number, vendalo::EffectiveDateRange);
        }
        EXPECT_EQ(lines, c.refusedLines);
        EXPECT_EQ(result.added, c.added);
        EXPECT_EQ(result.updated, c.updated);
    }
    // the last row written wins
    Import(header + "102,EUR,2024-01-01,,1\n102,EUR,2024-01-01,,2\n");
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE WHERE PRODUCTID = 102 AND PRICE = 2"), 1);
}

TEST_P(PriceListImport, AHeaderWithoutARequiredOrWithAnUnknownColumnIsRefused) {
    auto result = Import("PRODUCTID;CURRENCYCODE;EFFECTIVEDATE;PRICE\n101;EUR;2024-01-01;1\n");
    ASSERT_FALSE(result.Stored());
    EXPECT_EQ(result.refused.front().line, 1);
    EXPECT_THAT(result.refused.front().text, HasSubstr("unknown column"));
    result = Import("PRODUCTID,CURRENCYCODE,EFFECTIVEDATE\n101,EUR,2024-01-01\n");
    ASSERT_EQ(result.refused.size(), 1u);
    EXPECT_EQ(result.refused.front().text, "the header lacks the column PRICE");
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE"), 0);
}

TEST_P(PriceListImport, AFileIsReadAndAFolderRefused) {
    WriteFile(Inst().Home() / "prices.csv", "PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,PRICE\n101,EUR,2024-01-01,1\n");
    auto import = Sls_GetComponent<vendalo::IPriceListImport>("Vendalo.PriceListImport");
    EXPECT_TRUE(import->ImportFile((Inst().Home() / "prices.csv").string()).Stored());
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE"), 1);
    std::string description;
    EXPECT_NE(ErrorOf([&] { import->ImportFile(Inst().Home().string()); }, &description), 0);
    EXPECT_THAT(description, HasSubstr("METHOD: Vendalo.PriceListImport.ImportFile"));
}

INSTANTIATE_INSTALLATION_TEST(PriceListImport);

}  // namespace
