// Decimal: exact decimal arithmetic for money. A value is an integer of units
// and a scale (value = units / 10^scale, scale 0..28), held in 128 bits, so
// sums and products of prices, quantities and rates are exact, and rounding
// happens only where a caller asks for it (halves to even, as the platform
// rounds). Binary floating point never enters a sum of money.
//
//   Decimal net = Decimal::FromVariant(amount) - Decimal::FromVariant(discount);
//   std::string wire = net.Round(2).ToString();   // "114.95"
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/automation/variant.h"

namespace ole {

class Decimal {
public:
    static constexpr int kMaxScale = 28;

    Decimal() = default;  // 0
    static Decimal FromInt(int64_t value) { return Decimal(value, 0); }
    static Decimal FromUnits(__int128 units, int scale) { return Decimal(units, scale); }
    // Plain decimal text: optional sign, digits, optional "." and digits ("-12.50", ".5").
    // No exponent, no grouping; nothing if the text is anything else or too long.
    static std::optional<Decimal> Parse(std::string_view text);
    // A double as the platform turns it into a decimal: rounded to 15 significant digits
    // (so 114.95 stays 114.95) and to at most 28 decimals. NaN, infinities, values of more
    // than 36 digits before the point, and values that are not 0 but round to 0 at 28
    // decimals (1e-30, 5e-324) raise Overflow.
    static Decimal FromDouble(double value);
    static Decimal FromCurrency(Currency value) { return Decimal(value.scaled, 4); }
    // Integers, currency and Booleans exactly, doubles as FromDouble, text as Parse
    // (Type mismatch when it does not parse); Null and Empty raise Invalid use of Null
    // and Type mismatch respectively unless nullAsZero is set, which makes both 0.
    static Decimal FromVariant(const Variant& value, bool nullAsZero = false);

    __int128 Units() const { return units_; }
    int Scale() const { return scale_; }
    int Sign() const { return units_ < 0 ? -1 : units_ > 0 ? 1 : 0; }
    bool IsZero() const { return units_ == 0; }

    // Rounded to a number of decimals, halves to even (0.125 -> 0.12, 0.135 -> 0.14).
    Decimal Round(int scale) const;
    // Rounded to a number of decimals, halves away from zero (0.125 -> 0.13).
    Decimal RoundHalfUp(int scale) const;
    // The same value with at least `scale` decimals (exact; no rounding).
    Decimal Rescale(int scale) const;

    // Exact text without exponent and without trailing zeros after the point ("90", "114.95", "-0.5").
    std::string ToString() const;
    // Exactly `scale` decimals, rounded halves to even ("114.950" for 3).
    std::string ToFixed(int scale) const;
    double ToDouble() const;
    // Rounded to four decimals, halves to even; Overflow when out of range.
    Currency ToCurrency() const;
    Variant ToVariant() const { return Variant(ToDouble()); }

    friend Decimal operator+(const Decimal& a, const Decimal& b);
    friend Decimal operator-(const Decimal& a, const Decimal& b);
    // Exact while the scales add up to at most 28 decimals; beyond, rounded halves to even.
    friend Decimal operator*(const Decimal& a, const Decimal& b);
    Decimal operator-() const { return Decimal(-units_, scale_); }
    Decimal& operator+=(const Decimal& b) { return *this = *this + b; }
    Decimal& operator-=(const Decimal& b) { return *this = *this - b; }
    // a / b rounded to `scale` decimals, halves to even; Division by zero raises.
    static Decimal Divide(const Decimal& a, const Decimal& b, int scale);

    friend int Compare(const Decimal& a, const Decimal& b);
    friend bool operator==(const Decimal& a, const Decimal& b) { return Compare(a, b) == 0; }
    friend bool operator!=(const Decimal& a, const Decimal& b) { return Compare(a, b) != 0; }
    friend bool operator<(const Decimal& a, const Decimal& b) { return Compare(a, b) < 0; }
    friend bool operator<=(const Decimal& a, const Decimal& b) { return Compare(a, b) <= 0; }
    friend bool operator>(const Decimal& a, const Decimal& b) { return Compare(a, b) > 0; }
    friend bool operator>=(const Decimal& a, const Decimal& b) { return Compare(a, b) >= 0; }

private:
    Decimal(__int128 units, int scale) : units_(units), scale_(scale) {}
    Decimal RoundTo(int scale, bool halfEven) const;

    __int128 units_ = 0;
    int scale_ = 0;
};

}  // namespace ole
