#include "platform/automation/variant.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "platform/automation/error.h"
#include "platform/automation/text.h"

namespace ole {
namespace {

// Days from 0000-03-01 based civil calendar to 1899-12-30 (the automation epoch).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// constant-initialised: dates that other units make while statics are initialised need it
constexpr int64_t kEpochDays = DaysFromCivil(1899, 12, 30);

// Banker's rounding to an integer, as CInt and CLng do.
double RoundHalfEven(double v) {
    double r = std::nearbyint(v);  // default rounding mode: to nearest, ties to even
    return r;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string FormatCurrency(Currency c) {
    int64_t v = c.scaled;
    bool negative = v < 0;
    uint64_t a = negative ? static_cast<uint64_t>(-(v + 1)) + 1 : static_cast<uint64_t>(v);
    std::string text = std::to_string(a / 10000);
    uint64_t frac = a % 10000;
    if (frac != 0) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04llu", static_cast<unsigned long long>(frac));
        std::string f(buf);
        while (!f.empty() && f.back() == '0') f.pop_back();
        text += "." + f;
    }
    return negative ? "-" + text : text;
}

// The general date form of the en-US locale: "m/d/yyyy", "h:mm:ss AM", or both.
std::string FormatDateGeneral(Date d) {
    auto [y, mo, day, h, mi, s, ms] = d.ToCalendar();
    char buf[64];
    std::string datePart;
    std::snprintf(buf, sizeof buf, "%d/%d/%d", mo, day, y);
    datePart = buf;
    bool timeOnly = d.serial > -1 && d.serial < 1 && y == 1899 && mo == 12 && day == 30;
    if (!d.HasTime()) return datePart;
    int h12 = h % 12 == 0 ? 12 : h % 12;
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, mi, s, h < 12 ? "AM" : "PM");
    return timeOnly ? std::string(buf) : datePart + " " + buf;
}

}  // namespace

// ---- Date ----------------------------------------------------------------

Date Date::FromParts(int year, int month, int day, int hour, int minute, double second) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 100 || year > 9999) Raise(err::Overflow);
    int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochDays;
    double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    // Before the epoch the time fraction still counts forward from midnight.
    double serial = days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
    return Date{serial};
}

Date Date::Now() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    return FromParts(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_sec + static_cast<double>(ms) / 1000.0);
}

Date Date::Today() { return Now().DateOnly(); }

CalendarTime Date::ToCalendar() const {
    if (!std::isfinite(serial) || serial < -657434.0 || serial >= 2958466.0) Raise(err::Overflow);
    double whole = std::trunc(serial);
    double frac = std::fabs(serial - whole);
    int64_t totalMs = std::llround(frac * 86400000.0);
    int64_t days = static_cast<int64_t>(whole);
    if (totalMs >= 86400000) {  // rounding reached the next midnight
        totalMs -= 86400000;
        days += serial >= 0 ? 1 : -1;
    }
    CalendarTime t{};
    CivilFromDays(days + kEpochDays, t.year, t.month, t.day);
    t.hour = static_cast<int>(totalMs / 3600000);
    t.minute = static_cast<int>(totalMs / 60000 % 60);
    t.second = static_cast<int>(totalMs / 1000 % 60);
    t.millisecond = static_cast<int>(totalMs % 1000);
    return t;
}

int Date::Year() const { return ToCalendar().year; }
int Date::Month() const { return ToCalendar().month; }
int Date::Day() const { return ToCalendar().day; }

bool Date::HasTime() const {
    CalendarTime t = ToCalendar();
    return t.hour != 0 || t.minute != 0 || t.second != 0 || t.millisecond != 0;
}

Date Date::DateOnly() const {
    CalendarTime t = ToCalendar();
    return FromParts(t.year, t.month, t.day);
}

std::string Date::Iso() const {
    auto [y, m, d, h, mi, s, ms] = ToCalendar();  // years 100 to 9999: four digits
    // the digits written out: every date of every basket and order answered passes here
    char text[23] = {char('0' + y / 1000), char('0' + y / 100 % 10), char('0' + y / 10 % 10), char('0' + y % 10), '-',
                     char('0' + m / 10),   char('0' + m % 10),       '-',
                     char('0' + d / 10),   char('0' + d % 10),       ' ',
                     char('0' + h / 10),   char('0' + h % 10),       ':',
                     char('0' + mi / 10),  char('0' + mi % 10),      ':',
                     char('0' + s / 10),   char('0' + s % 10),       '.',
                     char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10)};
    return std::string(text, ms ? 23 : 19);
}

