#include "vendalo/keys.h"

#include <climits>
#include <cmath>

namespace vendalo {

std::optional<int32_t> IntegerKeyOf(const ole::Variant& value) {
    if (value.IsNull() || value.IsEmpty() || value.IsBool() || value.IsDate() || !value.IsNumeric())
        return std::nullopt;
    double d = value.ToDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < INT32_MIN || d > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(d);
}

}  // namespace vendalo
