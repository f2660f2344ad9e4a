// Variant: the automation value type. Empty (never assigned) and Null (no
// value) are kept apart; conversions follow the automation platform's rules.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/automation/error.h"

namespace ole {

class Object;
using ObjectPtr = std::shared_ptr<Object>;

// Base of every component and object that travels in a Variant.
class Object : public std::enable_shared_from_this<Object> {
public:
    virtual ~Object() = default;
};

// A date's calendar fields, as a clock on the wall shows them.
struct CalendarTime {
    int year, month, day, hour, minute, second, millisecond;
};

// An automation date: days since 30 December 1899, the time as the fraction.
struct Date {
    double serial = 0;

    static Date FromParts(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);
    static Date Now();    // local time, whole milliseconds
    static Date Today();  // local date, no time
    // The calendar fields; a date out of the platform's range raises Overflow.
    CalendarTime ToCalendar() const;
    int Year() const;
    int Month() const;
    int Day() const;
    bool HasTime() const;
    Date DateOnly() const;
    // "yyyy-mm-dd hh:mm:ss" (with ".fff" when there are milliseconds)
    std::string Iso() const;
    // "yyyymmdd"
    std::string Compact() const;
    friend bool operator==(Date a, Date b) { return a.serial == b.serial; }
    friend bool operator<(Date a, Date b) { return a.serial < b.serial; }
};

// A currency amount: a 64-bit integer scaled by 10,000 (four decimals).
struct Currency {
    int64_t scaled = 0;
    static Currency FromDouble(double value);  // rounds half to even, raises Overflow
    double ToDouble() const { return static_cast<double>(scaled) / 10000.0; }
    friend bool operator==(Currency a, Currency b) { return a.scaled == b.scaled; }
};

// Variant type numbers of the platform.
enum class VarType : uint16_t {
    Empty = 0,
    Null = 1,
    Integer = 2,
    Long = 3,
    Double = 5,
    Currency = 6,
    Date = 7,
    String = 8,
    Object = 9,
    Boolean = 11,
    LongLong = 20,
    Array = 8204,  // array of Variants
};

class Variant;
using VariantArray = std::vector<Variant>;

class Variant {
public:
    struct NullTag {};

    Variant() = default;  // Empty
    Variant(NullTag) : value_(NullTag{}) {}
    Variant(bool v) : value_(v) {}
    Variant(int16_t v) : value_(v) {}
    Variant(int32_t v) : value_(v) {}
    Variant(int64_t v) : value_(v) {}
    Variant(double v) : value_(v) {}
    Variant(Currency v) : value_(v) {}
    Variant(Date v) : value_(v) {}
    Variant(std::string v) : value_(std::move(v)) {}
    Variant(std::string_view v) : value_(std::string(v)) {}
    Variant(const char* v) : value_(std::string(v)) {}
    Variant(ObjectPtr v) : value_(std::move(v)) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    Variant(std::shared_ptr<T> v) : value_(ObjectPtr(std::move(v))) {}
    Variant(VariantArray v) : value_(std::make_shared<VariantArray>(std::move(v))) {}

    static Variant Null() { return Variant(NullTag{}); }

    VarType Type() const;
    bool IsEmpty() const { return value_.index() == 0; }
    bool IsNull() const { return std::holds_alternative<NullTag>(value_); }
    bool IsString() const { return std::holds_alternative<std::string>(value_); }
    bool IsObject() const { return std::holds_alternative<ObjectPtr>(value_); }
    bool IsArray() const { return std::holds_alternative<std::shared_ptr<VariantArray>>(value_); }
    bool IsDate() const { return std::holds_alternative<Date>(value_); }
    bool IsBool() const { return std::holds_alternative<bool>(value_); }
    // Numbers, Booleans and Empty count as numeric, like IsNumeric; so does text that parses as a number.
    bool IsNumeric() const;
    // Holds one of the number types (integers, double, currency).
    bool IsNumber() const;

    // Conversions with the platform's rules; a failing one raises the platform's error
    // (Type mismatch, Overflow, Invalid use of Null).
    std::string ToString() const;  // CStr
    double ToDouble() const;       // CDbl
    int32_t ToLong() const;        // CLng: halves round to even
    int16_t ToInt() const;         // CInt: halves round to even
    int64_t ToLongLong() const;
    bool ToBool() const;           // CBool
    Date ToDate() const;           // CDate
    Currency ToCurrency() const;   // CCur
    ObjectPtr ToObject() const;    // Object required when not an object; Nothing gives nullptr
    const VariantArray& ToArray() const;
    VariantArray& ToArray();

    // The object as the given interface, or nullptr.
    template <class T>
    std::shared_ptr<T> As() const {
        if (auto p = std::get_if<ObjectPtr>(&value_)) return std::dynamic_pointer_cast<T>(*p);
        return nullptr;
    }

    // The text form where it exists, "" for Empty and Null (the usual "value & \"\"" idiom).
    std::string Text() const;

    // Strict equality of type and value (for tests and containers), not the platform's "=".
    bool SameAs(const Variant& other) const;

private:
    std::variant<std::monostate, NullTag, bool, int16_t, int32_t, int64_t, double, Currency, Date, std::string,
                 ObjectPtr, std::shared_ptr<VariantArray>>
        value_;
};

inline const Variant Null = Variant::Null();
inline const Variant Empty{};

// The platform's text form of numbers (15 significant digits, no grouping, "." decimal point).
std::string FormatDouble(double value);
// Parses a number the way the platform's numeric conversions accept it; false when it is not one.
bool ParseNumber(std::string_view text, double& out);
// Parses a date/time in the forms "yyyy-mm-dd[ hh:mm[:ss[.fff]]]", "yyyy-mm-ddThh:mm:ss",
// "m/d/yyyy[ h:mm[:ss] [AM|PM]]" and "h:mm[:ss] [AM|PM]"; false when it is none of them.
bool ParseDate(std::string_view text, Date& out);

// The platform's comparison "a = b" for values of the same kind (numbers by value, text binary).
bool VbEquals(const Variant& a, const Variant& b);

}  // namespace ole