std::string Date::Compact() const {
    auto [y, m, d, h, mi, s, ms] = ToCalendar();  // years 100 to 9999: four digits
    // the digits written out: this runs for every date of every exported line
    char digits[8] = {char('0' + y / 1000), char('0' + y / 100 % 10), char('0' + y / 10 % 10), char('0' + y % 10),
                      char('0' + m / 10),   char('0' + m % 10),       char('0' + d / 10),       char('0' + d % 10)};
    return std::string(digits, sizeof digits);
}

Currency Currency::FromDouble(double value) {
    double scaled = RoundHalfEven(value * 10000.0);
    if (!std::isfinite(scaled) || scaled >= 9.2233720368547758e18 || scaled < -9.2233720368547758e18)
        Raise(err::Overflow);
    return Currency{static_cast<int64_t>(scaled)};
}

// ---- free helpers --------------------------------------------------------

std::string FormatDouble(double value) {
    if (value == 0) return "0";
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    // to_chars writes what printf's "%.15g" writes, faster; the platform's exponent is
    // an upper-case E with at least two digits ("1E-05", "1E+20"), as printf writes it.
    char buf[40];
    auto written = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    std::string s(buf, written.ptr);
    for (char& c : s)
        if (c == 'e') c = 'E';
    return s;
}

bool ParseNumber(std::string_view text, double& out) {
    std::string_view t = Trim(text);
    if (t.empty()) return false;
    if (t.size() > 2 && t[0] == '&' && (t[1] == 'H' || t[1] == 'h')) {
        std::string hex(t.substr(2));
        char* end = nullptr;
        unsigned long long v = std::strtoull(hex.c_str(), &end, 16);
        if (end == hex.c_str() || *end) return false;
        out = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(v)));
        return true;
    }
    std::string clean;
    clean.reserve(t.size());
    bool seenDigit = false;
    for (char c : t) {
        if (c == ',') continue;  // thousands separators are accepted and ignored
        if (std::isdigit(static_cast<unsigned char>(c))) seenDigit = true;
        clean.push_back(c);
    }
    if (!seenDigit) return false;
    char* end = nullptr;
    double v = std::strtod(clean.c_str(), &end);
    if (end == clean.c_str() || *end) return false;
    // strtod accepts "inf", "nan" and hexadecimal floats; the platform does not.
    for (char c : clean)
        if (std::isalpha(static_cast<unsigned char>(c)) && c != 'e' && c != 'E') return false;
    out = v;
    return true;
}

bool ParseDate(std::string_view text, Date& out) {
    std::string t(Trim(text));
    if (t.empty()) return false;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, n = 0;
    double s = 0;
    char ampm[3] = {0};
    auto finish = [&](int hh, int mm, double ss, const char* ap) -> bool {
        if (ap && *ap) {
            char a = static_cast<char>(std::toupper(static_cast<unsigned char>(ap[0])));
            if (hh < 1 || hh > 12) return false;
            if (a == 'P' && hh != 12) hh += 12;
            if (a == 'A' && hh == 12) hh = 0;
        }
        if (hh > 23 || mm > 59 || ss >= 60) return false;
        try {
            out = Date::FromParts(y, mo, d, hh, mm, ss);
        } catch (const AutomationError&) {
            return false;
        }
        // reject days past the month's end (FromParts normalises them)
        return out.Day() == d;
    };
    // the plain ISO day, the form of most dates read, read as the scan below reads it
    auto digits = [&](size_t at, size_t count) {
        int value = 0;
        for (size_t i = at; i < at + count; ++i) {
            if (t[i] < '0' || t[i] > '9') return -1;
            value = value * 10 + (t[i] - '0');
        }
        return value;
    };
    if (t.size() == 10 && t[4] == '-' && t[7] == '-' && (y = digits(0, 4)) >= 0 && (mo = digits(5, 2)) >= 0 &&
        (d = digits(8, 2)) >= 0)
        return finish(0, 0, 0, nullptr);
    // ISO forms
    if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &n) == 3 && n >= 8) {
        std::string rest = t.substr(static_cast<size_t>(n));
        if (rest.empty()) return finish(0, 0, 0, nullptr);
        if (rest[0] == 'T' || rest[0] == ' ') {
            int m2 = 0;
            if (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &h, &mi, &m2) == 2) {
                std::string tail = rest.substr(1 + static_cast<size_t>(m2));
                if (tail.empty()) return finish(h, mi, 0, nullptr);
                int m3 = 0;
                if (std::sscanf(tail.c_str(), ":%lf%n", &s, &m3) == 1 && static_cast<size_t>(m3) == tail.size())
                    return finish(h, mi, s, nullptr);
            }
        }
        return false;
    }
    // US forms: m/d/yyyy [h:mm[:ss] [AM|PM]]
    if (std::sscanf(t.c_str(), "%2d/%2d/%4d%n", &mo, &d, &y, &n) == 3) {
        std::string rest(Trim(std::string_view(t).substr(static_cast<size_t>(n))));
        if (rest.empty()) return finish(0, 0, 0, nullptr);
        int secs = 0, m2 = 0;
        if (std::sscanf(rest.c_str(), "%2d:%2d:%2d%n", &h, &mi, &secs, &m2) == 3 ||
            (secs = 0, std::sscanf(rest.c_str(), "%2d:%2d%n", &h, &mi, &m2) == 2)) {
            std::string tail(Trim(std::string_view(rest).substr(static_cast<size_t>(m2))));
            if (tail.empty()) return finish(h, mi, secs, nullptr);
            std::string up = LowerCase(tail);
            if (up == "am" || up == "pm") {
                ampm[0] = tail[0];
                return finish(h, mi, secs, ampm);
            }
        }
        return false;
    }
    // time only
    {
        int secs = 0, m2 = 0;
        if (std::sscanf(t.c_str(), "%2d:%2d:%2d%n", &h, &mi, &secs, &m2) == 3 ||
            (secs = 0, std::sscanf(t.c_str(), "%2d:%2d%n", &h, &mi, &m2) == 2)) {
            std::string tail(Trim(std::string_view(t).substr(static_cast<size_t>(m2))));
            std::string up = LowerCase(tail);
            if (!tail.empty() && up != "am" && up != "pm") return false;
            if (!tail.empty()) ampm[0] = tail[0];
            y = 1899, mo = 12, d = 30;
            return finish(h, mi, secs, ampm);
        }
    }
    return false;
}

