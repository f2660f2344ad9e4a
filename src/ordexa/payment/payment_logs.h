// The three transaction logs of card payments: one row per gateway exchange
// in AUTHORIZATIONLOG, BILLINGLOG or REFUNDLOG. Values are bound, never spliced;
// texts longer than their column are cut to fit, so a long gateway message can
// never make the row of a capture that happened fail. The card number is
// written masked (last four digits); the sealed one goes to CUSTOMER_CC_SEALED.
// Each row gets LOGSEQ, the next value of the one insertion sequence of the
// three logs, and REQUEST_DATETIME, the local time with milliseconds.
// The writers run on the caller's connection, inside its transaction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/data/ado.h"
#include "platform/gateway/gateway_client.h"

namespace ordexa {

// One exchange as the writers read it: the client's request, and its reply,
// or, when the outcome is unknown, no reply but the reason.
struct GatewayExchange {
    // a replied exchange
    GatewayExchange(const qx::IGatewayClient& c) : client(c) {}
    // an exchange of unknown outcome; the reason becomes the row's ICS_RMSG
    GatewayExchange(const qx::IGatewayClient& c, std::string reason)
        : client(c), replied(false), unknownReason(std::move(reason)) {}

    const qx::IGatewayClient& client;
    bool replied = true;
    std::string unknownReason;

    std::string Request(const std::string& name) const { return client.GetRequestValue(name); }
    std::string Reply(const std::string& name) const;
};

// "0=quantity:1^amount:114.95|1=..." from the request's offer lines.
std::string PrepareOfferForLog(const std::vector<std::string>& requestLines);

void writeAuthLog(const std::string& offers, const ado::ConnectionPtr& connection, const GatewayExchange& exchange,
                  const std::string& sealedCardNumber);
void writeBillLog(const std::string& offers, const ado::ConnectionPtr& connection, const GatewayExchange& exchange,
                  const std::string& authRequestId);
void writeRefundLog(const std::string& offers, const ado::ConnectionPtr& connection, const GatewayExchange& exchange);

// The next value of the logs' insertion sequence (table PAYMENTLOGSEQUENCE);
// call it inside the transaction that writes the row.
int64_t NextPaymentLogSequence(const ado::ConnectionPtr& connection);
// The next value of a counter of PAYMENTLOGSEQUENCE ("PAYMENTLOG", "GATEWAYREQUEST").
int64_t NextSequenceValue(const ado::ConnectionPtr& connection, const std::string& name);

// A request id as the logs keep it: text as it came; one that reads as the
// number 0 becomes the current date and time; none is Null.
ole::Variant LoggedRequestId(const std::string& requestId);

}  // namespace ordexa
