#include <cmath>
#include <optional>

#include "interfaces/vendalo/basket.h"
#include "platform/automation/decimal.h"
#include "platform/data/transaction.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/product_configuration.h"
#include "shared/lib_sales.h"
#include "vendalo/basket_order_form.h"
#include "vendalo/register.h"

namespace vendalo {

using ado::ConnectionPtr;
using ado::RecordsetPtr;
using ole::DictionaryPtr;
using ole::Variant;

class Basket : public IBasket {
public:
    ole::DictionaryPtr Restore(const std::string& iBasketID) override;
    ole::DictionaryPtr Create(const std::string& iUserID, int32_t iBusinessPartnerID) override;
    void Save(const ole::Variant& iBasket) override;
    ole::DictionaryPtr Copy(const ole::Variant& iSourceBasket, const std::string& iNewName) override;
    void Delete(const std::string& iBasketID) override;
    int32_t AddLine(ole::Variant& iBasket, int32_t iSKU, double iQuantity, ole::Date iRequestDate, bool iConfigurable,
                    const std::string& iConfigID) override;
    std::string ConvertToXML(const ole::Variant& iBasket, const std::shared_ptr<qx::IMessageManager>& ioMessageManager,
                             const std::string& iUserLocale) override {
        return ConvertBasketToXML(iBasket, ioMessageManager, iUserLocale);
    }
    bool DeleteLines(ole::Variant& iBasket, const ole::Variant& LineNrs) override;
    ole::DictionaryPtr CreateIn(const ado::ConnectionPtr& transaction, const std::string& iUserID,
                                int32_t iBusinessPartnerID) override;
    int32_t AddLineIn(const ado::ConnectionPtr& transaction, ole::Variant& iBasket, int32_t iSKU, double iQuantity,
                      ole::Date iRequestDate, bool iConfigurable, const std::string& iConfigID) override;
    ole::DictionaryPtr RestoreIn(const ado::ConnectionPtr& transaction, const std::string& iBasketID) override;
    void SaveIn(const ado::ConnectionPtr& transaction, const ole::Variant& iBasket) override;
    void DeleteIn(const ado::ConnectionPtr& transaction, const std::string& iBasketID) override;
    bool DeleteLinesIn(const ado::ConnectionPtr& transaction, ole::Variant& iBasket, const ole::Variant& LineNrs) override;

    // The internal operations work on the connection their public caller opened.
    ole::DictionaryPtr RestoreBasket(const std::string& basketId, const ado::ConnectionPtr& connection);
    ole::DictionaryPtr CreateBasket(const std::string& basketId, const std::string& userId, int32_t businessPartnerId,
                                    const ado::ConnectionPtr& connection);
    void SaveBasket(const ole::DictionaryPtr& basket, const ado::ConnectionPtr& connection);
    int32_t AddLineToBasket(ole::DictionaryPtr& basket, int32_t sku, double quantity, ole::Date requestDate,
                            bool configurable, const std::string& configId, const ado::ConnectionPtr& connection);
    // AddLineToBasket and SaveBasket; a failure leaves the caller's lines as they were.
    int32_t AddAndSaveLine(ole::Variant& iBasket, int32_t sku, double quantity, ole::Date requestDate,
                           bool configurable, const std::string& configId, const ado::ConnectionPtr& connection);
    bool DeleteLinesFromBasket(ole::DictionaryPtr& basket, const ole::Variant& lineNrs,
                               const ado::ConnectionPtr& connection);
    static void DeleteBasket(const std::string& basketId, const ado::ConnectionPtr& connection);
};

namespace {

const char* kHeader = "header";
const char* kLines = "lines";
const char* kHeaderSql = "SELECT * FROM BASKETHEADER WHERE BASKETID = ?";
// In line-number order, so that the last row carries the highest number (a
// new line takes the last row's number + 1) on every database.
const char* kLinesSql = "SELECT * FROM BASKETLINE WHERE BASKETID = ? ORDER BY BASKETLINENR";

template <class T>
T& Deref(const std::shared_ptr<T>& object) {
    if (!object) ole::Raise(ole::err::ObjectNotSet);
    return *object;
}

DictionaryPtr BasketOf(const Variant& value) {
    auto basket = value.As<ole::Dictionary>();
    if (!basket) ole::Raise(ole::err::ObjectRequired);
    return basket;
}

DictionaryPtr NewBasket(const RecordsetPtr& header, const RecordsetPtr& lines) {
    header->SetActiveConnection(nullptr);
    lines->SetActiveConnection(nullptr);
    auto basket = std::make_shared<ole::Dictionary>();
    basket->Add(kHeader, header);
    basket->Add(kLines, lines);
    return basket;
}

bool IsTrue(const Variant& value) { return !value.IsNull() && !value.IsEmpty() && value.ToBool(); }

void RequireTransaction(const ConnectionPtr& transaction) {
    if (!transaction || !transaction->InTransaction())
        ole::Raise(ole::err::InvalidProcedureCall, "The caller's connection holds no transaction", "Vendalo.Basket");
}

}  // namespace

void CheckLineQuantity(double quantity, const std::string& field) {
    constexpr double kMaxQuantity = 999999999;
    // 0.0001 first: FromDouble refuses what lies below a decimal's range
    bool ok = std::isfinite(quantity) && quantity >= 0.0001 && quantity <= kMaxQuantity &&
              ole::Decimal::FromDouble(quantity).Scale() <= 4;
    if (!ok)
        ole::Raise(ole::err::InvalidProcedureCall,
                   field + ": a quantity is more than 0 and at most 999999999, with at most four decimals (" +
                       ole::FormatDouble(quantity) + ")",
                   "Vendalo.Basket");
}

DictionaryPtr Basket::Restore(const std::string& iBasketID) {
    ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        DictionaryPtr basket = RestoreBasket(iBasketID, connection);
        connection->Close();
        return basket;
    } catch (...) {
        connection.reset();
        Sls_RaiseError("Vendalo.Basket.Restore()");
    }
}

