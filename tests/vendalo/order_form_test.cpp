// The order form of a basket (Basket.ConvertToXML) and its HTML page, on both
// databases, with the label catalogue stand-in or a message manager of the test.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <functional>
#include <map>

#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "platform/format/label_catalogue.h"
#include "platform/xml/xslt.h"
#include "shared/lib_sales.h"
#include "test_installation.h"
#include "vendalo/order_form_html.h"

using namespace testing_support;
using ado::RecordsetPtr;
using ole::DictionaryPtr;
using ole::Variant;

namespace {

const char* kBasketId = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
const std::string kNoBreakSpace = "\u00A0";

const char* kMasterData =
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CUSTOMERCODE, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
    "SHIPPINGADDRESSID) VALUES (2, 'Noordhaven Machinery B.V.', 'C1002', 'EUR', 'ROAD', 21, 22);"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, "
    "STATEPROVINCE, ZIPCODE, COUNTRYCODE, PHONE, FAX, COUNTRYNAME) VALUES "
    "(21, 2, 'Invoices', 'Noordhaven Machinery B.V.', 'Accounts payable', 'Kade 12', NULL, 'Groningen', NULL, 'GR', "
    "'9711 AB', 'NL', '+31 50 000 0012', NULL, 'Netherlands'),"
    "(22, 2, 'Warehouse', 'Noordhaven Machinery B.V.', 'Goods receipt', 'Industrieweg 40', 'Gate 3', 'Delfzijl', NULL, "
    "'GR', '9936 HC', 'NL', NULL, NULL, 'Netherlands'),"
    "(23, 2, 'Building site', 'Noordhaven site Eemshaven', NULL, 'Oostpolderweg 7', NULL, 'Eemshaven', NULL, 'GR', "
    "'9979 XP', 'NL', NULL, NULL, 'Netherlands');";

// Two lines with two tax codes, paid by credit card (tax shown), in English (United States).
const char* kTwoLineBasket =
    "INSERT INTO BASKETHEADER (BASKETID, BASKETNAME, BASKETDATE, USERID, BUSINESSPARTNERID, BILLINGADDRESSID, "
    "SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, BASKETTEXT, DISCOUNTPERC, CUSTOMERPONUMBER, ACKNOWLEDGEMENTURL, "
    "BISID, FREIGHTTOTAL, PAYMENTMETHOD, FREIGHTTAXTOTAL, CALCULATETAX, CURRENCYDECIMALS, CUSTOMERCODE, CUSTOMERNAME, "
    "FREIGHTTAXCODE, FREIGHTTAXCODEDESCRIPTION, FREIGHTTAXPERC, SUBTOTAL, TAXTOTAL, TOTAL, TOTALNETAMOUNT, DISCOUNTTOTAL, "
    "CURRENCYSYMBOL, USERLOCALE) VALUES ('A1B2C3D4E5F60718293A4B5C6D7E8F90', 'Workshop spring', '2026-03-02 14:30:00', "
    "'jdevries', 2, 21, 22, 'EUR', 'ROAD', 'Deliver at gate 3', 2.5, 'PO-7741', NULL, 1, 25, 2, 5.25, TRUE, 2, 'C1002', "
    "'Noordhaven Machinery B.V.', 'H', 'VAT high', 21, 58.5, 14.96, 98.46, 60, 1.5, '\u20AC', 1033);"
    "INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, ADDRESSID, LINETEXT, "
    "PRODUCTCONFIGURABLE, PRODUCTCONFIGID, PRODUCTUNITCODE, PRODUCTPRICE, DISCOUNTPERC, DISCOUNTAMOUNT, "
    "LINEDISCOUNTAMOUNT, LINEAMOUNT, TAXAMOUNT, FREIGHTAMOUNT, TAXCODE, TAXPERCENTAGE, TAXCODEDESCRIPTION, "
    "FREIGHTTAXAMOUNT, ORDERDISCOUNTAMOUNT, PARTNUMBER) VALUES "
    "('A1B2C3D4E5F60718293A4B5C6D7E8F90', 1, 101, 100, '2026-03-16', 22, 'Zinc plated', FALSE, NULL, 'PCS', 0.4, 5, "
    "0.02, 2, 38, 7.78, 10, 'H', 21, 'VAT high', 2.1, 0.95, 'BOLT-M8'),"
    "('A1B2C3D4E5F60718293A4B5C6D7E8F90', 2, 103, 12.5, '2026-03-20', 23, NULL, FALSE, NULL, 'M', 1.76, 0, 0, 0, 22, "
    "1.93, 15, 'L', 9, 'VAT low', 3.15, 0.55, 'CABLE-3X25');";

// A message manager of a web page: fixed texts, and a failure for one code.
class PageLabels : public qx::IMessageManager {
public:
    std::map<std::string, std::string> texts;
    std::string failing;
    std::string GetMessage(const std::string& code, const std::string&) override {
        if (code == failing) ole::Raise(ole::err::InvalidProcedureCall, "no text for " + code, "PageLabels");
        auto it = texts.find(code);
        return it == texts.end() ? "[" + code + "]" : it->second;
    }
};

class OrderForm : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(kMasterData);
        Inst().Exec(kTwoLineBasket);
        qx::WriteShippedLabelCatalogues((Inst().Home() / "config").string());
        baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
        catalogue = Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager");
    }

    DictionaryPtr Basket() { return baskets->Restore(kBasketId); }
    static RecordsetPtr Header(const DictionaryPtr& b) { return b->Item("header").As<ado::Recordset>(); }
    static RecordsetPtr Lines(const DictionaryPtr& b) { return b->Item("lines").As<ado::Recordset>(); }
    // Sets a column of every line (in the dictionary only).
    static void SetLines(const DictionaryPtr& b, const std::string& column, const Variant& value) {
        auto lines = Lines(b);
        for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext()) lines->Fields(column) = value;
    }

    std::string Render(const DictionaryPtr& b, std::shared_ptr<qx::IMessageManager> labels = nullptr) {
        return baskets->ConvertToXML(b, labels ? labels : catalogue, "1033");
    }
    // The document parsed by a real XML parser (the test fails when it does not parse).
    static std::unique_ptr<pugi::xml_document> Parsed(const std::string& xml) {
        auto doc = std::make_unique<pugi::xml_document>();
        pugi::xml_parse_result result = doc->load_string(xml.c_str());
        EXPECT_TRUE(result) << result.description() << " at " << result.offset << ": " << xml;
        return doc;
    }
    static std::string Between(const std::string& xml, const std::string& from, const std::string& to) {
        size_t start = xml.find(from);
        if (start == std::string::npos) return "<" + from + " missing>";
        start += from.size();
        return xml.substr(start, xml.find(to, start) - start);
    }
    static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

    std::shared_ptr<vendalo::IBasket> baskets;
    std::shared_ptr<qx::IMessageManager> catalogue;
};

