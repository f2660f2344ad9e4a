// The platform's referential checker (ProgID "Qxcore.ReferentialChecker"):
// before a component inserts a row that refers to master data, it asks whether
// the referenced rows exist. The master data lies in the tables PRODUCT,
// BUSINESSPARTNER and CURRENCY of the sales database.
#pragma once

#include <string>

#include "platform/automation/variant.h"

namespace qx {

class IReferentialChecker : public ole::Object {
public:
    // True when a row with these key values may be inserted into the table as far
    // as the referenced master data goes: every key column that names master data
    // (PRODUCTID, BUSINESSPARTNERID, CURRENCYCODE) holds the key of an existing
    // row. Other columns refer to nothing and pass; a value that cannot be such a
    // key (a product id that is no whole number, Null) fails. Values are bound.
    virtual bool CheckInsert(const std::string& table, const ole::VariantArray& keys,
                             const ole::VariantArray& values) = 0;
};

void RegisterReferentialChecker();  // "Qxcore.ReferentialChecker"

}  // namespace qx
