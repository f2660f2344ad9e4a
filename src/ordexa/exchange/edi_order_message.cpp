#include "ordexa/exchange/edi_order_message.h"

#include <algorithm>
#include <cctype>

#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/exchange/file_handling.h"
#include "platform/automation/text.h"
#include "platform/backend/backend_selector.h"
#include "platform/format/ansi_text.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/configurator.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace {

using ole::Variant;

const std::string kCrLf = "\r\n";
constexpr size_t kPieceLength = 60;  // characters of text per HTX, FTX or LTX record

// The address columns of an address record, in their order.
const char* const kAddressColumns[] = {"NAME1",   "NAME2",         "STREET1",     "STREET2", "CITY1", "CITY2",
                                       "ZIPCODE", "STATEPROVINCE", "COUNTRYCODE", "PHONE",   "FAX"};

enum AddressClass { kFailed = 0, kKnownByCode = 1, kPartnerDefault = 2, kSentInFull = 3 };

// The length of a line break at text[at] (CR LF, a lone CR or LF, NEL, the
// Unicode line and paragraph separators), 0 when none starts there.
size_t LineBreakAt(std::string_view text, size_t at) {
    if (text[at] == '\r') return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
    if (text[at] == '\n') return 1;
    if (text.substr(at, 2) == "\xC2\x85") return 2;
    if (text.substr(at, 3) == "\xE2\x80\xA8" || text.substr(at, 3) == "\xE2\x80\xA9") return 3;
    return 0;
}

// The length of a control character at text[at] (C0, DEL, C1), 0 when none starts there.
size_t ControlAt(std::string_view text, size_t at) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x20 || c == 0x7F) return 1;
    if (c == 0xC2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) <= 0x9F &&
        static_cast<unsigned char>(text[at + 1]) >= 0x80)
        return 2;
    return 0;
}

// A record is one line: a value must not end it (its rest would be read as a
// record of its own, a forged order even). Each line break of the text becomes
// lineBreak; every other control character (NUL, ESC, TAB...) is dropped.
// The length of the start of a text that holds no control character and no
// line break: only C0, DEL and the lead bytes of C1, NEL, LS and PS can start one.
size_t CleanPrefix(std::string_view text) {
    size_t clean = 0;
    for (auto c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || b == 0xC2 || b == 0xE2) break;
        ++clean;
    }
    return clean;
}

std::string WithoutControls(std::string_view text, std::string_view lineBreak) {
    size_t clean = CleanPrefix(text);
    if (clean == text.size()) return std::string(text);
    std::string out(text.substr(0, clean));
    out.reserve(text.size());
    for (size_t at = clean; at < text.size();) {
        if (size_t n = LineBreakAt(text, at)) {
            out += lineBreak;
            at += n;
        } else if (size_t c = ControlAt(text, at)) {
            at += c;
        } else {
            out += text[at++];
        }
    }
    return out;
}

// The text of a field that is one line: a line break becomes a blank.
std::string OneLine(const Variant& v) {
    std::string text = v.Text();
    if (CleanPrefix(text) == text.size()) return text;  // most values: no copy
    return WithoutControls(text, " ");
}

std::string CompactDate(const Variant& v) { return v.IsNull() || v.IsEmpty() ? "" : v.ToDate().Compact(); }

// Bytes of at most n characters from pos of a UTF-8 text.
size_t CharactersAhead(const std::string& text, size_t pos, size_t n) {
    size_t end = pos;
    for (size_t count = 0; end < text.size() && count < n; ++count) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    }
    return end - pos;
}


}  // namespace