DictionaryPtr Basket::RestoreIn(const ConnectionPtr& transaction, const std::string& iBasketID) {
    try {
        RequireTransaction(transaction);
        return RestoreBasket(iBasketID, transaction);
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.Restore()");
    }
}

DictionaryPtr Basket::RestoreBasket(const std::string& basketId, const ConnectionPtr& connection) {
    RecordsetPtr header, lines;
    try {
        // header and lines in one batch: one round trip, and on PostgreSQL outside a
        // transaction one snapshot for both
        auto rows = ado::Recordset::OpenAll({{kHeaderSql, {Variant(basketId)}}, {kLinesSql, {Variant(basketId)}}},
                                            connection, ado::adLockBatchOptimistic);
        header = rows.at(0);
        lines = rows.at(1);
        if (header->Bof() && header->Eof()) {
            // An unknown basket is not a failure: the caller gets nullptr and nothing is logged.
            header->Close();
            return nullptr;
        }
        return NewBasket(header, lines);
    } catch (...) {
        header.reset();
        lines.reset();
        Sls_RaiseError("Vendalo.Basket.RestoreBasket");
    }
}

DictionaryPtr Basket::Create(const std::string& iUserID, int32_t iBusinessPartnerID) {
    ConnectionPtr connection;
    try {
        std::string basketId = Sls_CreateGUID();
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        DictionaryPtr basket = CreateBasket(basketId, iUserID, iBusinessPartnerID, connection);
        connection->Close();
        return basket;
    } catch (...) {
        connection.reset();
        Sls_RaiseError("Vendalo.Basket.Create()");
    }
}

DictionaryPtr Basket::CreateIn(const ConnectionPtr& transaction, const std::string& iUserID,
                               int32_t iBusinessPartnerID) {
    try {
        RequireTransaction(transaction);
        return CreateBasket(Sls_CreateGUID(), iUserID, iBusinessPartnerID, transaction);
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.Create()");
    }
}

DictionaryPtr Basket::CreateBasket(const std::string& basketId, const std::string& userId, int32_t businessPartnerId,
                                   const ConnectionPtr& connection) {
    std::shared_ptr<qx::IBusinessPartner> partner;
    RecordsetPtr header, lines;
    try {
        partner = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
        partner->GetBusinessPartner(businessPartnerId);
        // both in one batch: one round trip on PostgreSQL
        auto rows = ado::Recordset::OpenAll({{kHeaderSql, {Variant(basketId)}}, {kLinesSql, {Variant(basketId)}}},
                                            connection, ado::adLockBatchOptimistic);
        header = rows.at(0);
        lines = rows.at(1);
        // A new identifier finds no row; a row already there would be taken over.
        if (header->Bof() && header->Eof()) header->AddNew();
        header->Fields("BASKETID") = basketId;
        header->Fields("BASKETDATE") = ole::Date::Now();
        header->Fields("USERID") = userId;
        header->Fields("BUSINESSPARTNERID") = businessPartnerId;
        header->Fields("BILLINGADDRESSID") = partner->GetPostalAddressID();
        header->Fields("SHIPPINGADDRESSID") = partner->GetShippingAddressID();
        header->Fields("CURRENCYCODE") = partner->GetCustomerCurrency();
        header->Fields("CARRIERCODE") = partner->GetCustomerCarrier();
        // the database's default, written out: the basket handed back is the one stored
        header->Fields("DISCOUNTPERC") = 0.0;
        header->UpdateBatch(ado::adAffectAll);
        DictionaryPtr basket = NewBasket(header, lines);
        partner->Release();
        partner.reset();
        return basket;
    } catch (...) {
        partner.reset();
        header.reset();
        lines.reset();
        Sls_RaiseError("Vendalo.Basket.CreateBasket");
    }
}

