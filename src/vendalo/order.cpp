#include "interfaces/vendalo/order.h"

#include <algorithm>

#include "interfaces/vendalo/order_status.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "platform/automation/text.h"
#include "platform/data/transaction.h"
#include "platform/masterdata/business_partner.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"
#include "vendalo/register.h"
#include "vendalo/statement.h"

namespace vendalo {
namespace {

using ole::Variant;

bool IsMissing(const Variant& v) { return v.IsNull() || v.IsEmpty(); }

class Order : public IOrder, public qx::IReferentialIntegrity {
public:
    void SubmitBasket(const Variant& iBasket) override {
        ado::ConnectionPtr connection;
        try {
            connection = Sls_GetOpenConnection(Sls_ConnectionString());
            ado::Transaction tx(*connection);
            // on PostgreSQL the COMMIT goes with the writes, in the same round trip
            bool commitWithWrites = connection->GetDialect() == ado::Dialect::PostgreSQL;
            Submit(iBasket, connection, commitWithWrites);
            if (!commitWithWrites) tx.Commit();
            connection->Close();
        } catch (...) {
            Sls_RaiseError("Order.SubmitBasket");
        }
    }

    void SubmitBasketIn(const ado::ConnectionPtr& transaction, const Variant& iBasket, bool commit) override {
        try {
            if (!transaction || !transaction->InTransaction())
                ole::Raise(ole::err::InvalidProcedureCall, "The caller's connection holds no transaction",
                           "Vendalo.Order");
            bool commitWithWrites = commit && transaction->GetDialect() == ado::Dialect::PostgreSQL;
            Submit(iBasket, transaction, commitWithWrites);
            if (commit && !commitWithWrites) transaction->CommitTrans();
        } catch (...) {
            Sls_RaiseError("Order.SubmitBasket");
        }
    }

    ole::DictionaryPtr Restore(const std::string& orderId) override {
        ado::ConnectionPtr connection;
        try {
            connection = Sls_GetOpenConnection(Sls_ConnectionString());
            auto order = RestoreFromDB(orderId, connection);
            connection->Close();
            return order;
        } catch (...) {
            connection.reset();
            Sls_RaiseError("Order.Restore");
        }
    }

    bool OrdersExist() override {
        try {
            return CheckExistenceUsingSQL("SELECT ORDERID FROM ORDERHEADER LIMIT 1", {});
        } catch (...) {
            Sls_RaiseError("Order.OrdersExist");
        }
    }

    ado::RecordsetPtr GetAddress(const Variant& addressId, const Variant& orderId) override {
        try {
            auto snapshot = ExecuteSQL(
                "SELECT NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYCODE, "
                "COUNTRYNAME, SHORTDESCRIPTION FROM ADDRESSHISTORY WHERE ADDRESSID = ? And ORDERID = ?",
                {Variant(addressId.ToLong()), Variant(orderId.ToString())});
            if (!snapshot->Eof()) return snapshot;
            auto partner = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
            return partner->GetAddress(addressId.ToLong());
        } catch (...) {
            Sls_RaiseError("Order.GetAddress");
        }
    }

    bool Exists(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) override {
        try {
            return CheckReferences(kind, keys, values);
        } catch (...) {
            Sls_RaiseError("Order.IReferentialIntegrity_Exists");
        }
    }

