// A statement built piece by piece: the text that runs, with every value bound
// to a "?" marker. A failure report shows it with the values as SQL literals
// (Shown, through the Encoding module), which is what was executed.
#pragma once

#include <string>
#include <vector>

#include "platform/automation/variant.h"
#include "platform/data/ado.h"

namespace vendalo {

struct Statement {
    std::string sql;
    std::vector<ole::Variant> params;

    Statement() = default;
    explicit Statement(std::string text) : sql(std::move(text)) {}

    void Sql(const std::string& text) { sql += text; }
    void Value(const ole::Variant& value) {
        sql += "?";
        params.push_back(value);
    }
    // a text literal: the value as text, or NULL for Null
    void Text(const ole::Variant& v) {
        if (v.IsNull()) return Sql("NULL");
        Value(ole::Variant(v.ToString()));
    }
    // a number literal
    void Number(const ole::Variant& v) { Value(ole::Variant(v.ToDouble())); }
    // a date literal
    void Date(const ole::Variant& v) { Value(ole::Variant(v.ToDate())); }
    // "as stored": the number an integer field holds; anything else (Null included) fails here
    void AsStored(const ole::Variant& v) { Value(ole::Variant(v.ToLong())); }

    void Run(const ado::ConnectionPtr& connection) const { connection->Execute(sql, nullptr, -1, params); }
    // The rows the statement yields, read on the connection.
    ado::RecordsetPtr Rows(const ado::ConnectionPtr& connection) const {
        return connection->Execute(sql, nullptr, -1, params);
    }

    // The text with each marker replaced by its value as an SQL literal.
    std::string Shown() const;
};

}  // namespace vendalo
