#include "ordexa/exchange/xml_order_export.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/batch_progress.h"
#include "ordexa/exchange/edi_order_message.h"
#include "ordexa/exchange/export_archive.h"
#include "ordexa/exchange/lib_sales_xml.h"
#include "ordexa/exchange/xml_export_file.h"
#include "platform/data/transaction.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/product_catalog.h"
#include "platform/os/scope_guard.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

const char* kRootName = "QxSalesOrders";
const char* kRootNamespace = "urn:schemas-biztalk-org:vorn-com/QxSalesOrders";
const std::string kLabel = "Ordexa.WebOrderExport";

// The address elements of the header, in their order, after "bill_to_" or "ship_to_", and their columns.
constexpr std::array<std::pair<const char*, const char*>, 10> kAddressElements = {{
    {"description", "SHORTDESCRIPTION"},
    {"name1", "NAME1"},
    {"name2", "NAME2"},
    {"street1", "STREET1"},
    {"street2", "STREET2"},
    {"city1", "CITY1"},
    {"city2", "CITY2"},
    {"state", "STATEPROVINCE"},
    {"country", "COUNTRYCODE"},
    {"zipcode", "ZIPCODE"},
}};

bool HasValue(const Variant& v) { return !v.IsNull() && !v.IsEmpty() && !v.Text().empty(); }

std::string OrderIdOf(const pugi::xml_node& order) {
    return order.child("OrderHeader").child("order_id").text().get();
}

struct StringWriter : pugi::xml_writer {
    std::string bytes;
    void write(const void* data, size_t size) override { bytes.append(static_cast<const char*>(data), size); }
};

// The document as the export file holds it: UTF-8 with a declaration, indented.
std::string Serialised(const qx::XmlDocument& document) {
    StringWriter writer;
    document.doc.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
    return std::move(writer.bytes);
}

// The node as the document's serialisation holds it (same indent, at its depth).
void Print(const pugi::xml_node& node, pugi::xml_writer& writer) {
    unsigned depth = 0;
    for (pugi::xml_node up = node.parent(); up && up.type() != pugi::node_document; up = up.parent()) ++depth;
    node.print(writer, "  ", pugi::format_default, pugi::encoding_utf8, depth);
}
std::string Printed(const pugi::xml_node& node) {
    StringWriter writer;
    Print(node, writer);
    return std::move(writer.bytes);
}

// The document's bytes before and after the place where new orders go (after
// the root's last child): a stand-in element, printed whole, marks the place.
std::pair<std::string, std::string> Frame(const qx::XmlDocument& document, pugi::xml_node root) {
    pugi::xml_node mark = root.append_child(("x" + Sls_CreateGUID()).c_str());  // a name no document holds
    std::string bytes = Serialised(document), printed = Printed(mark);
    root.remove_child(mark);
    size_t at = bytes.find(printed);
    if (at == std::string::npos)
        ole::Raise(ole::err::ObjectErrorBase + 1, "The place of the new orders cannot be found in the document; nothing was written",
                   kLabel);
    return {bytes.substr(0, at), bytes.substr(at + printed.size())};
}

// The new document on its way to the export file, in pieces of up to 64 KiB,
// and each group's bytes to its SHA-256 and its copy.
class DocumentWriter : public pugi::xml_writer {
public:
    explicit DocumentWriter(XmlExportFile& file) : file_(file) { buffer_.reserve(kPiece); }
    void write(const void* data, size_t size) override {
        buffer_.append(static_cast<const char*>(data), size);
        written_ += size;
        if (buffer_.size() >= kPiece) Flush();
    }
    void Add(std::string_view bytes) { write(bytes.data(), bytes.size()); }
    // What the groups written from now on go with (nothing: no copy).
    void Group(os::Sha256* sha256, ExportGroupCopy* copy) {
        Flush();
        sha256_ = sha256;
        copy_ = copy;
    }
    void Flush() {
        if (buffer_.empty()) return;
        file_.Write(buffer_);
        if (sha256_) sha256_->Add(buffer_);
        if (copy_) copy_->Add(buffer_);
        buffer_.clear();
    }
    size_t Written() const { return written_; }

private:
    static constexpr size_t kPiece = 65536;
    XmlExportFile& file_;
    std::string buffer_;
    size_t written_ = 0;
    os::Sha256* sha256_ = nullptr;
    ExportGroupCopy* copy_ = nullptr;
};