// The fields of a recordset's current row by name. The positions found are kept
// in the message object for the next orders: a position is checked against the
// column's name once per reader, so another statement's recordset only looks its
// names up again. The names are the callers' literals: one is mostly found by its address.
class FieldReader {
public:
    FieldReader(ado::Recordset& rows, FieldPositions& positions) : rows_(rows), positions_(positions) {}
    ado::Recordset& Rows() { return rows_; }
    // The value in the current row itself: copy it to keep it past a move or change of the rows.
    const Variant& operator[](std::string_view name) {
        size_t i = Known(name);
        if (i == positions_.size()) {
            positions_.emplace_back(name, Position(name));
            MarkChecked(i);
        } else if (!Checked(i)) {
            if (!Holds(positions_[i].second, name)) positions_[i].second = Position(name);
            MarkChecked(i);
        }
        return rows_.Fields(positions_[i].second).ValueRef();
    }

private:
    // The index of the name in positions_, positions_.size() when it is not there.
    size_t Known(std::string_view name) const {
        for (size_t i = 0; i < positions_.size(); ++i)
            if (positions_[i].first.data() == name.data() && positions_[i].first.size() == name.size()) return i;
        for (size_t i = 0; i < positions_.size(); ++i)
            if (positions_[i].first == name) return i;
        return positions_.size();
    }
    bool Checked(size_t i) const { return i < 64 && (checked_ >> i & 1) != 0; }
    void MarkChecked(size_t i) {
        if (i < 64) checked_ |= uint64_t{1} << i;
    }
    bool Holds(int index, std::string_view name) {
        if (index >= rows_.FieldCount()) return false;
        const std::string& column = rows_.Fields(index).Name();
        return column == name || ole::EqualsNoCase(column, name);
    }
    int Position(std::string_view name) {
        for (int i = 0; i < rows_.FieldCount(); ++i) {
            if (ole::EqualsNoCase(rows_.Fields(i).Name(), name)) return i;
        }
        ole::Raise(ado::err::ItemNotFound,
                   "Item cannot be found in the collection corresponding to the requested name or ordinal.",
                   "ADODB.Recordset");
    }

    ado::Recordset& rows_;
    FieldPositions& positions_;
    uint64_t checked_ = 0;  // bit i: positions_[i] was checked against these rows' columns
};

bool IsCreditCardOrder(const Variant& webPaymentMethod) {
    return !webPaymentMethod.IsNull() && !webPaymentMethod.IsEmpty() && webPaymentMethod.ToDouble() == 2;
}

EdiOrderMessage::EdiOrderMessage(CommonNameLookup commonName) : commonName_(std::move(commonName)) {}

EdiOrderMessage::~EdiOrderMessage() = default;

void EdiOrderMessage::SetEDISeparators(const std::string& fieldSeparator, const std::string& escapeText) {
    fs_ = TrimBlanks(fieldSeparator);
    if (fs_.empty()) fs_ = ",";
    esc_ = TrimBlanks(escapeText);
    if (esc_.empty()) esc_ = "'";
}

std::string EdiOrderMessage::ProcessOneOrder(const Variant& orderValue) {
    OrderRows rows;
    try {
        auto order = orderValue.As<ole::Dictionary>();
        if (!order) ole::Raise(vendalo::MissingOrderInfo, "MissingOrderInfo");
        rows.lines = RecordsetOf(*order, "lines");
        rows.header = RecordsetOf(*order, "header");
        if (order->Exists("delivery_address")) rows.deliveryAddress = order->Item("delivery_address");
        rows.footerText = order->Item("footer_text");
        rows.creditCardOrderType = order->Item("creditcard_ordertype");
    } catch (...) {
        lastFailure_ = ole::ReasonOf(ole::CurrentError());
        Sls_LogError("WebOrderExport.ProcessOneOrder", SlsInfo());
        return "";
    }
    return ProcessOneOrder(rows);
}

std::string EdiOrderMessage::ProcessOneOrder(const OrderRows& order) {
    std::string orderId;
    lastFailure_.clear();
    try {
        if (!order.header || !order.lines) ole::Raise(ole::err::ObjectRequired);
        auto& lineRows = order.lines;
        FieldReader header(*order.header, headerPositions_), lines(*lineRows, linePositions_);
        orderId_.clear();
        snapshots_ = order.addresses;
        orderId = Plain("ORDERID", header["ORDERID"]);
        orderId_ = orderId;

        Variant partner = header["BUSINESSPARTNERID"];
        const Backend& backend = BackendOf(partner.ToLong());
        // Any other back end would get the order without its lines.
        if (backend.type != "ow4" && backend.type != "ow5")
            ole::Raise(ole::err::InvalidProcedureCall,
                       "The back end of business partner " + partner.Text() + " is of type '" + backend.type +
                           "', for which no EDI order message is defined (only 'ow4' and 'ow5')",
                       "Ordexa.WebOrderExport");

        std::string text = GetOrderHeader(order, header);
        AppendOrderAddresses(text, header, partner, backend);
        if (HasValue(TrimBlanks(OneLine(header["HEADERTEXT"])))) text.append(kCrLf).append(GetOrderHeaderText(header));
        if (HasValue(TrimBlanks(OneLine(order.footerText)))) text.append(kCrLf).append(GetOrderFooterText(order, header));

        if (!(lineRows->Bof() && lineRows->Eof())) {
            Variant freight = header["FREIGHTTOTAL"];
            if (!freight.IsNull() && freight.ToDouble() > 0)
                AddFreightLine(freight, *lineRows, SalesParameter("FreightPartNumber"),
                               SalesParameter("Freight Unit-code"));
            Variant shipping = header["SHIPPINGADDRESSID"];
            for (lineRows->MoveFirst(); !lineRows->Eof(); lineRows->MoveNext())
                AppendLine(text, lines, partner, shipping, backend);
        }
        text.append(kCrLf);
        RequireWholeRecords(text);
        return text;
    } catch (...) {
        lastFailure_ = ole::ReasonOf(ole::CurrentError());
        Sls_LogError("WebOrderExport.ProcessOneOrder",
                     orderId.empty() ? SlsInfo() : SlsInfo("Order '" + orderId + "' is not exported"));
        return "";
    }
}

