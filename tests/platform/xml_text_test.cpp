// Text for XML built as strings, and XSLT on libxslt.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "platform/xml/xml_text.h"
#include "platform/xml/xslt.h"
#include "test_db.h"

using namespace testing_support;
using qx::XmlEscape;
using qx::XmlEscaped;

namespace {

TEST(XmlText, MarkupBecomesEntitiesAndWhatXmlForbidsIsDropped) {
    EXPECT_EQ(XmlEscaped("R&D <b> 'x' \"y\"", XmlEscape::Text), "R&amp;D &lt;b&gt; 'x' \"y\"");
    EXPECT_EQ(XmlEscaped("R&D <b> 'x' \"y\"", XmlEscape::Attribute), "R&amp;D &lt;b&gt; &apos;x&apos; &quot;y&quot;");
    // tab, LF and CR stay; other C0 controls, U+FFFE and U+FFFF go
    EXPECT_EQ(XmlEscaped("a\tb\r\nc\x01\x08\x0B\x0C\x1F" "d\xEF\xBF\xBE\xEF\xBF\xBF" "e", XmlEscape::Text), "a\tb\r\nc" "de");
    // other scripts pass; bytes that are no UTF-8 (a stray continuation, a cut sequence, an overlong
    // form, a surrogate) become U+FFFD
    EXPECT_EQ(XmlEscaped("\xD0\x96\xE6\x97\xA5\xF0\x9F\x93\xA6", XmlEscape::Text), "\xD0\x96\xE6\x97\xA5\xF0\x9F\x93\xA6");
    const std::string bad = "\x80|\xE6\x97|\xC0\xAF|\xED\xA0\x80|\xFF";
    std::string escaped = XmlEscaped(bad, XmlEscape::Attribute);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(("<a v='" + escaped + "'>" + XmlEscaped(bad, XmlEscape::Text) + "</a>").c_str()));
    EXPECT_EQ(std::string(doc.child("a").attribute("v").value()).find("\xEF\xBF\xBD|"), 0u);
}

const char* kStylesheet = R"XSL(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8"/>
  <xsl:template match="/"><p><xsl:value-of select="/a"/><xsl:value-of select="document(/a/@file)"/></p></xsl:template>
</xsl:stylesheet>)XSL";

TEST(Xslt, TransformsDocumentsButReachesNoFilesAndReportsWhatIsMalformed) {
    TempDir dir;
    WriteFile(dir.Path() / "secret.xml", "<s>secret</s>");
    qx::XslStylesheet stylesheet(kStylesheet, "test stylesheet");
    EXPECT_EQ(stylesheet.Transform("<a>R&amp;D \xE2\x82\xAC</a>"), "<p>R&amp;D \xE2\x82\xAC</p>\n");
    std::string description;
    EXPECT_EQ(ErrorOf([&] { stylesheet.Transform("<a file='" + (dir.Path() / "secret.xml").string() + "'/>"); },
                      &description),
              qx::kTransformFailed);
    EXPECT_EQ(description.find("secret</"), std::string::npos) << description;
    EXPECT_EQ(ErrorOf([&] { stylesheet.Transform("<a><b></a>"); }, &description), qx::kTransformFailed);
    EXPECT_NE(description.find("not well-formed"), std::string::npos) << description;
    // no entity or DTD from outside
    EXPECT_EQ(stylesheet.Transform("<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" + (dir.Path() / "secret.xml").string() +
                                   "\">]><a>&x;</a>")
                  .find("secret"),
              std::string::npos);
    EXPECT_EQ(ErrorOf([] { qx::XslStylesheet("<xsl:stylesheet/>", "broken stylesheet"); }, &description),
              qx::kTransformFailed);
    EXPECT_NE(description.find("broken stylesheet"), std::string::npos) << description;
}

}  // namespace