// The root the orders go under: that of the document the file holds (without
// the orders still waiting, which an export stopped before it marked them
// left there: they are rendered again), or of a new document. A file that is
// no export document raises and stays as it is: it may be what someone needs.
pugi::xml_node DocumentToAppendTo(const std::string& old, const std::string& path, const std::set<std::string>& waiting,
                                  qx::XmlDocument& document) {
    if (old.empty()) return XML_BizTalk081Message(document, kRootName, kRootNamespace);
    if (!document.LoadXml(old))
        ole::Raise(document.ErrorCode(),
                   "The export file " + path + " cannot be read as XML (" + document.Reason() +
                       "); it is left as it is and the orders stay to be exported",
                   kLabel);
    pugi::xml_node root = document.doc.select_node("BizTalk/Body/QxSalesOrders").node();
    if (!root)
        ole::Raise(ole::err::ObjectErrorBase + 1,
                   "The export file " + path +
                       " holds no BizTalk/Body/QxSalesOrders; it is left as it is and the orders stay to be exported",
                   kLabel);
    std::vector<pugi::xml_node> stale;
    for (pugi::xml_node order : root.children("Order"))
        if (waiting.count(OrderIdOf(order))) stale.push_back(order);
    for (pugi::xml_node order : stale) root.remove_child(order);
    if (!stale.empty())
        Sls_LogWarning(kLabel + ".XmlExportOrdersToFile()",
                       std::to_string(stale.size()) + " order(s) in '" + path +
                           "' were never marked exported; they are written again");
    return root;
}

// The record of an export group that begins at offset in the document.
ExchangeRecord NewGroupRecord(std::optional<int32_t> bisid, const std::string& path, int64_t offset) {
    ExchangeRecord record;
    record.id = Sls_CreateGUID();
    record.kind = exchange_kind::kExportGroup;
    record.outcome = "written";
    record.bisid = bisid;
    record.file = path;
    record.offset = offset;
    record.detail = "XML";
    return record;
}

}  // namespace

struct XmlOrderExport::Address {
    std::array<Variant, kAddressElements.size()> values;
};

XmlOrderExport::XmlOrderExport(std::string connectionString, CommonNameLookup commonName)
    : connectionString_(std::move(connectionString)), commonName_(std::move(commonName)) {}

XmlOrderExport::~XmlOrderExport() = default;

int32_t XmlOrderExport::XmlExportOrders(ole::Dictionary& selection, const std::string& bisid,
                                        const std::string& path) {
    try {
        bisid_ = bisid;
        // One group per business partner, in the order the partners first appear;
        // a partner's first order closes its group.
        std::vector<std::vector<std::string>> groups;
        std::map<std::string, size_t> groupOf;
        selection.ForEach([&](const Variant& orderId, const Variant& partner) {
            auto [at, added] = groupOf.emplace(partner.Text(), groups.size());
            if (added) groups.emplace_back();
            groups[at->second].push_back(orderId.ToString());
        });
        for (auto& group : groups) std::rotate(group.begin(), group.begin() + 1, group.end());
        selection.RemoveAll();
        return XmlExportOrdersToFile(groups, path);
    } catch (...) {
        Sls_RaiseError(kLabel + ".XmlExportOrders()", "BisID= " + bisid);
    }
}