void EdiOrderMessage::AppendOrderAddresses(std::string& text, FieldReader& header, const Variant& partner,
                                           const Backend& backend) {
    for (const auto& [column, type] : {std::pair{"SHIPPINGADDRESSID", "DEL"}, std::pair{"BILLINGADDRESSID", "INV"}}) {
        Variant address = header[column];
        std::string code;
        int addressClass = DetermineAddressInfo(partner, address, type, code, backend.type);
        if (addressClass == kPartnerDefault) continue;
        if (HasValue(address))
            text.append(kCrLf).append(GetOrderAddress(header, type, address, addressClass, code, backend.type));
    }
}

void EdiOrderMessage::AppendLine(std::string& text, FieldReader& lines, const Variant& partner,
                                 const Variant& shipping, const Backend& backend) {
    int16_t lineNr = lines["LINENR"].ToInt();  // a line without number cannot be sent
    Variant address = lines["ADDRESSID"];
    std::string code;
    if (backend.type == "ow4") {
        text.append(kCrLf).append(GetOrderLine(lines, backend, ""));
        if (HasValue(address) && (!HasValue(shipping) || !ole::VbEquals(address, shipping))) {
            int addressClass = DetermineAddressInfo(partner, address, "DEL", code, backend.type);
            if (addressClass != kPartnerDefault)
                text.append(kCrLf).append(GetLineAddress(lines, lineNr, addressClass, code));
        }
    } else {
        // "ow5" names an address the back end knows by its code on the LIN record itself
        int addressClass = kFailed;
        if (HasValue(address)) addressClass = DetermineAddressInfo(partner, address, "DEL", code, backend.type);
        text.append(kCrLf).append(GetOrderLine(lines, backend, addressClass == kKnownByCode ? code : ""));
        if (HasValue(address) && addressClass == kSentInFull)
            text.append(kCrLf).append(GetLineAddress(lines, lineNr, kSentInFull, code));
    }
    if (HasValue(lines["LINETEXT"])) text.append(kCrLf).append(GetLineText(lines));
    Variant configId = lines["CONFIGID"];
    if (HasValue(configId) && HasValue(TrimBlanks(configId.Text()))) {
        if (!configurator_) configurator_ = Sls_GetComponent<qx::IConfigurator>("QxConfigurator.Configurator");
        std::string lineText = TrimBlanks(lines["LINENR"].Text());
        std::string options = configurator_->GetVariantOptions(configId.Text(), orderId_, lineText);
        text.append(kCrLf).append(GetProductVariantStructure(lines, backend));
        size_t vop = ole::FindNoCase(options, "VOP");
        if (vop != std::string::npos) text.append(kCrLf).append(VariantOptionRecords(options.substr(vop), lineText));
    }
}

