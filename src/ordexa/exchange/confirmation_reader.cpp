#include "ordexa/exchange/confirmation_reader.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <unordered_set>

#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/format/ansi_text.h"
#include "platform/format/text_encoding.h"
#include "platform/xml/dom.h"

namespace ordexa {
namespace {

const char* kEntryPath = "BizTalk/Body/QxOrderConfirmation/SalesOrder";

// Why a value is not text the database can hold, or "".
std::string Flaw(const std::string& value, const char* what) {
    if (value.find('\0') != std::string::npos) return std::string("the ") + what + " holds a NUL character";
    if (!qx::IsCleanUtf8(value)) return std::string("the ") + what + " holds bytes that are not characters";
    return "";
}

// Sorts an entry into the result: refused, duplicate or taken.
class Collector {
public:
    explicit Collector(ConfirmationRead& read) : read_(read) {}

    void Add(ConfirmationEntry entry) {
        std::string reason = Flaw(entry.orderId, "order id");
        if (reason.empty()) reason = Flaw(entry.salesOrderNr, "sales order number");
        if (reason.empty() && entry.orderId.empty()) reason = "the order id is empty";
        if (reason.empty() && entry.salesOrderNr.empty()) reason = "the sales order number is empty";
        if (!reason.empty()) {
            read_.refused.push_back({std::move(entry), std::move(reason)});
            return;
        }
        if (!seen_.insert(ole::UpperCase(entry.orderId)).second) {
            read_.duplicates.push_back(std::move(entry));
            return;
        }
        read_.entries.push_back(std::move(entry));
    }

    void Refuse(ConfirmationEntry entry, std::string reason) { read_.refused.push_back({std::move(entry), std::move(reason)}); }

private:
    ConfirmationRead& read_;
    std::unordered_set<std::string> seen_;
};

// The first occurrence of the separator, letters compared without regard to case.
size_t FindSeparator(std::string_view line, const std::string& separator) {
    if (separator.empty() || separator.size() > line.size()) return std::string::npos;
    bool letters = std::any_of(separator.begin(), separator.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
    return letters ? ole::FindNoCase(line, separator) : line.find(separator);
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string TrimXmlSpace(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsXmlSpace(text[begin])) ++begin;
    while (end > begin && IsXmlSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

ConfirmationRead ReadEdiConfirmation(std::string_view bytes, const std::string& separatorGiven) {
    const std::string separator = separatorGiven.empty() ? "," : separatorGiven;
    ConfirmationRead read;
    Collector collector(read);
    size_t markSize = 0;
    std::string mark = qx::ByteOrderMark(bytes, markSize);
    std::string decoded;
    std::string_view text = bytes.substr(markSize);
    bool ansi = mark.empty();
    if (mark == "UTF-16LE" || mark == "UTF-16BE") {
        decoded = qx::CharsetToUtf8(text, mark);
        text = decoded;
    }
    size_t pos = 0, lineNumber = 0, lines = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        std::string_view raw = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (end == std::string_view::npos)
            pos = text.size();
        else
            pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
        ++lineNumber;
        if (!raw.empty()) ++lines;
        read.lastLineOpen = end == std::string_view::npos;
        std::string line = ansi ? qx::AnsiToUtf8(raw) : std::string(raw);
        size_t at = FindSeparator(line, separator);
        if (at == std::string::npos || at == 0) continue;  // no separator, or no order id
        collector.Add({line.substr(0, at), line.substr(at + separator.size()), lineNumber, std::string(raw)});
    }
    if (read.YieldsNothing())
        read.whyNone = lines == 0 ? "it holds no line"
                                  : "none of its " + std::to_string(lines) + " line(s) holds an order id followed by the field separator '" +
                                        separator + "'";
    return read;
}

ConfirmationRead ReadXmlConfirmation(std::string_view bytes) {
    qx::XmlDocument doc;
    if (!doc.LoadXml(bytes, {.refuseDocumentType = true, .keepReferences = true}))
        ole::Raise(doc.ErrorCode(), "XMLDom parser failure: " + doc.Reason(), "WebOrderConfirmation");
    ConfirmationRead read;
    Collector collector(read);
    qx::LineCounter lines(doc.Text());  // the entries come in document order
    for (const auto& selected : doc.doc.select_nodes(kEntryPath)) {
        pugi::xml_node order = selected.node();
        std::ostringstream source;
        // the texts as the file wrote them, references included
        order.print(source, "", pugi::format_raw | pugi::format_no_escapes);
        pugi::xml_node id = order.child("WebOrderId"), number = order.child("SalesOrderNr");
        ConfirmationEntry entry{"", "", lines.LineAt(order.offset_debug()), source.str()};
        std::string badId, badNumber;
        if (id && qx::ResolvedNodeText(id, entry.orderId, badId)) entry.orderId = TrimXmlSpace(entry.orderId);
        if (number && qx::ResolvedNodeText(number, entry.salesOrderNr, badNumber))
            entry.salesOrderNr = TrimXmlSpace(entry.salesOrderNr);
        if (!id || !number) {
            collector.Refuse(std::move(entry), std::string("the SalesOrder element has no ") + (!id ? "WebOrderId" : "SalesOrderNr"));
            continue;
        }
        if (!badId.empty() || !badNumber.empty()) {
            std::string what = !badId.empty() ? "order id" : "sales order number", bad = !badId.empty() ? badId : badNumber;
            collector.Refuse(std::move(entry), "the " + what + " holds the reference '" + qx::ShowBytes(bad) +
                                                   "', which stands for no character XML allows");
            continue;
        }
        collector.Add(std::move(entry));
    }
    if (read.YieldsNothing())
        read.whyNone = std::string("the document holds no element ") + kEntryPath + " (its root element is '" +
                       doc.doc.document_element().name() + "')";
    return read;
}

}  // namespace ordexa
