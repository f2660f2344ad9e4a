// Sealed card numbers are kept only while a payment may still need them. A
// payment run (`backoffice pay`) erases CUSTOMER_CC_SEALED of the
// authorisations of
// - orders that are closed (Paid);
// - orders refunded in full: every line captured (none below 2) and the
//   successful credits at least what the successful captures took;
// - checkout authorisations whose basket never became an order, once they are
//   older than the installation's setting (section "CARD_DATA",
//   "UnsubmittedCheckoutDays", default 30 days).
// The masked number (last four digits) stays in CUSTOMER_CC_NUMBER.
#pragma once

#include <cstdint>

#include "platform/data/ado.h"

namespace ordexa {

// The days after which a checkout authorisation of a basket never submitted loses its card number.
int32_t UnsubmittedCheckoutDays();

// Erases what is no longer needed (above), in one transaction; returns the number of rows changed.
int32_t EraseCardDataNoLongerNeeded(const ado::ConnectionPtr& connection, int32_t unsubmittedDays);

// For an installation whose logs were written before card numbers were sealed:
// seals every clear number of AUTHORIZATIONLOG (keeping only its last four
// digits in CUSTOMER_CC_NUMBER) and gives rows without LOGSEQ one in the order
// of their REQUEST_DATETIME. Needs the installation's card key. Returns the
// number of rows changed. `backoffice upgrade` calls it after EnsureCardKeyFile.
int32_t SealClearCardNumbers(const ado::ConnectionPtr& connection);

// For rows stored before the gateway client masked its replies: every card
// number in the free-text reply columns of AUTHORIZATIONLOG, BILLINGLOG and
// REFUNDLOG (messages, flags, codes, times) is masked as the client masks it
// (qx::MaskCardNumbersInText), in one transaction. Returns the number of rows
// changed. `backoffice upgrade` calls it.
int32_t MaskCardNumbersInStoredReplies(const ado::ConnectionPtr& connection);

}  // namespace ordexa
