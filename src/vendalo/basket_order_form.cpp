// The order form. The document is one string without line breaks:
//   <?xml version="1.0"?><Order><DocumentTypeID>WebOrder</DocumentTypeID>
//   four title elements, <OrderHeader ...> with one element per header column,
//   twelve column-label elements, <OrderLines> with one <OrderLine> per line, </Order>
// Web pages transform it with stylesheets of their own, so its bytes stay as
// they have always been: the three spellings of the label attribute
// ("label = '", " label='" and " label ='"), the "0" that follows the TAXTOTAL
// element when tax is hidden, and values escaped for "&", "<" and ">" only.
// Numbers and dates follow the header's USERLOCALE; labels come from the
// caller's message manager in the caller's locale.
#include "vendalo/basket_order_form.h"

#include <optional>
#include <unordered_map>
#include <vector>

#include "interfaces/vendalo/vendalo_error.h"
#include "platform/automation/decimal.h"
#include "platform/automation/dictionary.h"
#include "platform/config/configuration.h"
#include "platform/masterdata/business_partner.h"
#include "platform/xml/xml_text.h"
#include "shared/lib_sales.h"

namespace vendalo {
namespace {

using ado::RecordsetPtr;
using ole::Decimal;
using ole::Variant;

const char* kConvertToXML = "Vendalo.Basket.ConvertToXML";
// USERLOCALE is set by the web application; a basket it never touched formats as English (United States).
const int32_t kDefaultLocale = 1033;
const int32_t kPricePrecision = 8;

// Labels of header columns ("<NAME label = '...'>").
const std::unordered_map<std::string, const char*> kHeaderLabels = {
    {"CUSTOMERNAME", "SLBSA3557"},   {"BASKETDATE", "SLBSA3558"},      {"BASKETNAME", "SLBSA3559"},
    {"CURRENCYCODE", "SLBSA3560"},   {"DISCOUNTPERC", "SLBSA3561"},    {"CARRIERCODE", "SLBSA3562"},
    {"CUSTOMERPONUMBER", "SLBSA3563"}, {"BASKETTEXT", "SLBSA3564"},    {"TOTALNETAMOUNT", "SLBSA3572"},
    {"DISCOUNTTOTAL", "SLBSA3573"},  {"SUBTOTAL", "SLBSA3574"},        {"FREIGHTTOTAL", "SLBSA3575"},
    {"FREIGHTTAXTOTAL", "SLBSA3576"}, {"TOTAL", "SLBSA3577"},
};
const char* kLineTextLabel = "SLBSA3564";
// Labels of address columns ("<SHIPPINGNAME1 label ='...'>"); SHORTDESCRIPTION depends on the address type.
const std::unordered_map<std::string, const char*> kAddressLabels = {
    {"NAME1", "SLBSA3567"}, {"STREET1", "SLBSA3568"}, {"CITY1", "SLBSA3569"},
    {"COUNTRYCODE", "SLBSA3570"}, {"ZIPCODE", "SLBSA3571"},
};
const char* kShippingDescriptionLabel = "SLBSA3566";
const char* kBillingDescriptionLabel = "SLBSA3565";

const char* kTitles[][2] = {{"WebOrderTitle", "SLBSA3554"}, {"WebOrderSubTitle", "SLBSA3555"},
                            {"CopyOrderTitle", "SLBSA3590"}, {"CopyOrderSubTitle", "SLBSA3591"}};
const char* kColumnLabels[][2] = {
    {"ProductsLabel", "SLBSA3578"},    {"QtyLabel", "SLBSA3579"},         {"UnitLabel", "SLBSA3580"},
    {"ReqDateLabel", "SLBSA3581"},     {"ItemLabel", "SLBSA3582"},        {"DescriptionLabel", "SLBSA3583"},
    {"UnitPriceLabel", "SLBSA3584"},   {"DiscountLabel", "SLBSA3585"},    {"NetAmountLabel", "SLBSA3586"},
    {"TaxCodeLabel", "SLBSA3587"},     {"FreightCostsLabel", "SLBSA3588"}, {"AddressLabel", "SLBSA3589"},
};

// How a column's content is made.
enum class Content {
    Formatted,        // currency as a price with the currency text, dates for the locale, others as text
    PriceDecimals,    // the locale's number with two decimals
    TaxWhenShown,     // as PriceDecimals when tax is shown, otherwise "0"
    FreightTaxPerc,   // the percentage when the freight tax matches it, otherwise 0
    TaxTotal,         // PriceDecimals, followed by the tax specification or "0"
    Address,          // followed by the address elements inside the element
    LineText,         // labeled line text
    LineAddress,      // followed by the line's delivery address elements after the element
};

Content HeaderContent(const std::string& name) {
    static const std::unordered_map<std::string, Content> kinds = {
        {"TOTALNETAMOUNT", Content::PriceDecimals}, {"DISCOUNTTOTAL", Content::PriceDecimals},
        {"SUBTOTAL", Content::PriceDecimals},       {"FREIGHTTOTAL", Content::PriceDecimals},
        {"TOTAL", Content::PriceDecimals},          {"DISCOUNTPERC", Content::PriceDecimals},
        {"TAXTOTAL", Content::TaxTotal},            {"FREIGHTTAXTOTAL", Content::TaxWhenShown},
        {"FREIGHTTAXPERC", Content::FreightTaxPerc}, {"SHIPPINGADDRESSID", Content::Address},
        {"BILLINGADDRESSID", Content::Address},
    };
    auto it = kinds.find(name);
    return it == kinds.end() ? Content::Formatted : it->second;
}

Content LineContent(const std::string& name) {
    static const std::unordered_map<std::string, Content> kinds = {
        {"PRODUCTPRICE", Content::PriceDecimals},        {"LINEAMOUNT", Content::PriceDecimals},
        {"FREIGHTAMOUNT", Content::PriceDecimals},       {"LINEDISCOUNTAMOUNT", Content::PriceDecimals},
        {"ORDERDISCOUNTAMOUNT", Content::PriceDecimals}, {"DISCOUNTPERC", Content::PriceDecimals},
        {"TAXAMOUNT", Content::TaxWhenShown},            {"FREIGHTTAXAMOUNT", Content::TaxWhenShown},
        {"LINETEXT", Content::LineText},                 {"ADDRESSID", Content::LineAddress},
    };
    auto it = kinds.find(name);
    return it == kinds.end() ? Content::Formatted : it->second;
}

// Field values as Sls_ReplaceForbiddenXMLTokens escapes them.
void AppendValue(std::string& xml, std::string_view content) { qx::AppendXmlEscaped(xml, content, qx::XmlEscape::Text); }

Decimal AmountOf(const Variant& value) { return Decimal::FromVariant(value, /*nullAsZero=*/true); }

// True when a tax T on an amount A matches the percentage P: |T / A * 100 - P|,
// rounded to two decimals, is at most 0.01. Never true for an amount of 0.
bool TaxMatchesPercentage(const Decimal& amount, const Decimal& percentage, const Decimal& tax) {
    if (amount.IsZero()) return false;
    static const Decimal kTolerance = *Decimal::Parse("0.01");
    Decimal difference = Decimal::Divide(tax * Decimal::FromInt(100), amount, 20) - percentage;
    if (difference.Sign() < 0) difference = -difference;
    return difference.Round(2) <= kTolerance;
}

int32_t LocaleOf(const RecordsetPtr& header) {
    Variant locale = header->Fields("USERLOCALE").Value();
    return locale.IsNull() || locale.IsEmpty() ? kDefaultLocale : locale.ToLong();
}

bool ShowTaxOnInvoiceOrders() {
    std::shared_ptr<qx::IConfiguration> config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
    config->LoadProduct("Vendalo", 0);
    try {
        return config->GetValue("GENERAL_PARAMETERS", "ShowTaxOnInvoiceOrders").Text() == "1";
    } catch (const ole::AutomationError& e) {
        // an installation without the setting does not show tax on invoice orders
        if (e.Number() == qx::config_err::SettingNotFound) return false;
        throw;
    }
}

// One rendering: the caller's message manager and locale, the formatting
// object, and what the document needs more than once (labels, addresses).
class OrderFormWriter {
public:
    OrderFormWriter(std::shared_ptr<qx::IMessageManager> messages, std::string userLocale)
        : messages_(std::move(messages)), userLocale_(std::move(userLocale)), dataFunctions_(Sls_DataFunctions()) {}