void Basket::Save(const Variant& iBasket) {
    ConnectionPtr connection;
    try {
        DictionaryPtr basket = BasketOf(iBasket);
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        SaveBasket(basket, connection);
        connection->Close();
    } catch (...) {
        connection.reset();
        Sls_RaiseError("Vendalo.Basket.Save()");
    }
}

void Basket::SaveIn(const ConnectionPtr& transaction, const Variant& iBasket) {
    try {
        RequireTransaction(transaction);
        SaveBasket(BasketOf(iBasket), transaction);
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.Save()");
    }
}

void Basket::SaveBasket(const DictionaryPtr& basket, const ConnectionPtr& connection) {
    RecordsetPtr header, lines;
    // UpdateAll marks the rows stored once they are written, before the commit;
    // when the transaction rolls back, the caller's recordsets get their
    // pending rows back, so that a later Save writes them again.
    std::optional<ado::Recordset> headerBefore, linesBefore;
    try {
        header = RecordsetOf(Deref(basket), kHeader);
        lines = RecordsetOf(Deref(basket), kLines);
        headerBefore.emplace(*header);
        linesBefore.emplace(*lines);
        std::optional<ado::Transaction> tx;  // or the caller's
        if (!Deref(connection).InTransaction()) tx.emplace(*connection);
        // header and lines in one batch (one round trip on PostgreSQL), ending a transaction of its own
        ado::Recordset::UpdateAll({header, lines}, *connection, tx.has_value());
    } catch (...) {
        std::string info = Sls_ConnectionErrors(connection);
        if (headerBefore) *header = *headerBefore;
        if (linesBefore) *lines = *linesBefore;
        Sls_RaiseError("Vendalo.Basket.SaveBasket", info);
    }
}

