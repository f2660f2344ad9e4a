// Locale formatting on ICU. A locale id is a Windows LCID; ICU maps it to its
// own locale name, and an id ICU does not know formats as English (United States).
#include "platform/automation/text.h"
#include "platform/format/data_functions.h"

#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include "platform/automation/component.h"
#include "platform/automation/error.h"

namespace qx {
namespace {

const char* kSource = "QxLibrary.DataFunctions";
const char* kFallbackLocale = "en_US";

[[noreturn]] void Fail(const std::string& what, UErrorCode status) {
    ole::Raise(ole::err::InvalidProcedureCall, what + " (" + u_errorName(status) + ")", kSource);
}

std::string Utf8(const icu::UnicodeString& text) {
    std::string out;
    return text.toUTF8String(out);
}

// The single-byte code page of the export files has no narrow no-break space,
// which recent ICU data puts before "AM"/"PM" and between digit groups.
const std::string kNarrowNoBreakSpace = "\u202F";
const std::string kNoBreakSpace = "\u00A0";

icu::Locale LocaleOf(int32_t lcid) {
    char name[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = lcid > 0 ? uloc_getLocaleForLCID(static_cast<uint32_t>(lcid), name, sizeof name, &status) : 0;
    // the user and system defaults (1024, 2048) come back as "root"
    if (lcid <= 0 || U_FAILURE(status) || length <= 0 || std::string(name) == "root") return icu::Locale(kFallbackLocale);
    icu::Locale locale(name);
    if (locale.isBogus()) return icu::Locale(kFallbackLocale);
    if (*locale.getCountry() == '\0') {
        // a language without a country ("nl") takes its usual one, for the currency
        UErrorCode likely = U_ZERO_ERROR;
        locale.addLikelySubtags(likely);
    }
    return locale;
}

// The formatters of one locale, made on first use and kept for the thread.
struct LocaleFormats {
    icu::Locale locale;
    std::unique_ptr<icu::SimpleDateFormat> date;
    std::unique_ptr<icu::SimpleDateFormat> dateTime;
    std::string currency;

    // number formatters by their least and most decimals
    std::map<std::pair<int32_t, int32_t>, icu::number::LocalizedNumberFormatter> numbers;

    explicit LocaleFormats(const icu::Locale& l) : locale(l) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::DateTimePatternGenerator> generator(icu::DateTimePatternGenerator::createInstance(locale, status));
        if (U_FAILURE(status)) Fail("No date patterns for locale " + std::string(locale.getName()), status);
        // four-digit years: "12/8/2026", "8-12-2026", "8.12.2026"
        date = MakeDateFormat(*generator, "yMd");
        dateTime = MakeDateFormat(*generator, "yMdjm");
        icu::DecimalFormatSymbols symbols(locale, status);
        if (U_FAILURE(status)) Fail("No number symbols for locale " + std::string(locale.getName()), status);
        currency = Utf8(symbols.getSymbol(icu::DecimalFormatSymbols::kCurrencySymbol));
    }

    std::unique_ptr<icu::SimpleDateFormat> MakeDateFormat(icu::DateTimePatternGenerator& generator, const char* skeleton) {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString pattern = generator.getBestPattern(icu::UnicodeString(skeleton), status);
        auto format = std::make_unique<icu::SimpleDateFormat>(pattern, locale, status);
        if (U_FAILURE(status)) Fail("No date format for locale " + std::string(locale.getName()), status);
        // Dates carry no zone: the calendar parts are formatted as they are.
        format->setTimeZone(*icu::TimeZone::getGMT());
        return format;
    }
};

// Milliseconds since 1970 of the date's calendar parts, read as UTC.
UDate ToUDate(ole::Date date) {
    auto [year, month, day, hour, minute, second, millisecond] = date.ToCalendar();
    using namespace std::chrono;
    auto days = sys_days(std::chrono::year(year) / month / day).time_since_epoch().count();
    return ((static_cast<double>(days) * 24 + hour) * 60 + minute) * 60000.0 + second * 1000.0 + millisecond;
}

class DataFunctions : public IDataFunctions {
public:
    std::string DateTime(ole::Date date, int32_t locale) override {
        LocaleFormats& f = Formats(locale);
        icu::UnicodeString text;
        (date.HasTime() ? f.dateTime : f.date)->format(ToUDate(date), text);
        return ole::ReplaceAll(Utf8(text), kNarrowNoBreakSpace, " ");
    }

    std::string FormatNumber(double value, int32_t locale) override {
        // the locale's usual decimals for amounts: two
        return Number(value, locale, 2, 2);
    }

    std::string FormatNumberPrecision(double value, int32_t locale, int32_t precision) override {
        int32_t most = std::clamp(precision, 0, 15);
        return Number(value, locale, std::min(most, 2), most);
    }

    std::string CurrencyText(int32_t locale) override { return Formats(locale).currency; }

private:
    // Formatters are costly to make (a date pattern generator takes longer than
    // a whole order form) and every new object would make them again, so they
    // are kept per thread: ICU formatters must not be shared between threads.
    static LocaleFormats& Formats(int32_t lcid) {
        thread_local std::map<int32_t, std::unique_ptr<LocaleFormats>> formats;
        auto& slot = formats[lcid];
        if (!slot) slot = std::make_unique<LocaleFormats>(LocaleOf(lcid));
        return *slot;
    }

    static std::string Number(double value, int32_t lcid, int32_t least, int32_t most) {
        namespace number = icu::number;
        LocaleFormats& f = Formats(lcid);
        auto found = f.numbers.find({least, most});
        if (found == f.numbers.end())
            found = f.numbers
                        .emplace(std::pair{least, most},
                                 number::NumberFormatter::withLocale(f.locale)
                                     .precision(number::Precision::minMaxFraction(least, most))
                                     .roundingMode(UNUM_ROUND_HALFUP)
                                     .sign(UNUM_SIGN_NEGATIVE))  // no "-0.00"
                        .first;
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString text = found->second.formatDouble(value, status).toString(status);
        if (U_FAILURE(status)) Fail("Cannot format the number " + std::to_string(value), status);
        return ole::ReplaceAll(Utf8(text), kNarrowNoBreakSpace, kNoBreakSpace);
    }
};

}  // namespace

void RegisterDataFunctions() { ole::RegisterClass<DataFunctions>("QxLibrary.DataFunctions"); }

}  // namespace qx
