// The confirmation readers on their own: bytes in, entries out, no database.
#include <gtest/gtest.h>

#include "ordexa/exchange/confirmation_reader.h"
#include "platform/automation/error.h"

using namespace ordexa;

namespace {

std::string Ids(const std::vector<ConfirmationEntry>& entries) {
    std::string ids;
    for (const auto& e : entries) ids += (ids.empty() ? "" : " ") + e.orderId + "=" + e.salesOrderNr;
    return ids;
}

std::string Confirmation(const std::string& orders, const std::string& declaration = "") {
    return declaration + "<BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\"><Body>"
                         "<QxOrderConfirmation xmlns=\"urn:schemas-biztalk-org:vorn-com/QxOrderConfirmation\">" +
           orders + "</QxOrderConfirmation></Body></BizTalk>";
}

std::string Order(const std::string& id, const std::string& number) {
    return "<SalesOrder><WebOrderId>" + id + "</WebOrderId><SalesOrderNr>" + number + "</SalesOrderNr></SalesOrder>";
}

// UTF-16LE of an ASCII text
std::string Utf16Le(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string(1, c) + '\0';
    return out;
}

TEST(ConfirmationText, SeparatorsAreFoundWithoutRegardToCase) {
    auto read = ReadEdiConfirmation("abcXyzSO1\r\n", "xYZ");
    ASSERT_EQ(read.entries.size(), 1u);
    EXPECT_EQ(Ids(read.entries), "abc=SO1");
}

TEST(ConfirmationText, MarksAndEncodingsOfEdiFilesAreRead) {
    // a UTF-8 mark no longer sticks to the first order id
    EXPECT_EQ(Ids(ReadEdiConfirmation("\xEF\xBB\xBF" "A1;SO-1\r\nA2;SO-\xC3\xA9\r\n", ";").entries), "A1=SO-1 A2=SO-\xC3\xA9");
    EXPECT_EQ(Ids(ReadEdiConfirmation("\xFF\xFE" + Utf16Le("B1;SO-1\r\nB2;SO-2\r\n"), ";").entries), "B1=SO-1 B2=SO-2");
    // without a mark the file is Windows-1252
    EXPECT_EQ(Ids(ReadEdiConfirmation("C1;SO-\xE9\r\n", ";").entries), "C1=SO-\xC3\xA9");
    // an empty separator is ","
    EXPECT_EQ(Ids(ReadEdiConfirmation("D1,SO-4\r\n", "").entries), "D1=SO-4");
}

TEST(ConfirmationText, EntriesThatAreNotTextAreRefusedOneByOneWithTheirLines) {
    auto read = ReadEdiConfirmation(std::string("E1;SO-1\r\nE2;SO\0-2\r\nE3;\r\nE4;SO-4\r\n", 33), ";");
    EXPECT_EQ(Ids(read.entries), "E1=SO-1 E4=SO-4");
    ASSERT_EQ(read.refused.size(), 2u);
    EXPECT_EQ(read.refused[0].entry.orderId, "E2");
    EXPECT_EQ(read.refused[0].entry.line, 2u);
    EXPECT_EQ(read.refused[0].reason, "the sales order number holds a NUL character");
    EXPECT_EQ(read.refused[0].entry.source, std::string("E2;SO\0-2", 8));  // as the file held it
    EXPECT_EQ(read.refused[1].reason, "the sales order number is empty");
    EXPECT_EQ(read.refused[1].entry.line, 3u);
    // after a UTF-8 mark, bytes that are not UTF-8 refuse their entry only
    read = ReadEdiConfirmation("\xEF\xBB\xBF" "F1;SO-\xE9\r\nF2;SO-2\r\n", ";");
    EXPECT_EQ(Ids(read.entries), "F2=SO-2");
    ASSERT_EQ(read.refused.size(), 1u);
    EXPECT_EQ(read.refused[0].reason, "the sales order number holds bytes that are not characters");
}

TEST(ConfirmationText, OrderIdsDifferingInCaseOnlyAreOneOrder) {
    auto read = ReadEdiConfirmation("ab12;SO-1\r\nAB12;SO-2\r\n", ";");
    EXPECT_EQ(Ids(read.entries), "ab12=SO-1");
    EXPECT_EQ(Ids(read.duplicates), "AB12=SO-2");
}

TEST(ConfirmationText, AFileWithoutEntriesSaysWhatItLacks) {
    auto read = ReadEdiConfirmation("A1,SO-1\r\nA2,SO-2\r\n", ";");
    EXPECT_TRUE(read.YieldsNothing());
    EXPECT_FALSE(read.lastLineOpen);
    EXPECT_TRUE(ReadEdiConfirmation("A1;SO-1\r\nA2;SO-", ";").lastLineOpen);  // perhaps still being written
    EXPECT_EQ(read.whyNone, "none of its 2 line(s) holds an order id followed by the field separator ';'");
    EXPECT_EQ(ReadEdiConfirmation("", ";").whyNone, "it holds no line");
}

// Read in pieces of every small size, a file gives what it gives read whole:
// pieces that split a mark, a CR LF, a UTF-16 character or a surrogate pair.
TEST(ConfirmationText, AFileReadInPiecesGivesWhatItGivesWhole) {
    std::string utf16 = "\xFF\xFE" + Utf16Le("A1;SO1\r\nB2;SO") + std::string("\x3D\xD8\x00\xDE", 4) + Utf16Le("\rA1;X\nC3;SO3");
    for (const std::string& text : {std::string("\xEF\xBB\xBF" "a1;SO1\r\nA1;SO2\r\r\n;x\nB\xE9;SO\xE9\rC;\r\nD;4"),
                                    std::string("E;5\r\nF;6\r\n"), std::string("no separator\r"), utf16}) {
        ConfirmationRead whole = ReadEdiConfirmation(text, ";");
        for (size_t piece = 1; piece <= 7; ++piece) {
            EdiConfirmationReader reader(";");
            ConfirmationRead read;
            for (size_t at = 0; at < text.size(); at += piece) reader.Feed(std::string_view(text).substr(at, piece), read);
            reader.Finish(read);
            SCOPED_TRACE(std::to_string(piece) + " " + text);
            EXPECT_EQ(Ids(read.entries), Ids(whole.entries));
            EXPECT_EQ(Ids(read.duplicates), Ids(whole.duplicates));
            ASSERT_EQ(read.refused.size(), whole.refused.size());
            for (size_t i = 0; i < read.refused.size(); ++i) {
                EXPECT_EQ(read.refused[i].entry.line, whole.refused[i].entry.line);
                EXPECT_EQ(read.refused[i].entry.source, whole.refused[i].entry.source);
            }
            EXPECT_EQ(read.whyNone, whole.whyNone);
            EXPECT_EQ(read.lastLineOpen, whole.lastLineOpen);
        }
    }
}

TEST(ConfirmationXml, DeclaredEncodingsMarksAndPrettyPrintingAreRead) {
    std::string windows = Confirmation(Order("X1", "SO-\xE9"), "<?xml version=\"1.0\" encoding=\"windows-1252\"?>");
    EXPECT_EQ(Ids(ReadXmlConfirmation(windows).entries), "X1=SO-\xC3\xA9");
    std::string latin1 = Confirmation(Order("X2", "SO-\xE9"), "<?xml version='1.0' encoding='ISO-8859-1'?>");
    EXPECT_EQ(Ids(ReadXmlConfirmation(latin1).entries), "X2=SO-\xC3\xA9");
    std::string utf16 = "\xFF\xFE" + Utf16Le(Confirmation(Order("X3", "SO-3"), "<?xml version=\"1.0\" encoding=\"UTF-16\"?>"));
    EXPECT_EQ(Ids(ReadXmlConfirmation(utf16).entries), "X3=SO-3");
    std::string pretty = Confirmation("\n  <SalesOrder>\n    <WebOrderId>\n      x4\n    </WebOrderId>\n"
                                      "    <SalesOrderNr> SO-4\t</SalesOrderNr>\n  </SalesOrder>\n");
    auto read = ReadXmlConfirmation("\xEF\xBB\xBF" + pretty);
    EXPECT_EQ(Ids(read.entries), "x4=SO-4");
    EXPECT_EQ(read.entries[0].line, 2u);
}

TEST(ConfirmationXml, BadEntriesAreRefusedAndTheOthersKept) {
    auto read = ReadXmlConfirmation(Confirmation(Order("Y1", "SO-\xFF") + "<SalesOrder><WebOrderId>Y2</WebOrderId></SalesOrder>" +
                                                 Order("Y3", "SO-3") + Order("y3", "SO-33")));
    EXPECT_EQ(Ids(read.entries), "Y3=SO-3");
    EXPECT_EQ(Ids(read.duplicates), "y3=SO-33");
    ASSERT_EQ(read.refused.size(), 2u);
    EXPECT_EQ(read.refused[0].reason, "the sales order number holds bytes that are not characters");
    EXPECT_EQ(read.refused[1].reason, "the SalesOrder element has no SalesOrderNr");
    EXPECT_EQ(read.refused[1].entry.source, "<SalesOrder><WebOrderId>Y2</WebOrderId></SalesOrder>");
}

// A reference that stands for no character XML allows refuses its entry; the
// parser alone would cut "SO&#0;1" to "SO" and pass "&xxe;" on as text.
TEST(ConfirmationXml, ReferencesAreResolvedAndThoseToNoAllowedCharacterRefuseTheirEntry) {
    auto read = ReadXmlConfirmation(Confirmation(Order("R1", "SO&#0;1") + Order("R2", "&xxe;") + Order("R3", "SO&#x1B;3") +
                                                 Order("R4&#5;", "SO-4") + Order("R5", "SO & 5") +
                                                 Order("R6", "SO&amp;&#45;&#x36;<![CDATA[&#0;]]>")));
    EXPECT_EQ(Ids(read.entries), "R6=SO&-6&#0;");  // a CDATA section is text as it stands
    ASSERT_EQ(read.refused.size(), 5u);
    EXPECT_EQ(read.refused[0].reason, "the sales order number holds the reference '&#0;', which stands for no character XML allows");
    EXPECT_EQ(read.refused[0].entry.source, Order("R1", "SO&#0;1"));  // kept as the file wrote it
    EXPECT_EQ(read.refused[1].reason, "the sales order number holds the reference '&xxe;', which stands for no character XML allows");
    EXPECT_EQ(read.refused[2].entry.orderId, "R3");
    EXPECT_EQ(read.refused[3].reason, "the order id holds the reference '&#5;', which stands for no character XML allows");
    EXPECT_EQ(read.refused[4].entry.orderId, "R5");
    // a document type could declare entities: the document is refused whole, as the broker's intake refuses it
    try {
        ReadXmlConfirmation(Confirmation(Order("D1", "&xxe;"), "<!DOCTYPE BizTalk [<!ENTITY xxe \"SO-1\">]>"));
        FAIL() << "a document with a document type declaration was read";
    } catch (const ole::AutomationError& e) {
        EXPECT_NE(e.Description().find("XMLDom parser failure: a document type declaration is not allowed"), std::string::npos)
            << e.Description();
    }
}

// Each entry's line is counted on from the one before: a file of 300,000
// entries is read in a moment (counted from the start for each entry, it took
// hours).
TEST(ConfirmationXml, TheLinesOfManyEntriesAreCountedOnce) {
    constexpr int kEntries = 300000;
    std::string orders;
    for (int i = 0; i < kEntries; ++i) orders += "\n" + Order("L" + std::to_string(i), "SO" + std::to_string(i));
    auto read = ReadXmlConfirmation(Confirmation(orders));
    ASSERT_EQ(read.entries.size(), static_cast<size_t>(kEntries));
    EXPECT_EQ(read.entries.back().line, static_cast<size_t>(kEntries + 1));
}

TEST(ConfirmationXml, UnreadableDeepAndForeignDocuments) {
    // nested far deeper than any confirmation: refused, not walked
    std::string deep = "<BizTalk><Body>";
    for (int i = 0; i < 60000; ++i) deep += "<a>";
    for (int i = 0; i < 60000; ++i) deep += "</a>";
    deep += "</Body></BizTalk>";
    try {
        ReadXmlConfirmation(deep);
        FAIL() << "a document nested 60000 deep was read";
    } catch (const ole::AutomationError& e) {
        EXPECT_NE(e.Description().find("XMLDom parser failure: The document is nested deeper than 256 elements"),
                  std::string::npos)
            << e.Description();
    }
    EXPECT_THROW(ReadXmlConfirmation("<?xml version=\"1.0\" encoding=\"x-no-such-set\"?><a/>"), ole::AutomationError);
    // a namespace prefix on the root: nothing matches, and the reader says why
    auto read = ReadXmlConfirmation("<bt:BizTalk xmlns:bt=\"urn:x\"><bt:Body/></bt:BizTalk>");
    EXPECT_TRUE(read.YieldsNothing());
    EXPECT_EQ(read.whyNone,
              "the document holds no element BizTalk/Body/QxOrderConfirmation/SalesOrder (its root element is 'bt:BizTalk')");
}

}  // namespace