std::string EdiOrderMessage::GetOrderHeader(const OrderRows& order, FieldReader& h) {
    try {
        std::string id = Plain("ORDERID", h["ORDERID"]);
        std::string creditCardOrderType = IsCreditCardOrder(h["WEBPAYMENTMETHOD"])
                                              ? Plain("Creditcard Ordertype for Backend", order.creditCardOrderType)
                                              : "";
        ado::RecordsetPtr delivery;
        if (order.deliveryAddress) {
            delivery = order.deliveryAddress->As<ado::Recordset>();
            if (!delivery) ole::Raise(ole::err::ObjectRequired);
        } else {
            delivery = Order()->GetAddress(h["SHIPPINGADDRESSID"], h["ORDERID"]);
        }
        if (delivery->Eof()) ole::Raise(vendalo::MissingHeaderAddress, "MissingHeaderAddress");
        std::string user = h["USERID"].Text();
        std::string userName = TrimBlanks(OneLine(commonName_(user)));
        return Record({"ENV", id, "DADuder", "WWW", "ORDER", creditCardOrderType, ""}) + kCrLf +
               Record({"HDR", id, Encoded("CUSTOMERCODE", h["CUSTOMERCODE"]),
                       Encoded("ORDERLISTNAME", h["ORDERLISTNAME"]), Encoded("CUSTOMERPONR", h["CUSTOMERPONR"]),
                       CompactDate(h["ORDERDATE"]), "", Encoded("the common name of user '" + user + "'", userName),
                       Encoded("CARRIERCODE", h["CARRIERCODE"]), Encoded("CURRENCYCODE", h["CURRENCYCODE"]),
                       Encoded("COUNTRYCODE of the delivery address", delivery->Fields("COUNTRYCODE").Value()), "",
                       Plain("DISCOUNTPERC", h["DISCOUNTPERC"])});
    } catch (...) {
        Sls_RaiseError("Ordexa.GetOrderHeader");
    }
}

int EdiOrderMessage::DetermineAddressInfo(const Variant& businessPartnerId, const Variant& addressId,
                                          const std::string& type, std::string& code, const std::string& backendType) {
    try {
        code.clear();
        int32_t address = addressId.ToLong();
        int32_t partnerDefault = DefaultAddressOf(businessPartnerId.ToLong(), type);
        // master data: a line break in it must not end the record that carries the code
        std::string raw = WithoutControls(BISAddressCodeOf(address), " ");
        std::string candidate;
        bool known = false;
        if (backendType == "ow4") {
            // the code sits in the first three of the last four characters; "000" means none
            candidate = (raw.size() > 4 ? raw.substr(raw.size() - 4) : raw).substr(0, 3);
            std::string trimmed = TrimBlanks(candidate);
            known = !trimmed.empty() && trimmed != "000";
        } else if (backendType == "ow5") {
            candidate = raw.substr(0, 9);
            known = !TrimBlanks(candidate).empty();
        }
        if (known) code = Fitted({"the back-end code of address ", std::to_string(address)}, candidate);
        if (address == partnerDefault) return known ? kKnownByCode : kPartnerDefault;
        return known ? kKnownByCode : kSentInFull;
    } catch (...) {
        Sls_RaiseError("Ordexa.WebOrderExport.DetermineAddressInfo", ole::CurrentDescription());
    }
}

std::string EdiOrderMessage::GetOrderAddress(FieldReader& header, const std::string& type, const Variant& addressId,
                                             int addressClass, const std::string& code,
                                             const std::string& backendType) {
    try {
        std::string id = Plain("ORDERID", header["ORDERID"]);
        std::string tag = type == "DEL" ? "HDA" : "HPA";
        std::string prefix;
        if (backendType == "ow4")
            prefix = Record({tag, id, type});
        else if (addressClass == kKnownByCode)
            prefix = Record({tag, id, ""});
        else
            prefix = Record({"HAD", id, type});
        return GetAddress(prefix, addressId, id, 0, addressClass, code);
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderAddress");
    }
}

std::string EdiOrderMessage::GetAddress(const std::string& prefix, const Variant& addressId, const std::string& orderId,
                                        int16_t lineNr, int addressClass, const std::string& code) {
    try {
        if (addressClass == kKnownByCode) return Record({prefix, code, ""});
        if (addressClass != kSentInFull) return prefix + fs_;
        auto rows = AddressRows(addressId, orderId);
        if (rows->Eof()) {
            if (lineNr == 0) ole::Raise(vendalo::MissingHeaderAddress, "MissingHeaderAddress");
            ole::Raise(vendalo::MissingLineAddress, "MissingLineAddress");
        }
        FieldReader address(*rows, addressPositions_);
        std::string text = Record({prefix, "", ""});
        for (const char* column : kAddressColumns) {
            std::string value = TrimBlanks(OneLine(address[column]));
            if (column == std::string_view("ZIPCODE")) value = ole::UpperCase(value);
            text.append(fs_).append(Encoded(std::string(column) + " of address " + addressId.Text(), value));
        }
        return text;
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetAddress");
    }
}

