// SQL literals for the statements that the order and price classes build as
// text: the platform's encoder of the installation's database dialect, plus
// the rendering of Null.
#pragma once

#include <memory>
#include <string>

#include "platform/automation/variant.h"
#include "platform/data/sql_encoder.h"

namespace vendalo {

// This thread's encoder for the dialect of the installation's database.
std::shared_ptr<qx::ISqlEncoder> SQLEncoder();

// The text as a quoted literal.
std::string EncodeSQLText(const std::string& text);
// "NULL" for Null; otherwise the value's text as a quoted literal.
std::string EncodeSQLValue(const ole::Variant& value);
// The date as a date literal.
std::string EncodeSQLDate(ole::Date date);

}  // namespace vendalo
