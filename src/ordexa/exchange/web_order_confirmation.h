// Ordexa.WebOrderConfirmation: imports the back end's confirmation file (EDI
// text or XML), writes each order's sales order number and moves the order on.
// How the file is taken, applied and archived: exchange/confirmation_inbox.h.
#pragma once

#include <cstdint>
#include <string>

#include "ordexa/exchange/ftp_settings.h"
#include "platform/data/ado.h"
#include "platform/automation/variant.h"

namespace ordexa {

class IWebOrderConfirmation : public virtual ole::Object {
public:
    // Never raises: failures are logged.
    virtual void Run(const std::string& i_sBisid, const std::string& i_sOrderConfirmationFile,
                     const std::string& i_sEDIConfirmationMessageType, const std::string& i_sEDIFieldSeparator,
                     const FtpSettings& ftp) = 0;
};

// Days an applied confirmation file stays in the archive: setting
// "ConfirmationArchiveDays" of section "EDI_PARAMETERS" in
// VendaloConfiguration.xml; a missing or non-positive setting gives 30.
int32_t ConfirmationArchiveDays();

// The statement that confirms one order (status, sales order number, order id),
// changing it only while it waits for its confirmation (Processed).
extern const std::string kConfirmOrderStatement;

// A refused confirmation entry applied again, as the import applies entries
// (its text as the file held it), inside the caller's transaction; the order's
// event names the actor and the note.
struct EntryAppliedAgain {
    int32_t changed = 0;     // 1 when the order moved on
    bool orderFound = false;
    std::string refusedWhy;  // the entry cannot be applied as it stands
};
EntryAppliedAgain ApplyEntryAgain(const ado::ConnectionPtr& connection, const std::string& entryText, bool xml,
                                  const std::string& separator, const std::string& reference, const std::string& actor,
                                  const std::string& note);

void RegisterWebOrderConfirmation();  // "Ordexa.WebOrderConfirmation"

}  // namespace ordexa
