#include "interfaces/vendalo/pricing.h"

#include "interfaces/vendalo/vendalo_error.h"
#include "platform/automation/text.h"
#include "platform/data/transaction.h"
#include "platform/masterdata/currency.h"
#include "shared/lib_sales.h"
#include "vendalo/keys.h"
#include "vendalo/price_maintenance.h"
#include "vendalo/register.h"

namespace vendalo {
namespace {

using ole::Variant;
namespace pm = price_maintenance;

// The price a partner pays on a day: its customer price in the requested currency,
// in the home currency, then the list price in the requested currency, in the home
// currency; within each the latest record valid on the day (effective date
// inclusive, expiry exclusive, Null expiry open). Records without a price are never
// chosen. Parameters: 1 product, 2 partner, 3 currency, 4 home currency, 5 order date.
// PostgreSQL runs the same text as the function GETPRICE of sql/schema.sql.
const char* kGetPriceSQLite =
    "SELECT PRODUCTID, BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE, PRICE, DISCOUNTPERC, DISCOUNTAMOUNT "
    "FROM ("
    " SELECT * FROM (SELECT 1 AS PRECEDENCE, PRODUCTID, BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE,"
    " PRICE, DISCOUNTPERC, DISCOUNTAMOUNT FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?2 AND PRODUCTID = ?1"
    " AND CURRENCYCODE = ?3 AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL"
    " ORDER BY EFFECTIVEDATE DESC LIMIT 1) AS C1"
    " UNION ALL"
    " SELECT * FROM (SELECT 2 AS PRECEDENCE, PRODUCTID, BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE,"
    " PRICE, DISCOUNTPERC, DISCOUNTAMOUNT FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?2 AND PRODUCTID = ?1"
    " AND CURRENCYCODE = ?4 AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL"
    " ORDER BY EFFECTIVEDATE DESC LIMIT 1) AS C2"
    " UNION ALL"
    " SELECT * FROM (SELECT 3 AS PRECEDENCE, PRODUCTID, NULL AS BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE,"
    " EXPIRYDATE, PRICE, DISCOUNTPERC, DISCOUNTAMOUNT FROM PRODUCTPRICE WHERE PRODUCTID = ?1"
    " AND CURRENCYCODE = ?3 AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL"
    " ORDER BY EFFECTIVEDATE DESC LIMIT 1) AS P1"
    " UNION ALL"
    " SELECT * FROM (SELECT 4 AS PRECEDENCE, PRODUCTID, NULL AS BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE,"
    " EXPIRYDATE, PRICE, DISCOUNTPERC, DISCOUNTAMOUNT FROM PRODUCTPRICE WHERE PRODUCTID = ?1"
    " AND CURRENCYCODE = ?4 AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL"
    " ORDER BY EFFECTIVEDATE DESC LIMIT 1) AS P2"
    ") AS CANDIDATES ORDER BY PRECEDENCE LIMIT 1";

// The info of a maintenance report: the connection's errors, when it has any.
SlsInfo ErrorsOf(const ado::ConnectionPtr& connection) {
    std::string errors = Sls_ConnectionErrors(connection);
    if (errors.empty()) return std::nullopt;
    return errors;
}

class Pricing : public IPricing, public qx::IReferentialIntegrity {
public:
    Variant ProductID() const override { return record_.ProductID; }
    void SetProductID(const Variant& v) override { record_.ProductID = v; }
    Variant BusinessPartnerID() const override { return record_.BusinessPartnerID; }
    void SetBusinessPartnerID(const Variant& v) override { record_.BusinessPartnerID = v; }
    Variant CurrencyCode() const override { return record_.CurrencyCode; }
    void SetCurrencyCode(const Variant& v) override { record_.CurrencyCode = v; }
    Variant EffectiveDate() const override { return record_.EffectiveDate; }
    void SetEffectiveDate(const Variant& v) override { record_.EffectiveDate = v; }
    Variant ExpiryDate() const override { return record_.ExpiryDate; }
    void SetExpiryDate(const Variant& v) override { record_.ExpiryDate = v; }
    Variant Price() const override { return record_.Price; }
    void SetPrice(const Variant& v) override { record_.Price = v; }
    Variant DiscountPercent() const override { return record_.DiscountPercent; }
    void SetDiscountPercent(const Variant& v) override { record_.DiscountPercent = v; }
    Variant DiscountAmount() const override { return record_.DiscountAmount; }
    void SetDiscountAmount(const Variant& v) override { record_.DiscountAmount = v; }
    PriceRecord Record() const override { return record_; }
    void SetRecord(const PriceRecord& record) override { record_ = record; }

