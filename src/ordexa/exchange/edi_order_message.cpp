#include "exchange/edi_order_message.h"

#include <algorithm>
#include <cctype>

#include "automation/text.h"
#include "backend/backend_selector.h"
#include "exchange/file_handling.h"
#include "lib_sales.h"
#include "masterdata/business_partner.h"
#include "masterdata/configurator.h"
#include "vendalo/order.h"
#include "vendalo/sales_parameter.h"
#include "vendalo/vendalo_error.h"

namespace ordexa {
namespace {

using ole::Variant;

const std::string kCrLf = "\r\n";
constexpr size_t kPieceLength = 60;  // characters of text per HTX, FTX or LTX record

// The address columns of an address record, in their order.
const char* const kAddressColumns[] = {"NAME1",   "NAME2",         "STREET1",     "STREET2", "CITY1", "CITY2",
                                       "ZIPCODE", "STATEPROVINCE", "COUNTRYCODE", "PHONE",   "FAX"};

enum AddressClass { kFailed = 0, kKnownByCode = 1, kPartnerDefault = 2, kSentInFull = 3 };

// A field that is not encoded: as the database gives it, without surrounding blanks.
std::string Plain(const Variant& v) { return TrimBlanks(v.Text()); }

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

// The fields of a recordset's current row by name; each name (a literal) is looked up once.
class FieldReader {
public:
    explicit FieldReader(ado::Recordset& rows) : rows_(rows) {}
    ado::Recordset& Rows() { return rows_; }
    Variant operator[](std::string_view name) {
        for (const auto& [known, index] : positions_)
            if (known == name) return rows_.Fields(index).Value();
        int index = Position(name);
        positions_.emplace_back(name, index);
        return rows_.Fields(index).Value();
    }

private:
    int Position(std::string_view name) {
        for (int i = 0; i < rows_.FieldCount(); ++i) {
            if (ole::EqualsNoCase(rows_.Fields(i).Name(), name)) return i;
        }
        ole::Raise(ado::err::ItemNotFound,
                   "Item cannot be found in the collection corresponding to the requested name or ordinal.",
                   "ADODB.Recordset");
    }

