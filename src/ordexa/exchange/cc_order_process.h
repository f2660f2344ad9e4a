// Ordexa.CCOrderProcess: the scheduled batch. For every back-end integration
// instance it runs the semaphore handshake with the back end's EDI module, the
// export and the confirmation import; then, once per batch, the broker
// acknowledgements, the allocation check, the line status run and the closing
// of fully billed orders.
#pragma once

#include <string>

#include "platform/automation/variant.h"
#include "platform/data/ado.h"

namespace ordexa {

class ICCOrderProcess : public virtual ole::Object {
public:
    // One batch; never raises (every failure is logged).
    virtual void Run() = 0;
    // Closes the orders in status 4 none of whose lines is below status 3.
    virtual void FulfillBilling() = 0;
};

// The path of a semaphore file: "command" in the grandparent folder of the
// export file, with the export path's own separator.
std::string setCommandFileFromEDIExportFile(const std::string& exportFile, const std::string& name);

void RegisterCCOrderProcess();  // "Ordexa.CCOrderProcess"

}  // namespace ordexa
