// Ordexa.WebOrderExport: hands newly submitted web orders of one back-end
// integration instance to the back end as an export file.
#pragma once

#include <cstdint>
#include <functional>
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

// Sends the bytes of an export group again the way the export sends them:
// appended whole to the instance's export file, or to its outbox, which then
// goes to the host by FTP. `record` runs while the file holds the bytes and is
// locked (it gets the file and where the bytes begin in it): when it raises,
// the bytes are cut off again and the error goes on. `record` writes the
// exchange `exchangeId`: a process stopped before it is on record leaves the
// bytes to be cut off by the file's next writer, one stopped after leaves them.
void PlaceExportGroupAgain(const std::string& bisid, const std::string& exportFile, const FtpSettings& ftp,
                           const std::string& bytes, const std::string& exchangeId,
                           const std::function<void(const std::string& file, int64_t offset)>& record);

// The same for a group of the XML export: its `Order` elements go, byte for
// byte, at the end of the instance's document (or its outbox), which is
// replaced whole under its lock and journal (xml_order_export.h).
void PlaceXmlGroupAgain(const std::string& bisid, const std::string& exportFile, const FtpSettings& ftp,
                        const std::string& bytes,
                        const std::function<void(const std::string& file, int64_t offset)>& record);

void RegisterWebOrderExport();  // "Ordexa.WebOrderExport"

}  // namespace ordexa
