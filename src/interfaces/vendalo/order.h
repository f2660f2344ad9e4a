// Vendalo.Order: submission of a basket as a web order, and the order's
// retrieval, address snapshot and referential checks.
#pragma once

#include <string>

#include "platform/automation/dictionary.h"
#include "platform/data/ado.h"
#include "platform/masterdata/referential_integrity.h"

namespace vendalo {

class IOrder : public virtual ole::Object {
public:
    // Turns a basket dictionary into an order (ORDERHEADER, ORDERLINE, ADDRESSHISTORY)
    // and deletes the basket, all in one transaction.
    virtual void SubmitBasket(const ole::Variant& basket) = 0;
    // The same on the caller's connection, inside the transaction it holds (a connection
    // without one raises): the order stands or falls with the caller's other work. With
    // `commit` the submission ends that transaction: on PostgreSQL its COMMIT goes with the
    // writes, in the same round trip. A failure is reported as SubmitBasket's.
    virtual void SubmitBasketIn(const ado::ConnectionPtr& transaction, const ole::Variant& basket,
                                bool commit = false) = 0;
    // The order as a dictionary of "header" and "lines" recordsets (both empty for an unknown id).
    virtual ole::DictionaryPtr Restore(const std::string& orderId) = 0;
    virtual bool OrdersExist() = 0;
    // The order's snapshot of an address, or the partner's current address when it has none.
    virtual ado::RecordsetPtr GetAddress(const ole::Variant& addressId, const ole::Variant& orderId) = 0;
};

}  // namespace vendalo
