#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/automation/decimal.h"
#include "test_db.h"

using ole::Decimal;
using testing_support::ErrorOf;

namespace {

Decimal D(const char* text) { return *Decimal::Parse(text); }

TEST(DecimalArithmetic, SumsOfMoneyAreExactWhereDoublesDrift) {
    Decimal sum;
    for (int i = 0; i < 10; ++i) sum += D("0.1");
    EXPECT_EQ(sum.ToString(), "1");
    // the offer amount of a line: 100 - 10 + 18.9 + 5 + 1.05
    EXPECT_EQ((D("100") - D("10") + D("18.9") + D("5") + D("1.05")).ToString(), "114.95");
    EXPECT_EQ((D("3") * D("10") - D("5")).ToString(), "25");
    EXPECT_EQ((D("1.5") * D("-0.25")).ToString(), "-0.375");
}

TEST(DecimalArithmetic, RoundingIsHalfToEvenUnlessAskedOtherwise) {
    EXPECT_EQ(D("0.125").Round(2).ToString(), "0.12");
    EXPECT_EQ(D("0.135").Round(2).ToString(), "0.14");
    EXPECT_EQ(D("-0.125").Round(2).ToString(), "-0.12");
    EXPECT_EQ(D("2.5").Round(0).ToString(), "2");
    EXPECT_EQ(D("0.125").RoundHalfUp(2).ToString(), "0.13");
    EXPECT_EQ(D("-2.5").RoundHalfUp(0).ToString(), "-3");
    EXPECT_EQ(D("114.95").ToFixed(3), "114.950");
    EXPECT_EQ(D("7").ToFixed(2), "7.00");
    EXPECT_EQ(D("-0.004").ToFixed(2), "0.00");
}

TEST(DecimalArithmetic, DivisionRoundsAtTheAskedScale) {
    EXPECT_EQ(Decimal::Divide(D("1"), D("3"), 8).ToString(), "0.33333333");
    EXPECT_EQ(Decimal::Divide(D("2"), D("3"), 2).ToString(), "0.67");
    EXPECT_EQ(Decimal::Divide(D("-2"), D("3"), 2).ToString(), "-0.67");
    EXPECT_EQ(Decimal::Divide(D("1"), D("8"), 2).ToString(), "0.12");   // 0.125 -> even
    EXPECT_EQ(Decimal::Divide(D("3"), D("8"), 2).ToString(), "0.38");   // 0.375 -> even
    EXPECT_EQ(Decimal::Divide(D("10.5"), D("0.25"), 0).ToString(), "42");
    EXPECT_EQ(ErrorOf([] { Decimal::Divide(D("1"), D("0"), 2); }), ole::err::DivisionByZero);
}

TEST(DecimalConversions, DoublesComeInAtFifteenDigitsAndTextIsStrict) {
    EXPECT_EQ(Decimal::FromDouble(114.95).ToString(), "114.95");
    EXPECT_EQ(Decimal::FromDouble(0.1 + 0.2).ToString(), "0.3");
    EXPECT_EQ(Decimal::FromDouble(-1e-7).ToString(), "-0.0000001");
    EXPECT_EQ(Decimal::FromDouble(12345678.9).ToString(), "12345678.9");
    EXPECT_EQ(Decimal::FromVariant(ole::Variant(ole::Currency{1149500})).ToString(), "114.95");
    EXPECT_EQ(Decimal::FromVariant(ole::Variant("  12.50 ")).ToString(), "12.5");
    EXPECT_EQ(Decimal::FromVariant(ole::Null, true).ToString(), "0");
    EXPECT_EQ(ErrorOf([] { Decimal::FromVariant(ole::Null); }), ole::err::InvalidUseOfNull);
    EXPECT_EQ(ErrorOf([] { Decimal::FromVariant(ole::Variant("1,5")); }), ole::err::TypeMismatch);
    EXPECT_EQ(ErrorOf([] { Decimal::FromDouble(std::nan("")); }), ole::err::Overflow);
    for (const char* bad : {"", "-", ".", "1e5", "1.2.3", " 1", "0x10", "1 000"})
        EXPECT_FALSE(Decimal::Parse(bad).has_value()) << bad;
    EXPECT_EQ(D(".5").ToString(), "0.5");
    EXPECT_EQ(D("-0.50").ToFixed(1), "-0.5");
    EXPECT_EQ(D("12.3456").ToCurrency().scaled, 123456);
    EXPECT_EQ(D("0.00005").ToCurrency().scaled, 0);  // half to even
    EXPECT_TRUE(D("1.10") == D("1.1"));
    EXPECT_LT(D("-2"), D("1.5"));
}

TEST(DecimalConversions, ValuesBeyondTheRangeOverflowInsteadOfWrapping) {
    Decimal big = *Decimal::Parse("999999999999999999999999999999999999");
    EXPECT_EQ(ErrorOf([&] { (void)(big + big); }), ole::err::Overflow);
    EXPECT_EQ(ErrorOf([&] { (void)(big * big); }), ole::err::Overflow);
    EXPECT_EQ(ErrorOf([&] { (void)big.Rescale(8); }), ole::err::Overflow);
    EXPECT_FALSE(Decimal::Parse("1234567890123456789012345678901234567").has_value());
}

TEST(DecimalConversions, DoublesOutsideTheRangeRaiseOverflowInsteadOfTrapping) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {5e-324, -1e-310, 1e-150, 1e-30, 1e308, -1e308, std::nan(""), inf, -inf})
        EXPECT_EQ(ErrorOf([&] { Decimal::FromDouble(bad); }), ole::err::Overflow) << bad;
    // text goes the same way wherever a number is read from it
    EXPECT_EQ(ErrorOf([] { Decimal::FromVariant(ole::Variant(1e-310)); }), ole::err::Overflow);
    EXPECT_EQ(ErrorOf([] { Decimal::FromVariant(ole::Variant("1e-310")); }), ole::err::TypeMismatch);
    EXPECT_EQ(Decimal::FromDouble(1e-28).ToString(), "0.0000000000000000000000000001");
    EXPECT_EQ(Decimal::FromDouble(-2.5e-28).ToString(), "-0.0000000000000000000000000002");
    // a quotient far below the asked scale is 0, not the result of a wrapped divisor
    EXPECT_EQ(Decimal::Divide(D("0.0000000000000000000000000001"), D("999999999999999999999999999999999999"), 0).ToString(),
              "0");
}

}  // namespace
