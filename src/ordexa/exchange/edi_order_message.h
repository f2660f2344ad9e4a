// The EDI flat-file message in which one web order goes to the back end's EDI
// module: records of fields joined by the field separator FS, each record
// ending with CR LF. ENV, HDR, the order's addresses (HDA, HPA or HAD), header
// and footer texts (HTX, FTX), then per line LIN, LAD, LTX, VAR and the
// configurator's VOP records; a freight line comes last.
//
// One object serves one export run: it keeps what it learnt of the master
// data (back end of a partner, default addresses, back-end address codes), which
// does not change while a run lasts.
//
// A record is one line, whatever the master data holds: no field carries a
// control character. A line break in a header, footer or line text starts a
// further text record (as CR LF does); in any other field it becomes a blank;
// NUL, ESC, TAB and the other control characters are dropped. The CR LF between
// the configurator's VOP records stays; a line of its text that is no VOP record
// joins the record before it. A field holding characters that Windows-1252
// cannot hold is written in Latin letters where it can be (or "?"), and a
// warning names the order and the field.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/automation/dictionary.h"
#include "platform/data/ado.h"

namespace qx {
class IBackendSelector;
class IBusinessPartner;
class IConfigurator;
}  // namespace qx
namespace vendalo {
class IOrder;
}

namespace ordexa {

class FieldReader;
// Column positions a FieldReader found, by name.
using FieldPositions = std::vector<std::pair<std::string_view, int>>;

// What a field is called in a warning, put together only when one is written:
// "PARTNUMBER of line 3" is {"PARTNUMBER of line ", "3"}. It refers to the texts
// it is made of: it lives no longer than the call it is passed to.
struct FieldLabel {
    FieldLabel(const char* text) : head(text) {}
    FieldLabel(const std::string& text) : head(text) {}
    FieldLabel(std::string_view head, std::string_view tail) : head(head), tail(tail) {}
    std::string Text() const { return std::string(head).append(tail); }
    std::string_view head, tail;
};

// A web payment method of 2: the order is paid by credit card.
bool IsCreditCardOrder(const ole::Variant& webPaymentMethod);

// Appends the freight line to an order's lines (in memory only, never to the
// database): the line number after the highest, the freight part number and
// unit code of the sales parameters, quantity 1, the freight amount as price
// (Null counts as 0), discount 0 and no request date.
void AddFreightLine(const ole::Variant& freight, ado::Recordset& lines);
// The same with the freight part number and unit code given.
void AddFreightLine(const ole::Variant& freight, ado::Recordset& lines, const std::string& partNumber,
                    const std::string& unitCode);

// An order as its message is built from it: the header's and the lines' rows
// (a freight line may be added to the lines in memory), the snapshot of the
// delivery address with its COUNTRYCODE when the caller has it (else it is asked
// of "Vendalo.Order"), and for a card order the invoice text and order type.
// addresses, when the caller read them: every address snapshot the order holds
// (ADDRESSID and the address columns); an address sent in full is taken from
// them, and only one they lack is asked of "Vendalo.Order".
struct OrderRows {
    ado::RecordsetPtr header, lines, addresses;
    std::optional<ole::Variant> deliveryAddress;  // a recordset when present
    ole::Variant footerText, creditCardOrderType;
};

class EdiOrderMessage {
public:
    // The common name of a shop user (the export's membership logon answers it).
    using CommonNameLookup = std::function<std::string(const std::string& userId)>;

    explicit EdiOrderMessage(CommonNameLookup commonName);
    ~EdiOrderMessage();

    // A sales parameter ("Vendalo.SalesParameter"), read once for the object's run.
    const std::string& SalesParameter(const std::string& name);

    // FS and ESC: the trimmed texts, or "," and "'" when they are empty.
    void SetEDISeparators(const std::string& fieldSeparator, const std::string& escapeText);
    const std::string& FieldSeparator() const { return fs_; }

    // The whole message of an order dictionary ("header" and "lines", and the
    // optional "footer_text", "creditcard_ordertype" and "delivery_address", the
    // snapshot of the header's delivery address with its COUNTRYCODE, else it is
    // asked of "Vendalo.Order"), ending with CR LF.
    // "" when any part of it could not be built: the failure is logged and no
    // part of the order may be sent. A freight line is added to the lines recordset.
    std::string ProcessOneOrder(const ole::Variant& order);
    // The same for an order whose rows the caller read itself.
    std::string ProcessOneOrder(const OrderRows& order);
    // Why the last ProcessOneOrder gave "" (ole::ReasonOf of its failure); "" after one that built.
    const std::string& LastFailure() const { return lastFailure_; }