    void ConvertHeaderToXML(std::string& xml, const RecordsetPtr& header, const RecordsetPtr& lines, bool showTax);
    void ConvertLinesToXML(std::string& xml, const RecordsetPtr& header, const RecordsetPtr& lines, bool showTax);
    void ConvertAddressToXML(std::string& xml, int32_t addressId, const std::string& type);
    std::string SpecifyTax(const RecordsetPtr& lines, int32_t locale);
    std::string FormatPriceDecimals(const Variant& value, int32_t locale);

private:
    struct Label {
        std::string text;       // escaped for element content
        std::string attribute;  // escaped for an apostrophe-quoted attribute
    };
    const Label& LabelOf(const char* code);
    std::string Formatted(const Variant& value, ado::DataTypeEnum type, int32_t locale);

    std::shared_ptr<qx::IMessageManager> messages_;
    std::string userLocale_;
    std::shared_ptr<qx::IDataFunctions> dataFunctions_;
    std::shared_ptr<qx::IBusinessPartner> partners_;
    std::unordered_map<std::string, Label> labels_;
    std::unordered_map<std::string, std::string> addresses_;  // by type and id
};

const OrderFormWriter::Label& OrderFormWriter::LabelOf(const char* code) {
    auto found = labels_.find(code);
    if (found != labels_.end()) return found->second;
    std::string text;
    try {
        text = messages_->GetMessage(code, userLocale_);
    } catch (...) {
        // one label the message manager cannot give does not cost the customer the order form
        Sls_LogWarning(kConvertToXML, std::string("The label ") + code + " is shown as its code");
        text = code;
    }
    Label label{qx::XmlEscaped(text, qx::XmlEscape::Text), qx::XmlEscaped(text, qx::XmlEscape::Attribute)};
    return labels_.emplace(code, std::move(label)).first->second;
}

std::string OrderFormWriter::Formatted(const Variant& value, ado::DataTypeEnum type, int32_t locale) {
    switch (type) {
        case ado::adCurrency: return Sls_FormatPrice(value, false, locale, dataFunctions_, kPricePrecision);
        case ado::adDate:
        case ado::adDBTimeStamp: return Sls_FormatDate(value.ToDate(), locale);
        default: return value.ToString();
    }
}

std::string OrderFormWriter::FormatPriceDecimals(const Variant& value, int32_t locale) {
    try {
        if (value.IsNull() || value.IsEmpty()) return "";
        return dataFunctions_->FormatNumber(value.ToDouble(), locale);
    } catch (...) {
        Sls_RaiseError("Basket.FormatPriceDecimals");
    }
}

void OrderFormWriter::ConvertHeaderToXML(std::string& xml, const RecordsetPtr& header, const RecordsetPtr& lines,
                                         bool showTax) {
    try {
        int32_t locale = LocaleOf(header);
        Decimal freightTotal = AmountOf(header->Fields("FREIGHTTOTAL").Value());
        Decimal freightTaxTotal = AmountOf(header->Fields("FREIGHTTAXTOTAL").Value());

        for (const auto& [element, code] : kTitles)
            xml.append("<").append(element).append(">").append(LabelOf(code).text).append("</").append(element).append(">");
        xml.append("<OrderHeader WebOrderLabel='")
            .append(LabelOf("SLBSA3556").attribute)
            .append("' CopyOrderLabel='")
            .append(LabelOf("SLBSA3592").attribute)
            .append("'>");

        for (int i = 0, count = header->FieldCount(); i < count; ++i) {
            ado::Field field = header->Fields(i);
            const std::string& name = field.Name();
            Variant value = field.Value();
            Content content = HeaderContent(name);
            auto labeled = kHeaderLabels.find(name);
            xml.append("<").append(name);
            if (labeled != kHeaderLabels.end()) xml.append(" label = '").append(LabelOf(labeled->second).attribute).append("'");
            xml.append(">");
            if (!value.IsNull()) {
                switch (content) {
                    case Content::PriceDecimals:
                    case Content::TaxTotal: AppendValue(xml, FormatPriceDecimals(value, locale)); break;
                    case Content::TaxWhenShown: AppendValue(xml, showTax ? FormatPriceDecimals(value, locale) : "0"); break;
                    case Content::FreightTaxPerc: {
                        bool matches = !freightTotal.IsZero() &&
                                       TaxMatchesPercentage(freightTotal, AmountOf(value), freightTaxTotal);
                        AppendValue(xml, FormatPriceDecimals(matches ? value : Variant(0.0), locale));
                        break;
                    }
                    default: AppendValue(xml, Formatted(value, field.Type(), locale));
                }
            }
            if (content == Content::TaxTotal) {
                xml.append("</TAXTOTAL>");
                // the stored total decides, not its text: "1.234,56" reads as no number
                if (!showTax)
                    xml.append("0");
                else if (AmountOf(value) > Decimal())
                    xml.append(SpecifyTax(lines, locale));
                continue;
            }
            if (content == Content::Address && !value.IsNull())
                ConvertAddressToXML(xml, value.ToLong(), name == "SHIPPINGADDRESSID" ? "SHIPPING" : "BILLING");
            xml.append("</").append(name).append(">");
        }
        xml.append("</OrderHeader>");
        for (const auto& [element, code] : kColumnLabels)
            xml.append("<").append(element).append(">").append(LabelOf(code).text).append("</").append(element).append(">");
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.ConvertHeaderToXML");
    }
}

void OrderFormWriter::ConvertLinesToXML(std::string& xml, const RecordsetPtr& header, const RecordsetPtr& lines,
                                        bool showTax) {
    try {
        int32_t locale = LocaleOf(header);
        xml.append("<OrderLines>");
        if (lines->Bof() && lines->Eof()) {
            xml.append("</OrderLines>");
            return;
        }
        struct Column {
            std::string name;
            ado::DataTypeEnum type;
            Content content;
        };
        std::vector<Column> columns;
        for (int i = 0, count = lines->FieldCount(); i < count; ++i) {
            ado::Field field = lines->Fields(i);
            columns.push_back({field.Name(), field.Type(), LineContent(field.Name())});
        }
        for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext()) {
            xml.append("<OrderLine>");
            for (size_t i = 0; i < columns.size(); ++i) {
                const Column& column = columns[i];
                Variant value = lines->Fields(static_cast<int>(i)).Value();
                xml.append("<").append(column.name);
                if (column.content == Content::LineText) xml.append(" label='").append(LabelOf(kLineTextLabel).attribute).append("'");
                xml.append(">");
                if (!value.IsNull()) {
                    switch (column.content) {
                        case Content::PriceDecimals: AppendValue(xml, FormatPriceDecimals(value, locale)); break;
                        case Content::TaxWhenShown:
                            AppendValue(xml, showTax ? FormatPriceDecimals(value, locale) : "0");
                            break;
                        default: AppendValue(xml, Formatted(value, column.type, locale));
                    }
                }
                xml.append("</").append(column.name).append(">");
                // a line without a delivery address fails the rendering: "Invalid use of Null"
                if (column.content == Content::LineAddress) ConvertAddressToXML(xml, value.ToLong(), "SHIPPING");
            }
            xml.append("</OrderLine>");
        }
        xml.append("</OrderLines>");
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.ConvertLinesToXML");
    }
}

void OrderFormWriter::ConvertAddressToXML(std::string& xml, int32_t addressId, const std::string& type) {
    try {
        std::string key = type + std::to_string(addressId);
        auto known = addresses_.find(key);
        if (known != addresses_.end()) {
            xml.append(known->second);
            return;
        }
        if (!partners_) partners_ = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
        RecordsetPtr address = partners_->GetAddress(addressId);
        std::string elements;
        if (!(address->Bof() && address->Eof())) {
            for (int i = 0, count = address->FieldCount(); i < count; ++i) {
                ado::Field field = address->Fields(i);
                const std::string& name = field.Name();
                const char* code = nullptr;
                if (name == "SHORTDESCRIPTION") {
                    code = type == "SHIPPING" ? kShippingDescriptionLabel : kBillingDescriptionLabel;
                } else if (auto labeled = kAddressLabels.find(name); labeled != kAddressLabels.end()) {
                    code = labeled->second;
                }
                elements.append("<").append(type).append(name);
                if (code) elements.append(" label ='").append(LabelOf(code).attribute).append("'");
                elements.append(">");
                Variant value = field.Value();
                if (!value.IsNull()) AppendValue(elements, value.ToString());
                elements.append("</").append(type).append(name).append(">");
            }
        }
        xml.append(elements);
        addresses_.emplace(std::move(key), std::move(elements));
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.ConvertAddressToXML");
    }
}

std::string OrderFormWriter::SpecifyTax(const RecordsetPtr& lines, int32_t locale) {
    try {
        struct Tax {
            Variant description, percentage;
            Decimal tax, net;
        };
        std::vector<std::string> codes;  // in order of first occurrence
        std::unordered_map<std::string, Tax> taxes;
        if (!(lines->Bof() && lines->Eof())) {
            for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext()) {
                Variant code = lines->Fields("TAXCODE").Value();
                if (code.IsNull() || code.IsEmpty()) continue;
                auto [it, first] = taxes.try_emplace(code.ToString());
                Tax& tax = it->second;
                if (first) {
                    codes.push_back(it->first);
                    tax.description = lines->Fields("TAXCODEDESCRIPTION").Value();
                    tax.percentage = lines->Fields("TAXPERCENTAGE").Value();
                }
                tax.tax += AmountOf(lines->Fields("TAXAMOUNT").Value());
                tax.net += AmountOf(lines->Fields("LINEAMOUNT").Value()) -
                           AmountOf(lines->Fields("ORDERDISCOUNTAMOUNT").Value());
            }
        }
        std::string xml = "<TAXSPECIFIC>";
        for (const std::string& code : codes) {
            const Tax& tax = taxes.at(code);
            xml.append("<TAX><TAXCODEDESCRIPTION>");
            if (!tax.description.IsNull()) AppendValue(xml, tax.description.ToString());
            xml.append("</TAXCODEDESCRIPTION>");
            Decimal percentage = AmountOf(tax.percentage);
            if (!percentage.IsZero() && TaxMatchesPercentage(tax.net, percentage, tax.tax)) {
                xml.append("<TAXPERCENTAGE>");
                AppendValue(xml, FormatPriceDecimals(tax.percentage, locale));
                xml.append("</TAXPERCENTAGE>");
            }
            xml.append("<TAXAMOUNT>");
            AppendValue(xml, FormatPriceDecimals(tax.tax.ToVariant(), locale));
            xml.append("</TAXAMOUNT></TAX>");
        }
        xml.append("</TAXSPECIFIC>");
        return xml;
    } catch (...) {
        Sls_RaiseError("Basket.SpecifyTax");
    }
}

}  // namespace

