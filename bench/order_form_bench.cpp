// The order form of a 50-line basket: Restore and ConvertToXML through
// "Vendalo.Basket", with the label catalogue stand-in and the addresses of the
// business-partner stand-in ("OrderForm/system"), against a hand-written
// program that builds the same text from the same rows with the bare SQLite C
// API ("OrderForm/bare"): the same statements prepared once, the label file
// and the setting read per form, ICU formatters made once, each address read
// once per form. Both sides must produce the same bytes; the run stops if not.
#include <benchmark/benchmark.h>
#include <unicode/dtptngen.h>
#include <unicode/numberformatter.h>
#include <unicode/smpdtfmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/timezone.h>

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "bench_support.h"
#include "format/label_catalogue.h"
#include "lib_sales.h"
#include "os/durable_file.h"
#include "vendalo/basket.h"
#include "xml/xml_text.h"

namespace {

using bench_support::BareSQLite;
using bench_support::BenchInstallation;

constexpr int kLines = 50;
const char* kBasketId = "0123456789ABCDEF0123456789ABCDEF";

std::string Setup() {
    std::string sql =
        "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CUSTOMERCODE, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
        "SHIPPINGADDRESSID) VALUES (2, 'Noordhaven Machinery B.V.', 'C1002', 'EUR', 'ROAD', 21, 22);"
        "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, "
        "CITY2, STATEPROVINCE, ZIPCODE, COUNTRYCODE, PHONE, FAX, COUNTRYNAME) VALUES "
        "(21, 2, 'Invoices', 'Noordhaven Machinery B.V.', 'Accounts payable', 'Kade 12', NULL, 'Groningen', NULL, 'GR', "
        "'9711 AB', 'NL', '+31 50 000 0012', NULL, 'Netherlands'),"
        "(22, 2, 'Warehouse', 'Noordhaven Machinery B.V.', 'Goods receipt', 'Industrieweg 40', 'Gate 3', 'Delfzijl', "
        "NULL, 'GR', '9936 HC', 'NL', NULL, NULL, 'Netherlands'),"
        "(23, 2, 'Building site', 'Noordhaven site Eemshaven', NULL, 'Oostpolderweg 7', NULL, 'Eemshaven', NULL, 'GR', "
        "'9979 XP', 'NL', NULL, NULL, 'Netherlands');"
        "INSERT INTO BASKETHEADER (BASKETID, BASKETNAME, BASKETDATE, USERID, BUSINESSPARTNERID, BILLINGADDRESSID, "
        "SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, BASKETTEXT, DISCOUNTPERC, CUSTOMERPONUMBER, BISID, FREIGHTTOTAL, "
        "PAYMENTMETHOD, FREIGHTTAXTOTAL, CALCULATETAX, CURRENCYDECIMALS, CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, "
        "FREIGHTTAXCODEDESCRIPTION, FREIGHTTAXPERC, SUBTOTAL, TAXTOTAL, TOTAL, TOTALNETAMOUNT, DISCOUNTTOTAL, "
        "CURRENCYSYMBOL, USERLOCALE) VALUES ('0123456789ABCDEF0123456789ABCDEF', 'Workshop spring', '2026-03-02 14:30:00', "
        "'jdevries', 2, 21, 22, 'EUR', 'ROAD', 'Deliver at gate 3 & ring', 0, 'PO-7741', 1, 250, 2, 52.5, TRUE, 2, "
        "'C1002', 'Noordhaven Machinery B.V.', 'H', 'VAT high', 21, 5000, 1102.5, 6405, 5000, 0, 'EUR', 1033);";
    for (int i = 1; i <= kLines; ++i) {
        bool high = i % 2 == 1;
        char line[800];
        std::snprintf(line, sizeof line,
                      "INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, ADDRESSID, LINETEXT, "
                      "PRODUCTCONFIGURABLE, PRODUCTCONFIGID, PRODUCTUNITCODE, PRODUCTPRICE, DISCOUNTPERC, DISCOUNTAMOUNT, "
                      "LINEDISCOUNTAMOUNT, LINEAMOUNT, TAXAMOUNT, FREIGHTAMOUNT, TAXCODE, TAXPERCENTAGE, "
                      "TAXCODEDESCRIPTION, FREIGHTTAXAMOUNT, ORDERDISCOUNTAMOUNT, PARTNUMBER) VALUES ('%s', %d, %d, %d, "
                      "'2026-03-%02d', %d, 'Line %d <text>', FALSE, NULL, 'PCS', 12.5, 0, 0, 0, %d, %s, 5, '%s', %d, "
                      "'%s', 1.05, 0, 'PART-%d');",
                      kBasketId, i, 100 + i, 8, 1 + i % 28, i % 3 == 0 ? 23 : 22, i, 100, high ? "21" : "9",
                      high ? "H" : "L", high ? 21 : 9, high ? "VAT high" : "VAT low", i);
        sql += line;
    }
    return sql;
}

void Prepare(BenchInstallation& inst) {
    inst.Exec(Setup());
    qx::WriteShippedLabelCatalogues((inst.Home() / "config").string());
}

std::string SystemForm() {
    auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    auto labels = Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager");
    return baskets->ConvertToXML(baskets->Restore(kBasketId), labels, "1033");
}

// ---- the hand-written side ----------------------------------------------------

// ICU's narrow no-break space: a no-break space in numbers, a space in dates (as the formatting component does).
std::string Utf8(const icu::UnicodeString& text, const char* narrowSpace = "\u00A0") {
    std::string out;
    text.toUTF8String(out);
    for (size_t pos; (pos = out.find("\u202F")) != std::string::npos;) out.replace(pos, 3, narrowSpace);
    return out;
}

class BareForm {
public:
    BareForm(const std::string& file, const std::filesystem::path& home) : db_(file), home_(home) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale locale("en_US");
        std::unique_ptr<icu::DateTimePatternGenerator> generator(icu::DateTimePatternGenerator::createInstance(locale, status));
        date_ = std::make_unique<icu::SimpleDateFormat>(generator->getBestPattern("yMd", status), locale, status);
        dateTime_ = std::make_unique<icu::SimpleDateFormat>(generator->getBestPattern("yMdjm", status), locale, status);
        date_->setTimeZone(*icu::TimeZone::getGMT());
        dateTime_->setTimeZone(*icu::TimeZone::getGMT());
        currency_ = Utf8(icu::DecimalFormatSymbols(locale, status).getSymbol(icu::DecimalFormatSymbols::kCurrencySymbol));
        auto base = icu::number::NumberFormatter::withLocale(locale).roundingMode(UNUM_ROUND_HALFUP).sign(UNUM_SIGN_NEGATIVE);
        two_ = base.precision(icu::number::Precision::minMaxFraction(2, 2));
        eight_ = base.precision(icu::number::Precision::minMaxFraction(2, 8));
    }