// ---- Variant ---------------------------------------------------------------

VarType Variant::Type() const {
    switch (value_.index()) {
        case 0: return VarType::Empty;
        case 1: return VarType::Null;
        case 2: return VarType::Boolean;
        case 3: return VarType::Integer;
        case 4: return VarType::Long;
        case 5: return VarType::LongLong;
        case 6: return VarType::Double;
        case 7: return VarType::Currency;
        case 8: return VarType::Date;
        case 9: return VarType::String;
        case 10: return VarType::Object;
        default: return VarType::Array;
    }
}

bool Variant::IsNumber() const {
    return std::holds_alternative<int16_t>(value_) || std::holds_alternative<int32_t>(value_) ||
           std::holds_alternative<int64_t>(value_) || std::holds_alternative<double>(value_) ||
           std::holds_alternative<Currency>(value_);
}

bool Variant::IsNumeric() const {
    if (IsNumber() || IsBool() || IsEmpty()) return true;
    if (auto s = std::get_if<std::string>(&value_)) {
        double d;
        return ParseNumber(*s, d);
    }
    return false;
}

std::string Variant::ToString() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) return "";
            else if constexpr (std::is_same_v<T, NullTag>) Raise(err::InvalidUseOfNull);
            else if constexpr (std::is_same_v<T, bool>) return v ? "True" : "False";
            else if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t>)
                return std::to_string(v);
            else if constexpr (std::is_same_v<T, double>) return FormatDouble(v);
            else if constexpr (std::is_same_v<T, Currency>) return FormatCurrency(v);
            else if constexpr (std::is_same_v<T, Date>) return FormatDateGeneral(v);
            else if constexpr (std::is_same_v<T, std::string>) return v;
            else Raise(err::TypeMismatch);
        },
        value_);
}

std::string Variant::Text() const {
    if (IsEmpty() || IsNull()) return {};
    return ToString();
}

double Variant::ToDouble() const {
    return std::visit(
        [](const auto& v) -> double {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) return 0.0;
            else if constexpr (std::is_same_v<T, NullTag>) Raise(err::InvalidUseOfNull);
            else if constexpr (std::is_same_v<T, bool>) return v ? -1.0 : 0.0;
            else if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t>)
                return static_cast<double>(v);
            else if constexpr (std::is_same_v<T, double>) return v;
            else if constexpr (std::is_same_v<T, Currency>) return v.ToDouble();
            else if constexpr (std::is_same_v<T, Date>) return v.serial;
            else if constexpr (std::is_same_v<T, std::string>) {
                double d;
                if (ParseNumber(v, d)) return d;
                Date date;
                if (ParseDate(v, date)) Raise(err::TypeMismatch);
                Raise(err::TypeMismatch);
            } else Raise(err::TypeMismatch);
        },
        value_);
}

