#include "platform/automation/decimal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ole {
namespace {

using i128 = __int128;

// 10^n for n in 0..38
i128 Pow10(int n) {
    i128 p = 1;
    for (int i = 0; i < n; ++i) p *= 10;
    return p;
}

constexpr int kMaxDigits = 36;  // keeps every sum and rescale inside 128 bits

int Digits(i128 v) {
    if (v < 0) v = -v;
    int n = 0;
    while (v != 0) {
        v /= 10;
        ++n;
    }
    return n;
}

void CheckRange(i128 units) {
    if (Digits(units) > kMaxDigits) Raise(err::Overflow);
}

// units / 10^drop rounded (halves to even or away from zero)
i128 DivideRounded(i128 units, i128 divisor, bool halfEven) {
    i128 q = units / divisor, r = units % divisor;
    if (r == 0) return q;
    i128 twice = (r < 0 ? -r : r) * 2;
    bool away = twice > divisor || (twice == divisor && (!halfEven || (q % 2 != 0)));
    if (away) q += units < 0 ? -1 : 1;
    return q;
}

}  // namespace

std::optional<Decimal> Decimal::Parse(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    i128 units = 0;
    int scale = 0, digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        if (units != 0 || c != '0') ++digits;
        if (digits > kMaxDigits) return std::nullopt;
        units = units * 10 + (c - '0');
        if (point) ++scale;
        if (scale > kMaxScale) return std::nullopt;
    }
    // at least one digit ("." and "-" alone are no numbers)
    bool anyDigit = false;
    for (char c : text) anyDigit |= (c >= '0' && c <= '9');
    if (!anyDigit) return std::nullopt;
    return Decimal(negative ? -units : units, scale);
}

Decimal Decimal::FromDouble(double value) {
    if (!std::isfinite(value)) Raise(err::Overflow);
    if (value == 0) return Decimal();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", value);  // 15 significant digits: d.dddddddddddddde±x
    std::string s(buf);
    size_t e = s.find('e');
    int exponent = std::atoi(s.c_str() + e + 1);
    std::string mantissa = s.substr(0, e);
    bool negative = mantissa[0] == '-';
    if (negative) mantissa.erase(0, 1);
    mantissa.erase(1, 1);  // the point after the first digit
    // value = mantissa (15 digits) * 10^(exponent - 14)
    int shift = exponent - 14;
    i128 units = 0;
    for (char c : mantissa) units = units * 10 + (c - '0');
    int scale = 0;
    if (shift >= 0) {
        if (shift + 15 > kMaxDigits) Raise(err::Overflow);
        units *= Pow10(shift);
    } else {
        scale = -shift;
        if (scale > kMaxScale) {
            // the 15 digits reach below the 28th decimal: rounded there, and a value that
            // is not 0 but lies wholly below it is out of range (10^drop would not fit 128 bits)
            int drop = scale - kMaxScale;
            units = drop > 15 ? 0 : DivideRounded(units, Pow10(drop), true);
            if (units == 0) Raise(err::Overflow);
            scale = kMaxScale;
        }
    }
    while (scale > 0 && units % 10 == 0) {
        units /= 10;
        --scale;
    }
    return Decimal(negative ? -units : units, scale);
}

Decimal Decimal::FromVariant(const Variant& value, bool nullAsZero) {
    if (value.IsNull() || value.IsEmpty()) {
        if (nullAsZero) return Decimal();
        Raise(value.IsNull() ? err::InvalidUseOfNull : err::TypeMismatch);
    }
    switch (value.Type()) {
        case VarType::Integer:
        case VarType::Long:
        case VarType::LongLong:
        case VarType::Boolean:
            return FromInt(value.ToLongLong());
        case VarType::Currency:
            return FromCurrency(value.ToCurrency());
        case VarType::Double:
            return FromDouble(value.ToDouble());
        case VarType::String: {
            std::string text = value.ToString();
            size_t a = text.find_first_not_of(' '), b = text.find_last_not_of(' ');
            auto parsed = a == std::string::npos ? std::nullopt : Parse(std::string_view(text).substr(a, b - a + 1));
            if (!parsed) Raise(err::TypeMismatch);
            return *parsed;
        }
        default:
            Raise(err::TypeMismatch);
    }
}

Decimal Decimal::RoundTo(int scale, bool halfEven) const {
    if (scale < 0) scale = 0;
    if (scale >= scale_) return *this;
    return Decimal(DivideRounded(units_, Pow10(scale_ - scale), halfEven), scale);
}

