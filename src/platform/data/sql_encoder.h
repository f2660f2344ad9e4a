// The platform's SQL literal encoder: values as SQL literals of one database
// dialect. Texts are quoted with doubled apostrophes; dates use the sortable
// "yyyy-mm-dd hh:mm:ss" form in which the providers store them.
#pragma once

#include <memory>
#include <string>

#include "platform/automation/variant.h"
#include "platform/data/ado.h"

namespace qx {

class ISqlEncoder : public ole::Object {
public:
    // A quoted text literal.
    virtual std::string TextLiteral(const std::string& text) = 0;
    // A quoted text literal for a String argument.
    virtual std::string StringLiteral(const std::string& text) = 0;
    // A number literal (no grouping, "." decimal point); NaN and infinities are refused.
    virtual std::string NumberLiteral(double value) = 0;
    // A date-and-time literal.
    virtual std::string DateLiteral(ole::Date date) = 0;
};

std::shared_ptr<ISqlEncoder> NewSqlEncoder(ado::Dialect dialect);

}  // namespace qx