std::string ConvertBasketToXML(const Variant& iBasket, const std::shared_ptr<qx::IMessageManager>& ioMessageManager,
                               const std::string& iUserLocale) {
    try {
        if (iBasket.IsNull() || iBasket.IsEmpty() || (iBasket.IsObject() && !iBasket.ToObject()))
            ole::Raise(MissingOrderID, "Basket is empty", kConvertToXML);
        auto basket = iBasket.As<ole::Dictionary>();
        if (!basket) ole::Raise(ole::err::ObjectRequired);
        if (!ioMessageManager) ole::Raise(ole::err::ObjectNotSet);
        RecordsetPtr header = RecordsetOf(*basket, "header");
        // a copy of the lines, so that the caller's recordset keeps its position
        // (DeleteLines searches from the current row)
        RecordsetPtr lines = RecordsetOf(*basket, "lines")->Clone();

        Variant paymentMethod = header->Fields("PAYMENTMETHOD").Value();
        int32_t method = paymentMethod.IsNull() || paymentMethod.IsEmpty() ? 0 : paymentMethod.ToLong();
        bool showOnInvoice = ShowTaxOnInvoiceOrders();
        bool showTax = method == 2 || (method == 1 && showOnInvoice);

        OrderFormWriter writer(ioMessageManager, iUserLocale);
        std::string xml = "<?xml version=\"1.0\"?><Order><DocumentTypeID>WebOrder</DocumentTypeID>";
        writer.ConvertHeaderToXML(xml, header, lines, showTax);
        writer.ConvertLinesToXML(xml, header, lines, showTax);
        xml.append("</Order>");
        return xml;
    } catch (...) {
        Sls_RaiseError(kConvertToXML);
    }
}

}  // namespace vendalo