    ado::Recordset& rows_;
    std::vector<std::pair<std::string_view, int>> positions_;
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
    std::string orderId;
    try {
        auto order = orderValue.As<ole::Dictionary>();
        if (!order) ole::Raise(vendalo::MissingOrderInfo, "MissingOrderInfo");
        auto lineRows = RecordsetOf(*order, "lines");
        FieldReader header(*RecordsetOf(*order, "header")), lines(*lineRows);
        orderId = Plain(header["ORDERID"]);
        lineNr_ = 0;
        lineAddressCode_.clear();

        Variant partner = header["BUSINESSPARTNERID"];
        const Backend& backend = BackendOf(partner.ToLong());
        // Any other back end would get the order without its lines.
        if (backend.type != "ow4" && backend.type != "ow5")
            ole::Raise(ole::err::InvalidProcedureCall,
                       "The back end of business partner " + partner.Text() + " is of type '" + backend.type +
                           "', for which no EDI order message is defined (only 'ow4' and 'ow5')",
                       "Ordexa.WebOrderExport");

        std::string text = GetOrderHeader(*order, header);
        for (const auto& [column, type] :
             {std::pair{"SHIPPINGADDRESSID", "DEL"}, std::pair{"BILLINGADDRESSID", "INV"}}) {
            Variant address = header[column];
            std::string code;
            int addressClass = DetermineAddressInfo(partner, address, type, code, backend.type);
            if (addressClass == kPartnerDefault) continue;
            lineNr_ = 0;
            if (HasValue(address))
                text.append(kCrLf).append(GetOrderAddress(header, type, address, addressClass, code, backend.type));
        }
        if (HasValue(Plain(header["HEADERTEXT"]))) text.append(kCrLf).append(GetOrderHeaderText(header));
        if (HasValue(Plain(order->Item("footer_text")))) text.append(kCrLf).append(GetOrderFooterText(*order, header));

        if (!(lineRows->Bof() && lineRows->Eof())) {
            Variant freight = header["FREIGHTTOTAL"];
            if (!freight.IsNull() && freight.ToDouble() > 0) AddFreightLine(freight.ToDouble(), lines);
            Variant shipping = header["SHIPPINGADDRESSID"];
            for (lineRows->MoveFirst(); !lineRows->Eof(); lineRows->MoveNext()) {
                lineNr_ = lines["LINENR"].ToInt();  // a line without number cannot be sent
                lineAddressCode_.clear();
                Variant address = lines["ADDRESSID"];
                std::string code;
                if (backend.type == "ow4") {
                    text.append(kCrLf).append(GetOrderLine(lines, backend));
                    if (HasValue(address) && (!HasValue(shipping) || !ole::VbEquals(address, shipping))) {
                        int addressClass = DetermineAddressInfo(partner, address, "DEL", code, backend.type);
                        if (addressClass != kPartnerDefault)
                            text.append(kCrLf).append(GetLineAddress(lines, addressClass, code));
                    }
                } else {
                    int addressClass = kFailed;
                    if (HasValue(address)) {
                        addressClass = DetermineAddressInfo(partner, address, "DEL", code, backend.type);
                        if (addressClass == kKnownByCode) lineAddressCode_ = code;
                    }
                    text.append(kCrLf).append(GetOrderLine(lines, backend));
                    if (HasValue(address) && addressClass == kSentInFull)
                        text.append(kCrLf).append(GetLineAddress(lines, kSentInFull, code));
                }
                if (HasValue(lines["LINETEXT"])) text.append(kCrLf).append(GetLineText(lines));
                Variant configId = lines["CONFIGID"];
                if (HasValue(configId) && HasValue(TrimBlanks(configId.Text()))) {
                    if (!configurator_)
                        configurator_ = Sls_GetComponent<qx::IConfigurator>("QxConfigurator.Configurator");
                    std::string options =
                        configurator_->GetVariantOptions(configId.Text(), orderId, Plain(lines["LINENR"]));
                    text.append(kCrLf).append(GetProductVariantStructure(lines, backend));
                    size_t vop = ole::FindNoCase(options, "VOP");
                    if (vop != std::string::npos) text.append(kCrLf).append(ole::ReplaceAll(options.substr(vop), ",", fs_));
                }
            }
        }
        return text.append(kCrLf);
    } catch (...) {
        Sls_LogError("WebOrderExport.ProcessOneOrder",
                     orderId.empty() ? SlsInfo() : SlsInfo("Order '" + orderId + "' is not exported"));
        return "";
    }
}

std::string EdiOrderMessage::GetOrderHeader(const ole::Dictionary& order, FieldReader& h) {
    try {
        std::string id = Plain(h["ORDERID"]);
        std::string creditCardOrderType =
            IsCreditCardOrder(h["WEBPAYMENTMETHOD"]) ? Plain(order.Item("creditcard_ordertype")) : "";
        auto delivery = Order()->GetAddress(h["SHIPPINGADDRESSID"], h["ORDERID"]);
        if (delivery->Eof()) ole::Raise(vendalo::MissingHeaderAddress, "MissingHeaderAddress");
        std::string userName = TrimBlanks(commonName_(h["USERID"].Text()));
        return Record({"ENV", id, "DADuder", "WWW", "ORDER", creditCardOrderType, ""}) + kCrLf +
               Record({"HDR", id, EDIEncode(h["CUSTOMERCODE"]), EDIEncode(h["ORDERLISTNAME"]),
                       EDIEncode(h["CUSTOMERPONR"]), CompactDate(h["ORDERDATE"]), "", EDIEncode(userName),
                       EDIEncode(h["CARRIERCODE"]), EDIEncode(h["CURRENCYCODE"]),
                       EDIEncode(delivery->Fields("COUNTRYCODE").Value()), "", Plain(h["DISCOUNTPERC"])});
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
        const std::string& raw = BISAddressCodeOf(address);
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
        if (known) code = candidate;
        if (address == partnerDefault) return known ? kKnownByCode : kPartnerDefault;
        return known ? kKnownByCode : kSentInFull;
    } catch (...) {
        Sls_RaiseError("Ordexa.WebOrderExport.DetermineAddressInfo", ole::CurrentError().Description);
    }
}

std::string EdiOrderMessage::GetOrderAddress(FieldReader& header, const std::string& type, const Variant& addressId,
                                             int addressClass, const std::string& code,
                                             const std::string& backendType) {
    try {
        std::string id = Plain(header["ORDERID"]);
        std::string tag = type == "DEL" ? "HDA" : "HPA";
        std::string prefix;
        if (backendType == "ow4")
            prefix = Record({tag, id, type});
        else if (addressClass == kKnownByCode)
            prefix = Record({tag, id, ""});
        else
            prefix = Record({"HAD", id, type});
        return GetAddress(prefix, addressId, id, addressClass, code);
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderAddress");
    }
}

std::string EdiOrderMessage::GetAddress(const std::string& prefix, const Variant& addressId, const std::string& orderId,
                                        int addressClass, const std::string& code) {
    try {
        if (addressClass == kKnownByCode) return Record({prefix, code, ""});
        if (addressClass != kSentInFull) return prefix + fs_;
        auto rows = Order()->GetAddress(addressId, orderId);
        if (rows->Eof()) {
            if (lineNr_ == 0) ole::Raise(vendalo::MissingHeaderAddress, "MissingHeaderAddress");
            ole::Raise(vendalo::MissingLineAddress, "MissingLineAddress");
        }
        FieldReader address(*rows);
        std::string text = Record({prefix, "", ""});
        for (const char* column : kAddressColumns) {
            std::string value = TrimBlanks(address[column].Text());
            if (column == std::string_view("ZIPCODE")) value = ole::UpperCase(value);
            text.append(fs_).append(EDIEncode(value));
        }
        return text;
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetAddress");
    }
}

std::string EdiOrderMessage::GetOrderHeaderText(FieldReader& header) {
    try {
        return FormatString(Record({"HTX", Plain(header["ORDERID"]), ""}), header["HEADERTEXT"]);
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderHeaderText");
    }
}

std::string EdiOrderMessage::GetOrderFooterText(const ole::Dictionary& order, FieldReader& header) {
    try {
        return FormatString(Record({"FTX", Plain(header["ORDERID"]), ""}), order.Item("footer_text"));
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderFooterText");
    }
}

void EdiOrderMessage::AddFreightLine(double freight, FieldReader& lines) {
    try {
        auto parameters = Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter");
        std::string partNumber = parameters->GetParameterValue("FreightPartNumber");
        std::string unitCode = parameters->GetParameterValue("Freight Unit-code");
        ado::Recordset& rows = lines.Rows();
        // one more than the highest line number: the lines come in no particular order
        int32_t lineNr = 1;
        Variant orderId;
        if (!(rows.Bof() && rows.Eof()))
            for (rows.MoveFirst(); !rows.Eof(); rows.MoveNext()) {
                lineNr = std::max(lineNr, lines["LINENR"].ToLong() + 1);
                orderId = lines["ORDERID"];
            }
        // in memory only: the freight line is not an order line of the database
        rows.AddNew();
        rows.Fields("ORDERID") = orderId;
        rows.Fields("LINENR") = lineNr;
        rows.Fields("PARTNUMBER") = partNumber;
        rows.Fields("UNITCODE") = unitCode;
        rows.Fields("REQUESTDATE") = ole::Null;
        rows.Fields("QUANTITY") = 1;
        rows.Fields("PRICE") = freight;
        rows.Fields("DISCOUNTAMOUNT") = 0;
        rows.Update();
    } catch (...) {
        Sls_RaiseError("WebOrderExport.AddFreightLine");
    }
}

std::string EdiOrderMessage::GetOrderLine(FieldReader& line, const Backend& backend) {
    try {
        std::string partNumber = EDIEncode(TrimBlanks(line["PARTNUMBER"].Text()));
        Variant discount = line["DISCOUNTAMOUNT"];
        double discountAmount = discount.IsNull() ? 0 : discount.ToDouble();
        std::string text =
            Record({"LIN", Plain(line["ORDERID"]), Plain(line["LINENR"]), partNumber, "ZZ", Plain(line["QUANTITY"]),
                    EDIEncode(line["UNITCODE"]), CompactDate(line["REQUESTDATE"]), Plain(line["PRICE"]), "",
                    Variant(discountAmount).ToString(), ItemCode(partNumber, backend)});
        if (!lineAddressCode_.empty()) {
            text.append(fs_).append(lineAddressCode_).append(fs_);
            lineAddressCode_.clear();
        }
        return text;
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetOrderLine");
    }
}

std::string EdiOrderMessage::GetLineAddress(FieldReader& line, int addressClass, const std::string& code) {
    try {
        std::string id = Plain(line["ORDERID"]);
        return GetAddress(Record({"LAD", id, Plain(line["LINENR"]), "DEL"}), line["ADDRESSID"], id, addressClass, code);
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetLineAddress");
    }
}

std::string EdiOrderMessage::GetLineText(FieldReader& line) {
    try {
        return FormatString(Record({"LTX", Plain(line["ORDERID"]), Plain(line["LINENR"]), ""}), line["LINETEXT"]);
    } catch (...) {
        Sls_RaiseError("WebOrderExport.GetLineText");
    }
}

std::string EdiOrderMessage::GetProductVariantStructure(FieldReader& line, const Backend& backend) {
    try {
        std::string partNumber = EDIEncode(TrimBlanks(line["PARTNUMBER"].Text()));
        return Record({"VAR", Plain(line["ORDERID"]), Plain(line["LINENR"]), "0", "1", partNumber, "", "ZZ", "0", "0",
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
    const auto& properties = *backend.properties;
    if (!properties.Exists("alignment")) return std::string(9, ' ') + partNumber;
    std::string mask = properties.Item("itemsegmentationmask").Text();
    std::replace(mask.begin(), mask.end(), '*', ' ');
    return ole::LowerCase(properties.Item("alignment").Text()) == "left" ? partNumber + mask : mask + partNumber;
}

std::string EdiOrderMessage::EDIEncode(const Variant& value) {
    try {
        if (value.IsNull() || value.IsEmpty()) return "";
        return ole::ReplaceAll(value.Text(), fs_, esc_);
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
        std::string encoded = EDIEncode(text);
        std::string records = prefix;
        size_t pos = 0;
        bool first = true;
        while (pos < encoded.size()) {
            size_t n = CharactersAhead(encoded, pos, kPieceLength);
            size_t skip = 0;
            size_t cr = encoded.find('\r', pos);
            if (cr != std::string::npos && cr < pos + n) {
                n = cr - pos;
                // CR LF ends a piece; a lone CR too, without taking the character after it
                skip = cr + 1 < encoded.size() && encoded[cr + 1] == '\n' ? 2 : 1;
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

const EdiOrderMessage::Backend& EdiOrderMessage::BackendOf(int32_t businessPartnerId) {
    auto found = backends_.find(businessPartnerId);
    if (found != backends_.end()) return found->second;
    if (!selector_) selector_ = Sls_GetComponent<qx::IBackendSelector>("QxBackend.Selector");
    ole::Dictionary parameters;
    parameters.Add("BPID", std::to_string(businessPartnerId));
    auto partnerInstance = selector_->SelectBackendByRule("BusinessPartner", parameters);
    auto instance = selector_->SelectBackend(partnerInstance->BISID());
    Backend backend{ole::LowerCase(TrimBlanks(instance->BackendType().substr(0, 3))), instance->BackendProperties()};
    if (!backend.properties) backend.properties = std::make_shared<ole::Dictionary>();
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

std::shared_ptr<vendalo::IOrder> EdiOrderMessage::Order() {
    if (!order_) order_ = Sls_GetComponent<vendalo::IOrder>("Vendalo.Order");
    return order_;
}

}  // namespace ordexa