ado::RecordsetPtr EdiOrderMessage::AddressRows(const Variant& addressId, const std::string& orderId) {
    if (snapshots_ && !(snapshots_->Bof() && snapshots_->Eof())) {
        int32_t wanted = addressId.ToLong();
        for (snapshots_->MoveFirst(); !snapshots_->Eof(); snapshots_->MoveNext())
            if (snapshots_->Fields("ADDRESSID").Value().ToLong() == wanted) return snapshots_;
    }
    return Order()->GetAddress(addressId, orderId);
}

std::string EdiOrderMessage::GetOrderHeaderText(FieldReader& header) {
    try {
        return FormatString(Record({"HTX", Plain("ORDERID", header["ORDERID"]), ""}),
                            TextLines("HEADERTEXT", header["HEADERTEXT"]));
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderHeaderText");
    }
}

std::string EdiOrderMessage::GetOrderFooterText(const OrderRows& order, FieldReader& header) {
    try {
        return FormatString(Record({"FTX", Plain("ORDERID", header["ORDERID"]), ""}),
                            TextLines("InvoiceText", order.footerText));
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderFooterText");
    }
}

void AddFreightLine(const Variant& freight, ado::Recordset& rows) {
    std::string partNumber, unitCode;
    try {
        auto parameters = Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter");
        partNumber = parameters->GetParameterValue("FreightPartNumber");
        unitCode = parameters->GetParameterValue("Freight Unit-code");
    } catch (...) {
        Sls_RaiseError("WebOrderExport.AddFreightLine");
    }
    AddFreightLine(freight, rows, partNumber, unitCode);
}

void AddFreightLine(const Variant& freight, ado::Recordset& rows, const std::string& partNumber,
                    const std::string& unitCode) {
    try {
        // one more than the highest line number: the lines come in no particular order
        int32_t lineNr = 1;
        Variant orderId;
        if (!(rows.Bof() && rows.Eof()))
            for (rows.MoveFirst(); !rows.Eof(); rows.MoveNext()) {
                lineNr = std::max(lineNr, rows.Fields("LINENR").Value().ToLong() + 1);
                orderId = rows.Fields("ORDERID").Value();
            }
        rows.AddNew();
        rows.Fields("ORDERID") = orderId;
        rows.Fields("LINENR") = lineNr;
        rows.Fields("PARTNUMBER") = partNumber;
        rows.Fields("UNITCODE") = unitCode;
        rows.Fields("REQUESTDATE") = ole::Null;
        rows.Fields("QUANTITY") = 1;
        rows.Fields("PRICE") = freight.IsNull() || freight.IsEmpty() ? Variant(ole::Currency{}) : freight;
        rows.Fields("DISCOUNTAMOUNT") = 0;
        rows.Update();
    } catch (...) {
        Sls_RaiseError("WebOrderExport.AddFreightLine");
    }
}

std::string EdiOrderMessage::GetOrderLine(FieldReader& line, const Backend& backend, const std::string& addressCode) {
    try {
        std::string lineNr = Plain("LINENR", line["LINENR"]);
        std::string partNumber = Encoded({"PARTNUMBER of line ", lineNr}, TrimBlanks(OneLine(line["PARTNUMBER"])));
        Variant discount = line["DISCOUNTAMOUNT"];
        double discountAmount = discount.IsNull() ? 0 : discount.ToDouble();
        std::string text = Record({"LIN", Plain("ORDERID", line["ORDERID"]), lineNr, partNumber, "ZZ",
                                   Plain("QUANTITY", line["QUANTITY"]), Encoded({"UNITCODE of line ", lineNr}, line["UNITCODE"]),
                                   CompactDate(line["REQUESTDATE"]), Plain("PRICE", line["PRICE"]), "",
                                   Variant(discountAmount).ToString(), ItemCode(partNumber, backend)});
        if (!addressCode.empty()) text.append(fs_).append(addressCode).append(fs_);
        return text;
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderLine");
    }
}

std::string EdiOrderMessage::GetLineAddress(FieldReader& line, int16_t lineNr, int addressClass,
                                            const std::string& code) {
    try {
        std::string id = Plain("ORDERID", line["ORDERID"]);
        return GetAddress(Record({"LAD", id, Plain("LINENR", line["LINENR"]), "DEL"}), line["ADDRESSID"], id, lineNr,
                          addressClass, code);
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetLineAddress");
    }
}

