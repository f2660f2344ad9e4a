// The order form of a 50-line basket: Restore and ConvertToXML through
// "Vendalo.Basket", with the label catalogue stand-in and the addresses of the
// business-partner stand-in ("OrderForm/system"), against a hand-written
// program that builds the same text from the same rows with the bare SQLite C
// API ("OrderForm/bare"): the same statements prepared once, the label file
// and the setting read per form, ICU formatters made once, each address read
// once per form. Both sides must produce the same bytes; the run stops if not.
// The same on PostgreSQL ("OrderForm@pg/..."), the hand-written program reading
// its rows through libpq, each statement prepared once.
#include <benchmark/benchmark.h>
#include <unicode/dtptngen.h>
#include <unicode/numberformatter.h>
#include <unicode/smpdtfmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/timezone.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <type_traits>
#include <unordered_map>

#include "bench_support.h"
#include "interfaces/vendalo/basket.h"
#include "platform/format/label_catalogue.h"
#include "platform/os/durable_file.h"
#include "platform/xml/xml_text.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;

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

// The hand-written program's rows on SQLite: each statement prepared once, read
// a row at a time, reset when done with.
class LiteSource {
public:
    explicit LiteSource(const BenchInstallation& inst) : db_(inst.DatabaseFile()) {}

    class Rows {
    public:
        explicit Rows(sqlite3_stmt* stmt) : stmt_(stmt) {}
        ~Rows() { sqlite3_reset(stmt_); }
        Rows(const Rows&) = delete;
        Rows& operator=(const Rows&) = delete;
        bool Next() { return sqlite3_step(stmt_) == SQLITE_ROW; }
        int Count() const { return sqlite3_column_count(stmt_); }
        const char* Name(int i) const { return sqlite3_column_name(stmt_, i); }
        // The column's declared type, as the schema writes it.
        const char* Type(int i) const { return sqlite3_column_decltype(stmt_, i); }
        bool Null(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
        double Number(int i) const { return sqlite3_column_double(stmt_, i); }
        int Integer(int i) const { return sqlite3_column_int(stmt_, i); }
        bool Boolean(int i) const { return sqlite3_column_int(stmt_, i) != 0; }
        const char* Text(int i) const { return reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i)); }

    private:
        sqlite3_stmt* stmt_;
    };

    // A statement with one "?": the basket's key, or a number.
    Rows Query(const char* sql, const char* key) {
        sqlite3_stmt* stmt = db_.Statement(sql);
        sqlite3_bind_text(stmt, 1, key, 32, SQLITE_STATIC);
        return Rows(stmt);
    }
    Rows Query(const char* sql, int value) {
        sqlite3_stmt* stmt = db_.Statement(sql);
        sqlite3_bind_int(stmt, 1, value);
        return Rows(stmt);
    }

private:
    BareSQLite db_;
};

// The same on PostgreSQL through libpq: each statement prepared once, its whole
// result read in one round trip; the column names upper-cased and the types
// named as the schema writes them, once per result.
class PostgresSource {
public:
    explicit PostgresSource(const BenchInstallation& inst) : db_(inst) {}

    class Rows {
    public:
        explicit Rows(BarePostgres::Rows result) : result_(std::move(result)) {
            for (int i = 0, n = PQnfields(result_.get()); i < n; ++i) {
                std::string name = PQfname(result_.get(), i);
                for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                names_.push_back(std::move(name));
                types_.push_back(TypeOf(PQftype(result_.get(), i), PQfmod(result_.get(), i)));
            }
        }
        bool Next() { return ++row_ < PQntuples(result_.get()); }
        int Count() const { return static_cast<int>(names_.size()); }
        const char* Name(int i) const { return names_[static_cast<size_t>(i)].c_str(); }
        const char* Type(int i) const { return types_[static_cast<size_t>(i)]; }
        bool Null(int i) const { return PQgetisnull(result_.get(), row_, i) == 1; }
        double Number(int i) const { return std::strtod(Text(i), nullptr); }
        int Integer(int i) const { return std::atoi(Text(i)); }
        bool Boolean(int i) const { return Text(i)[0] == 't'; }
        const char* Text(int i) const { return PQgetvalue(result_.get(), row_, i); }

