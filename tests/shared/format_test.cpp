// Prices and dates formatted for the user's locale through "QxLibrary.DataFunctions".
#include <gtest/gtest.h>

#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;

namespace {

const int32_t kEnglishUS = 1033, kDutch = 1043, kGerman = 1031, kFrench = 1036;
const std::string kEuro = "\u20AC", kNoBreakSpace = "\u00A0";

class Formatting : public InstallationTest {};

TEST_P(Formatting, PricesCarryTheLocalesSeparatorsAndCurrency) {
    auto functions = Sls_DataFunctions();
    EXPECT_EQ(Sls_FormatPrice(Variant(1234.5), false, kEnglishUS, functions, 8), "1,234.50 $");
    EXPECT_EQ(Sls_FormatPrice(Variant(1234.5), false, kDutch, functions, 8), "1.234,50 " + kEuro);
    EXPECT_EQ(Sls_FormatPrice(Variant(0.125), false, kGerman, functions, 8), "0,125 " + kEuro);
    EXPECT_EQ(Sls_FormatPrice(Variant(1234567.0), false, kFrench, functions, 8),
              "1" + kNoBreakSpace + "234" + kNoBreakSpace + "567,00 " + kEuro);
    // the precision bounds the decimals; amounts round half up
    EXPECT_EQ(Sls_FormatPrice(Variant(2.345), false, kEnglishUS, functions, 2), "2.35 $");
    EXPECT_EQ(Sls_FormatPrice(Variant(7), false, kEnglishUS, functions, 0), "7 $");
    // euro prices have the fixed prefix and the locale's two decimals
    EXPECT_EQ(Sls_FormatPrice(Variant(ole::Currency::FromDouble(19.999)), true, kDutch, functions, 8), "Eur 20,00");
    EXPECT_EQ(Sls_FormatPrice(Variant(-0.001), true, kEnglishUS, functions, 8), "Eur 0.00");
    EXPECT_EQ(Sls_FormatPrice(Variant::Null(), false, kDutch, functions, 8), "");
    EXPECT_EQ(Sls_FormatPrice(Variant(), true, kDutch, functions, 8), "");
}

TEST_P(Formatting, DatesUseTheLocalesShortFormWithFourDigitYearsAndTheTimeWhenThereIsOne) {
    ole::Date day = ole::Date::FromParts(2026, 12, 8);
    ole::Date moment = ole::Date::FromParts(2026, 12, 8, 18, 4, 29);
    EXPECT_EQ(Sls_FormatDate(day, kEnglishUS), "12/8/2026");
    EXPECT_EQ(Sls_FormatDate(day, kDutch), "8-12-2026");
    EXPECT_EQ(Sls_FormatDate(day, kGerman), "8.12.2026");
    EXPECT_EQ(Sls_FormatDate(moment, kEnglishUS), "12/8/2026, 6:04 PM");
    EXPECT_EQ(Sls_FormatDate(moment, kDutch), "8-12-2026 18:04");
    // unknown ids, the user default and language-only ids
    EXPECT_EQ(Sls_FormatDate(day, 9999), "12/8/2026");
    EXPECT_EQ(Sls_FormatDate(day, 0), "12/8/2026");
    EXPECT_EQ(Sls_FormatDate(day, 1024), "12/8/2026");
    EXPECT_EQ(Sls_DataFunctions()->CurrencyText(9999), "$");
    EXPECT_EQ(Sls_DataFunctions()->CurrencyText(19), kEuro);  // Dutch without a country
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(Formatting, AFormattingComponentThatCannotBeCreatedIsReportedAndLogged) {
    ole::ComponentOverride missing("QxLibrary.DataFunctions", nullptr);
    try {
        Sls_FormatDate(ole::Date::FromParts(2026, 1, 31), kDutch);
        FAIL() << "no error raised";
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), ole::err::CannotCreateObject);
        EXPECT_NE(e.Description().find(" METHOD: Lib_Sales.Sls_FormatDate\r\n"), std::string::npos);
        EXPECT_NE(e.Description().find(" INFO: Failed to format 1/31/2026 for locale: 1043.\r\n"), std::string::npos);
    }
    try {
        Sls_FormatPrice(Variant(1.0), false, kDutch, nullptr, 2);
        FAIL() << "no error raised";
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), ole::err::ObjectNotSet);
        EXPECT_NE(e.Description().find(" METHOD: Sls_FormatPrice\r\n"), std::string::npos);
    }
    // Sls_GetComponent and Sls_FormatDate report the first failure, Sls_FormatPrice the second
    EXPECT_EQ(Inst().LogEntries().size(), 3u);
}

INSTANTIATE_INSTALLATION_TEST(Formatting);

}  // namespace