Decimal Decimal::Round(int scale) const { return RoundTo(scale, true); }
Decimal Decimal::RoundHalfUp(int scale) const { return RoundTo(scale, false); }

Decimal Decimal::Rescale(int scale) const {
    if (scale <= scale_) return *this;
    if (scale > kMaxScale) scale = kMaxScale;
    if (Digits(units_) + (scale - scale_) > 38) Raise(err::Overflow);
    i128 units = units_ * Pow10(scale - scale_);
    return Decimal(units, scale);
}

std::string Decimal::ToString() const {
    i128 units = units_;
    int scale = scale_;
    while (scale > 0 && units % 10 == 0) {
        units /= 10;
        --scale;
    }
    bool negative = units < 0;
    if (negative) units = -units;
    // digits from the right, the point after `scale` of them, then the sign
    char buffer[48];
    char* p = buffer + sizeof buffer;
    int written = 0;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(units % 10));
        units /= 10;
        if (++written == scale) *--p = '.';
    } while (units != 0 || written < scale);
    if (*p == '.') *--p = '0';
    if (negative) *--p = '-';
    return std::string(p, buffer + sizeof buffer);
}

std::string Decimal::ToFixed(int scale) const {
    Decimal d = Round(scale).Rescale(scale);
    std::string text = d.ToString();
    if (scale <= 0) return text;
    size_t point = text.find('.');
    int have = point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
    if (point == std::string::npos) text += '.';
    text.append(static_cast<size_t>(scale - have), '0');
    return text;
}

double Decimal::ToDouble() const { return std::strtod(ToString().c_str(), nullptr); }

Currency Decimal::ToCurrency() const {
    Decimal d = Round(4).Rescale(4);
    if (d.units_ > INT64_MAX || d.units_ < INT64_MIN) Raise(err::Overflow);
    return Currency{static_cast<int64_t>(d.units_)};
}

Decimal operator+(const Decimal& a, const Decimal& b) {
    int scale = std::max(a.scale_, b.scale_);
    i128 units = a.Rescale(scale).units_ + b.Rescale(scale).units_;
    CheckRange(units);
    return Decimal(units, scale);
}

Decimal operator-(const Decimal& a, const Decimal& b) { return a + (-b); }

Decimal operator*(const Decimal& a, const Decimal& b) {
    if (Digits(a.units_) + Digits(b.units_) > 38) Raise(err::Overflow);
    i128 units = a.units_ * b.units_;
    Decimal product(units, a.scale_ + b.scale_);
    if (product.scale_ > Decimal::kMaxScale) product = product.Round(Decimal::kMaxScale);
    CheckRange(product.units_);
    return product;
}

Decimal Decimal::Divide(const Decimal& a, const Decimal& b, int scale) {
    if (b.units_ == 0) Raise(err::DivisionByZero);
    if (scale > kMaxScale) scale = kMaxScale;
    // a/b = (ua / 10^sa) / (ub / 10^sb) = ua * 10^(sb - sa + scale + 1) / ub / 10^(scale+1)
    int shift = b.scale_ - a.scale_ + scale + 1;
    i128 numerator = a.units_, denominator = b.units_;
    if (shift >= 0) {
        if (Digits(numerator) + shift > 38) Raise(err::Overflow);
        numerator *= Pow10(shift);
    } else {
        // a denominator scaled past 38 digits exceeds every numerator: the quotient rounds to 0
        if (Digits(denominator) - shift > 38) return Decimal(0, scale);
        denominator *= Pow10(-shift);
    }
    i128 q = numerator / denominator;  // one digit beyond the scale, truncated
    i128 r = numerator % denominator;
    // round on the extra digit, with the remainder deciding exact halves
    i128 last = q % 10;
    i128 base = q / 10;
    i128 absLast = last < 0 ? -last : last;
    bool away = absLast > 5 || (absLast == 5 && (r != 0 || (base % 2 != 0)));
    if (away) base += (q < 0 || (q == 0 && (numerator < 0) != (denominator < 0))) ? -1 : 1;
    return Decimal(base, scale);
}

int Compare(const Decimal& a, const Decimal& b) {
    int scale = std::max(a.scale_, b.scale_);
    i128 x = a.Rescale(scale).units_, y = b.Rescale(scale).units_;
    return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace ole
