#include "ordexa/exchange/confirmation_reader.h"

#include <algorithm>
#include <cctype>
#include <sstream>

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
void Collect(ConfirmationEntry entry, SeenOrderIds& seen, ConfirmationRead& read) {
    std::string reason = Flaw(entry.orderId, "order id");
    if (reason.empty()) reason = Flaw(entry.salesOrderNr, "sales order number");
    if (reason.empty() && entry.orderId.empty()) reason = "the order id is empty";
    if (reason.empty() && entry.salesOrderNr.empty()) reason = "the sales order number is empty";
    if (!reason.empty()) {
        read.refused.push_back({std::move(entry), std::move(reason)});
        return;
    }
    if (!seen.Insert(entry.orderId)) {
        read.duplicates.push_back(std::move(entry));
        return;
    }
    read.entries.push_back(std::move(entry));
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether a UTF-16 code unit is the first half of a surrogate pair.
bool HighSurrogate(const char* unit, bool bigEndian) {
    auto high = static_cast<unsigned char>(bigEndian ? unit[0] : unit[1]);
    return high >= 0xD8 && high <= 0xDB;
}

// The first occurrence of the separator, letters compared without regard to case.
size_t FindSeparator(std::string_view line, const std::string& separator, bool letters) {
    if (separator.empty() || separator.size() > line.size()) return std::string::npos;
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

bool SeenOrderIds::Insert(std::string_view orderId) {
    // the id in upper case, hashed without a copy
    uint64_t hash = 14695981039346656037ull;  // FNV-1a, then mixed
    for (char c : orderId) {
        hash ^= static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
        hash *= 1099511628211ull;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    if (hash == 0) hash = 1;
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    size_t mask = slots_.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        if (slots_[at] == hash) return false;
        if (slots_[at] == 0) {
            slots_[at] = hash;
            ++used_;
            return true;
        }
    }
}

void SeenOrderIds::Grow() {
    std::vector<uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, 0);
    size_t mask = slots_.size() - 1;
    for (uint64_t hash : old) {
        if (hash == 0) continue;
        size_t at = hash & mask;
        while (slots_[at] != 0) at = (at + 1) & mask;
        slots_[at] = hash;
    }
}

EdiConfirmationReader::EdiConfirmationReader(const std::string& separator)
    : separator_(separator.empty() ? "," : separator),
      separatorLetters_(std::any_of(separator_.begin(), separator_.end(),
                                    [](char c) { return std::isalpha(static_cast<unsigned char>(c)); })) {}

void EdiConfirmationReader::Feed(std::string_view bytes, ConfirmationRead& read) {
    Decode(bytes, false);
    ReadLines(false, read);
}

void EdiConfirmationReader::Finish(ConfirmationRead& read) {
    Decode({}, true);
    ReadLines(true, read);
    if (yielded_ == 0)
        read.whyNone = lines_ == 0 ? "it holds no line"
                                   : "none of its " + std::to_string(lines_) +
                                         " line(s) holds an order id followed by the field separator '" + separator_ + "'";
}

// Appends the bytes to the text: as they are, or decoded from UTF-16 in whole characters.
void EdiConfirmationReader::Decode(std::string_view bytes, bool last) {
    if (!markKnown_) {
        undecoded_.append(bytes);
        if (undecoded_.size() < 3 && !last) return;  // the longest mark
        size_t markSize = 0;
        mark_ = qx::ByteOrderMark(undecoded_, markSize);
        undecoded_.erase(0, markSize);
        markKnown_ = true;
        bytes = {};
    }
    if (mark_ != "UTF-16LE" && mark_ != "UTF-16BE") {
        text_.append(undecoded_);
        undecoded_.clear();
        text_.append(bytes);
        return;
    }
    undecoded_.append(bytes);
    size_t whole = last ? undecoded_.size() : undecoded_.size() & ~size_t{1};
    if (!last && whole >= 2 && HighSurrogate(undecoded_.data() + whole - 2, mark_ == "UTF-16BE")) whole -= 2;
    if (whole == 0) return;
    text_ += qx::CharsetToUtf8(std::string_view(undecoded_).substr(0, whole), mark_);
    undecoded_.erase(0, whole);
}

// The lines the text completes; with `last`, the rest as the last line.
void EdiConfirmationReader::ReadLines(bool last, ConfirmationRead& read) {
    std::string_view text = text_;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        // a lone CR at the end may be the first half of CR LF
        if (!last && (end == std::string_view::npos || end + 1 == text.size())) break;
        std::string_view raw = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (end == std::string_view::npos)
            pos = text.size();
        else
            pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
        read.lastLineOpen = end == std::string_view::npos;
        ReadLine(raw, read);
    }
    text_.erase(0, pos);
}

void EdiConfirmationReader::ReadLine(std::string_view raw, ConfirmationRead& read) {
    ++lineNumber_;
    if (!raw.empty()) ++lines_;
    std::string_view line = raw;
    if (mark_.empty() && !IsAscii(raw)) {
        converted_ = qx::AnsiToUtf8(raw);
        line = converted_;
    }
    size_t at = FindSeparator(line, separator_, separatorLetters_);
    if (at == std::string::npos || at == 0) return;  // no separator, or no order id
    ++yielded_;
    Collect({std::string(line.substr(0, at)), std::string(line.substr(at + separator_.size())), lineNumber_, std::string(raw)},
            seen_, read);
}

ConfirmationRead ReadEdiConfirmation(std::string_view bytes, const std::string& separator) {
    ConfirmationRead read;
    EdiConfirmationReader reader(separator);
    reader.Feed(bytes, read);
    reader.Finish(read);
    return read;
}

ConfirmationRead ReadXmlConfirmation(std::string_view bytes) {
    qx::XmlDocument doc;
    if (!doc.LoadXml(bytes, {.refuseDocumentType = true, .keepReferences = true}))
        ole::Raise(doc.ErrorCode(), "XMLDom parser failure: " + doc.Reason(), "WebOrderConfirmation");
    ConfirmationRead read;
    SeenOrderIds seen;
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
            read.refused.push_back({std::move(entry), std::string("the SalesOrder element has no ") + (!id ? "WebOrderId" : "SalesOrderNr")});
            continue;
        }
        if (!badId.empty() || !badNumber.empty()) {
            std::string what = !badId.empty() ? "order id" : "sales order number", bad = !badId.empty() ? badId : badNumber;
            read.refused.push_back({std::move(entry), "the " + what + " holds the reference '" + qx::ShowBytes(bad) +
                                                          "', which stands for no character XML allows"});
            continue;
        }
        Collect(std::move(entry), seen, read);
    }
    if (read.YieldsNothing())
        read.whyNone = std::string("the document holds no element ") + kEntryPath + " (its root element is '" +
                       doc.doc.document_element().name() + "')";
    return read;
}

}  // namespace ordexa