    // Every FS in the value replaced by ESC, on one line (see above); Null, Empty and "" give "".
    std::string EDIEncode(const ole::Variant& value);
    // False for Null, Empty and the empty text.
    static bool HasValue(const ole::Variant& value);
    // The prefix followed by the encoded text, in records of at most 60 characters;
    // a line break in the text starts a new record.
    std::string FormatString(const std::string& prefix, const ole::Variant& text);

private:
    struct Backend {
        std::string type;  // "ow4", "ow5", ...
        // how item codes are formed: from the instance's "alignment" and "itemsegmentationmask"
        bool aligned = false, leftAligned = false;
        std::string itemMask;  // '*' as blank
    };

    const Backend& BackendOf(int32_t businessPartnerId);
    int32_t DefaultAddressOf(int32_t businessPartnerId, const std::string& type);
    const std::string& BISAddressCodeOf(int32_t addressId);
    std::shared_ptr<vendalo::IOrder> Order();

    // The record builders; "header" and "line" read the current row of the order's recordsets.
    std::string GetOrderHeader(const OrderRows& order, FieldReader& header);
    // The header's delivery and invoice address records, where they are not the partner's defaults.
    void AppendOrderAddresses(std::string& text, FieldReader& header, const ole::Variant& partner,
                              const Backend& backend);
    // The records of the current line: LIN, its address, text and variant options.
    void AppendLine(std::string& text, FieldReader& lines, const ole::Variant& partner, const ole::Variant& shipping,
                    const Backend& backend);
    int DetermineAddressInfo(const ole::Variant& businessPartnerId, const ole::Variant& addressId,
                             const std::string& type, std::string& code, const std::string& backendType);
    std::string GetOrderAddress(FieldReader& header, const std::string& type, const ole::Variant& addressId,
                                int addressClass, const std::string& code, const std::string& backendType);
    // lineNr: the line whose address it is, 0 for the order's own
    std::string GetAddress(const std::string& prefix, const ole::Variant& addressId, const std::string& orderId,
                           int16_t lineNr, int addressClass, const std::string& code);
    // The address's snapshot among those the caller read with the order, positioned
    // on its row; else "Vendalo.Order" reads it (the snapshot, or the master data's address).
    ado::RecordsetPtr AddressRows(const ole::Variant& addressId, const std::string& orderId);
    std::string GetOrderHeaderText(FieldReader& header);
    std::string GetOrderFooterText(const OrderRows& order, FieldReader& header);
    // addressCode: the back end's code of the line's address, carried by the LIN record ("ow5"), or ""
    std::string GetOrderLine(FieldReader& line, const Backend& backend, const std::string& addressCode);
    std::string GetLineAddress(FieldReader& line, int16_t lineNr, int addressClass, const std::string& code);
    std::string GetLineText(FieldReader& line);
    std::string GetProductVariantStructure(FieldReader& line, const Backend& backend);
    std::string ItemCode(const std::string& partNumber, const Backend& backend) const;
    // The fields joined by FS.
    std::string Record(std::initializer_list<std::string_view> fields) const;

    // The text as Windows-1252 can hold it; a change is logged naming the order and the field.
    std::string Fitted(const FieldLabel& field, std::string text);
    // A field that is not encoded: on one line, without surrounding blanks, fitted.
    std::string Plain(const FieldLabel& field, const ole::Variant& value);
    // An encoded field: on one line, fitted, every FS replaced by ESC.
    std::string Encoded(const FieldLabel& field, const ole::Variant& value);
    // A text for FormatString: every line break as CR LF, no other control character, fitted.
    ole::Variant TextLines(const FieldLabel& field, const ole::Variant& value);
    // The configurator's text from its first "VOP" on as records, "," replaced by FS.
    std::string VariantOptionRecords(const std::string& options, const std::string& lineNr);
    // Raises when the message holds a control character other than its record ends
    // (and the separators): no value may end a record.
    void RequireWholeRecords(const std::string& message) const;

    CommonNameLookup commonName_;
    std::string orderId_;  // of the message being built, for the warnings
    std::string lastFailure_;
    std::string fs_ = ",";
    std::string esc_ = "'";

    std::shared_ptr<qx::IBackendSelector> selector_;
    std::shared_ptr<qx::IBusinessPartner> partner_;
    std::shared_ptr<qx::IConfigurator> configurator_;
    std::shared_ptr<vendalo::IOrder> order_;
    ado::RecordsetPtr snapshots_;  // the address snapshots read with the order being built, or null
    std::map<int32_t, Backend> backends_;
    std::map<std::pair<int32_t, bool>, int32_t> defaultAddresses_;  // (partner, invoice?) -> address
    std::map<int32_t, std::string> addressCodes_;
    std::map<std::string, std::string> salesParameters_;
    FieldPositions headerPositions_, linePositions_, addressPositions_;
};

}  // namespace ordexa