    private:
        static const char* TypeOf(Oid type, int mod) {
            switch (type) {
                case 16: return "BOOLEAN";
                case 701: return "DOUBLE PRECISION";
                case 1082: return "DATE";
                case 1114: return "TIMESTAMP";
                case 1700: return mod == ((19 << 16) | 4) + 4 ? "NUMERIC(19,4)" : "NUMERIC";
                default: return "";
            }
        }

        BarePostgres::Rows result_;
        int row_ = -1;
        std::vector<std::string> names_;
        std::vector<const char*> types_;
    };

    Rows Query(const char* sql, const char* key) { return Rows(db_.Query(Numbered(sql), {key})); }
    Rows Query(const char* sql, int value) {
        std::string text = std::to_string(value);
        return Rows(db_.Query(Numbered(sql), {text.c_str()}));
    }

private:
    // The statement's text with its "?" as "$1", made once.
    const char* Numbered(const char* sql) {
        auto& numbered = numbered_[sql];
        if (numbered.empty()) {
            numbered = sql;
            numbered.replace(numbered.find('?'), 1, "$1");
        }
        return numbered.c_str();
    }

    BarePostgres db_;
    std::unordered_map<const char*, std::string> numbered_;
};

template <class Source>
class BareForm {
public:
    explicit BareForm(const BenchInstallation& inst) : db_(inst), home_(inst.Home()) {
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
        auto header = db_.Query("SELECT * FROM BASKETHEADER WHERE BASKETID = ?", kBasketId);
        if (!header.Next()) std::abort();
        int method = header.Integer(Column(header, "PAYMENTMETHOD"));
        bool showTax = method == 2 || (method == 1 && setting == "1");
        double freightTotal = header.Number(Column(header, "FREIGHTTOTAL"));
        double freightTax = header.Number(Column(header, "FREIGHTTAXTOTAL"));

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
        for (int i = 0, n = header.Count(); i < n; ++i) {
            std::string name = header.Name(i);
            auto labeled = headerLabels.find(name);
            xml += "<" + name;
            if (labeled != headerLabels.end()) xml += " label = '" + Label(labeled->second, true) + "'";
            xml += ">";
            bool null = header.Null(i);
            double number = null ? 0 : header.Number(i);
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
                xml += Address(header.Integer(i), name == "SHIPPINGADDRESSID" ? "SHIPPING" : "BILLING");
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
        auto lines = db_.Query("SELECT * FROM BASKETLINE WHERE BASKETID = ? ORDER BY BASKETLINENR", kBasketId);
        while (lines.Next()) {
            xml += "<OrderLine>";
            for (int i = 0, n = lines.Count(); i < n; ++i) {
                std::string name = lines.Name(i);
                xml += "<" + name;
                if (name == "LINETEXT") xml += " label='" + Label("SLBSA3564", true) + "'";
                xml += ">";
                if (!lines.Null(i)) {
                    double number = lines.Number(i);
                    if (lineAmounts.count(name))
                        qx::AppendXmlEscaped(xml, Two(number), qx::XmlEscape::Text);
                    else if (name == "TAXAMOUNT" || name == "FREIGHTTAXAMOUNT")
                        qx::AppendXmlEscaped(xml, showTax ? Two(number) : "0", qx::XmlEscape::Text);
                    else
                        qx::AppendXmlEscaped(xml, Text(lines, i), qx::XmlEscape::Text);
                }
                xml += "</" + name + ">";
                if (name == "ADDRESSID") xml += Address(lines.Integer(i), "SHIPPING");
            }
            xml += "</OrderLine>";
        }
        xml += "</OrderLines></Order>";
        return xml;
    }

private:
    template <class Rows>
    static int Column(const Rows& rows, const char* name) {
        for (int i = 0, n = rows.Count(); i < n; ++i)
            if (std::strcmp(rows.Name(i), name) == 0) return i;
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
    template <class Rows>
    std::string Text(const Rows& rows, int i) {
        std::string type = rows.Type(i);
        if (type == "NUMERIC(19,4)") return Price(rows.Number(i));
        if (type == "BOOLEAN") return rows.Boolean(i) ? "True" : "False";
        if (type == "DATE" || type == "TIMESTAMP") {
            int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
            std::sscanf(rows.Text(i), "%d-%d-%d %d:%d:%d", &y, &m, &d, &hh, &mm, &ss);
            using namespace std::chrono;
            double days = sys_days(year(y) / month(m) / day(d)).time_since_epoch().count();
            icu::UnicodeString text;
            bool time = hh || mm || ss;
            (time ? dateTime_ : date_)->format(((days * 24 + hh) * 60 + mm) * 60000.0 + ss * 1000.0, text);
            return Utf8(text, " ");
        }
        if (type == "DOUBLE PRECISION") {
            char text[32];
            std::snprintf(text, sizeof text, "%.15g", rows.Number(i));
            return text;
        }
        return rows.Text(i);
    }

    std::string Address(int id, const std::string& type) {
        auto& known = addresses_[type + std::to_string(id)];
        if (!known.empty()) return known;
        static const std::map<std::string, const char*> labeled = {{"NAME1", "SLBSA3567"}, {"STREET1", "SLBSA3568"},
                                                                   {"CITY1", "SLBSA3569"}, {"COUNTRYCODE", "SLBSA3570"},
                                                                   {"ZIPCODE", "SLBSA3571"}};
        auto address = db_.Query(
            "SELECT SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, COUNTRYCODE, "
            "PHONE, FAX, COUNTRYNAME, ADDRESSID, BUSINESSPARTNERID FROM ADDRESS WHERE ADDRESSID = ?",
            id);
        if (address.Next()) {
            for (int i = 0, n = address.Count(); i < n; ++i) {
                std::string name = address.Name(i);
                known += "<" + type + name;
                const char* code = name == "SHORTDESCRIPTION" ? (type == "SHIPPING" ? "SLBSA3566" : "SLBSA3565")
                                   : labeled.count(name)      ? labeled.at(name)
                                                              : nullptr;
                if (code) known += " label ='" + Label(code, true) + "'";
                known += ">";
                if (!address.Null(i)) qx::AppendXmlEscaped(known, address.Text(i), qx::XmlEscape::Text);
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
        auto lines = db_.Query(
            "SELECT TAXCODE, TAXCODEDESCRIPTION, TAXPERCENTAGE, TAXAMOUNT, LINEAMOUNT, ORDERDISCOUNTAMOUNT FROM BASKETLINE "
            "WHERE BASKETID = ? ORDER BY BASKETLINENR",
            kBasketId);
        auto scaled = [&](int i) { return std::llround(lines.Number(i) * 10000); };
        while (lines.Next()) {
            if (lines.Null(0)) continue;
            auto [it, first] = taxes.try_emplace(lines.Text(0));
            if (first) {
                codes.push_back(it->first);
                it->second.description = lines.Text(1);
                it->second.percentage = lines.Number(2);
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

    Source db_;
    std::filesystem::path home_;
    std::unique_ptr<icu::SimpleDateFormat> date_, dateTime_;
    std::string currency_;
    icu::number::LocalizedNumberFormatter two_, eight_;
    UErrorCode status_ = U_ZERO_ERROR;
    std::unordered_map<std::string, std::pair<std::string, std::string>> labels_;
    std::unordered_map<std::string, std::string> addresses_;
};

template <Database kDb>
void OrderFormSystem(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    Prepare(inst);
    for (auto _ : state) {
        std::string xml = SystemForm();
        benchmark::DoNotOptimize(xml);
    }
}
BENCHMARK(OrderFormSystem<Database::SQLite>)->Name("OrderForm/system")->UseRealTime();
BENCHMARK(OrderFormSystem<Database::PostgreSQL>)->Name("OrderForm@pg/system")->UseRealTime();

template <Database kDb>
void OrderFormBare(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    Prepare(inst);
    BareForm<std::conditional_t<kDb == Database::SQLite, LiteSource, PostgresSource>> bare(inst);
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
BENCHMARK(OrderFormBare<Database::SQLite>)->Name("OrderForm/bare")->UseRealTime();
BENCHMARK(OrderFormBare<Database::PostgreSQL>)->Name("OrderForm@pg/bare")->UseRealTime();

}  // namespace
