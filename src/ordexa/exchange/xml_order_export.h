// The XML order export of WebOrderExport, for an instance whose message type
// is "1": the selected orders go, grouped by business partner, as `Order`
// elements into one BizTalk-enveloped document (message root QxSalesOrders)
// that grows with every run until the back end takes it.
//
// The document is read once per run and written whole as a new file
// (XmlExportFile): the orders that render are appended, each written out as
// soon as it is rendered (memory does not grow with the orders), the new
// document is put in place durably (its orders noted in a journal first), and
// only then are its orders marked exported (Processed), in one transaction and
// only where they still wait; the file stays locked from before it is read
// until they are marked. An export stopped after its document was put in
// place has its orders marked by the next run's FinishStoppedExports, before
// any order is selected. An order that cannot be rendered is logged with its
// id and stays waiting; the others go. A file that does not parse, a document
// that cannot be saved, or orders that cannot be marked leave the file as it
// was and every order waiting. An exported order keeps its BISID.
//
// With SetExchangeRecord, each business partner's group is an "export group"
// on record, written in the marking transaction: where its `Order` elements
// begin in the document and their length, their SHA-256, and a copy of those
// exact bytes (export_archive.h), kept before the document is put in place.
//
// One object serves one run: it keeps what it learnt of the master data
// (addresses, products), which does not change while a run lasts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/exchange/exchange_record.h"
#include "platform/automation/dictionary.h"
#include "platform/xml/dom.h"

namespace qx {
class IBusinessPartner;
class IProduct;
}  // namespace qx
namespace vendalo {
class IOrder;
}

namespace ordexa {

class XmlOrderExport {
public:
    // The common name of a shop user (the export's membership logon answers it).
    using CommonNameLookup = std::function<std::string(const std::string& userId)>;

    XmlOrderExport(std::string connectionString, CommonNameLookup commonName);
    ~XmlOrderExport();

    // Exports the selection (order id -> business partner id, in selection
    // order; emptied) to the document at path, one group per business partner;
    // returns the number of orders appended and marked. Failures of the file
    // or of single orders are logged; anything else raises.
    int32_t XmlExportOrders(ole::Dictionary& selection, const std::string& bisid, const std::string& path);
    // Appends the orders of the groups, in their order, to the document at
    // path and marks them; the number appended (0 after a failure, logged).
    int32_t XmlExportOrdersToFile(const std::vector<std::vector<std::string>>& groups, const std::string& path);
    // Renders an order as an `Order` element appended under root; raises when it
    // cannot (the element is removed again).
    pugi::xml_node XmlOrderFormToDOMDoc(const std::string& orderId, qx::XmlDocument& document, pugi::xml_node root);
    // Sets the status of those orders that still wait, all in one transaction;
    // false (logged) when it cannot, and then no order is changed.
    // The records go in that transaction.
    bool XmlUpdateOrderStatus(const std::vector<std::string>& orderIds, vendalo::OrderStatus status,
                              const std::string& reference, const std::vector<ExchangeRecord>& records = {});
    // The mode a new export file gets (the exchange folder's file mode; the FTP outbox stays 0600).
    void SetNewFileMode(mode_t mode) { newFileMode_ = mode; }
    // The folder of the exports' journals (the installation's temporary EDI folder); without one none is kept.
    void SetJournalFolder(std::string folder) { journalFolder_ = std::move(folder); }
    // Records each group written and keeps its copy; a document written
    // straight into the back end's folder is recorded as placed too.
    void SetExchangeRecord(bool placedLocally) {
        recordExchanges_ = true;
        placedLocally_ = placedLocally;
    }
    // Finishes what stopped exports left in the journal folder (see
    // FinishStoppedXmlExports); raises when it cannot, and then no order may be selected.
    void FinishStoppedExports();

private:
    mode_t newFileMode_ = 0600;
    std::string journalFolder_;
    bool recordExchanges_ = false, placedLocally_ = false;
    struct Address;
    const Address& AddressOf(int32_t addressId, int32_t missingError);
    const ole::Variant& ProductDescriptionOf(int32_t productId);
    void AddAddress(qx::XmlDocument& document, pugi::xml_node header, const std::string& prefix,
                    const ole::Variant& addressId);

    std::string connectionString_;
    CommonNameLookup commonName_;
    std::string bisid_;
    std::shared_ptr<vendalo::IOrder> orders_;
    std::shared_ptr<qx::IBusinessPartner> partners_;
    std::shared_ptr<qx::IProduct> products_;
    std::map<int32_t, std::unique_ptr<Address>> addresses_;
    std::map<int32_t, ole::Variant> productDescriptions_;
};

// Appends the `Order` elements of a group's copy to the document at path (a
// new document where there is none) through XmlExportFile and its journal, so
// that the document holds those exact bytes; raises when it cannot.
// `record` runs while the new document is in place and locked, with where the
// group begins in it; when it raises, the old document goes back.
void AppendXmlGroupAgain(const std::string& path, const std::string& journal, mode_t newFileMode,
                         const std::string& bytes, const std::function<void(const std::string& file, int64_t offset)>& record);

}  // namespace ordexa
