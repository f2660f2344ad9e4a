// The basket store's interface (ProgID "Vendalo.Basket"): shopping baskets in
// BASKETHEADER and BASKETLINE. A basket travels as a dictionary with "header"
// and "lines", two disconnected recordsets whose changes stay pending until
// Save writes them in one transaction. Callers may add "_language" and
// "_countrycode" for Copy.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/automation/variant.h"
#include "platform/data/ado.h"
#include "platform/format/message_manager.h"

namespace vendalo {

class IBasket : public ole::Object {
public:
    // The stored basket, or nullptr when no header row has that id.
    virtual ole::DictionaryPtr Restore(const std::string& iBasketID) = 0;
    // A new basket with the customer's addresses, currency and carrier; its header row is stored at once.
    virtual ole::DictionaryPtr Create(const std::string& iUserID, int32_t iBusinessPartnerID) = 0;
    // Writes every pending change of the basket's header and lines in one transaction.
    virtual void Save(const ole::Variant& iBasket) = 0;
    // A new stored basket named iNewName with the source's addresses, text and lines.
    virtual ole::DictionaryPtr Copy(const ole::Variant& iSourceBasket, const std::string& iNewName) = 0;
    // Removes the basket's lines and header.
    virtual void Delete(const std::string& iBasketID) = 0;
    // Adds a line and stores it; returns its line number (one more than the last row's).
    // A quantity CheckLineQuantity refuses, or a last row numbered 2147483647, is refused
    // before anything changes.
    virtual int32_t AddLine(ole::Variant& iBasket, int32_t iSKU, double iQuantity, ole::Date iRequestDate,
                            bool iConfigurable, const std::string& iConfigID) = 0;
    // The basket as an XML order form, one line of text: header and line columns formatted for
    // the header's USERLOCALE, labels from the message manager in iUserLocale, the addresses,
    // and a tax specification when tax is shown. Reads only; the caller's recordsets keep their
    // position. An empty argument raises MissingOrderID. src/vendalo/basket_order_form.cpp gives the shape.
    virtual std::string ConvertToXML(const ole::Variant& iBasket,
                                     const std::shared_ptr<qx::IMessageManager>& ioMessageManager,
                                     const std::string& iUserLocale) = 0;
    // Deletes the lines with the given numbers (an array) and stores the basket; returns true.
    virtual bool DeleteLines(ole::Variant& iBasket, const ole::Variant& LineNrs) = 0;

    // Create and AddLine on the caller's connection, inside the transaction it holds: the
    // rows are written there and stand or fall with the caller's other work. A connection
    // without a transaction raises. Each ...In reports a failure as its operation does
    // ("Vendalo.Basket.AddLine()"): where it runs does not change what the caller is told.
    virtual ole::DictionaryPtr CreateIn(const ado::ConnectionPtr& transaction, const std::string& iUserID,
                                        int32_t iBusinessPartnerID) = 0;
    virtual int32_t AddLineIn(const ado::ConnectionPtr& transaction, ole::Variant& iBasket, int32_t iSKU,
                              double iQuantity, ole::Date iRequestDate, bool iConfigurable,
                              const std::string& iConfigID) = 0;
    // Restore on the caller's connection, inside its transaction (under a lock that
    // transaction took with its first statement, say).
    virtual ole::DictionaryPtr RestoreIn(const ado::ConnectionPtr& transaction, const std::string& iBasketID) = 0;
    // Save, Delete and DeleteLines on the caller's connection, inside its transaction.
    virtual void SaveIn(const ado::ConnectionPtr& transaction, const ole::Variant& iBasket) = 0;
    virtual void DeleteIn(const ado::ConnectionPtr& transaction, const std::string& iBasketID) = 0;
    virtual bool DeleteLinesIn(const ado::ConnectionPtr& transaction, ole::Variant& iBasket,
                               const ole::Variant& LineNrs) = 0;
};

// The quantities a basket line takes: more than 0, at most 999,999,999 and at
// most four decimals. Raises InvalidProcedureCall naming `field` for any other.
void CheckLineQuantity(double quantity, const std::string& field = "QUANTITY");

}  // namespace vendalo