int32_t Variant::ToLong() const {
    if (auto p = std::get_if<int32_t>(&value_)) return *p;
    if (auto p = std::get_if<int16_t>(&value_)) return *p;
    double r = RoundHalfEven(ToDouble());
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) Raise(err::Overflow);
    return static_cast<int32_t>(r);
}

int16_t Variant::ToInt() const {
    if (auto p = std::get_if<int16_t>(&value_)) return *p;
    double r = RoundHalfEven(ToDouble());
    if (!(r >= -32768.0 && r <= 32767.0)) Raise(err::Overflow);
    return static_cast<int16_t>(r);
}

int64_t Variant::ToLongLong() const {
    if (auto p = std::get_if<int64_t>(&value_)) return *p;
    if (auto p = std::get_if<int32_t>(&value_)) return *p;
    double r = RoundHalfEven(ToDouble());
    if (!(r >= -9.2233720368547758e18 && r < 9.2233720368547758e18)) Raise(err::Overflow);
    return static_cast<int64_t>(r);
}

bool Variant::ToBool() const {
    if (auto p = std::get_if<bool>(&value_)) return *p;
    if (auto s = std::get_if<std::string>(&value_)) {
        std::string l = LowerCase(std::string(Trim(*s)));
        if (l == "true") return true;
        if (l == "false") return false;
        double d;
        if (ParseNumber(*s, d)) return d != 0;
        Raise(err::TypeMismatch);
    }
    if (IsDate() || IsObject() || IsArray()) Raise(err::TypeMismatch);
    return ToDouble() != 0;
}

Date Variant::ToDate() const {
    if (auto p = std::get_if<Date>(&value_)) return *p;
    if (IsNull()) Raise(err::InvalidUseOfNull);
    if (auto s = std::get_if<std::string>(&value_)) {
        Date d;
        if (ParseDate(*s, d)) return d;
        double n;
        if (ParseNumber(*s, n)) return Date{n};
        Raise(err::TypeMismatch);
    }
    if (IsObject() || IsArray() || IsBool()) Raise(err::TypeMismatch);
    double serial = ToDouble();
    if (serial < -657434.0 || serial >= 2958466.0) Raise(err::Overflow);
    return Date{serial};
}

Currency Variant::ToCurrency() const {
    if (auto p = std::get_if<Currency>(&value_)) return *p;
    if (auto p = std::get_if<int32_t>(&value_)) return Currency{static_cast<int64_t>(*p) * 10000};
    return Currency::FromDouble(ToDouble());
}

ObjectPtr Variant::ToObject() const {
    if (auto p = std::get_if<ObjectPtr>(&value_)) return *p;
    Raise(err::ObjectRequired);
}

const VariantArray& Variant::ToArray() const {
    if (auto p = std::get_if<std::shared_ptr<VariantArray>>(&value_)) return **p;
    Raise(err::TypeMismatch);
}

VariantArray& Variant::ToArray() {
    if (auto p = std::get_if<std::shared_ptr<VariantArray>>(&value_)) return **p;
    Raise(err::TypeMismatch);
}

bool Variant::SameAs(const Variant& other) const {
    if (value_.index() != other.value_.index()) return false;
    return std::visit(
        [&](const auto& v) -> bool {
            using T = std::decay_t<decltype(v)>;
            const T& o = std::get<T>(other.value_);
            if constexpr (std::is_same_v<T, std::monostate> || std::is_same_v<T, NullTag>) return true;
            else if constexpr (std::is_same_v<T, std::shared_ptr<VariantArray>>) {
                if (v->size() != o->size()) return false;
                for (size_t i = 0; i < v->size(); ++i)
                    if (!(*v)[i].SameAs((*o)[i])) return false;
                return true;
            } else return v == o;
        },
        value_);
}

bool VbEquals(const Variant& a, const Variant& b) {
    if (a.IsNull() || b.IsNull()) return false;
    if (a.IsString() && b.IsString()) return a.ToString() == b.ToString();
    if (a.IsObject() || b.IsObject()) return a.IsObject() && b.IsObject() && a.ToObject() == b.ToObject();
    if (a.IsString() || b.IsString()) {
        // text against a number: compared as numbers when the text is numeric
        double x, y;
        if (!ParseNumber(a.Text(), x) || !ParseNumber(b.Text(), y)) return a.Text() == b.Text();
        return x == y;
    }
    return a.ToDouble() == b.ToDouble();
}

}  // namespace ole
