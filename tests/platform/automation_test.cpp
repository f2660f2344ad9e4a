#include <gtest/gtest.h>

#include "platform/automation/component.h"
#include "platform/automation/dictionary.h"
#include "platform/automation/error.h"
#include "platform/automation/variant.h"
#include "test_db.h"

using namespace ole;
using testing_support::ErrorOf;

TEST(Variant, EmptyAndNullStayApart) {
    Variant empty, null = Variant::Null();
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_FALSE(empty.IsNull());
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(null.IsEmpty());
    // Empty converts to "" and 0; Null refuses every conversion
    EXPECT_EQ(empty.ToString(), "");
    EXPECT_EQ(empty.ToLong(), 0);
    EXPECT_EQ(ErrorOf([&] { null.ToString(); }), err::InvalidUseOfNull);
    EXPECT_EQ(ErrorOf([&] { null.ToDouble(); }), err::InvalidUseOfNull);
    EXPECT_EQ(null.Text(), "");
    EXPECT_FALSE(empty.SameAs(null));
}

TEST(Variant, IntegerConversionsRoundHalvesToEven) {
    EXPECT_EQ(Variant(2.5).ToInt(), 2);
    EXPECT_EQ(Variant(3.5).ToInt(), 4);
    EXPECT_EQ(Variant(-2.5).ToLong(), -2);
    EXPECT_EQ(Variant(0.5).ToLong(), 0);
    EXPECT_EQ(Variant(1.5).ToLong(), 2);
    EXPECT_EQ(Variant(2.6).ToLong(), 3);
    EXPECT_EQ(Variant("7.5").ToLong(), 8);
    EXPECT_EQ(ErrorOf([] { Variant(32767.5).ToInt(); }), err::Overflow);
    EXPECT_EQ(ErrorOf([] { Variant(3e9).ToLong(); }), err::Overflow);
    EXPECT_EQ(ErrorOf([] { Variant("abc").ToLong(); }), err::TypeMismatch);
    EXPECT_EQ(Variant(true).ToLong(), -1);
}

TEST(Variant, TextFormOfNumbers) {
    EXPECT_EQ(Variant(12.5).ToString(), "12.5");
    EXPECT_EQ(Variant(0.1).ToString(), "0.1");
    EXPECT_EQ(Variant(100.0).ToString(), "100");
    EXPECT_EQ(Variant(-3.25).ToString(), "-3.25");
    EXPECT_EQ(Variant(1e20).ToString(), "1E+20");
    EXPECT_EQ(Variant(0.00001).ToString(), "1E-05");
    EXPECT_EQ(Variant(1.0 / 3).ToString(), "0.333333333333333");
    EXPECT_EQ(Variant(0.1 + 0.2).ToString(), "0.3");
    EXPECT_EQ(Variant(999999999999999.0).ToString(), "999999999999999");
    EXPECT_EQ(Variant(1e15).ToString(), "1E+15");
    EXPECT_EQ(Variant(123456789012345678.0).ToString(), "1.23456789012346E+17");
    EXPECT_EQ(Variant(-1.5e-300).ToString(), "-1.5E-300");
    EXPECT_EQ(Variant(int32_t(42)).ToString(), "42");
    EXPECT_EQ(Variant(Currency::FromDouble(12.5)).ToString(), "12.5");
    EXPECT_EQ(Variant(Currency::FromDouble(-0.0001)).ToString(), "-0.0001");
    EXPECT_EQ(Variant(true).ToString(), "True");
}

TEST(Variant, TextFormOfDates) {
    EXPECT_EQ(Variant(Date::FromParts(2026, 12, 8)).ToString(), "12/8/2026");
    EXPECT_EQ(Variant(Date::FromParts(2026, 12, 8, 18, 4, 9)).ToString(), "12/8/2026 6:04:09 PM");
    EXPECT_EQ(Variant(Date::FromParts(2026, 1, 2, 0, 30)).ToString(), "1/2/2026 12:30:00 AM");
    EXPECT_EQ(Date::FromParts(1899, 12, 30).serial, 0);
    EXPECT_EQ(Date::FromParts(2026, 12, 8, 6, 0, 0).Iso(), "2026-12-08 06:00:00");
    EXPECT_EQ(Date::FromParts(2026, 12, 8).Compact(), "20261208");
    EXPECT_EQ(Date::FromParts(105, 3, 9, 23, 59).Compact(), "01050309");
    EXPECT_EQ(Date::FromParts(9999, 12, 31).Compact(), "99991231");
    // a date before the epoch keeps its time of day
    Date before = Date::FromParts(1899, 12, 29, 6, 0, 0);
    EXPECT_DOUBLE_EQ(before.serial, -1.25);
    EXPECT_EQ(before.Iso(), "1899-12-29 06:00:00");
}