DictionaryPtr Basket::Copy(const Variant& iSourceBasket, const std::string& iNewName) {
    DictionaryPtr source, copy;
    RecordsetPtr sourceHeader, sourceLines, header, lines;
    std::shared_ptr<qx::IProductConfigurationService> configurations;
    // Copy starts by going on past failing statements. Once the configuration
    // service has been made, an earlier failure (the service itself, or a
    // header step) turns the next failing statement into the report;
    // otherwise failures stay ignored and the copy returns what it has built.
    bool ignoreErrors = true, failed = false;
    auto statement = [&](const auto& body) {
        if (!ignoreErrors) {
            body();
            return true;
        }
        try {
            body();
            return true;
        } catch (...) {
            failed = true;
            return false;
        }
    };
    try {
        statement([&] { source = BasketOf(iSourceBasket); });
        statement([&] { sourceHeader = RecordsetOf(Deref(source), kHeader); });
        statement([&] { sourceLines = RecordsetOf(Deref(source), kLines); });
        statement([&] {
            copy = Create(Deref(sourceHeader).Fields("USERID").Value().ToString(),
                          sourceHeader->Fields("BUSINESSPARTNERID").Value().ToLong());
        });
        statement([&] { header = RecordsetOf(Deref(copy), kHeader); });
        statement([&] { lines = RecordsetOf(Deref(copy), kLines); });
        statement([&] { Deref(header).Fields("BASKETNAME") = iNewName; });
        statement([&] { Deref(header).Fields("BASKETDATE") = ole::Date::Now(); });
        for (const char* field : {"SHIPPINGADDRESSID", "BILLINGADDRESSID", "BASKETTEXT"})
            statement([&] { Deref(header).Fields(field) = Deref(sourceHeader).Fields(field).Value(); });
        // Made by class: a failure here is not reported on its own (see product_configuration.h).
        statement([&] {
            configurations = ole::CreateObjectAs<qx::IProductConfigurationService>("Qxcore.ProductConfigurationService");
        });
        if (failed) ignoreErrors = false;

        // every source line, wherever the caller left the recordset
        statement([&] { Deref(sourceLines).MoveFirst(); });
        for (;;) {
            bool atEnd = true;
            // a loop whose condition or step fails ends here rather than running on
            if (!statement([&] { atEnd = Deref(sourceLines).Eof(); }) || atEnd) break;
            statement([&] { Deref(lines).AddNew(); });
            statement([&] { Deref(lines).Fields("BASKETID") = Deref(header).Fields("BASKETID").Value(); });
            for (const char* field : {"BASKETLINENR", "SKU", "QUANTITY", "REQUESTDATE", "ADDRESSID", "LINETEXT"})
                statement([&] { Deref(lines).Fields(field) = sourceLines->Fields(field).Value(); });
            // the database's defaults, written out: the copy handed back is the one stored
            statement([&] { Deref(lines).Fields("DISCOUNTPERC") = 0.0; });
            statement([&] { Deref(lines).Fields("DISCOUNTAMOUNT") = 0; });
            bool configurable = false;
            statement([&] { configurable = IsTrue(sourceLines->Fields("PRODUCTCONFIGURABLE").Value()); });
            if (configurable) {
                // the copy stays configurable, so that copying it again copies its configuration too
                statement([&] { Deref(lines).Fields("PRODUCTCONFIGURABLE") = true; });
                statement([&] {
                    Deref(lines).Fields("PRODUCTCONFIGID") = Deref(configurations).CopyConfiguration(
                        sourceLines->Fields("PRODUCTCONFIGID").Value().Text(), sourceLines->Fields("SKU").Value().Text(),
                        Deref(source).Item("_language").Text(), source->Item("_countrycode").Text());
                });
            }
            if (!statement([&] { sourceLines->MoveNext(); })) break;
        }
        statement([&] {
            Deref(copy).Set(kHeader, header);
            copy->Set(kLines, lines);
        });
        statement([&] { Save(copy); });
        return copy;
    } catch (...) {
        configurations.reset();
        header.reset();
        lines.reset();
        copy.reset();
        Sls_RaiseError("Vendalo.Basket.Copy()");
    }
}

void Basket::Delete(const std::string& iBasketID) {
    ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        ado::Transaction tx(*connection);
        DeleteBasket(iBasketID, connection);
        tx.Commit();
        connection->Close();
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.Delete()");
    }
}

void Basket::DeleteIn(const ConnectionPtr& transaction, const std::string& iBasketID) {
    try {
        RequireTransaction(transaction);
        DeleteBasket(iBasketID, transaction);
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.Delete()");
    }
}

void Basket::DeleteBasket(const std::string& basketId, const ConnectionPtr& connection) {
    // both in one batch: one round trip on PostgreSQL
    connection->ExecuteBatch({{"DELETE FROM BASKETLINE WHERE BASKETID = ?", {Variant(basketId)}},
                              {"DELETE FROM BASKETHEADER WHERE BASKETID = ?", {Variant(basketId)}}});
}

int32_t Basket::AddLine(Variant& iBasket, int32_t iSKU, double iQuantity, ole::Date iRequestDate, bool iConfigurable,
                        const std::string& iConfigID) {
    ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        int32_t lineNr = AddAndSaveLine(iBasket, iSKU, iQuantity, iRequestDate, iConfigurable, iConfigID, connection);
        connection->Close();
        return lineNr;
    } catch (...) {
        connection.reset();
        Sls_RaiseError("Vendalo.Basket.AddLine()");
    }
}

int32_t Basket::AddLineIn(const ConnectionPtr& transaction, Variant& iBasket, int32_t iSKU, double iQuantity,
                          ole::Date iRequestDate, bool iConfigurable, const std::string& iConfigID) {
    try {
        RequireTransaction(transaction);
        return AddAndSaveLine(iBasket, iSKU, iQuantity, iRequestDate, iConfigurable, iConfigID, transaction);
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.AddLine()");
    }
}