int32_t XmlOrderExport::XmlExportOrdersToFile(const std::vector<std::vector<std::string>>& groups,
                                              const std::string& path) {
    const std::string label = kLabel + ".XmlExportOrdersToFile()";
    XmlExportFile file(path, journalFolder_.empty() ? "" : XmlExportJournalOf(journalFolder_, path), newFileMode_);
    bool marked = false;  // from here on the new document is the one that holds the orders
    std::vector<std::string> appended;
    std::vector<ExchangeRecord> records;
    // the copies of groups whose orders were not marked go again
    auto dropCopies = os::ScopeGuard([&] {
        if (!marked)
            for (const auto& record : records)
                if (!record.archive.empty()) ::unlink(record.archive.c_str());
    });
    try {
        std::set<std::string> waiting;
        size_t total = 0;
        for (const auto& group : groups) {
            waiting.insert(group.begin(), group.end());
            total += group.size();
        }
        qx::XmlDocument document;
        pugi::xml_node root = DocumentToAppendTo(file.Open(), path, waiting, document);
        auto [head, tail] = Frame(document, root);
        std::optional<int32_t> bisid;
        if (!bisid_.empty()) bisid = Variant(bisid_).ToLong();

        // Each order's element goes to the new document as soon as it is
        // rendered and leaves the DOM again, so memory stays flat however many
        // orders a run takes; its bytes are those the whole DOM would print.
        file.Begin();
        DocumentWriter out(file);
        out.Add(head);
        head.clear();
        head.shrink_to_fit();
        appended.reserve(total);
        for (const auto& group : groups) {
            ExchangeRecord record;
            std::optional<os::Sha256> sha256;
            std::optional<ExportGroupCopy> copy;
            for (const auto& orderId : group) {
                pugi::xml_node order;
                try {
                    order = XmlOrderFormToDOMDoc(orderId, document, root);
                } catch (...) {
                    if (auto progress = CurrentBatchProgress())
                        progress->OrderNotExported(orderId, ole::ReasonOf(ole::CurrentError()));
                    Sls_LogError(label, "Order export failed for OrderID: " + orderId);
                    continue;
                }
                appended.push_back(orderId);
                if (recordExchanges_ && !copy) {  // the group's first order: its record and copy begin
                    record = NewGroupRecord(bisid, path, static_cast<int64_t>(out.Written()));
                    sha256.emplace();
                    copy.emplace(path, bisid_, record.id, "xml");
                    out.Group(&*sha256, &*copy);
                }
                record.orderIds.push_back(orderId);
                Print(order, out);
                root.remove_child(order);
            }
            if (copy) {
                out.Group(nullptr, nullptr);
                record.length = static_cast<int64_t>(out.Written()) - *record.offset;
                record.sha256 = sha256->Hex();
                record.archive = copy->Keep();
                records.push_back(std::move(record));
            }
        }
        out.Add(tail);
        out.Flush();
        if (appended.empty()) return 0;  // the file stays as it was; what was begun is dropped
        if (placedLocally_) records.push_back(LocalPlacement(bisid, path, 0, static_cast<int64_t>(out.Written())));
        file.Place(appended);
        if (!XmlUpdateOrderStatus(appended, vendalo::OrderStatus::Processed, path, records)) {
            file.Withdraw();
            ole::Raise(ole::err::ObjectErrorBase + 1,
                       "The exported orders could not be marked; the export file is as it was and " +
                           std::to_string(appended.size()) + " order(s) stay to be exported",
                       kLabel);
        }
        marked = true;
        XmlExportStep("marked");
        file.Keep();
        auto written = static_cast<int32_t>(appended.size());
        if (auto progress = CurrentBatchProgress())
            progress->OrdersExported(bisid_, written, static_cast<int32_t>(total));
        return written;
    } catch (...) {
        Sls_LogError(label, "XML export of orders using file '" + path +
                                "' failed. The export file is defined in the 'Order Export File' (Vendalo manager page)");
        if (marked) {
            file.Keep();
            return static_cast<int32_t>(appended.size());
        }
        try {
            file.Withdraw();
        } catch (...) {
            Sls_LogError(label, "The export file '" + path +
                                    "' keeps the new document; the next export marks the orders it holds");
        }
        return 0;
    }
}

void AppendXmlGroupAgain(const std::string& path, const std::string& journal, mode_t newFileMode,
                         const std::string& bytes, const std::function<void(const std::string& file, int64_t offset)>& record) {
    XmlExportFile file(path, journal, newFileMode);
    qx::XmlDocument document;
    pugi::xml_node root = DocumentToAppendTo(file.Open(), path, {}, document);
    pugi::xml_document copy;
    if (!copy.load_buffer(bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8))
        ole::Raise(ole::err::ObjectErrorBase + 1, "The copy of the export group does not parse; nothing was sent", kLabel);
    for (pugi::xml_node order : copy.children("Order")) root.append_copy(order);
    std::string whole = Serialised(document);
    size_t at = whole.rfind(bytes);
    if (at == std::string::npos || !root.child("Order"))
        ole::Raise(ole::err::ObjectErrorBase + 1,
                   "The copy of the export group cannot go into " + path + " byte for byte; nothing was sent", kLabel);
    // journalled without orders: they are marked already
    file.Replace(whole, {});
    try {
        record(path, static_cast<int64_t>(at));
    } catch (...) {
        file.Withdraw();
        throw;
    }
    file.Keep();
}