    bool GetWebPrice(int32_t iProductID, int32_t iBusinessPartnerID, ole::Date iOrderDate,
                     const std::string& iCurrencyCode) override {
        ado::ConnectionPtr connection;
        try {
            auto home = HomeCurrency();
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto found = WebPrice(iProductID, iBusinessPartnerID, iOrderDate, iCurrencyCode, home, connection);
            connection->Close();
            if (!found) return false;
            record_ = *found;
            return true;
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Pricing.GetWebPrice");
        }
    }

    std::vector<std::optional<PriceRecord>> GetWebPrices(const std::vector<int32_t>& iProductIDs,
                                                         int32_t iBusinessPartnerID, ole::Date iOrderDate,
                                                         const std::string& iCurrencyCode) override {
        ado::ConnectionPtr connection;
        try {
            std::vector<std::optional<PriceRecord>> prices;
            prices.reserve(iProductIDs.size());
            auto home = HomeCurrency();
            connection = ado::OpenConnection(Sls_ConnectionString());
            for (int32_t product : iProductIDs)
                prices.push_back(WebPrice(product, iBusinessPartnerID, iOrderDate, iCurrencyCode, home, connection));
            connection->Close();
            return prices;
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Pricing.GetWebPrices");
        }
    }

    bool GetCustomerPrice(int32_t iProductID, int32_t iBusinessPartnerID, ole::Date iEffectiveDate,
                          const std::string& iCurrencyCode) override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto command = KeyCommand(
                "SELECT PRODUCTID, BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE, PRICE, DISCOUNTPERC, "
                "DISCOUNTAMOUNT FROM CUSTOMERPRICE WHERE PRODUCTID=? AND BUSINESSPARTNERID=? AND CURRENCYCODE=? AND "
                "EFFECTIVEDATE=?",
                connection);
            command->AppendParameter(command->CreateParameter("ProductID", ado::adInteger, ado::adParamInput, 0, iProductID));
            command->AppendParameter(
                command->CreateParameter("BusinessPartnerID", ado::adInteger, ado::adParamInput, 0, iBusinessPartnerID));
            command->AppendParameter(command->CreateParameter("CurrencyCode", ado::adWChar, ado::adParamInput, 3, iCurrencyCode));
            command->AppendParameter(
                command->CreateParameter("EffectiveDate", ado::adDBTimeStamp, ado::adParamInput, 0, iEffectiveDate));
            auto rs = command->Execute();
            if (rs->Eof()) {
                connection->Close();
                ole::Raise(CustomerPriceNotFound, "CustomerPriceNotFound", "Vendalo.Pricing");
            }
            ReadPricingFields(*rs, record_);
            record_.BusinessPartnerID = rs->Fields("BUSINESSPARTNERID").Value();
            connection->Close();
            record_.ProductID = iProductID;
            record_.BusinessPartnerID = iBusinessPartnerID;
            record_.CurrencyCode = iCurrencyCode;
            return true;
        } catch (...) {
            SlsInfo info = ErrorsOf(connection);
            Sls_RaiseError("Pricing.GetCustomerPrice", info);
        }
    }