TEST(Variant, CDateAndCBool) {
    EXPECT_EQ(Variant("2026-12-08 10:11:12").ToDate().Iso(), "2026-12-08 10:11:12");
    EXPECT_EQ(Variant("12/31/9999").ToDate().Iso(), "9999-12-31 00:00:00");
    EXPECT_EQ(Variant("1/2/2026 1:05 PM").ToDate().Iso(), "2026-01-02 13:05:00");
    EXPECT_EQ(ErrorOf([] { Variant("2026-02-30").ToDate(); }), err::TypeMismatch);
    EXPECT_EQ(ErrorOf([] { Variant("tomorrow").ToDate(); }), err::TypeMismatch);
    EXPECT_TRUE(Variant("TRUE").ToBool());
    EXPECT_FALSE(Variant("false").ToBool());
    EXPECT_TRUE(Variant("-1").ToBool());
    EXPECT_FALSE(Variant(0.0).ToBool());
    EXPECT_EQ(ErrorOf([] { Variant("yes").ToBool(); }), err::TypeMismatch);
}

TEST(Dictionary, KeepsInsertionOrderAndComparesKeysAsThePlatform) {
    Dictionary d;
    d.Add("b", 1);
    d.Add("a", 2);
    d.Add(int32_t(3), "three");
    EXPECT_EQ(d.Count(), 3);
    auto keys = d.Keys();
    EXPECT_EQ(keys[0].ToString(), "b");
    EXPECT_EQ(keys[1].ToString(), "a");
    // numbers compare by value whatever their type; text and numbers never equal
    EXPECT_TRUE(d.Exists(3.0));
    EXPECT_TRUE(d.Exists(int16_t(3)));
    EXPECT_FALSE(d.Exists("3"));
    // text keys are case-sensitive
    EXPECT_FALSE(d.Exists("B"));
    EXPECT_EQ(ErrorOf([&] { d.Add("a", 5); }), err::KeyAlreadyExists);
    EXPECT_TRUE(d.Item("zzz").IsEmpty());
    d.Remove("b");
    EXPECT_EQ(d.Keys()[0].ToString(), "a");
    EXPECT_EQ(ErrorOf([&] { d.Remove("b"); }), err::ElementNotFound);
}

TEST(Dictionary, LargeDictionariesStayOrderedAfterRemovals) {
    Dictionary d;
    for (int i = 0; i < 100000; ++i) d.Add(std::to_string(i), i);
    for (int i = 0; i < 100000; i += 2) d.Remove(std::to_string(i));
    EXPECT_EQ(d.Count(), 50000);
    auto keys = d.Keys();
    EXPECT_EQ(keys.front().ToString(), "1");
    EXPECT_EQ(keys.back().ToString(), "99999");
    EXPECT_EQ(d.Item("77").ToLong(), 77);
}

namespace {
struct Greeter : Object {
    virtual std::string Hello() { return "hello"; }
};
struct FakeGreeter : Greeter {
    std::string Hello() override { return "fake"; }
};
}  // namespace

TEST(ComponentRegistry, CreatesByProgIdWithoutRegardToCaseAndLetsTestsReplaceFactories) {
    RegisterClass<Greeter>("Test.Greeter");
    EXPECT_EQ(CreateObjectAs<Greeter>("test.GREETER")->Hello(), "hello");
    {
        ComponentOverride fake("Test.Greeter", [] { return std::make_shared<FakeGreeter>(); });
        EXPECT_EQ(CreateObjectAs<Greeter>("Test.Greeter")->Hello(), "fake");
    }
    EXPECT_EQ(CreateObjectAs<Greeter>("Test.Greeter")->Hello(), "hello");
    {
        ComponentOverride missing("Test.Greeter", nullptr);
        EXPECT_EQ(ErrorOf([] { CreateObject("Test.Greeter"); }), err::CannotCreateObject);
    }
    EXPECT_EQ(ErrorOf([] { CreateObject("No.Such"); }), err::CannotCreateObject);
    RegisterComponent("Test.Plain", [] { return std::make_shared<Object>(); });
    EXPECT_EQ(ErrorOf([] { CreateObjectAs<Greeter>("Test.Plain"); }), err::NotSupported);
}

TEST(AutomationError, CurrentErrorIsTheOneBeingHandled) {
    EXPECT_EQ(CurrentError().Number, 0);
    try {
        Raise(err::ObjectErrorBase + 301, "MissingBusinessPartnerID", "Vendalo");
    } catch (...) {
        SlsErrorInfo info = CurrentError();
        EXPECT_EQ(info.Number, static_cast<int32_t>(0x8004012D));
        EXPECT_EQ(info.Description, "MissingBusinessPartnerID");
        EXPECT_EQ(info.Source, "Vendalo");
    }
    try {
        throw std::runtime_error("boom");
    } catch (...) {
        EXPECT_EQ(CurrentError().Description, "boom");
        EXPECT_NE(CurrentError().Number, 0);
    }
}

// A date made while another unit's statics are initialised counts from the right epoch.
static const ole::Date kMadeAtStart = ole::Date::FromParts(9999, 12, 31);
TEST(DateStatics, ADateMadeBeforeMainIsRight) { EXPECT_EQ(kMadeAtStart.Iso(), "9999-12-31 00:00:00"); }