    std::string Build() {
        ReadLabels();
        pugi::xml_document config;
        config.load_file((home_ / "config" / "VendaloConfiguration.xml").c_str());
        std::string setting = config.select_node("//Section[@name='GENERAL_PARAMETERS']/Setting[@name='ShowTaxOnInvoiceOrders']")
                                  .node()
                                  .text()
                                  .get();
        addresses_.clear();
        sqlite3_stmt* header = db_.Statement("SELECT * FROM BASKETHEADER WHERE BASKETID = ?");
        sqlite3_bind_text(header, 1, kBasketId, 32, SQLITE_STATIC);
        if (sqlite3_step(header) != SQLITE_ROW) std::abort();
        int method = sqlite3_column_int(header, Column(header, "PAYMENTMETHOD"));
        bool showTax = method == 2 || (method == 1 && setting == "1");
        double freightTotal = sqlite3_column_double(header, Column(header, "FREIGHTTOTAL"));
        double freightTax = sqlite3_column_double(header, Column(header, "FREIGHTTAXTOTAL"));

        std::string xml = "<?xml version=\"1.0\"?><Order><DocumentTypeID>WebOrder</DocumentTypeID>";
        for (auto [element, code] : {std::pair{"WebOrderTitle", "SLBSA3554"}, {"WebOrderSubTitle", "SLBSA3555"},
                                     {"CopyOrderTitle", "SLBSA3590"}, {"CopyOrderSubTitle", "SLBSA3591"}})
            xml += std::string("<") + element + ">" + Label(code, false) + "</" + element + ">";
        xml += "<OrderHeader WebOrderLabel='" + Label("SLBSA3556", true) + "' CopyOrderLabel='" + Label("SLBSA3592", true) + "'>";
        static const std::map<std::string, const char*> headerLabels = {
            {"CUSTOMERNAME", "SLBSA3557"}, {"BASKETDATE", "SLBSA3558"}, {"BASKETNAME", "SLBSA3559"},
            {"CURRENCYCODE", "SLBSA3560"}, {"DISCOUNTPERC", "SLBSA3561"}, {"CARRIERCODE", "SLBSA3562"},
            {"CUSTOMERPONUMBER", "SLBSA3563"}, {"BASKETTEXT", "SLBSA3564"}, {"TOTALNETAMOUNT", "SLBSA3572"},
            {"DISCOUNTTOTAL", "SLBSA3573"}, {"SUBTOTAL", "SLBSA3574"}, {"FREIGHTTOTAL", "SLBSA3575"},
            {"FREIGHTTAXTOTAL", "SLBSA3576"}, {"TOTAL", "SLBSA3577"}};
        static const std::set<std::string> headerAmounts = {"TOTALNETAMOUNT", "DISCOUNTTOTAL", "SUBTOTAL", "FREIGHTTOTAL",
                                                            "TOTAL", "DISCOUNTPERC", "TAXTOTAL"};
        for (int i = 0, n = sqlite3_column_count(header); i < n; ++i) {
            std::string name = sqlite3_column_name(header, i);
            auto labeled = headerLabels.find(name);
            xml += "<" + name;
            if (labeled != headerLabels.end()) xml += " label = '" + Label(labeled->second, true) + "'";
            xml += ">";
            bool null = sqlite3_column_type(header, i) == SQLITE_NULL;
            double number = sqlite3_column_double(header, i);
            if (!null) {
                if (headerAmounts.count(name))
                    qx::AppendXmlEscaped(xml, Two(number), qx::XmlEscape::Text);
                else if (name == "FREIGHTTAXTOTAL")
                    qx::AppendXmlEscaped(xml, showTax ? Two(number) : "0", qx::XmlEscape::Text);
                else if (name == "FREIGHTTAXPERC")
                    qx::AppendXmlEscaped(xml, Two(freightTotal != 0 && Matches(freightTotal, number, freightTax) ? number : 0),
                                         qx::XmlEscape::Text);
                else
                    qx::AppendXmlEscaped(xml, Text(header, i), qx::XmlEscape::Text);
            }
            if (name == "TAXTOTAL") {
                xml += "</TAXTOTAL>";
                if (!showTax)
                    xml += "0";
                else if (number > 0)
                    xml += TaxSpecification();
                continue;
            }
            if (!null && (name == "SHIPPINGADDRESSID" || name == "BILLINGADDRESSID"))
                xml += Address(sqlite3_column_int(header, i), name == "SHIPPINGADDRESSID" ? "SHIPPING" : "BILLING");
            xml += "</" + name + ">";
        }
        xml += "</OrderHeader>";
        for (auto [element, code] :
             {std::pair{"ProductsLabel", "SLBSA3578"}, {"QtyLabel", "SLBSA3579"}, {"UnitLabel", "SLBSA3580"},
              {"ReqDateLabel", "SLBSA3581"}, {"ItemLabel", "SLBSA3582"}, {"DescriptionLabel", "SLBSA3583"},
              {"UnitPriceLabel", "SLBSA3584"}, {"DiscountLabel", "SLBSA3585"}, {"NetAmountLabel", "SLBSA3586"},
              {"TaxCodeLabel", "SLBSA3587"}, {"FreightCostsLabel", "SLBSA3588"}, {"AddressLabel", "SLBSA3589"}})
            xml += std::string("<") + element + ">" + Label(code, false) + "</" + element + ">";

        xml += "<OrderLines>";
        static const std::set<std::string> lineAmounts = {"PRODUCTPRICE", "LINEAMOUNT", "FREIGHTAMOUNT",
                                                          "LINEDISCOUNTAMOUNT", "ORDERDISCOUNTAMOUNT", "DISCOUNTPERC"};
        sqlite3_stmt* lines = db_.Statement("SELECT * FROM BASKETLINE WHERE BASKETID = ? ORDER BY BASKETLINENR");
        sqlite3_bind_text(lines, 1, kBasketId, 32, SQLITE_STATIC);
        while (sqlite3_step(lines) == SQLITE_ROW) {
            xml += "<OrderLine>";
            for (int i = 0, n = sqlite3_column_count(lines); i < n; ++i) {
                std::string name = sqlite3_column_name(lines, i);
                xml += "<" + name;
                if (name == "LINETEXT") xml += " label='" + Label("SLBSA3564", true) + "'";
                xml += ">";
                if (sqlite3_column_type(lines, i) != SQLITE_NULL) {
                    double number = sqlite3_column_double(lines, i);
                    if (lineAmounts.count(name))
                        qx::AppendXmlEscaped(xml, Two(number), qx::XmlEscape::Text);
                    else if (name == "TAXAMOUNT" || name == "FREIGHTTAXAMOUNT")
                        qx::AppendXmlEscaped(xml, showTax ? Two(number) : "0", qx::XmlEscape::Text);
                    else
                        qx::AppendXmlEscaped(xml, Text(lines, i), qx::XmlEscape::Text);
                }
                xml += "</" + name + ">";
                if (name == "ADDRESSID") xml += Address(sqlite3_column_int(lines, i), "SHIPPING");
            }
            xml += "</OrderLine>";
        }
        xml += "</OrderLines></Order>";
        sqlite3_reset(header);
        return xml;
    }

private:
    static int Column(sqlite3_stmt* stmt, const char* name) {
        for (int i = 0, n = sqlite3_column_count(stmt); i < n; ++i)
            if (std::strcmp(sqlite3_column_name(stmt, i), name) == 0) return i;
        std::abort();
    }
    static bool Matches(double amount, double percentage, double tax) {
        double difference = tax / amount * 100 - percentage;
        return std::abs(std::round(difference * 100) / 100) <= 0.01;
    }

