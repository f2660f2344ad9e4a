// Baskets, orders and recordsets as JSON, and back. A dictionary travels as
// {"header": {COLUMN: value, ...}, "lines": [{...}, ...]} with the tables'
// column names, plus its other items ("_language", ...). Null is null, dates
// are ISO 8601 ("2026-12-08" for a day, "2026-12-08T18:04:29" for a moment),
// numbers are JSON numbers in their shortest exact form (amounts of money up
// to fifteen significant digits, more is refused on the way in).
//
// Reading checks the form of every value before anything is changed: an unknown
// column, a value of the wrong type or a key column that would change raises
// RequestError (400) naming the field, and the recordset is left as it was.
// What the values mean (a known product, a partner's address) is checked by
// basket_checks.h.
#pragma once

#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include <httplib.h>

#include "http/http_routes.h"
#include "platform/automation/dictionary.h"
#include "platform/data/ado.h"

namespace backoffice::http {

using json = nlohmann::ordered_json;  // fields keep the order of the table

// A refusal (400) of one field of a request: `path` names it as the request does
// ("lines[2].QUANTITY"); the answer's "field" is its last part ("QUANTITY"), and
// "line" the basket line's number when one is given.
RequestError FieldRefusal(const std::string& path, const std::string& what, int32_t number = ole::err::TypeMismatch,
                          std::optional<int32_t> line = std::nullopt);

// A UTC moment as the API writes times: "2026-12-09T20:31:07.123Z".
std::string UtcText(ole::Date utc);
// A moment of the machine's local time (ORDERDATE, BATCHRUN, the log) as UTC text.
std::string LocalAsUtcText(ole::Date local);

// The text of an answer's JSON body (invalid UTF-8 replaced): what clients get,
// and what a basket's ETag hashes.
std::string AnswerText(const json& body);

// The current row's fields as an object.
json RowJson(ado::Recordset& rs);
// Every row from the first, as an array (the position is left at the end).
json RowsJson(ado::Recordset& rs);
// A basket or order dictionary: the header's one row (null when it has none),
// the lines, and the dictionary's other items.
json DictionaryJson(const ole::Dictionary& dictionary);
// The text AnswerText(DictionaryJson(dictionary)) would give, written straight
// from the rows: the answer of every basket and order read. The members of
// `more` (an object) follow the dictionary's items, as assigning them to the
// dictionary's json would place them.
std::string DictionaryText(const ole::Dictionary& dictionary, const json& more = json::object());

// A JSON value as the Variant a field of that type takes; `field` names it in errors.
ole::Variant FieldValue(const json& value, ado::DataTypeEnum type, const std::string& field);

// A single value as JSON, as a field of that type shows it (adDate: a day without its time).
json VariantJson(const ole::Variant& value, ado::DataTypeEnum type);

// Refuses (400) any name of the body that is not allowed, naming it.
void OnlyFields(const json& body, std::initializer_list<const char*> allowed);
// A field of a body as a column of that type takes it. Null when the body holds
// null or lacks the field; `required` refuses both (400).
ole::Variant Field(const json& body, const char* name, ado::DataTypeEnum type, bool required);
// A query parameter as a field of that type takes it: numbers and booleans are
// read as JSON ("1 OR 1=1" is refused), anything else as text. Null when the
// request lacks it or leaves it empty; `required` refuses that (400).
ole::Variant QueryValue(const httplib::Request& request, const char* name, ado::DataTypeEnum type, bool required);

// Replaces the current row's fields with the object's: every column but the
// keys gets the object's value, or Null when the object lacks it. A key
// column in the object must hold the row's value. `where` prefixes field
// names in errors ("header", "lines[2]").
void ReplaceRow(ado::Recordset& rs, const json& object, const std::set<std::string>& keys, const std::string& where);

// A basket's header and lines replaced as a whole by the body of a PUT: lines
// are matched by BASKETLINENR; lines the body lacks are deleted, new numbers
// are added. Nothing changes when any value is refused (a refused line's
// number is the answer's "line").
void ReplaceBasket(ole::Dictionary& basket, const json& body, const std::string& basketId);

}  // namespace backoffice::http