    bool GetProductPrice(int32_t iProductID, ole::Date iEffectiveDate, const std::string& iCurrencyCode) override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto command = KeyCommand(
                "SELECT PRODUCTID, CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE, PRICE, DISCOUNTPERC, DISCOUNTAMOUNT FROM "
                "PRODUCTPRICE WHERE PRODUCTID=? AND CURRENCYCODE=? AND EFFECTIVEDATE=?",
                connection);
            command->AppendParameter(command->CreateParameter("ProductID", ado::adInteger, ado::adParamInput, 0, iProductID));
            command->AppendParameter(command->CreateParameter("CurrencyCode", ado::adWChar, ado::adParamInput, 3, iCurrencyCode));
            command->AppendParameter(
                command->CreateParameter("EffectiveDate", ado::adDBTimeStamp, ado::adParamInput, 0, iEffectiveDate));
            auto rs = command->Execute();
            if (rs->Eof()) {
                connection->Close();
                ole::Raise(ProductPriceNotFound, "ProductPriceNotFound", "Vendalo.Pricing");
            }
            ReadPricingFields(*rs, record_);
            connection->Close();
            record_.ProductID = iProductID;
            record_.CurrencyCode = iCurrencyCode;
            return true;
        } catch (...) {
            SlsInfo info = ErrorsOf(connection);
            Sls_RaiseError("Pricing.GetProductPrice", info);
        }
    }

    // Check and write are one transaction on one connection, after a lock on the
    // key, so that two administrators cannot store overlapping ranges. A refusal
    // leaves the properties as the caller set them.
    bool AddPricing(bool iCustomerPricing) override {
        return Store("Pricing.AddPricing", iCustomerPricing,
                     [&](const ado::ConnectionPtr& c) { pm::Add(record_, iCustomerPricing, c); });
    }

    bool UpdatePricing(bool iCustomerPricing) override {
        return Store("Pricing.UpdatePricing", iCustomerPricing,
                     [&](const ado::ConnectionPtr& c) { pm::Update(record_, iCustomerPricing, c); });
    }

    bool DeletePricing(bool iCustomerPricing) override {
        return Maintain("Pricing.DeletePricing", [&](ado::ConnectionPtr& connection) {
            pm::ValidateKey(record_, iCustomerPricing);
            connection = ado::OpenConnection(Sls_ConnectionString());
            pm::Delete(record_, iCustomerPricing, connection);
        });
    }

    bool Exists(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) override {
        try {
            return ReferencesExist(kind, keys, values);
        } catch (...) {
            Sls_RaiseError("Pricing.IReferentialIntegrity_Exists");
        }
    }

    bool BeforeDelete(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) override {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            // all of the kind's dependent rows go, or none
            ado::Transaction tx(*connection);
            DeleteReferences(kind, keys, values, connection);
            tx.Commit();
            connection->Close();
            return true;
        } catch (...) {
            SlsInfo info = ErrorsOf(connection);
            Sls_RaiseError("Pricing.BeforeDelete", info);
        }
    }