    bool BeforeDelete(const std::string&, const ole::VariantArray&, const ole::VariantArray&) override {
        // the order side keeps nothing that needs cleaning before master data goes
        return true;
    }

private:
    // The submission's statements on a connection inside its transaction: its
    // reads in one batch, then its writes in another (on PostgreSQL one round
    // trip each). With `commit`, the transaction's COMMIT ends the writes' batch: the
    // transaction is over when it returns (a failure leaves it to be rolled back).
    static void Submit(const Variant& iBasket, const ado::ConnectionPtr& connection, bool commit) {
        auto basket = iBasket.As<ole::Dictionary>();
        if (!basket) ole::Raise(ole::err::ObjectRequired);
        auto header = RecordsetOf(*basket, "header");
        header->MoveFirst();
        std::string basketId = header->Fields("BASKETID").Value().ToString();
        Reads reads = Read(*basket, basketId, connection);
        // Two callers submitting the same basket must not make two orders: the basket row
        // is claimed inside the transaction (the second caller waits, then finds it gone).
        if (reads.claim->Eof())
            ole::Raise(MissingOrderInfo,
                       "Basket " + basketId + " does not exist any more: it was submitted already or deleted",
                       "Vendalo.Order");
        Writes writes;
        InsertAddresses(basketId, reads, writes);
        InsertOrderHeader(*basket, writes);
        InsertOrderLines(*basket, writes);
        AddSubmittedEvents(*basket, basketId, reads.checkout, writes);
        writes.Add("Order.SubmitBasket", Statement("DELETE FROM BASKETLINE WHERE BASKETID = ?"), {Variant(basketId)});
        writes.Add("Order.SubmitBasket", Statement("DELETE FROM BASKETHEADER WHERE BASKETID = ?"), {Variant(basketId)});
        if (commit) writes.Add("Order.SubmitBasket", Statement("COMMIT"));
        writes.Run(connection);
    }

    // The statements of a submission with the step each belongs to, run as one
    // batch; a failure is raised under its step with the statement it ran.
    struct Writes {
        std::vector<ado::BatchStatement> statements;
        std::vector<std::pair<const char*, Statement>> steps;

        void Add(const char* step, Statement st, std::vector<Variant> params = {}) {
            if (!params.empty()) st.params = std::move(params);
            statements.push_back({st.sql, st.params});
            steps.emplace_back(step, std::move(st));
        }
        void Run(const ado::ConnectionPtr& connection) const {
            size_t failedAt = statements.size();
            try {
                connection->ExecuteBatch(statements, &failedAt);
            } catch (...) {
                if (failedAt >= steps.size()) throw;
                const auto& [step, st] = steps[failedAt];
                Sls_RaiseError(step, Sls_ConnectionErrors(connection) + " executing: '" + st.Shown() + "'");
            }
        }
    };

    static constexpr const char* kCopied[] = {"COUNTRYCODE", "NAME1",   "NAME2", "STREET1", "STREET2",
                                               "CITY1",       "CITY2",   "ZIPCODE", "PHONE", "FAX",
                                               "COUNTRYNAME", "SHORTDESCRIPTION", "STATEPROVINCE"};

    // What a submission reads before it writes: the basket's row (claimed),
    // the addresses the order names (the header's, then the lines', each once)
    // with the snapshots the order has already and the rows to copy, and a
    // card authorisation at checkout.
    struct Reads {
        ado::RecordsetPtr claim, snapshots, addresses, checkout;
        std::vector<int32_t> addressIds;
    };

    static Reads Read(const ole::Dictionary& basket, const std::string& basketId, const ado::ConnectionPtr& connection) {
        Reads reads;
        auto header = RecordsetOf(basket, "header");
        auto lines = RecordsetOf(basket, "lines");
        auto collect = [&](const Variant& id) {
            int32_t n = id.ToLong();
            if (std::find(reads.addressIds.begin(), reads.addressIds.end(), n) == reads.addressIds.end())
                reads.addressIds.push_back(n);
        };
        collect(header->Fields("BILLINGADDRESSID").Value());
        collect(header->Fields("SHIPPINGADDRESSID").Value());
        if (!(lines->Bof() && lines->Eof()))
            for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext()) collect(lines->Fields("ADDRESSID").Value());

