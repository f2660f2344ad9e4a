#include "ordexa/payment/card_data_retention.h"

#include "interfaces/vendalo/order_status.h"
#include "ordexa/payment/card_vault.h"
#include "ordexa/payment/payment_logs.h"
#include "platform/automation/decimal.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/data/transaction.h"
#include "platform/gateway/gateway_client.h"

namespace ordexa {
namespace {

using ole::Decimal;
using ole::Variant;

Decimal SumOf(const ado::ConnectionPtr& connection, const std::string& sql, const std::string& orderId) {
    Decimal sum;
    auto rs = connection->Execute(sql, nullptr, -1, {Variant(orderId)});
    for (; rs && !rs->Eof(); rs->MoveNext())
        if (auto amount = Decimal::Parse(ole::TrimBlanks(rs->Fields(0).Value().Text()))) sum += *amount;
    return sum;
}

}  // namespace

int32_t UnsubmittedCheckoutDays() {
    int32_t days = 30;
    auto installations = qx::InstallationsFromEnvironment();
    if (installations.empty()) return days;
    try {
        auto config = qx::NewConfiguration();
        config->LoadFile(installations.front().ConfigFolder + "/VendaloConfiguration.xml");
        int32_t value = config->GetValue("CARD_DATA", "UnsubmittedCheckoutDays").ToLong();
        if (value > 0) days = value;
    } catch (...) {
        // not set: the default stands
    }
    return days;
}

int32_t EraseCardDataNoLongerNeeded(const ado::ConnectionPtr& connection, int32_t unsubmittedDays) {
    // orders refunded in full, judged in decimal from the logs' texts
    std::vector<std::string> refunded;
    auto candidates = connection->Execute(
        "SELECT DISTINCT r.MERCHANT_REF_NUMBER FROM REFUNDLOG r WHERE r.ICS_RCODE = '1' AND EXISTS "
        "(SELECT 1 FROM AUTHORIZATIONLOG a WHERE a.MERCHANT_REF_NUMBER = r.MERCHANT_REF_NUMBER "
        "AND a.CUSTOMER_CC_SEALED IS NOT NULL) AND NOT EXISTS "
        "(SELECT 1 FROM ORDERLINE l WHERE l.ORDERID = r.MERCHANT_REF_NUMBER AND l.LINESTATUS < ?)",
        nullptr, -1, {StatusValue(vendalo::OrderLineStatus::CCBilled)});
    for (; candidates && !candidates->Eof(); candidates->MoveNext()) {
        std::string orderId = candidates->Fields(0).Value().Text();
        Decimal captured = SumOf(connection,
                                 "SELECT BILL_BILL_AMOUNT FROM BILLINGLOG WHERE MERCHANT_REF_NUMBER = ? AND ICS_RCODE = '1'",
                                 orderId);
        Decimal credited = SumOf(
            connection, "SELECT Credit_Credit_AMOUNT FROM REFUNDLOG WHERE MERCHANT_REF_NUMBER = ? AND ICS_RCODE = '1'",
            orderId);
        if (captured.Sign() > 0 && credited >= captured) refunded.push_back(orderId);
    }
    ole::Date cutoff{ole::Date::Now().serial - unsubmittedDays};
    int32_t erased = 0, affected = 0;
    ado::Transaction tx(*connection);
    connection->Execute(
        "UPDATE AUTHORIZATIONLOG SET CUSTOMER_CC_SEALED = NULL WHERE CUSTOMER_CC_SEALED IS NOT NULL AND "
        "MERCHANT_REF_NUMBER IN (SELECT ORDERID FROM ORDERHEADER WHERE ORDERSTATUS = ?)",
        &affected, -1, {StatusValue(vendalo::OrderStatus::Paid)});
    erased += affected;
    connection->Execute(
        "UPDATE AUTHORIZATIONLOG SET CUSTOMER_CC_SEALED = NULL WHERE CUSTOMER_CC_SEALED IS NOT NULL AND "
        "REQUEST_DATETIME < ? AND NOT EXISTS (SELECT 1 FROM ORDERHEADER o WHERE o.ORDERID = AUTHORIZATIONLOG.MERCHANT_REF_NUMBER)",
        &affected, -1, {Variant(cutoff)});
    erased += affected;
    for (const auto& orderId : refunded) {
        connection->Execute(
            "UPDATE AUTHORIZATIONLOG SET CUSTOMER_CC_SEALED = NULL WHERE CUSTOMER_CC_SEALED IS NOT NULL AND "
            "MERCHANT_REF_NUMBER = ?",
            &affected, -1, {Variant(orderId)});
        erased += affected;
    }
    tx.Commit();
    return erased;
}

int32_t SealClearCardNumbers(const ado::ConnectionPtr& connection) {
    int32_t changed = 0, affected = 0;
    ado::Transaction tx(*connection);
    // rows of old writers: numbered in the order of their time, after every row numbered already
    auto unnumbered = connection->Execute(
        "SELECT MERCHANT_REF_NUMBER, REQUEST_DATETIME, AUTH_REQUEST_ID FROM AUTHORIZATIONLOG WHERE LOGSEQ IS NULL "
        "ORDER BY REQUEST_DATETIME");
    for (; unnumbered && !unnumbered->Eof(); unnumbered->MoveNext()) {
        int64_t sequence = NextPaymentLogSequence(connection);
        connection->Execute(
            "UPDATE AUTHORIZATIONLOG SET LOGSEQ = ? WHERE LOGSEQ IS NULL AND MERCHANT_REF_NUMBER = ? AND "
            "REQUEST_DATETIME = ? AND (AUTH_REQUEST_ID = ? OR AUTH_REQUEST_ID IS NULL)",
            &affected, -1,
            {Variant(sequence), unnumbered->Fields(0).Value(), unnumbered->Fields(1).Value(),
             unnumbered->Fields(2).Value()});
        changed += affected;
    }
    auto clear = connection->Execute(
        "SELECT LOGSEQ, CUSTOMER_CC_NUMBER FROM AUTHORIZATIONLOG WHERE CUSTOMER_CC_NUMBER IS NOT NULL AND "
        "CUSTOMER_CC_SEALED IS NULL");
    for (; clear && !clear->Eof(); clear->MoveNext()) {
        std::string number = clear->Fields(1).Value().Text();
        if (number.find('*') != std::string::npos || number.empty()) continue;  // masked already
        connection->Execute(
            "UPDATE AUTHORIZATIONLOG SET CUSTOMER_CC_NUMBER = ?, CUSTOMER_CC_SEALED = ? WHERE LOGSEQ = ?", &affected,
            -1, {Variant(qx::MaskCardNumber(number)), Variant(SealCardNumber(number)), clear->Fields(0).Value()});
        changed += affected;
    }
    tx.Commit();
    return changed;
}

int32_t MaskCardNumbersInStoredReplies(const ado::ConnectionPtr& connection) {
    static const std::pair<const char*, std::vector<const char*>> kReplyTexts[] = {
        {"AUTHORIZATIONLOG",
         {"AUTH_AUTH_AVS", "ICS_RMSG", "ICS_RFLAG", "AUTH_RMSG", "AUTH_AUTH_CODE", "AUTH_AUTH_TIME", "AUTH_RFLAG"}},
        {"BILLINGLOG", {"ICS_RMSG", "ICS_RFLAG", "BILL_RFLAG", "BILL_RMSG", "BILL_RCODE", "BILL_BILL_REQUEST_TIME"}},
        {"REFUNDLOG",
         {"ICS_RMSG", "ICS_RFLAG", "Credit_RFLAG", "Credit_RMSG", "Credit_RCODE", "Credit_Credit_REQUEST_TIME",
          "ICS_VERSION"}},
    };
    int32_t changed = 0;
    ado::Transaction tx(*connection);
    for (const auto& [table, columns] : kReplyTexts) {
        for (const char* column : columns) {
            // each distinct text once: the same message is kept by many rows
            auto texts = connection->Execute(std::string("SELECT DISTINCT ") + column + " FROM " + table + " WHERE " +
                                             column + " IS NOT NULL");
            std::vector<std::pair<std::string, std::string>> masked;
            for (; texts && !texts->Eof(); texts->MoveNext()) {
                std::string text = texts->Fields(0).Value().Text();
                std::string scrubbed = qx::MaskCardNumbersInText(text);
                if (scrubbed != text) masked.emplace_back(text, scrubbed);
            }
            for (const auto& [text, scrubbed] : masked) {
                int32_t affected = 0;
                connection->Execute(std::string("UPDATE ") + table + " SET " + column + " = ? WHERE " + column + " = ?",
                                    &affected, -1, {Variant(scrubbed), Variant(text)});
                changed += affected;
            }
        }
    }
    tx.Commit();
    return changed;
}

}  // namespace ordexa
