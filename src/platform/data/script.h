// The statements of an SQL script (sql/schema.sql, sql/demo.sql) for one
// provider. A script is one text for both databases: statements end with ";"
// outside text literals, quoted names, comments and dollar-quoted bodies
// ($$ ... $$, $tag$ ... $tag$), so a PostgreSQL function body may hold ";".
// A statement whose leading comment lines hold "-- provider: PostgreSQL" (or
// "-- provider: SQLite") is for that provider alone; the other skips it.
#pragma once

#include <string>
#include <vector>

#include "platform/data/ado.h"

namespace ado {

// The statements in script order, each with its leading comments and without
// the closing ";"; statements of the other provider and empty ones are left out.
std::vector<std::string> ScriptStatements(const std::string& script, Dialect dialect);

}  // namespace ado
