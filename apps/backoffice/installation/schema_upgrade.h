// Brings a database up to sql/schema.sql: what the script declares and the
// database's catalogue lacks (tables, columns, indexes, procedures) is added;
// nothing that is there is changed or dropped, and no row is touched. The
// script is the one source: a new table, column or index goes into schema.sql
// and every installation gets it with `backoffice upgrade`.
#pragma once

#include <string>
#include <vector>

#include "platform/data/ado.h"

namespace backoffice {

// Runs on the caller's connection, inside the caller's transaction. Returns
// what was added ("table BATCHRUN", "column BASKETHEADER.USERLOCALE", ...).
std::vector<std::string> AddMissingSchema(ado::Connection& connection, const std::string& script);

}  // namespace backoffice
