// The product catalogue (ProgID "QxCatalog.Product"), kept in the master-data
// table PRODUCT of the sales database.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/data/ado.h"

namespace qx {

// Raised when a product the caller names does not exist.
constexpr int32_t kProductNotFound = static_cast<int32_t>(0x80040203u);

class IProduct : public ole::Object {
public:
    // The product's record, keyed in this order: "COMMODITYCODE", "CONTRACTCODE",
    // "NUMBER", "PRODUCTDESCRIPTION", "UNITCODE", "PARTNUMBER" (Null where the
    // catalogue has no value). An unknown id raises kProductNotFound.
    virtual ole::DictionaryPtr GetProduct(int32_t productId) = 0;
    // The id of the product with that part number (compared as written), or -1.
    virtual int32_t getProductIDFromPartNum(const std::string& partNumber) = 0;
};

// The statement GetProduct runs (one "?": PRODUCTID), for callers that read a product in a
// batch of their own on the sales database, and the record of its rows (nullptr for none).
extern const char* const kProductSelect;
ole::DictionaryPtr ProductRecordOf(ado::Recordset& rows);

void RegisterProductCatalog();  // "QxCatalog.Product"

}  // namespace qx