        std::string claim = "SELECT BASKETID FROM BASKETHEADER WHERE BASKETID = ?";
        if (connection->GetDialect() == ado::Dialect::PostgreSQL) claim += " FOR UPDATE";
        std::string addresses = "SELECT ADDRESSID";
        for (const char* column : kCopied) addresses += std::string(", ") + column;
        addresses += " FROM ADDRESS WHERE ADDRESSID IN (";
        std::vector<Variant> ids;
        for (int32_t id : reads.addressIds) {
            addresses += ids.empty() ? "?" : ", ?";
            ids.push_back(Variant(id));
        }
        addresses += ")";
        std::vector<ado::BatchResult> read;
        try {
            read = connection->ExecuteBatch({{claim, {Variant(basketId)}},
                                             {"SELECT ADDRESSID FROM ADDRESSHISTORY WHERE ORDERID = ?", {Variant(basketId)}},
                                             {addresses, ids},
                                             Sls_CheckoutAuthorizationRead(basketId)});
        } catch (...) {
            Sls_RaiseError("Order.Read", Sls_ConnectionErrors(connection));
        }
        reads.claim = read[0].rows;
        reads.snapshots = read[1].rows;
        reads.addresses = read[2].rows;
        reads.checkout = read[3].rows;
        return reads;
    }

    // A snapshot of every address the order names, unless the order has one already.
    static void InsertAddresses(const std::string& basketId, const Reads& reads, Writes& writes) {
        Statement insert;
        try {
            // leaves `rows` at the row found
            auto has = [](const ado::RecordsetPtr& rows, int32_t id) {
                if (rows->Bof() && rows->Eof()) return false;
                for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext())
                    if (rows->Fields("ADDRESSID").Value().ToLong() == id) return true;
                return false;
            };
            for (int32_t id : reads.addressIds) {
                insert = Statement();
                if (has(reads.snapshots, id)) continue;  // an existing snapshot is left unchanged
                if (!has(reads.addresses, id))
                    ole::Raise(MissingAddress, "Address " + std::to_string(id) + " does not exist", "Vendalo.Order");
                insert = Statement("INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID");
                for (const char* column : kCopied) insert.Sql(std::string(", ") + column);
                insert.Sql(") VALUES (");
                insert.Text(Variant(basketId));
                insert.Sql(", ");
                insert.AsStored(Variant(id));
                for (const char* column : kCopied) {
                    insert.Sql(", ");
                    insert.Value(reads.addresses->Fields(column).Value());
                }
                insert.Sql(")");
                writes.Add("Order.InsertAddresses", std::move(insert));
            }
        } catch (...) {
            Sls_RaiseError("Order.InsertAddresses", insert.sql.empty() ? SlsInfo() : SlsInfo(" executing: '" + insert.Shown() + "'"));
        }
    }

