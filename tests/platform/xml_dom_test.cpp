#include <gtest/gtest.h>

#include "platform/xml/dom.h"

namespace {

TEST(XmlDocument, NodeTextWalksAnyDepthWithoutRecursion) {
    qx::XmlDocument doc;
    pugi::xml_node node = doc.doc.append_child("root");
    pugi::xml_node top = node;
    for (int i = 0; i < 200000; ++i) node = node.append_child("a");
    node.text() = "deep";
    top.append_child("b").text() = "!";
    EXPECT_EQ(qx::NodeText(top), "deep!");
    EXPECT_EQ(qx::NodeText(top.child("b")), "!");
}

TEST(XmlDocument, DepthLimitAndDeclaredEncodings) {
    qx::XmlDocument doc;
    std::string nested;
    for (int i = 0; i < qx::kMaxXmlDepth; ++i) nested += "<a>";
    for (int i = 0; i < qx::kMaxXmlDepth; ++i) nested += "</a>";
    EXPECT_TRUE(doc.LoadXml(nested));
    EXPECT_FALSE(doc.LoadXml("<b>" + nested + "</b>"));
    EXPECT_EQ(doc.Reason(), "The document is nested deeper than 256 elements (line 1, column 770)");

    ASSERT_TRUE(doc.LoadXml("<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\x80 \xE9</a>"));
    EXPECT_EQ(qx::NodeText(doc.doc.child("a")), "\xE2\x82\xAC \xC3\xA9");
    ASSERT_TRUE(doc.LoadXml(std::string("<\0a\0/\0>\0", 8).insert(0, "\xFF\xFE")));
    EXPECT_TRUE(doc.doc.child("a"));
    EXPECT_FALSE(doc.LoadXml("<?xml version=\"1.0\" encoding=\"no-such-set\"?><a/>"));
    EXPECT_NE(doc.Reason().find("no-such-set"), std::string::npos);
}

}  // namespace