void XmlOrderExport::FinishStoppedExports() {
    if (journalFolder_.empty()) return;
    FinishStoppedXmlExports(journalFolder_, [this](const std::vector<std::string>& orderIds) {
        if (!XmlUpdateOrderStatus(orderIds, vendalo::OrderStatus::Processed, "document put in place by a stopped export"))
            ole::Raise(ole::err::ObjectErrorBase + 1,
                       "The orders of an XML document that a stopped export put in place cannot be marked exported; "
                       "no order is exported until they are",
                       kLabel);
    });
}

pugi::xml_node XmlOrderExport::XmlOrderFormToDOMDoc(const std::string& orderId, qx::XmlDocument& document,
                                                    pugi::xml_node root) {
    pugi::xml_node order;
    try {
        if (!orders_) orders_ = Sls_GetComponent<vendalo::IOrder>("Vendalo.Order");
        auto restored = orders_->Restore(orderId);
        if (!restored) ole::Raise(vendalo::MissingOrderInfo, "MissingOrderInfo");
        auto header = RecordsetOf(*restored, "header");
        auto lines = RecordsetOf(*restored, "lines");
        if (header->Eof()) ole::Raise(vendalo::OrderNotFound, "OrderNotFound");
        auto field = [&](const char* name) { return header->Fields(name).Value(); };

        order = XML_NewNode(document, root, "Order");
        pugi::xml_node h = XML_NewNode(document, order, "OrderHeader");
        XML_NewNode(document, h, "order_id", field("ORDERID"));
        XML_NewNode(document, h, "order_date", field("ORDERDATE"));
        XML_NewNode(document, h, "userCN", Variant(commonName_(field("USERID").Text())));
        XML_NewNode(document, h, "currency_code", field("CURRENCYCODE"));
        XML_NewNode(document, h, "customer_name", field("CUSTOMERNAME"));
        XML_NewNode(document, h, "order_discount", field("DISCOUNTPERC"));
        XML_NewNode(document, h, "carrier_code", field("CARRIERCODE"));
        XML_NewNode(document, h, "order_name", field("ORDERLISTNAME"));
        XML_NewNode(document, h, "order_subtotal");
        XML_NewNode(document, h, "total_discount");
        XML_NewNode(document, h, "tax_total", field("TAXTOTAL"));
        XML_NewNode(document, h, "order_total");
        AddAddress(document, h, "bill_to_", field("BILLINGADDRESSID"));
        Variant shipping = field("SHIPPINGADDRESSID");
        AddAddress(document, h, "ship_to_", shipping);

        pugi::xml_node l = XML_NewNode(document, order, "OrderLines");
        if (!(lines->Bof() && lines->Eof())) {
            // card orders carry their freight as a line of its own, also when it is 0
            if (IsCreditCardOrder(field("WEBPAYMENTMETHOD"))) AddFreightLine(field("FREIGHTTOTAL"), *lines);
            for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext()) {
                auto column = [&](const char* name) { return lines->Fields(name).Value(); };
                pugi::xml_node line = XML_NewNode(document, l, "Orderline");
                XML_NewNode(document, line, "Quantity", column("QUANTITY"));
                XML_NewNode(document, line, "list_price", column("PRICE"));
                XML_NewNode(document, line, "discount", column("DISCOUNTAMOUNT"));
                XML_NewNode(document, line, "discount_percentage", column("DISCOUNTPERC"));
                Variant address = column("ADDRESSID");
                Variant description;
                if (HasValue(address) && !(HasValue(shipping) && ole::VbEquals(address, shipping)))
                    description = AddressOf(address.ToLong(), vendalo::MissingLineAddress).values[0];
                XML_NewNode(document, line, "address_description", description);
                XML_NewNode(document, line, "unit_code", column("UNITCODE"));
                XML_NewNode(document, line, "partnumber", column("PARTNUMBER"));
                Variant product = column("PRODUCTID");
                XML_NewNode(document, line, "product_description",
                            HasValue(product) ? ProductDescriptionOf(product.ToLong()) : Variant());
                XML_NewNode(document, line, "line_total", column("AMOUNT"));
                XML_NewNode(document, line, "line_tax", column("LINETAX"));
                XML_NewNode(document, line, "tax_code", column("TAXCODE"));
                XML_NewNode(document, line, "tax_percentage", column("TAXPERCENTAGE"));
            }
        }
        return order;
    } catch (...) {
        if (order) root.remove_child(order);
        Sls_RaiseError(kLabel + ".XmlOrderFormToDOMDoc()", "OrderId = " + orderId);
    }
}