private:
    // A checked record written under the lock of its key, in one transaction.
    template <class Write>
    bool Store(const char* label, bool customerPricing, Write write) {
        return Maintain(label, [&](ado::ConnectionPtr& connection) {
            pm::Validate(record_, customerPricing);
            connection = ado::OpenConnection(Sls_ConnectionString());
            ado::Transaction tx(*connection);
            pm::LockKey(record_, customerPricing, connection);
            write(connection);
            tx.Commit();
        });
    }

    // Runs work, which opens the connection once what it was given is valid.
    template <class Work>
    bool Maintain(const char* label, Work work) {
        ado::ConnectionPtr connection;
        try {
            work(connection);
            connection->Close();
            return true;
        } catch (...) {
            SlsInfo info = ErrorsOf(connection);
            Sls_RaiseError(label, info);
        }
    }

    // The home currency, from the currency component that the object keeps. It is
    // asked once per object: a page's look-ups on one object cost one query each.
    ole::DictionaryPtr HomeCurrency() {
        if (home_) return home_;
        if (!currency_) currency_ = Sls_GetComponent<qx::ICurrency>("QxCommon.Currency");
        auto home = currency_->GetHomeCurrency();
        if (!home) ole::Raise(HomeCurrencyNotFound, "HomeCurrencyNotFound", "Vendalo.Pricing");
        home_ = home;
        return home_;
    }

    std::optional<PriceRecord> WebPrice(int32_t product, int32_t partner, ole::Date orderDate,
                                        const std::string& currency, const ole::DictionaryPtr& home,
                                        const ado::ConnectionPtr& connection) {
        auto command = std::make_shared<ado::Command>();
        command->ActiveConnection = connection;
        command->CommandText = "GetPrice";
        command->CommandType = ado::adCmdStoredProc;
        command->AppendParameter(command->CreateParameter("@PRODID", ado::adInteger, ado::adParamInput, 0, product));
        command->AppendParameter(command->CreateParameter("@BPID", ado::adInteger, ado::adParamInput, 0, partner));
        command->AppendParameter(command->CreateParameter("@CURRENCY", ado::adWChar, ado::adParamInput, 3, currency));
        command->AppendParameter(
            command->CreateParameter("@HOMECURRENCY", ado::adWChar, ado::adParamInput, 3, home->Item("CURRENCYCODE")));
        command->AppendParameter(command->CreateParameter("@ORDERDATE", ado::adDBTimeStamp, ado::adParamInput, 0, orderDate));
        auto rs = command->Execute();
        if (rs->Eof()) return std::nullopt;
        PriceRecord price;
        price.Price = record_.Price;  // a Null PRICE would leave it as it was
        ReadPricingFields(*rs, price);
        price.BusinessPartnerID = rs->Fields("BUSINESSPARTNERID").Value();
        if (rs->Fields("CURRENCYCODE").Value().Text() != currency) {
            auto converted = currency_->ConvertTo(home, currency, price.Price.ToDouble(), price.DiscountAmount.ToDouble(),
                                                  orderDate);
            price.Price = converted->Item("PRICE");
            price.DiscountAmount = converted->Item("DISCOUNTAMOUNT");
            price.CurrencyCode = currency;
        }
        return price;
    }

    static ado::CommandPtr KeyCommand(const std::string& sql, const ado::ConnectionPtr& connection) {
        auto command = std::make_shared<ado::Command>();
        command->ActiveConnection = connection;
        command->CommandText = sql;
        command->CommandType = ado::adCmdText;
        return command;
    }

    static void ReadPricingFields(ado::Recordset& rs, PriceRecord& r) {
        r.ProductID = rs.Fields("PRODUCTID").Value();
        r.CurrencyCode = rs.Fields("CURRENCYCODE").Value();
        r.EffectiveDate = rs.Fields("EFFECTIVEDATE").Value().ToDate();
        Variant expiry = rs.Fields("EXPIRYDATE").Value();
        r.ExpiryDate = expiry.IsNull() ? ole::Null : Variant(expiry.ToDate());
        Variant price = rs.Fields("PRICE").Value();
        if (!price.IsNull()) r.Price = price.ToDouble();
        Variant percent = rs.Fields("DISCOUNTPERC").Value();
        r.DiscountPercent = percent.IsNull() ? Variant(int32_t{0}) : percent;
        Variant amount = rs.Fields("DISCOUNTAMOUNT").Value();
        r.DiscountAmount = amount.IsNull() ? Variant(0.0) : Variant(amount.ToDouble());
    }

    static bool CheckExistenceUsingSQL(const std::string& sql, const Variant& value) {
        ado::ConnectionPtr connection;
        try {
            connection = ado::OpenConnection(Sls_ConnectionString());
            auto rs = std::make_shared<ado::Recordset>();
            rs->CursorLocation = ado::adUseClient;
            rs->Open(sql, connection, ado::adOpenKeyset, ado::adLockReadOnly, ado::adCmdText, {value});
            bool found = !rs->Eof();
            connection->Close();
            return found;
        } catch (...) {
            SlsInfo info = ErrorsOf(connection);
            Sls_RaiseError("Pricing.CheckExistenceUsingSQL", info);
        }
    }

    struct Reference {
        const char* kind;
        const char* key;
        bool text;  // the key value is text (numbers are bound as numbers)
        std::vector<const char*> statements;
    };

    // The value to bind for a key, or nothing when it can match no row.
    static std::optional<Variant> BoundKey(const Reference& reference, const Variant& value) {
        if (reference.text) return Variant(value.Text());
        auto key = IntegerKeyOf(value);
        if (!key) return std::nullopt;
        return Variant(*key);
    }

    // Any row that refers to the entity makes the answer True: a later key that
    // finds nothing does not take back an earlier hit.
    static bool ReferencesExist(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) {
        static const Reference kReferences[] = {
            {"PRODUCT", "PRODUCTID", false,
             {"SELECT PRODUCTID FROM PRODUCTPRICE WHERE PRODUCTID = ?", "SELECT PRODUCTID FROM CUSTOMERPRICE WHERE PRODUCTID = ?",
              "SELECT PRODUCTID FROM FREIGHTPRODUCT WHERE PRODUCTID = ?"}},
            {"BUSINESSPARTNER", "BUSINESSPARTNERID", false,
             {"SELECT BUSINESSPARTNERID FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?"}},
            {"CUSTOMER", "BUSINESSPARTNERID", false,
             {"SELECT BUSINESSPARTNERID FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?"}},
            {"CURRENCY", "CURRENCYCODE", true,
             {"SELECT CURRENCYCODE FROM PRODUCTPRICE WHERE CURRENCYCODE = ?",
              "SELECT CURRENCYCODE FROM CUSTOMERPRICE WHERE CURRENCYCODE = ?"}},
            {"TRANSPORTCARRIER", "CARRIERCODE", true, {"SELECT CARRIER FROM FREIGHTPRICE WHERE CARRIER = ?"}},
            {"COUNTRY", "COUNTRYCODE", true, {"SELECT COUNTRY FROM COUNTRIESBYZONE WHERE COUNTRY = ?"}},
        };
        const Reference* reference = Find(kReferences, kind);
        if (!reference) return false;
        for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
            if (ole::UpperCase(keys[i].Text()) != reference->key) continue;
            auto value = BoundKey(*reference, values[i]);
            if (!value) continue;
            for (const char* statement : reference->statements)
                if (CheckExistenceUsingSQL(statement, *value)) return true;
        }
        return false;
    }

    // The dependent price rows of the entity; freight rows stay (carriers and
    // countries delete nothing).
    static void DeleteReferences(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values,
                                 const ado::ConnectionPtr& connection) {
        static const Reference kDependents[] = {
            {"PRODUCT", "PRODUCTID", false,
             {"DELETE FROM PRODUCTPRICE WHERE PRODUCTID = ?", "DELETE FROM CUSTOMERPRICE WHERE PRODUCTID = ?"}},
            {"BUSINESSPARTNER", "BUSINESSPARTNERID", false, {"DELETE FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?"}},
            {"CUSTOMER", "CUSTOMERID", false, {"DELETE FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?"}},
            {"CURRENCY", "CURRENCYCODE", true,
             {"DELETE FROM PRODUCTPRICE WHERE CURRENCYCODE = ?", "DELETE FROM CUSTOMERPRICE WHERE CURRENCYCODE = ?"}},
        };
        const Reference* reference = Find(kDependents, kind);
        if (!reference) return;
        for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
            if (ole::UpperCase(keys[i].Text()) != reference->key) continue;
            auto value = BoundKey(*reference, values[i]);
            if (!value) continue;
            for (const char* statement : reference->statements) connection->Execute(statement, nullptr, -1, {*value});
        }
    }

    template <size_t N>
    static const Reference* Find(const Reference (&references)[N], const std::string& kind) {
        std::string upper = ole::UpperCase(kind);
        for (const auto& r : references)
            if (upper == r.kind) return &r;
        return nullptr;
    }

    PriceRecord record_;
    std::shared_ptr<qx::ICurrency> currency_;
    ole::DictionaryPtr home_;
};

}  // namespace

void RegisterPricing() {
    ado::RegisterSQLiteProcedure("GetPrice", kGetPriceSQLite);
    ole::RegisterClass<Pricing>("Vendalo.Pricing");
}

}  // namespace vendalo