std::string EdiOrderMessage::GetLineText(FieldReader& line) {
    try {
        std::string lineNr = Plain("LINENR", line["LINENR"]);
        return FormatString(Record({"LTX", Plain("ORDERID", line["ORDERID"]), lineNr, ""}),
                            TextLines({"LINETEXT of line ", lineNr}, line["LINETEXT"]));
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetLineText");
    }
}

std::string EdiOrderMessage::GetProductVariantStructure(FieldReader& line, const Backend& backend) {
    try {
        std::string lineNr = Plain("LINENR", line["LINENR"]);
        std::string partNumber = Encoded({"PARTNUMBER of line ", lineNr}, TrimBlanks(OneLine(line["PARTNUMBER"])));
        return Record({"VAR", Plain("ORDERID", line["ORDERID"]), lineNr, "0", "1", partNumber, "", "ZZ", "0", "0",
                       ItemCode(partNumber, backend)});
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetProductVariantStructure");
    }
}

std::string EdiOrderMessage::Record(std::initializer_list<std::string_view> fields) const {
    size_t size = 0;
    for (std::string_view field : fields) size += field.size() + fs_.size();
    std::string record;
    record.reserve(size);
    bool first = true;
    for (std::string_view field : fields) {
        if (!first) record.append(fs_);
        record.append(field);
        first = false;
    }
    return record;
}

// The back end's item code: the part number aligned by the item segmentation mask.
std::string EdiOrderMessage::ItemCode(const std::string& partNumber, const Backend& backend) const {
    if (!backend.aligned) return std::string(9, ' ') + partNumber;
    return backend.leftAligned ? partNumber + backend.itemMask : backend.itemMask + partNumber;
}

std::string EdiOrderMessage::EDIEncode(const Variant& value) {
    try {
        if (value.IsNull() || value.IsEmpty()) return "";
        return ole::ReplaceAll(OneLine(value), fs_, esc_);
    } catch (...) {
        Sls_RaiseError("WebOrderExport.EDIEncode");
    }
}

bool EdiOrderMessage::HasValue(const Variant& value) {
    try {
        if (value.IsNull() || value.IsEmpty()) return false;
        return !value.Text().empty();
    } catch (...) {
        Sls_LogError("Ordexa.WebOrderExport.HasValue");
        return false;
    }
}

std::string EdiOrderMessage::FormatString(const std::string& prefix, const Variant& text) {
    try {
        // every line break as CR LF, which ends a piece
        std::string encoded =
            text.IsNull() || text.IsEmpty() ? "" : ole::ReplaceAll(WithoutControls(text.Text(), kCrLf), fs_, esc_);
        std::string records = prefix;
        size_t pos = 0;
        bool first = true;
        while (pos < encoded.size()) {
            size_t n = CharactersAhead(encoded, pos, kPieceLength);
            size_t skip = 0;
            size_t cr = encoded.find('\r', pos);
            if (cr != std::string::npos && cr < pos + n) {
                n = cr - pos;
                skip = 2;
            }
            if (first)
                records += encoded.substr(pos, n);
            else
                records += kCrLf + prefix + encoded.substr(pos, n);
            pos += n + skip;
            first = false;
        }
        return records;
    } catch (...) {
        Sls_RaiseError("WebOrder.FormatString");
    }
}

std::string EdiOrderMessage::Fitted(const FieldLabel& field, std::string text) {
    if (qx::IsAscii(text)) return text;
    std::string fitted = qx::FitToWindows1252(text);
    if (fitted != text)
        Sls_LogWarning("WebOrderExport.ProcessOneOrder",
                       "Order '" + orderId_ + "': " + field.Text() + " holds characters that Windows-1252 cannot hold ('" +
                           text + "'); the back end gets '" + fitted + "'");
    return fitted;
}

std::string EdiOrderMessage::Plain(const FieldLabel& field, const Variant& value) {
    return Fitted(field, TrimBlanks(OneLine(value)));
}

std::string EdiOrderMessage::Encoded(const FieldLabel& field, const Variant& value) {
    if (value.IsNull() || value.IsEmpty()) return "";
    return ole::ReplaceAll(Fitted(field, OneLine(value)), fs_, esc_);
}

Variant EdiOrderMessage::TextLines(const FieldLabel& field, const Variant& value) {
    if (value.IsNull() || value.IsEmpty()) return value;
    return Variant(Fitted(field, WithoutControls(value.Text(), kCrLf)));
}