TEST_P(OrderForm, ATwoLineBasketRendersAsTheExpectedDocument) {
    // One line, no line break; a trailing line break of the data file is not part of it.
    std::string expected = ReadFile(SourceDir() / "tests" / "vendalo" / "data" / "order_form_two_lines.xml");
    if (!expected.empty() && expected.back() == '\n') expected.pop_back();
    DictionaryPtr basket = Basket();
    std::string xml = Render(basket);
    EXPECT_EQ(xml, expected);
    Parsed(xml);
    // the rendering reads only: the caller's lines stay where they were, so DeleteLines still finds line 1
    Variant held = basket;
    baskets->DeleteLines(held, Variant(ole::VariantArray{Variant(1)}));
    EXPECT_EQ(Lines(baskets->Restore(kBasketId))->RecordCount(), 1);
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(OrderForm, TaxOnInvoiceOrdersIsShownOnlyWhenTheSettingSaysSo) {
    DictionaryPtr basket = Basket();
    Header(basket)->Fields("PAYMENTMETHOD") = int16_t{1};
    auto hidden = [&](const std::string& xml) {
        return Has(xml, "<TAXTOTAL>14.96</TAXTOTAL>0<") && !Has(xml, "<TAXSPECIFIC>") &&
               Has(xml, "<FREIGHTTAXTOTAL label = 'Tax on freight'>0</FREIGHTTAXTOTAL>") &&
               Has(xml, "<TAXAMOUNT>0</TAXAMOUNT><FREIGHTAMOUNT>10.00</FREIGHTAMOUNT>") &&
               Has(xml, "<FREIGHTTAXAMOUNT>0</FREIGHTTAXAMOUNT>") && !Has(xml, "<TAXAMOUNT>7.78</TAXAMOUNT>");
    };
    // a missing setting means "do not show"
    EXPECT_TRUE(hidden(Render(basket)));
    Inst().SetSetting("GENERAL_PARAMETERS", "ShowTaxOnInvoiceOrders", "0", "Long");
    EXPECT_TRUE(hidden(Render(basket)));
    Inst().SetSetting("GENERAL_PARAMETERS", "ShowTaxOnInvoiceOrders", "1", "Long");
    std::string shown = Render(basket);
    EXPECT_FALSE(hidden(shown));
    EXPECT_TRUE(Has(shown, "<TAXTOTAL>14.96</TAXTOTAL><TAXSPECIFIC>"));
    EXPECT_TRUE(Has(shown, "<FREIGHTTAXTOTAL label = 'Tax on freight'>5.25</FREIGHTTAXTOTAL>"));
    // a card order shows tax whatever the setting; a basket without a payment method never does
    Inst().SetSetting("GENERAL_PARAMETERS", "ShowTaxOnInvoiceOrders", "0", "Long");
    Header(basket)->Fields("PAYMENTMETHOD") = int16_t{2};
    EXPECT_FALSE(hidden(Render(basket)));
    Header(basket)->Fields("PAYMENTMETHOD") = Variant::Null();
    EXPECT_TRUE(hidden(Render(basket)));
}

TEST_P(OrderForm, PercentagesAreShownOnlyWhenTheTaxMatchesThemWithinOneHundredth) {
    DictionaryPtr basket = Basket();
    auto header = Header(basket);
    header->Fields("FREIGHTTOTAL") = ole::Currency::FromDouble(100);
    header->Fields("FREIGHTTAXPERC") = 21.0;
    auto freightPerc = [&](double freightTax) {
        header->Fields("FREIGHTTAXTOTAL") = ole::Currency::FromDouble(freightTax);
        return Between(Render(basket), "<FREIGHTTAXPERC>", "</FREIGHTTAXPERC>");
    };
    EXPECT_EQ(freightPerc(21.00), "21.00");
    EXPECT_EQ(freightPerc(21.01), "21.00");  // 0.01 percentage points off: still the same
    EXPECT_EQ(freightPerc(20.99), "21.00");
    EXPECT_EQ(freightPerc(21.02), "0.00");
    EXPECT_EQ(freightPerc(20.98), "0.00");
    header->Fields("FREIGHTTOTAL") = ole::Currency::FromDouble(0);
    EXPECT_EQ(freightPerc(0), "0.00");

    // the tax specification: per code, the sums of the lines against the first line's percentage
    auto lines = Lines(basket);
    lines->MoveFirst();
    lines->Fields("LINEAMOUNT") = ole::Currency::FromDouble(100.95);  // net 100 after the order discount 0.95
    auto highRate = [&](double tax) {
        lines->MoveFirst();
        lines->Fields("TAXAMOUNT") = ole::Currency::FromDouble(tax);
        return Between(Render(basket), "<TAXCODEDESCRIPTION>VAT high</TAXCODEDESCRIPTION>", "</TAX>");
    };
    EXPECT_EQ(highRate(21.01), "<TAXPERCENTAGE>21.00</TAXPERCENTAGE><TAXAMOUNT>21.01</TAXAMOUNT>");
    EXPECT_EQ(highRate(21.02), "<TAXAMOUNT>21.02</TAXAMOUNT>");
}

TEST_P(OrderForm, LinesOfOneTaxCodeAddUpInOneTaxElementInOrderOfFirstOccurrence) {
    DictionaryPtr basket = Basket();
    auto lines = Lines(basket);
    lines->MoveLast();
    lines->Fields("TAXCODE") = "H";
    lines->Fields("TAXCODEDESCRIPTION") = "ignored: the first line describes the code";
    lines->Fields("TAXPERCENTAGE") = 9.0;
    lines->AddNew();
    lines->Fields("BASKETID") = kBasketId;
    lines->Fields("BASKETLINENR") = 3;
    lines->Fields("ADDRESSID") = 22;
    lines->Fields("TAXCODE") = "Z";
    lines->Fields("TAXCODEDESCRIPTION") = "Exempt";
    lines->Fields("TAXPERCENTAGE") = 0.0;
    lines->Fields("TAXAMOUNT") = ole::Currency::FromDouble(0);
    lines->Fields("LINEAMOUNT") = ole::Currency::FromDouble(5);
    std::string xml = Render(basket);
    // 7.78 + 1.93 on 37.05 + 21.45: 16.50 %, not 21 %
    EXPECT_EQ(Between(xml, "<TAXSPECIFIC>", "</TAXSPECIFIC>"),
              "<TAX><TAXCODEDESCRIPTION>VAT high</TAXCODEDESCRIPTION><TAXAMOUNT>9.71</TAXAMOUNT></TAX>"
              "<TAX><TAXCODEDESCRIPTION>Exempt</TAXCODEDESCRIPTION><TAXAMOUNT>0.00</TAXAMOUNT></TAX>");
}

TEST_P(OrderForm, ABasketWithoutLinesHasAnEmptyLineList) {
    Inst().Exec("DELETE FROM BASKETLINE");
    std::string xml = Render(Basket());
    EXPECT_TRUE(Has(xml, "<OrderLines></OrderLines></Order>"));
    EXPECT_TRUE(Has(xml, "<TAXTOTAL>14.96</TAXTOTAL><TAXSPECIFIC></TAXSPECIFIC><TOTAL"));
    Parsed(xml);
}

TEST_P(OrderForm, LabelsWithApostrophesAndAmpersandsKeepTheDocumentWellFormed) {
    auto labels = std::make_shared<PageLabels>();
    labels->texts = {{"SLBSA3563", "Customer's no."}, {"SLBSA3556", "R&D \"web\" <order>"},
                     {"SLBSA3554", "Tom & Jerry's <order>"}, {"SLBSA3564", "Note's"}, {"SLBSA3567", "A&B's name"}};
    std::string xml = Render(Basket(), labels);
    EXPECT_TRUE(Has(xml, "<CUSTOMERPONUMBER label = 'Customer&apos;s no.'>PO-7741</CUSTOMERPONUMBER>"));
    EXPECT_TRUE(Has(xml, "<WebOrderTitle>Tom &amp; Jerry's &lt;order&gt;</WebOrderTitle>"));
    EXPECT_TRUE(Has(xml, "<LINETEXT label='Note&apos;s'>Zinc plated</LINETEXT>"));
    EXPECT_TRUE(Has(xml, "<SHIPPINGNAME1 label ='A&amp;B&apos;s name'>"));
    auto doc = Parsed(xml);
    auto header = doc->child("Order").child("OrderHeader");
    EXPECT_STREQ(header.attribute("WebOrderLabel").value(), "R&D \"web\" <order>");
    EXPECT_STREQ(header.child("CUSTOMERPONUMBER").attribute("label").value(), "Customer's no.");
    EXPECT_STREQ(header.child("SHIPPINGADDRESSID").child("SHIPPINGNAME1").attribute("label").value(), "A&B's name");
    EXPECT_STREQ(doc->child("Order").child_value("WebOrderTitle"), "Tom & Jerry's <order>");
}

TEST_P(OrderForm, AFrenchBasketGroupsThousandsAndStillSpecifiesItsTax) {
    DictionaryPtr basket = Basket();
    auto header = Header(basket);
    header->Fields("USERLOCALE") = 1036;
    header->Fields("TAXTOTAL") = ole::Currency::FromDouble(1234.56);
    header->Fields("TOTAL") = ole::Currency::FromDouble(12345.6);
    std::string xml = Render(basket);
    EXPECT_TRUE(Has(xml, "<TAXTOTAL>1" + kNoBreakSpace + "234,56</TAXTOTAL><TAXSPECIFIC><TAX>")) << xml;
    EXPECT_TRUE(Has(xml, "<TOTAL label = 'Total'>12" + kNoBreakSpace + "345,60</TOTAL>"));
    EXPECT_TRUE(Has(xml, "<BASKETDATE label = 'Order date'>02/03/2026 14:30</BASKETDATE>"));
    EXPECT_TRUE(Has(xml, "<DISCOUNTAMOUNT>0,02 \u20AC</DISCOUNTAMOUNT>"));
    EXPECT_TRUE(Has(xml, "<TAXPERCENTAGE>21,00</TAXPERCENTAGE><TAXAMOUNT>7,78</TAXAMOUNT>"));
}

TEST_P(OrderForm, NullAmountsCountAsZeroAndANullLocaleFormatsAsEnglish) {
    DictionaryPtr basket = Basket();
    auto header = Header(basket);
    header->Fields("USERLOCALE") = Variant::Null();
    header->Fields("BILLINGADDRESSID") = Variant::Null();
    header->Fields("FREIGHTTAXTOTAL") = Variant::Null();
    auto lines = Lines(basket);
    lines->MoveFirst();
    lines->Fields("TAXAMOUNT") = Variant::Null();
    lines->Fields("ORDERDISCOUNTAMOUNT") = Variant::Null();
    lines->MoveNext();
    lines->Fields("TAXCODE") = "H";
    lines->Fields("LINEAMOUNT") = Variant::Null();
    std::string xml = Render(basket);
    EXPECT_TRUE(Has(xml, "<BILLINGADDRESSID></BILLINGADDRESSID><SHIPPINGADDRESSID>22<SHIPPINGSHORTDESCRIPTION"));
    EXPECT_TRUE(Has(xml, "<FREIGHTTAXTOTAL label = 'Tax on freight'></FREIGHTTAXTOTAL>"));
    EXPECT_TRUE(Has(xml, "<TAXAMOUNT></TAXAMOUNT>"));
    EXPECT_TRUE(Has(xml, "<USERLOCALE></USERLOCALE>"));
    // 0 + 1.93 of tax on 38 + 0 - 0 - 0.55 of net amount, in English
    EXPECT_EQ(Between(xml, "<TAXSPECIFIC>", "</TAXSPECIFIC>"),
              "<TAX><TAXCODEDESCRIPTION>VAT high</TAXCODEDESCRIPTION><TAXAMOUNT>1.93</TAXAMOUNT></TAX>");
    EXPECT_TRUE(Has(xml, "<BASKETDATE label = 'Order date'>3/2/2026, 2:30 PM</BASKETDATE>"));
    Parsed(xml);
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(OrderForm, ALineWithoutADeliveryAddressFailsTheRendering) {
    DictionaryPtr basket = Basket();
    Lines(basket)->Fields("ADDRESSID") = Variant::Null();
    std::string description;
    EXPECT_EQ(ErrorOf([&] { Render(basket); }, &description), ole::err::InvalidUseOfNull);
    EXPECT_TRUE(Has(description, " METHOD: Vendalo.Basket.ConvertLinesToXML\r\n")) << description;
    EXPECT_TRUE(Has(description, " METHOD: Vendalo.Basket.ConvertToXML\r\n"));
    EXPECT_EQ(Inst().LogEntries().size(), 2u);
}

// A formatting component whose number formatting fails.
class BrokenNumbers : public qx::IDataFunctions {
public:
    std::string DateTime(ole::Date, int32_t) override { return "date"; }
    std::string FormatNumber(double, int32_t) override { ole::Raise(ole::err::Overflow); }
    std::string FormatNumberPrecision(double, int32_t, int32_t) override { return "price"; }
    std::string CurrencyText(int32_t) override { return "$"; }
};

TEST_P(OrderForm, FailuresOfTheComponentsAreReportedUnderEachOperationOnTheWay) {
    DictionaryPtr basket = Basket();
    std::string description;
    {
        ole::ComponentOverride missing("QxCommon.BusinessPartner", nullptr);
        EXPECT_EQ(ErrorOf([&] { Render(basket); }, &description), ole::err::CannotCreateObject);
        for (const char* label : {"Lib_Sales.Sls_GetComponent", "Vendalo.Basket.ConvertAddressToXML",
                                  "Vendalo.Basket.ConvertHeaderToXML", "Vendalo.Basket.ConvertToXML"})
            EXPECT_TRUE(Has(description, std::string(" METHOD: ") + label + "\r\n")) << label;
    }
    {
        ole::ComponentOverride broken("QxLibrary.DataFunctions", [] { return std::make_shared<BrokenNumbers>(); });
        Sls_ResetThreadState();
        EXPECT_EQ(ErrorOf([&] { Render(basket); }, &description), ole::err::Overflow);
        for (const char* label : {"Basket.FormatPriceDecimals", "Vendalo.Basket.ConvertHeaderToXML"})
            EXPECT_TRUE(Has(description, std::string(" METHOD: ") + label + "\r\n")) << label;
        Sls_ResetThreadState();
    }
    EXPECT_EQ(Inst().LogEntries().size(), 4u + 3u);
}

TEST_P(OrderForm, AnEmptyBasketArgumentIsAMissingOrder) {
    for (const Variant& empty : {Variant(), Variant::Null(), Variant(ole::ObjectPtr())}) {
        try {
            baskets->ConvertToXML(empty, catalogue, "1033");
            ADD_FAILURE() << "no error raised";
        } catch (const ole::AutomationError& e) {
            EXPECT_EQ(e.Number(), vendalo::MissingOrderID);
            EXPECT_EQ(e.Source(), "Vendalo.Basket.ConvertToXML");
            EXPECT_TRUE(Has(e.Description(), " DESC: Basket is empty.\r\n"));
        }
    }
    EXPECT_EQ(Inst().LogEntries().size(), 3u);
}

TEST_P(OrderForm, ALabelTheMessageManagerCannotGiveIsShownAsItsCode) {
    auto labels = std::make_shared<PageLabels>();
    labels->failing = "SLBSA3557";
    std::string xml = Render(Basket(), labels);
    EXPECT_TRUE(Has(xml, "<CUSTOMERNAME label = 'SLBSA3557'>Noordhaven Machinery B.V.</CUSTOMERNAME>"));
    EXPECT_TRUE(Has(xml, "<BASKETDATE label = '[SLBSA3558]'>"));
    EXPECT_EQ(Inst().LogEntriesWith("The label SLBSA3557 is shown as its code"), 1u);
}

TEST_P(OrderForm, MarkupControlCharactersAndOtherScriptsInValuesComeOutParseable) {
    DictionaryPtr basket = Basket();
    Header(basket)->Fields("BASKETTEXT") = "a < b & c > d 'q' \"x\"\r\nnext\x01\x1F\x7F line \xD0\x96 \xE6\x97\xA5 \xFF!";
    Lines(basket)->Fields("LINETEXT") = "<![CDATA[ ]]> &amp; \x0B";
    std::string xml = Render(basket);
    EXPECT_TRUE(Has(xml, ">a &lt; b &amp; c &gt; d 'q' \"x\"\r\nnext\x7F line \xD0\x96 \xE6\x97\xA5 \xEF\xBF\xBD!</BASKETTEXT>"));
    EXPECT_TRUE(Has(xml, ">&lt;![CDATA[ ]]&gt; &amp;amp; </LINETEXT>"));
    auto doc = Parsed(xml);
    EXPECT_STREQ(doc->child("Order").child("OrderHeader").child_value("BASKETTEXT"),
                 "a < b & c > d 'q' \"x\"\nnext\x7F line \xD0\x96 \xE6\x97\xA5 \xEF\xBF\xBD!");
}

TEST_P(OrderForm, TheHtmlPageHoldsTheLinesTotalsAddressesAndTaxSpecification) {
    std::string html = vendalo::OrderFormToHtml(Render(Basket()));
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u) << html.substr(0, 200);
    for (const char* part : {"<title>Web order - Workshop spring</title>", "BOLT-M8", "CABLE-3X25", "Zinc plated",
                             "38.00", "22.00", "98.46 EUR", "14.96", "VAT high", "21.00 %", "VAT low", "9.00 %",
                             "Invoice address", "Accounts payable", "Delivery address", "Industrieweg 40",
                             "Noordhaven site Eemshaven, Eemshaven", "Purchase order no.", "PO-7741", "Unit price"})
        EXPECT_TRUE(Has(html, part)) << part;
    // nothing from outside: no links, images or scripts
    for (const char* outside : {"<link", "<img", "<script", "src=", "url("}) EXPECT_FALSE(Has(html, outside)) << outside;

    DictionaryPtr invoice = Basket();
    Header(invoice)->Fields("PAYMENTMETHOD") = int16_t{1};
    std::string hidden = vendalo::OrderFormToHtml(Render(invoice));
    EXPECT_FALSE(Has(hidden, "14.96"));
    EXPECT_FALSE(Has(hidden, "VAT high"));
    EXPECT_TRUE(Has(hidden, "98.46 EUR"));

    EXPECT_EQ(ErrorOf([] { vendalo::OrderFormToHtml("<Order><OrderHeader></Order>"); }), qx::kTransformFailed);
}

INSTANTIATE_INSTALLATION_TEST(OrderForm);

}  // namespace
