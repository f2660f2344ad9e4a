// The platform's referential-integrity interface: before master data is
// deleted, the platform asks each component whether its rows still refer to
// it (Exists) and lets it clean up first (BeforeDelete).
#pragma once

#include <string>

#include "platform/automation/variant.h"

namespace qx {

class IReferentialIntegrity : public virtual ole::Object {
public:
    // kind: "PRODUCT", "BUSINESSPARTNER", "CUSTOMER", "CURRENCY", "TRANSPORTCARRIER",
    // "COUNTRY", "UNIT", "USER", "BISINSTANCE"; keys and values: arrays of equal bounds.
    virtual bool Exists(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) = 0;
    virtual bool BeforeDelete(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) = 0;
};

}  // namespace qx
