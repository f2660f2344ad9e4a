// The back end's order confirmation file read into entries: pure functions
// from the file's bytes to entries, touching neither a database nor the log,
// so that the batch and the fuzz targets read alike.
//
// What a reader guarantees: every entry it returns has an order id and a sales
// order number that are clean UTF-8 text (no NUL, no byte that is not part of a
// character, a number that is not empty); an entry whose values are not is
// returned as refused with the reason, never dropped. Order ids are compared
// without regard to case: the first entry of an id wins, later ones come back
// as duplicates. The ids already seen are kept as 64-bit fingerprints, eight
// bytes an entry, so that a file of a million entries is read in little
// memory; two different ids of one file share a fingerprint with a chance of
// about n^2 / 2^65 (1 in 30 million for a million entries), and the later
// one is then reported as a duplicate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ordexa {

struct ConfirmationEntry {
    std::string orderId;       // UTF-8 (XML text trimmed of white space)
    std::string salesOrderNr;  // UTF-8
    size_t line = 0;           // the line of the file where the entry starts, from 1
    std::string source;        // the entry as the file holds it: the EDI line, or the SalesOrder element
};

struct RefusedEntry {
    ConfirmationEntry entry;
    std::string reason;  // "the sales order number is empty", ...
};

struct ConfirmationRead {
    std::vector<ConfirmationEntry> entries;     // in file order
    std::vector<ConfirmationEntry> duplicates;  // later entries of an order id already listed
    std::vector<RefusedEntry> refused;
    std::string whyNone;  // when the file yields no entry at all: what it lacks
    bool lastLineOpen = false;  // EDI: the last line has no line end (the file may still be being written)

    bool YieldsNothing() const { return entries.empty() && refused.empty(); }
};

// An EDI confirmation: one entry per line (CR LF, LF and a lone CR end a
// line), the order id up to the first separator (letters of the separator
// compared without regard to case), the sales order number after it, nothing
// trimmed. A line without separator or without order id is skipped. The bytes
// are Windows-1252, or UTF-8 or UTF-16 after a byte-order mark. An empty
// separator means ",".
ConfirmationRead ReadEdiConfirmation(std::string_view bytes, const std::string& separator);

// The order ids seen so far, compared without regard to case.
class SeenOrderIds {
public:
    bool Insert(std::string_view orderId);  // false when the id was seen before

private:
    void Grow();
    std::vector<uint64_t> slots_;  // open addressing; 0 is a free slot
    size_t used_ = 0;
};

// The same reading, fed the file's bytes piece by piece as they are read, so
// that a file of any size is read in the memory of a few lines. Each Feed adds
// the entries of the lines its bytes complete to `read` (the caller takes them
// out as it goes); Finish reads the last line and sets whyNone and
// lastLineOpen. The entries, duplicates and refusals are those that
// ReadEdiConfirmation returns for the whole file.
class EdiConfirmationReader {
public:
    explicit EdiConfirmationReader(const std::string& separator);
    void Feed(std::string_view bytes, ConfirmationRead& read);
    void Finish(ConfirmationRead& read);

private:
    void Decode(std::string_view bytes, bool last);
    void ReadLines(bool last, ConfirmationRead& read);
    void ReadLine(std::string_view raw, ConfirmationRead& read);

    std::string separator_;
    bool separatorLetters_ = false;
    bool markKnown_ = false;
    std::string mark_;       // the byte-order mark's encoding, "" for Windows-1252
    std::string undecoded_;  // bytes held back: the start of the file, or half a UTF-16 character
    std::string text_;       // text whose last line is not complete yet
    std::string converted_;  // a Windows-1252 line as UTF-8
    size_t lineNumber_ = 0, lines_ = 0, yielded_ = 0;
    SeenOrderIds seen_;
};

// An XML confirmation: the elements BizTalk/Body/QxOrderConfirmation/SalesOrder
// with the texts of their children WebOrderId and SalesOrderNr. The bytes are
// decoded as the document declares (see xml/dom.h). A document that cannot be
// read, or that has a document type declaration, raises ole::AutomationError
// with the parser's number and the description "XMLDom parser failure: " +
// the reason. A value holding a reference that stands for no character XML
// allows (an undeclared entity such as "&xxe;", a character reference to NUL)
// refuses its entry.
ConfirmationRead ReadXmlConfirmation(std::string_view bytes);

}  // namespace ordexa
