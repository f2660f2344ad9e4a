// Ordexa.WebOrderConfirmation: imports the back end's confirmation file (EDI
// text or XML), writes each order's sales order number and moves the order on.
#pragma once

#include <string>

#include "automation/dictionary.h"
#include "exchange/ftp_settings.h"

namespace ordexa {

class IWebOrderConfirmation : public virtual ole::Object {
public:
    // Never raises: failures are logged.
    virtual void Run(const std::string& i_sBisid, const std::string& i_sOrderConfirmationFile,
                     const std::string& i_sEDIConfirmationMessageType, const std::string& i_sEDIFieldSeparator,
                     const FtpSettings& ftp) = 0;
};

// The entries of an EDI confirmation text: key up to the first separator, the
// sales order number after it; CR LF, LF and a lone CR end a line.
// Duplicates are logged (naming the path) and dropped; the first one wins.
ole::DictionaryPtr ReadConfirmationText(const std::string& text, const std::string& separator, const std::string& path);

void RegisterWebOrderConfirmation();  // "Ordexa.WebOrderConfirmation"

}  // namespace ordexa
