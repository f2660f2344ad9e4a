#include "platform/data/sql_encoder.h"

#include <charconv>
#include <cmath>

#include "platform/automation/error.h"

namespace qx {
namespace {

class SqlEncoder : public ISqlEncoder {
public:
    explicit SqlEncoder(ado::Dialect dialect) : dialect_(dialect) {}

    std::string TextLiteral(const std::string& text) override {
        // A NUL would end the text early in one database and be refused by the other.
        if (text.find('\0') != std::string::npos)
            ole::Raise(ole::err::InvalidProcedureCall, "A text for SQL holds a NUL character", "SQLEncoder");
        std::string literal;
        literal.reserve(text.size() + 2);
        literal += '\'';
        for (char c : text) {
            literal += c;
            if (c == '\'') literal += '\'';
        }
        literal += '\'';
        return literal;
    }

    std::string StringLiteral(const std::string& text) override { return TextLiteral(text); }

    std::string NumberLiteral(double value) override {
        if (!std::isfinite(value)) ole::Raise(ole::err::Overflow);
        if (value == 0) return "0";
        char buf[32];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);  // shortest text that reads back the same
        return std::string(buf, end);
    }

    std::string DateLiteral(ole::Date date) override {
        std::string text = "'" + date.Iso() + "'";
        return dialect_ == ado::Dialect::PostgreSQL ? "TIMESTAMP " + text : text;
    }

private:
    ado::Dialect dialect_;
};

}  // namespace

std::shared_ptr<ISqlEncoder> NewSqlEncoder(ado::Dialect dialect) { return std::make_shared<SqlEncoder>(dialect); }

}  // namespace qx
