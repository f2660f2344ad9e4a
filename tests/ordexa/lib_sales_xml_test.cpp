#include <gtest/gtest.h>

#include "ordexa/exchange/lib_sales_xml.h"

using namespace ordexa;

namespace {

TEST(XmlHelpers, AnEmptyDocumentGetsTheEnvelopeAndEachCallAddsAMessageRoot) {
    qx::XmlDocument doc;
    pugi::xml_node root = XML_BizTalk081Message(doc, "QxSalesOrders", "urn:schemas-biztalk-org:vorn-com/QxSalesOrders");
    EXPECT_STREQ(root.name(), "QxSalesOrders");
    XML_NewNode(doc, root, "Count", ole::Variant(0));
    XML_NewNode(doc, root, "Nothing", ole::Variant::Null());
    XML_NewNode(doc, root, "Container");
    XML_BizTalk081Message(doc, "Second", "urn:x");
    EXPECT_EQ(doc.Xml(),
              "<BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\"><Body>"
              "<QxSalesOrders xmlns=\"urn:schemas-biztalk-org:vorn-com/QxSalesOrders\"><Count>0</Count><Nothing/>"
              "<Container/></QxSalesOrders><Second xmlns=\"urn:x\"/></Body></BizTalk>");
}

TEST(XmlHelpers, ADocumentThatIsNoEnvelopeIsRefused) {
    qx::XmlDocument doc;
    ASSERT_TRUE(doc.LoadXml("<Orders><Order/></Orders>"));
    try {
        XML_BizTalk081Message(doc, "QxSalesOrders", "urn:x");
        FAIL();
    } catch (const ole::AutomationError& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80040001));
        EXPECT_NE(e.Description().find(" DESC: Mandatory Biztalk xml tags not found.\r\n"), std::string::npos);
        EXPECT_NE(e.Description().find(" METHOD: Lib_XML.XML_BizTalk081Message()\r\n"), std::string::npos);
    }
}

TEST(XmlHelpers, NodeTextsAndAddresses) {
    qx::XmlDocument doc;
    ASSERT_TRUE(doc.LoadXml("<BizTalk><Body><Address><NAME1>Acme &amp; Co</NAME1><COUNTRYCODE>NL</COUNTRYCODE>"
                            "<ZIPCODE>1234 AB</ZIPCODE></Address></Body></BizTalk>"));
    pugi::xml_node address = doc.doc.select_node("BizTalk/Body/Address").node();
    EXPECT_EQ(XML_GetNodeText(address, "NAME1"), "Acme & Co");
    EXPECT_EQ(XML_GetNodeTextOrEmpty(address, "FAX"), "");
    EXPECT_EQ(XML_GetNodeTextOrEmpty(address, "[[["), "");  // a broken path is just nothing here
    try {
        XML_GetNodeText(address, "FAX");
        FAIL();
    } catch (const ole::AutomationError& e) {
        EXPECT_NE(e.Description().find(" INFO: Error retrieving XMLDom element: <FAX>.\r\n"), std::string::npos);
    }
    auto d = XML_AddressToDictionary(address);
    ASSERT_EQ(d->Count(), 12);
    EXPECT_EQ(d->Item(1).ToString(), "Acme & Co");
    EXPECT_EQ(d->Item(0).ToString(), "NL");
    EXPECT_EQ(d->Item(8).ToString(), "1234 AB");
    EXPECT_EQ(d->Item(10).ToString(), "");
    EXPECT_EQ(d->Item(11).ToString(), "");
    EXPECT_EQ(d->Keys()[0].ToLong(), 1);  // added in the order NAME1 ... SHORTDESCRIPTION
}

TEST(XmlHelpers, TextsLoseWhatXmlForbidsAndTheDocumentStillParses) {
    qx::XmlDocument doc;
    pugi::xml_node root = XML_BizTalk081Message(doc, "QxSalesOrders", "urn:x");
    XML_NewNode(doc, root, "po", ole::Variant("PO\x01-7\x1b\x7f\tA\r\nB"));
    XML_NewNode(doc, root, "name", ole::Variant("Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xa9"));  // kept as it is
    XML_NewNode(doc, root, "broken", ole::Variant("a\xff\xc3" "b\xed\xa0\x80\xef\xbf\xbe" "c\xc0\xaf"));
    XML_NewNode(doc, root, "nothing", ole::Variant("\x02\x03"));
    qx::XmlDocument again;
    ASSERT_TRUE(again.LoadXml(doc.Xml())) << again.Reason();
    pugi::xml_node read = again.doc.select_node("BizTalk/Body/QxSalesOrders").node();
    EXPECT_EQ(qx::NodeText(read.child("po")), "PO-7\x7f\tA\nB");  // DEL is allowed; CR LF reads as LF
    EXPECT_EQ(qx::NodeText(read.child("name")), "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xa9");
    // a byte that starts no character becomes U+FFFD, a surrogate or U+FFFE is dropped or replaced
    std::string replaced = qx::NodeText(read.child("broken"));
    EXPECT_EQ(replaced.find("\xef\xbf\xbe"), std::string::npos);
    EXPECT_EQ(replaced.substr(0, 1), "a");
    EXPECT_NE(replaced.find("\xef\xbf\xbd"), std::string::npos);
    EXPECT_NE(replaced.find('b'), std::string::npos);
    EXPECT_NE(replaced.find('c'), std::string::npos);
    EXPECT_NE(doc.Xml().find("<nothing/>"), std::string::npos);
}

TEST(XmlHelpers, ParseErrorsKeepACodeAndAReason) {
    qx::XmlDocument doc;
    EXPECT_FALSE(doc.LoadXml("<BizTalk><Body></BizTalk>"));
    EXPECT_NE(doc.ErrorCode(), 0);
    EXPECT_NE(doc.Reason().find("line 1"), std::string::npos);
    EXPECT_FALSE(doc.LoadXml(""));
    EXPECT_NE(doc.ErrorCode(), 0);
}

}  // namespace