std::string EdiOrderMessage::VariantOptionRecords(const std::string& options, const std::string& lineNr) {
    std::string records;
    for (size_t at = 0; at < options.size();) {
        size_t end = options.find(kCrLf, at);
        if (end == std::string::npos) end = options.size();
        std::string piece = WithoutControls(std::string_view(options).substr(at, end - at), " ");
        at = end == options.size() ? end : end + kCrLf.size();
        if (piece.empty()) continue;  // an empty line is no record
        // a line that is no VOP record stays in the record before it: it must not begin a record of its own
        if (!records.empty()) records += ole::EqualsNoCase(piece.substr(0, 3), "VOP") ? kCrLf : " ";
        records += piece;
    }
    return ole::ReplaceAll(Fitted("the variant options of line " + lineNr, records), ",", fs_);
}

void EdiOrderMessage::RequireWholeRecords(const std::string& message) const {
    for (size_t at = 0; at < message.size(); ++at) {
        auto c = static_cast<unsigned char>(message[at]);
        if (c >= 0x20 && c != 0x7F) continue;
        if (c == '\r' && at + 1 < message.size() && message[at + 1] == '\n') {
            ++at;  // a record end
            continue;
        }
        // a separator that is a control character (TAB...) may stand anywhere; a line break may not
        bool separator = c != '\r' && c != '\n' &&
                         (fs_.find(message[at]) != std::string::npos || esc_.find(message[at]) != std::string::npos);
        if (!separator)
            ole::Raise(ole::err::InvalidProcedureCall,
                       "The EDI message holds a control character outside its record ends", "Ordexa.WebOrderExport");
    }
}

const EdiOrderMessage::Backend& EdiOrderMessage::BackendOf(int32_t businessPartnerId) {
    auto found = backends_.find(businessPartnerId);
    if (found != backends_.end()) return found->second;
    if (!selector_) selector_ = Sls_GetComponent<qx::IBackendSelector>("QxBackend.Selector");
    ole::Dictionary parameters;
    parameters.Add("BPID", std::to_string(businessPartnerId));
    auto partnerInstance = selector_->SelectBackendByRule("BusinessPartner", parameters);
    auto instance = selector_->SelectBackend(partnerInstance->BISID());
    Backend backend;
    backend.type = ole::LowerCase(TrimBlanks(instance->BackendType().substr(0, 3)));
    auto properties = instance->BackendProperties();
    if (properties && properties->Exists("alignment")) {
        backend.aligned = true;
        backend.leftAligned = ole::LowerCase(properties->Item("alignment").Text()) == "left";
        backend.itemMask = WithoutControls(properties->Item("itemsegmentationmask").Text(), " ");
        std::replace(backend.itemMask.begin(), backend.itemMask.end(), '*', ' ');
    }
    return backends_.emplace(businessPartnerId, std::move(backend)).first->second;
}

int32_t EdiOrderMessage::DefaultAddressOf(int32_t businessPartnerId, const std::string& type) {
    bool invoice = type == "INV";
    auto key = std::make_pair(businessPartnerId, invoice);
    auto found = defaultAddresses_.find(key);
    if (found != defaultAddresses_.end()) return found->second;
    if (!partner_) partner_ = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
    int32_t address =
        invoice ? partner_->GetPostalAddressID(businessPartnerId) : partner_->GetShippingAddressID(businessPartnerId);
    defaultAddresses_.emplace(key, address);
    return address;
}

const std::string& EdiOrderMessage::BISAddressCodeOf(int32_t addressId) {
    auto found = addressCodes_.find(addressId);
    if (found != addressCodes_.end()) return found->second;
    if (!partner_) partner_ = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
    return addressCodes_.emplace(addressId, partner_->GetBISAddressCodeFromAddressID(addressId)).first->second;
}

const std::string& EdiOrderMessage::SalesParameter(const std::string& name) {
    auto found = salesParameters_.find(name);
    if (found != salesParameters_.end()) return found->second;
    auto parameters = Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter");
    return salesParameters_.emplace(name, parameters->GetParameterValue(name)).first->second;
}

std::shared_ptr<vendalo::IOrder> EdiOrderMessage::Order() {
    if (!order_) order_ = Sls_GetComponent<vendalo::IOrder>("Vendalo.Order");
    return order_;
}

}  // namespace ordexa