    void ReadLabels() {
        labels_.clear();
        std::string text = os::ReadRegularFile((home_ / "config" / "labels" / "1033.txt").string());
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            size_t equals = line.find('=');
            if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
            std::string value = line.substr(equals + 1);
            labels_[line.substr(0, equals)] = {qx::XmlEscaped(value, qx::XmlEscape::Text),
                                               qx::XmlEscaped(value, qx::XmlEscape::Attribute)};
        }
    }
    const std::string& Label(const char* code, bool attribute) {
        const auto& label = labels_.at(code);
        return attribute ? label.second : label.first;
    }

    std::string Two(double value) { return Utf8(two_.formatDouble(value, status_).toString(status_)); }
    std::string Price(double value) { return Utf8(eight_.formatDouble(value, status_).toString(status_)) + " " + currency_; }

    // A column's text by its declared type, as the order form shows it.
    std::string Text(sqlite3_stmt* stmt, int i) {
        std::string type = sqlite3_column_decltype(stmt, i);
        if (type == "NUMERIC(19,4)") return Price(sqlite3_column_double(stmt, i));
        if (type == "BOOLEAN") return sqlite3_column_int(stmt, i) ? "True" : "False";
        if (type == "DATE" || type == "TIMESTAMP") {
            int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
            std::sscanf(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)), "%d-%d-%d %d:%d:%d", &y, &m, &d, &hh,
                        &mm, &ss);
            using namespace std::chrono;
            double days = sys_days(year(y) / month(m) / day(d)).time_since_epoch().count();
            icu::UnicodeString text;
            bool time = hh || mm || ss;
            (time ? dateTime_ : date_)->format(((days * 24 + hh) * 60 + mm) * 60000.0 + ss * 1000.0, text);
            return Utf8(text, " ");
        }
        if (type == "DOUBLE PRECISION") {
            char text[32];
            std::snprintf(text, sizeof text, "%.15g", sqlite3_column_double(stmt, i));
            return text;
        }
        return reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
    }

    std::string Address(int id, const std::string& type) {
        auto& known = addresses_[type + std::to_string(id)];
        if (!known.empty()) return known;
        static const std::map<std::string, const char*> labeled = {{"NAME1", "SLBSA3567"}, {"STREET1", "SLBSA3568"},
                                                                   {"CITY1", "SLBSA3569"}, {"COUNTRYCODE", "SLBSA3570"},
                                                                   {"ZIPCODE", "SLBSA3571"}};
        sqlite3_stmt* address = db_.Statement(
            "SELECT SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, COUNTRYCODE, "
            "PHONE, FAX, COUNTRYNAME, ADDRESSID, BUSINESSPARTNERID FROM ADDRESS WHERE ADDRESSID = ?");
        sqlite3_bind_int(address, 1, id);
        if (sqlite3_step(address) == SQLITE_ROW) {
            for (int i = 0, n = sqlite3_column_count(address); i < n; ++i) {
                std::string name = sqlite3_column_name(address, i);
                known += "<" + type + name;
                const char* code = name == "SHORTDESCRIPTION" ? (type == "SHIPPING" ? "SLBSA3566" : "SLBSA3565")
                                   : labeled.count(name)      ? labeled.at(name)
                                                              : nullptr;
                if (code) known += " label ='" + Label(code, true) + "'";
                known += ">";
                if (sqlite3_column_type(address, i) != SQLITE_NULL)
                    qx::AppendXmlEscaped(known, reinterpret_cast<const char*>(sqlite3_column_text(address, i)),
                                         qx::XmlEscape::Text);
                known += "</" + type + name + ">";
            }
        }
        return known;
    }

    std::string TaxSpecification() {
        struct Tax {
            std::string description;
            double percentage = 0;
            int64_t tax = 0, net = 0;  // ten-thousandths
        };
        std::vector<std::string> codes;
        std::unordered_map<std::string, Tax> taxes;
        sqlite3_stmt* lines = db_.Statement(
            "SELECT TAXCODE, TAXCODEDESCRIPTION, TAXPERCENTAGE, TAXAMOUNT, LINEAMOUNT, ORDERDISCOUNTAMOUNT FROM BASKETLINE "
            "WHERE BASKETID = ? ORDER BY BASKETLINENR");
        sqlite3_bind_text(lines, 1, kBasketId, 32, SQLITE_STATIC);
        auto scaled = [&](int i) { return std::llround(sqlite3_column_double(lines, i) * 10000); };
        while (sqlite3_step(lines) == SQLITE_ROW) {
            if (sqlite3_column_type(lines, 0) == SQLITE_NULL) continue;
            auto [it, first] = taxes.try_emplace(reinterpret_cast<const char*>(sqlite3_column_text(lines, 0)));
            if (first) {
                codes.push_back(it->first);
                it->second.description = reinterpret_cast<const char*>(sqlite3_column_text(lines, 1));
                it->second.percentage = sqlite3_column_double(lines, 2);
            }
            it->second.tax += scaled(3);
            it->second.net += scaled(4) - scaled(5);
        }
        std::string xml = "<TAXSPECIFIC>";
        for (const auto& code : codes) {
            const Tax& tax = taxes[code];
            xml += "<TAX><TAXCODEDESCRIPTION>";
            qx::AppendXmlEscaped(xml, tax.description, qx::XmlEscape::Text);
            xml += "</TAXCODEDESCRIPTION>";
            if (tax.percentage != 0 && tax.net != 0 && Matches(tax.net / 1e4, tax.percentage, tax.tax / 1e4))
                xml += "<TAXPERCENTAGE>" + Two(tax.percentage) + "</TAXPERCENTAGE>";
            xml += "<TAXAMOUNT>" + Two(tax.tax / 1e4) + "</TAXAMOUNT></TAX>";
        }
        return xml + "</TAXSPECIFIC>";
    }

    BareSQLite db_;
    std::filesystem::path home_;
    std::unique_ptr<icu::SimpleDateFormat> date_, dateTime_;
    std::string currency_;
    icu::number::LocalizedNumberFormatter two_, eight_;
    UErrorCode status_ = U_ZERO_ERROR;
    std::unordered_map<std::string, std::pair<std::string, std::string>> labels_;
    std::unordered_map<std::string, std::string> addresses_;
};

void OrderFormSystem(benchmark::State& state) {
    BenchInstallation inst;
    Prepare(inst);
    for (auto _ : state) {
        std::string xml = SystemForm();
        benchmark::DoNotOptimize(xml);
    }
}
BENCHMARK(OrderFormSystem)->Name("OrderForm/system")->UseRealTime();

void OrderFormBare(benchmark::State& state) {
    BenchInstallation inst;
    Prepare(inst);
    BareForm bare(inst.DatabaseFile(), inst.Home());
    std::string expected = SystemForm();
    std::string built = bare.Build();
    if (built != expected) {
        size_t at = std::mismatch(built.begin(), built.end(), expected.begin(), expected.end()).first - built.begin();
        size_t from = at < 60 ? 0 : at - 60;
        std::fprintf(stderr, "the bare order form differs from the system's at byte %zu:\nbare:   %s\nsystem: %s\n", at,
                     built.substr(from, 120).c_str(), expected.substr(from, 120).c_str());
        std::abort();
    }
    for (auto _ : state) {
        std::string xml = bare.Build();
        benchmark::DoNotOptimize(xml);
    }
}
BENCHMARK(OrderFormBare)->Name("OrderForm/bare")->UseRealTime();

}  // namespace
