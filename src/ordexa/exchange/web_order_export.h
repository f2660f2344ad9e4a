// Ordexa.WebOrderExport: hands newly submitted web orders of one back-end
// integration instance to the back end as an export file.
#pragma once

#include <string>

#include "ordexa/exchange/ftp_settings.h"
#include "platform/automation/variant.h"

namespace ordexa {

class IWebOrderExport : public virtual ole::Object {
public:
    // Exports the orders waiting for this instance; never raises (failures are logged).
    virtual void Run(const std::string& i_sBisid, const std::string& i_sEDIExportFile,
                     const std::string& i_sEDIExportMessageType, const std::string& i_sEDIFieldSeparator,
                     const std::string& i_sEDIEscapeSeparator, const FtpSettings& ftp) = 0;
};

// The statement that marks one order exported (status Processed, instance,
// order id), changing it only while it waits for the export (ToBeProcessed).
extern const std::string kMarkExportedStatement;

void RegisterWebOrderExport();  // "Ordexa.WebOrderExport"

}  // namespace ordexa
