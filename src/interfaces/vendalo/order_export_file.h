// Vendalo.OrderExportFile: the registry of back-end integration instances
// (table ORDEREXPORTFILE), one row per instance through which web orders go.
#pragma once

#include "platform/data/ado.h"

namespace vendalo {

class IOrderExportFile : public virtual ole::Object {
public:
    // Every registry row, all columns, as a disconnected recordset.
    virtual ado::RecordsetPtr GetAllInstances() = 0;
};

}  // namespace vendalo
