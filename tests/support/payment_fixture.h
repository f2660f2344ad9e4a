// An installation with a card key, a currency, a merchant account and the
// gateway simulator over HTTPS, for the payment tests on both databases.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gateway_simulator.h"
#include "ordexa/payment/card_vault.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/checkout_authorization.h"
#include "platform/data/ado.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

namespace payment_test {

using ole::Variant;
using testing_support::GatewaySimulator;

inline const std::string kCard = "4111111111111111";
inline const std::string kDeclinedCard = "4000000000000002";

struct Line {
    std::string amount = "100", discount = "10", tax = "18.9", freight = "5", freightTax = "1.05";
    int status = 1;
};

class PaymentTest : public testing_support::InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        StartSimulator(GatewaySimulator::Options{});
        Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "Authorization Hard Expiration", "72", "Long");
        Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "Authorization Soft Expiration", "24", "Long");
        Inst().SetSetting("PAYMENT_GATEWAY", "CAFile", GatewaySimulator::CaFile());
        Inst().SetSetting("PAYMENT_GATEWAY", "RequestTimeout", "1", "Long");
        ordexa::EnsureCardKeyFile(Inst().Home());
        Inst().Exec(
            "INSERT INTO CURRENCY (CURRENCYCODE, DESCRIPTION, DECIMALS, EURO, LOCALEID, HOMECURRENCY) "
            "VALUES ('EUR', 'Euro', 2, TRUE, 1043, TRUE);"
            "INSERT INTO MERCHANTIDBYCURRENCY (CURRENCYCODE, MERCHANTID) VALUES ('EUR', 'merchant_eur');");
    }
    void TearDown() override {
        sim_.reset();
        InstallationTest::TearDown();
    }

    void StartSimulator(const GatewaySimulator::Options& options) {
        sim_.reset();
        sim_ = std::make_unique<GatewaySimulator>(options);
        Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "CyberSource Serverhost", sim_->Url());
    }
    GatewaySimulator& Sim() { return *sim_; }

    // A stored basket in EUR with the given total (Null when empty).
    std::string Basket(const std::string& total = "114.95") {
        std::string id = Sls_CreateGUID();
        Exec("INSERT INTO BASKETHEADER (BASKETID, BASKETNAME, USERID, BUSINESSPARTNERID, CURRENCYCODE, TOTAL, TAXTOTAL, "
             "FREIGHTTOTAL, FREIGHTTAXTOTAL, PAYMENTMETHOD) VALUES (?, 'Card basket', 'jdevries', 2, 'EUR', ?, 19.95, 5, 1.05, 2)",
             {Variant(id), total.empty() ? ole::Null : Variant(std::stod(total))});
        return id;
    }

    static ordexa::CheckoutCard Card(const std::string& number = kCard) {
        ordexa::CheckoutCard card;
        card.number = number;
        card.expiryMonth = "12";
        card.expiryYear = std::to_string(ole::Date::Today().Year() + 2);
        card.type = "001";
        card.firstName = "Anna";
        card.lastName = "O'Bakker";
        card.email = "anna@example.com";
        card.phone = "+31 50 000 0012";
        card.street = "Kade 12";
        card.city = "Groningen";
        card.state = "";
        card.zip = "9711 AB";
        card.country = "NL";
        return card;
    }

    ordexa::CheckoutAuthorization Checkout(const std::string& basketId, const std::string& number = kCard) {
        return ordexa::AuthorizeBasketCheckout(basketId, Card(number));
    }

    // The basket submitted as an order in status 4 whose lines are allocated (status 1).
    void Order(const std::string& id, const std::vector<Line>& lines, int status = 4) {
        Exec("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, BUSINESSPARTNERID, CARRIERCODE, ORDERSTATUS, "
             "WEBPAYMENTMETHOD) VALUES (?, 'EUR', 'jdevries', 2, 'ROAD', ?, 2)",
             {Variant(id), Variant(status)});
        int nr = 0;
        for (const auto& l : lines)
            Exec("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, QUANTITY, AMOUNT, ORDERDISCOUNT, LINETAX, "
                 "LINEFREIGHT, LINEFREIGHTTAX, LINESTATUS) VALUES (?, ?, 101, 1, ?, ?, ?, ?, ?, ?)",
                 {Variant(id), Variant(++nr), Variant(std::stod(l.amount)), Variant(std::stod(l.discount)),
                  Variant(std::stod(l.tax)), Variant(std::stod(l.freight)), Variant(std::stod(l.freightTax)),
                  Variant(l.status)});
    }

    // Sets the time of the order's authorisations back by some hours.
    void AgeAuthorizations(const std::string& id, double hours) {
        Exec("UPDATE AUTHORIZATIONLOG SET REQUEST_DATETIME = ? WHERE MERCHANT_REF_NUMBER = ?",
             {Variant(ole::Date{ole::Date::Now().serial - hours / 24.0}), Variant(id)});
    }

    bool Run(const std::string& id, ordexa::PaymentOutcome* outcome = nullptr) {
        auto payment = Sls_GetComponent<ordexa::ICCPayment>("Ordexa.CCPayment");
        bool result = payment->Run(id);
        if (outcome) *outcome = payment->LastOutcome();
        return result;
    }

    void Exec(const std::string& sql, const std::vector<Variant>& params = {}) {
        auto c = Sls_GetOpenConnection(Inst().ConnectionString());
        c->Execute(sql, nullptr, -1, params);
        c->Close();
    }
    ado::RecordsetPtr Rows(const std::string& sql, const std::vector<Variant>& params = {}) {
        return Sls_GetDisconnectedRecordset(sql, Inst().ConnectionString(), params);
    }
    Variant Value(const std::string& sql, const std::vector<Variant>& params = {}) {
        auto rs = Rows(sql, params);
        return rs->Eof() ? Variant() : rs->Fields(0).Value();
    }
    int OrderStatus(const std::string& id) {
        return Value("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", {Variant(id)}).ToLong();
    }
    std::vector<int> LineStatuses(const std::string& id) {
        std::vector<int> statuses;
        auto rs = Rows("SELECT LINESTATUS FROM ORDERLINE WHERE ORDERID = ? ORDER BY LINENR", {Variant(id)});
        for (; !rs->Eof(); rs->MoveNext()) statuses.push_back(rs->Fields(0).Value().ToLong());
        return statuses;
    }
    size_t Captures() const { return sim_->Count("applications", "ics_bill") + sim_->Count("applications", "ics_auth, ics_bill"); }

private:
    std::unique_ptr<GatewaySimulator> sim_;
};

}  // namespace payment_test