    static void InsertOrderHeader(const ole::Dictionary& basket, Writes& writes) {
        Statement st;
        try {
            auto h = RecordsetOf(basket, "header");
            auto f = [&](const char* name) { return h->Fields(name).Value(); };
            if (IsMissing(f("PAYMENTMETHOD"))) h->Fields("PAYMENTMETHOD") = 1;  // invoice
            auto numberOrNull = [&](const char* name, const char* sep) {
                Variant v = f(name);
                if (IsMissing(v)) return st.Sql("NULL,");
                st.Number(v);
                st.Sql(sep);
            };
            st.Sql("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                    "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, HEADERTEXT, SALESORDERNR, "
                    "DISCOUNTPERC, CUSTOMERPONR, ACKNOWLEDGEMENTURL, BISID, FREIGHTTOTAL, WEBPAYMENTMETHOD, FREIGHTTAX, "
                    "CALCULATETAX, CURRENCYDECIMALS, CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, "
                    "FREIGHTTAXCODEDESCRIPTION, FREIGHTTAXPERC, SUBTOTAL, TAXTOTAL, TOTAL, TOTALNETAMOUNT, DISCOUNTTOTAL, "
                    "CURRENCYSYMBOL) VALUES (");
            for (const char* name : {"BASKETID", "CURRENCYCODE", "USERID"}) st.Text(f(name)), st.Sql(", ");
            for (const char* name : {"SHIPPINGADDRESSID", "BILLINGADDRESSID", "BUSINESSPARTNERID"})
                st.AsStored(f(name)), st.Sql(", ");
            st.Text(f("CARRIERCODE")), st.Sql(", ");
            st.Text(f("BASKETNAME")), st.Sql(", ");
            st.Value(StatusValue(OrderStatus::ToBeProcessed)), st.Sql(", ");
            st.Date(f("BASKETDATE")), st.Sql(", ");
            st.Text(f("BASKETTEXT")), st.Sql(", ");
            st.Sql("'', ");
            st.Number(f("DISCOUNTPERC")), st.Sql(", ");
            st.Text(f("CUSTOMERPONUMBER")), st.Sql(", ");
            st.Text(f("ACKNOWLEDGEMENTURL")), st.Sql(",");
            if (IsMissing(f("BISID"))) st.Sql("NULL,");
            else st.AsStored(f("BISID")), st.Sql(", ");
            numberOrNull("FREIGHTTOTAL", ", ");
            st.AsStored(f("PAYMENTMETHOD")), st.Sql(", ");
            numberOrNull("FREIGHTTAXTOTAL", ", ");
            if (IsMissing(f("CALCULATETAX"))) st.Sql("0, ");
            else st.Value(Variant(f("CALCULATETAX").ToInt())), st.Sql(",");
            if (IsMissing(f("CURRENCYDECIMALS"))) st.Sql("NULL,");
            else st.AsStored(f("CURRENCYDECIMALS")), st.Sql(",");
            st.Text(f("CUSTOMERCODE")), st.Sql(", ");
            for (const char* name : {"CUSTOMERNAME", "FREIGHTTAXCODE", "FREIGHTTAXCODEDESCRIPTION"}) st.Text(f(name)), st.Sql(",");
            for (const char* name : {"FREIGHTTAXPERC", "SUBTOTAL", "TAXTOTAL", "TOTAL", "TOTALNETAMOUNT", "DISCOUNTTOTAL"})
                numberOrNull(name, ",");
            st.Text(f("CURRENCYSYMBOL")), st.Sql(")");
            writes.Add("Order.InsertOrderHeader", st);
        } catch (...) {
            Sls_RaiseError("Order.InsertOrderHeader", " executing: '" + st.Shown() + "'");
        }
    }