int32_t Basket::AddAndSaveLine(Variant& iBasket, int32_t sku, double quantity, ole::Date requestDate,
                               bool configurable, const std::string& configId, const ConnectionPtr& connection) {
    RecordsetPtr lines;
    // A failed call leaves the caller's lines as they were: no half-filled row,
    // and no unsaved one that a second attempt would store twice.
    std::optional<ado::Recordset> linesBefore;
    try {
        DictionaryPtr basket = BasketOf(iBasket);
        lines = RecordsetOf(Deref(basket), kLines);
        linesBefore.emplace(*lines);
        int32_t lineNr = AddLineToBasket(basket, sku, quantity, requestDate, configurable, configId, connection);
        try {
            SaveBasket(basket, connection);
        } catch (...) {
            Sls_RaiseError("Vendalo.Basket.Save()");  // the frame a Save of its own reports
        }
        iBasket = basket;
        return lineNr;
    } catch (...) {
        if (linesBefore) *lines = *linesBefore;
        throw;  // reported under the public operation's name
    }
}

int32_t Basket::AddLineToBasket(DictionaryPtr& basket, int32_t sku, double quantity, ole::Date requestDate,
                                bool configurable, const std::string& configId, const ConnectionPtr&) {
    RecordsetPtr header, lines;
    try {
        header = RecordsetOf(Deref(basket), kHeader);
        lines = RecordsetOf(Deref(basket), kLines);
        Variant basketId = header->Fields("BASKETID").Value();
        CheckLineQuantity(quantity);
        int32_t lineNr = 1;
        if (!(lines->Bof() && lines->Eof())) {
            lines->MoveLast();
            int32_t last = lines->Fields("BASKETLINENR").Value().ToLong();
            if (last == INT32_MAX)
                ole::Raise(ole::err::Overflow, "BASKETLINENR: the last line has number 2147483647; no line can follow it",
                           "Vendalo.Basket");
            lineNr = last + 1;
        }
        lines->AddNew();
        lines->Fields("BASKETID") = basketId;
        lines->Fields("SKU") = sku;
        lines->Fields("QUANTITY") = quantity;
        lines->Fields("BASKETLINENR") = lineNr;
        lines->Fields("REQUESTDATE") = requestDate;
        lines->Fields("PRODUCTCONFIGURABLE") = configurable;
        lines->Fields("PRODUCTCONFIGID") = configId;
        // the database's defaults, written out: the basket handed back is the one stored
        lines->Fields("DISCOUNTPERC") = 0.0;
        lines->Fields("DISCOUNTAMOUNT") = 0;
        return lineNr;
    } catch (...) {
        header.reset();
        lines.reset();
        Sls_RaiseError("Vendalo.Basket.AddLineToBasket");
    }
}

bool Basket::DeleteLines(Variant& iBasket, const Variant& LineNrs) {
    ConnectionPtr connection;
    DictionaryPtr basket;
    try {
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        basket = BasketOf(iBasket);
        bool deleted = DeleteLinesFromBasket(basket, LineNrs, connection);
        iBasket = basket;
        connection->Close();
        return deleted;
    } catch (...) {
        connection.reset();
        basket.reset();
        Sls_RaiseError("Vendalo.Basket.DeleteLines()");
    }
}

bool Basket::DeleteLinesIn(const ConnectionPtr& transaction, Variant& iBasket, const Variant& LineNrs) {
    try {
        RequireTransaction(transaction);
        DictionaryPtr basket = BasketOf(iBasket);
        bool deleted = DeleteLinesFromBasket(basket, LineNrs, transaction);
        iBasket = basket;
        return deleted;
    } catch (...) {
        Sls_RaiseError("Vendalo.Basket.DeleteLines()");
    }
}

bool Basket::DeleteLinesFromBasket(DictionaryPtr& basket, const Variant& lineNrs, const ConnectionPtr& connection) {
    RecordsetPtr lines;
    try {
        lines = RecordsetOf(Deref(basket), kLines);
        // The search runs forward from the current row: a number that is not
        // found leaves the recordset at EOF, where the later numbers of this
        // call are not found either; a deletion starts the search over.
        for (const Variant& lineNr : lineNrs.ToArray()) {
            lines->Find("BASKETLINENR = " + lineNr.ToString(), 0, ado::adSearchForward);
            if (!lines->Bof() && !lines->Eof()) {
                lines->Delete(ado::adAffectCurrent);
                lines->MoveFirst();
            }
        }
        basket->Set(kLines, lines);
        SaveBasket(basket, connection);
        return true;
    } catch (...) {
        lines.reset();
        Sls_RaiseError("Vendalo.Basket.DeleteLinesFromBasket");
    }
}

void RegisterBasket() { ole::RegisterClass<Basket>("Vendalo.Basket"); }

}  // namespace vendalo