bool XmlOrderExport::XmlUpdateOrderStatus(const std::vector<std::string>& orderIds, vendalo::OrderStatus status,
                                          const std::string& reference, const std::vector<ExchangeRecord>& records) {
    ado::ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(connectionString_);
        // only orders still waiting: a status moves from ToBeProcessed on and never back
        static const std::string mark = "UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND " +
                                        vendalo::StatusGuard(vendalo::OrderStatus::ToBeProcessed);
        std::vector<ado::BatchStatement> marks;
        marks.reserve(orderIds.size());
        std::vector<OrderEvent> events;
        events.reserve(orderIds.size());
        for (const auto& orderId : orderIds) {
            marks.push_back({mark, {StatusValue(status), Variant(orderId)}});
            events.push_back({orderId, std::nullopt, static_cast<int32_t>(vendalo::OrderStatus::ToBeProcessed),
                              static_cast<int32_t>(status), "exported", "", reference, "XML"});
        }
        auto eventStatements = OrderEventStatements(events);
        marks.insert(marks.end(), eventStatements.begin(), eventStatements.end());
        auto recordStatements = ExchangeStatements(records);
        marks.insert(marks.end(), recordStatements.begin(), recordStatements.end());
        ado::Transaction tx(*connection);
        connection->ExecuteBatch(marks);
        XmlExportStep("marking");
        tx.Commit();
    } catch (...) {
        Sls_LogError(kLabel + ".XmlUpdateOrderStatus()");
        return false;
    }
    return true;
}

void XmlOrderExport::AddAddress(qx::XmlDocument& document, pugi::xml_node header, const std::string& prefix,
                                const Variant& addressId) {
    const Address* address = HasValue(addressId) ? &AddressOf(addressId.ToLong(), vendalo::MissingHeaderAddress) : nullptr;
    for (size_t i = 0; i < kAddressElements.size(); ++i)
        XML_NewNode(document, header, prefix + kAddressElements[i].first,
                    address ? address->values[i] : Variant());
}

// The address master's record of an address, read once per run.
const XmlOrderExport::Address& XmlOrderExport::AddressOf(int32_t addressId, int32_t missingError) {
    auto known = addresses_.find(addressId);
    if (known != addresses_.end()) return *known->second;
    if (!partners_) partners_ = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
    auto rows = partners_->GetAddress(addressId);
    if (rows->Eof())
        ole::Raise(missingError, missingError == vendalo::MissingLineAddress ? "MissingLineAddress" : "MissingHeaderAddress");
    auto address = std::make_unique<Address>();
    for (size_t i = 0; i < kAddressElements.size(); ++i)
        address->values[i] = rows->Fields(kAddressElements[i].second).Value();
    return *addresses_.emplace(addressId, std::move(address)).first->second;
}

// The catalogue's description of a product, read once per run; none for a
// product the catalogue does not know.
const Variant& XmlOrderExport::ProductDescriptionOf(int32_t productId) {
    auto known = productDescriptions_.find(productId);
    if (known != productDescriptions_.end()) return known->second;
    if (!products_) products_ = Sls_GetComponent<qx::IProduct>("QxCatalog.Product");
    Variant description;
    try {
        description = products_->GetProduct(productId)->Item("PRODUCTDESCRIPTION");
    } catch (const ole::AutomationError& e) {
        if (e.Number() != qx::kProductNotFound) throw;
        // the description only informs; the part number says what is ordered
        Sls_LogWarning(kLabel + ".XmlOrderFormToDOMDoc()",
                       "Product " + std::to_string(productId) +
                           " is not in the catalogue; its lines go without a product description");
    }
    return productDescriptions_.emplace(productId, std::move(description)).first->second;
}

}  // namespace ordexa