    static void InsertOrderLines(const ole::Dictionary& basket, Writes& writes) {
        Statement st;
        try {
            auto h = RecordsetOf(basket, "header");
            auto lines = RecordsetOf(basket, "lines");
            if (lines->Bof() && lines->Eof()) return;
            Variant orderId = h->Fields("BASKETID").Value();
            int32_t lineNr = 1;
            for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext(), ++lineNr) {
                auto f = [&](const char* name) { return lines->Fields(name).Value(); };
                auto textOrNull = [&](const char* name, const char* sep) {
                    Variant v = f(name);
                    if (IsMissing(v)) return st.Sql(std::string("NULL") + sep);
                    st.Text(v);
                    st.Sql(sep);
                };
                auto numberOrZero = [&](const char* name, const char* sep) {
                    Variant v = f(name);
                    if (IsMissing(v)) return st.Sql(std::string("0") + sep);
                    st.Number(v);
                    st.Sql(sep);
                };
                st = Statement();
                st.Sql("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, "
                        "DISCOUNTPERC, DISCOUNTAMOUNT, AMOUNT, CONFIGID, CONFIGCOMPLETE, LINETEXT, REQUESTDATE, "
                        "ALLOCATIONDATE, LINETAX, LINEFREIGHT, TAXCODE, TAXPERCENTAGE, TAXCODEDESCRIPTION, LINEFREIGHTTAX, "
                        "LINESTATUS, ORDERDISCOUNT, PARTNUMBER) VALUES (");
                st.Text(orderId), st.Sql(", ");
                st.Value(Variant(lineNr)), st.Sql(", ");
                st.Number(f("SKU")), st.Sql(", ");
                st.Text(f("PRODUCTUNITCODE")), st.Sql(", ");
                st.AsStored(f("ADDRESSID")), st.Sql(", ");
                for (const char* name : {"QUANTITY", "PRODUCTPRICE", "DISCOUNTPERC", "DISCOUNTAMOUNT", "LINEAMOUNT"})
                    st.Number(f(name)), st.Sql(", ");
                if (IsMissing(f("PRODUCTCONFIGID"))) st.Sql("NULL, 0, ");
                else st.Text(f("PRODUCTCONFIGID")), st.Sql(", 1, ");
                textOrNull("LINETEXT", ", ");
                if (IsMissing(f("REQUESTDATE"))) st.Sql("NULL, ");
                else st.Date(f("REQUESTDATE")), st.Sql(", ");
                st.Sql("NULL, ");
                numberOrZero("TAXAMOUNT", ",");
                numberOrZero("FREIGHTAMOUNT", ",");
                textOrNull("TAXCODE", ", ");
                numberOrZero("TAXPERCENTAGE", ",");
                textOrNull("TAXCODEDESCRIPTION", ", ");
                numberOrZero("FREIGHTTAXAMOUNT", ",");
                st.Value(StatusValue(OrderLineStatus::NotAllocated)), st.Sql(", ");
                numberOrZero("ORDERDISCOUNTAMOUNT", ", ");
                textOrNull("PARTNUMBER", ")");
                writes.Add("Order.InsertOrderLines", st);
            }
        } catch (...) {
            Sls_RaiseError("Order.InsertOrderLines", " executing: '" + st.Shown() + "'");
        }
    }

    // The new order's first events: its header and each line, in their first
    // status; a card basket's authorisation at checkout comes before them.
    static void AddSubmittedEvents(const ole::Dictionary& basket, const std::string& orderId,
                                   const ado::RecordsetPtr& checkoutRows, Writes& writes) {
        auto lines = RecordsetOf(basket, "lines");
        Variant url = RecordsetOf(basket, "header")->Fields("ACKNOWLEDGEMENTURL").Value();
        std::string detail = IsMissing(url) || url.ToString().empty() ? "" : "broker requisition";
        std::vector<OrderEvent> events{{orderId, std::nullopt, std::nullopt,
                                        static_cast<int32_t>(OrderStatus::ToBeProcessed), "submitted", "", "", detail}};
        int32_t count = lines->Bof() && lines->Eof() ? 0 : lines->RecordCount();
        for (int32_t lineNr = 1; lineNr <= count; ++lineNr)
            events.push_back({orderId, lineNr, std::nullopt, static_cast<int32_t>(OrderLineStatus::NotAllocated),
                              "submitted", "", "", ""});
        std::vector<ado::BatchStatement> statements;
        if (auto checkout = Sls_CheckoutAuthorizationEvent(checkoutRows, orderId)) {
            statements = OrderEventStatements({checkout->event}, checkout->at);
            events.front().before = checkout->event.after;
        }
        auto submitted = OrderEventStatements(events);
        statements.insert(statements.end(), submitted.begin(), submitted.end());
        for (auto& statement : statements)
            writes.Add("Order.SubmitBasket", Statement(statement.sql), std::move(statement.params));
    }

    static ado::RecordsetPtr OpenRows(const std::string& sql, const std::string& id, const ado::ConnectionPtr& c) {
        auto rs = std::make_shared<ado::Recordset>();
        rs->CursorLocation = ado::adUseClient;
        rs->Open(sql, c, ado::adOpenStatic, ado::adLockBatchOptimistic, -1, {Variant(id)});
        return rs;
    }

    static ole::DictionaryPtr RestoreFromDB(const std::string& orderId, const ado::ConnectionPtr& connection) {
        try {
            auto header = OpenRows("SELECT * FROM ORDERHEADER WHERE ORDERID = ?", orderId, connection);
            auto lines = OpenRows("SELECT * FROM ORDERLINE WHERE ORDERID = ?", orderId, connection);
            header->SetActiveConnection(nullptr);
            lines->SetActiveConnection(nullptr);
            auto order = std::make_shared<ole::Dictionary>();
            order->Add("header", header);
            order->Add("lines", lines);
            return order;
        } catch (...) {
            Sls_RaiseError("Order.RestoreFromDB");
        }
    }

    static bool CheckExistenceUsingSQL(const std::string& sql, const std::vector<Variant>& params) {
        try {
            return Sls_RecordExists(sql, Sls_ConnectionString(), params);
        } catch (...) {
            Sls_RaiseError("Order.CheckExistenceUsingSQL");
        }
    }

    static ado::RecordsetPtr ExecuteSQL(const std::string& sql, const std::vector<Variant>& params) {
        try {
            return Sls_GetDisconnectedRecordset(sql, Sls_ConnectionString(), params);
        } catch (...) {
            Sls_RaiseError("Vendalo.Order.ExecuteSQL");
        }
    }

    // The checks of each kind of master data, in order; the first that finds a row answers.
    struct Check {
        const char* kind;
        const char* key;
        std::vector<const char*> statements;
        const char* parameter;  // a sales parameter whose value also counts as a reference, or nullptr
        bool text;              // the key value is text (numbers are bound as numbers)
    };

    static bool CheckReferences(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) {
        static const Check kChecks[] = {
            {"PRODUCT", "PRODUCTID",
             {"SELECT * FROM ORDERLINE WHERE PRODUCTID = ?", "SELECT * FROM BASKETLINE WHERE SKU = ?"}, nullptr, false},
            {"BUSINESSPARTNER", "BUSINESSPARTNERID",
             {"SELECT * FROM ORDERHEADER WHERE BUSINESSPARTNERID = ?", "SELECT * FROM BASKETHEADER WHERE BUSINESSPARTNERID = ?"},
             "HomeOrganisation", false},
            {"TRANSPORTCARRIER", "CARRIERCODE",
             {"SELECT * FROM ORDERHEADER WHERE CARRIERCODE = ?", "SELECT * FROM BASKETHEADER WHERE CARRIERCODE = ?"},
             nullptr, true},
            {"CURRENCY", "CURRENCYCODE",
             {"SELECT * FROM ORDERHEADER WHERE CURRENCYCODE = ?", "SELECT * FROM BASKETHEADER WHERE CURRENCYCODE = ?",
              "SELECT * FROM MERCHANTIDBYCURRENCY WHERE CURRENCYCODE = ?"},
             nullptr, true},
            {"UNIT", "UNITCODE",
             {"SELECT * FROM ORDERLINE WHERE UNITCODE = ?", "SELECT * FROM BASKETLINE WHERE PRODUCTUNITCODE = ?"},
             "Freight Unit-code", true},
            {"USER", "USERID",
             {"SELECT USERID FROM ORDERHEADER WHERE USERID = ?", "SELECT USERID FROM BASKETHEADER WHERE USERID = ?"},
             nullptr, true},
        };
        std::string upperKind = ole::UpperCase(kind);
        const Check* check = nullptr;
        for (const auto& c : kChecks)
            if (upperKind == c.kind) check = &c;
        if (!check) return false;

        bool answer = false;
        for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
            if (ole::UpperCase(keys[i].Text()) != check->key) continue;
            const Variant& value = values[i];
            // numbers are bound as numbers: a value that is no number cannot match a numeric key
            Variant bound = check->text ? Variant(value.Text()) : Variant(value.ToDouble());
            answer = false;
            for (const char* statement : check->statements)
                if (CheckExistenceUsingSQL(statement, {bound})) {
                    answer = true;
                    break;
                }
            if (!answer && check->parameter) {
                auto parameters = Sls_GetComponent<ISalesParameter>("Vendalo.SalesParameter");
                if (ole::TrimBlanks(value.Text()) == parameters->GetParameterValue(check->parameter)) return true;
            }
        }
        return answer;
    }

};

}  // namespace

void RegisterOrder() { ole::RegisterClass<Order>("Vendalo.Order"); }

}  // namespace vendalo
