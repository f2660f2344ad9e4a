// Integer keys (product, partner, instance ids) that callers hand in as
// Variants. A value is bound as the 32-bit integer it spells; anything else
// (text that is no number, a fraction, NaN, Null) can match no row and is
// never run as SQL.
#pragma once

#include <optional>

#include "platform/automation/variant.h"

namespace vendalo {

// The whole number in 32-bit range that the value holds or spells, else nothing.
std::optional<int32_t> IntegerKeyOf(const ole::Variant& value);

// The value to bind for an integer key column: the integer, or Null, which matches no row.
inline ole::Variant BoundIntegerKey(const ole::Variant& value) {
    auto key = IntegerKeyOf(value);
    return key ? ole::Variant(*key) : ole::Null;
}

}  // namespace vendalo
